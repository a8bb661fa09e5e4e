#include "live/live_dispatch.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <sstream>

#include "json/json_document.h"
#include "live/packet_codec.h"
#include "recording_sink.h"
#include "text/literal.h"

namespace lumora::live {
namespace {

using namespace text::literals;
using test::RecordingSink;

std::vector<std::string> decode(const std::vector<std::string>& messages) {
  RecordingSink sink;
  dispatch_live_messages(messages, sink);
  return sink.calls();
}

struct Case {
  const char* what;
  std::string message;
  std::vector<std::string> calls;
};

TEST(LiveDispatch, EachCommandGivesItsCall) {
  const Case cases[] = {
      {"danmaku",
       R"({"cmd":"DANMU_MSG","info":[[0,1,25],"hello",[42,"ann",0,0]]})",
       {"danmaku|42|ann|hello"}},
      {"danmaku with a numeric uid over 32 bits keeps its digits",
       R"({"cmd":"DANMU_MSG","info":[[0],"x",[12345678901,"bob"]]})",
       {"danmaku|12345678901|bob|x"}},
      {"danmaku command with a suffix",
       R"({"cmd":"DANMU_MSG:4:0:2:2:2:0","info":[[0],"hi",[7,"cy"]]})",
       {"danmaku|7|cy|hi"}},
      {"danmaku with a short info array",
       R"({"cmd":"DANMU_MSG","info":[[0],"only comment"]})",
       {"danmaku|||only comment"}},
      {"gift",
       R"({"cmd":"SEND_GIFT","data":{"uid":5,"uname":"g","giftId":31036,"giftName":"flower","num":3,"price":100}})",
       {"gift|5|g|31036|flower|3|100"}},
      {"gift without price",
       R"({"cmd":"SEND_GIFT","data":{"uid":5,"uname":"g","giftId":1,"giftName":"x","num":1}})",
       {"gift|5|g|1|x|1|0"}},
      {"gift integers keep their low 32 bits",
       R"({"cmd":"SEND_GIFT","data":{"uid":5,"uname":"g","giftId":4294967297,"giftName":"x","num":-2,"price":2147483648}})",
       {"gift|5|g|1|x|-2|-2147483648"}},
      {"entry",
       R"({"cmd":"INTERACT_WORD","data":{"uid":9,"uname":"e","msg_type":1}})",
       {"enter|9|e"}},
      {"follow",
       R"({"cmd":"INTERACT_WORD","data":{"uid":9,"uname":"f","msg_type":2}})",
       {"follow|9|f"}},
      {"interaction of another kind",
       R"({"cmd":"INTERACT_WORD","data":{"uid":9,"uname":"s","msg_type":3}})",
       {}},
      {"guard",
       R"({"cmd":"GUARD_BUY","data":{"uid":14,"username":"u","uname":"wrong","gift_name":"captain","gift_id":10003,"start_time":1677069316,"end_time":1677069317}})",
       {"guard|14|u|captain|1677069316|1677069317"}},
      {"combo", R"({"cmd":"COMBO_SEND","data":{"uid":1,"uname":"c"}})", {}},
      {"entry effect", R"({"cmd":"ENTRY_EFFECT","data":{"uid":1}})", {}},
      {"other command", R"({"cmd":"ONLINE_RANK_COUNT","data":{"count":3}})", {}},
      {"case differs", R"({"cmd":"danmu_msg","info":[[0],"x",[1,"y"]]})", {}},
      {"prefix is not the command", R"({"cmd":"DANMU_MSG_X","info":[[0],"x",[1,"y"]]})", {}},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(decode({c.message}), c.calls) << c.what;
  }
}

TEST(LiveDispatch, TextsArriveAsGbk) {
  // "弹幕" has a GBK form; U+1F600 has none and becomes "?".
  auto calls =
      decode({"{\"cmd\":\"DANMU_MSG\",\"info\":[[0],\"弹幕\xF0\x9F\x98\x80\",[1,\"观众\"]]}"});
  ASSERT_EQ(calls.size(), 1u);
  EXPECT_EQ(calls[0], "danmaku|1|"_gbk + "观众"_gbk + "|" + "弹幕?"_gbk);
  // An escaped character reads the same as the raw one.
  calls = decode(
      {R"({"cmd":"SEND_GIFT","data":{"uid":"7","uname":"\u89c2\u4f17","giftName":"\u8fa3\u6761"}})"});
  ASSERT_EQ(calls.size(), 1u);
  EXPECT_EQ(calls[0], "gift|7|"_gbk + "观众"_gbk + "|0|" + "辣条"_gbk + "|0|0");
}

TEST(LiveDispatch, FrameOrderSkipsAndStops) {
  const std::string danmaku_a = R"({"cmd":"DANMU_MSG","info":[[0],"a",[1,"x"]]})";
  const std::string danmaku_b = R"({"cmd":"DANMU_MSG","info":[[0],"b",[2,"y"]]})";
  const std::string danmaku_c = R"({"cmd":"DANMU_MSG","info":[[0],"c",[3,"z"]]})";
  EXPECT_EQ(decode({danmaku_a, danmaku_b, danmaku_c}),
            (std::vector<std::string>{"danmaku|1|x|a", "danmaku|2|y|b", "danmaku|3|z|c"}));
  // No JSON: skipped. Ignored commands: processing goes on.
  EXPECT_EQ(decode({danmaku_a, "{\"cmd\":\"DANMU_MSG\",", R"({"cmd":"COMBO_SEND"})",
                    R"({"cmd":"ENTRY_EFFECT"})", danmaku_b}),
            (std::vector<std::string>{"danmaku|1|x|a", "danmaku|2|y|b"}));
  // No "cmd" (or an empty one): the rest of the frame is not looked at.
  EXPECT_EQ(decode({danmaku_a, R"({"data":{}})", danmaku_b}),
            (std::vector<std::string>{"danmaku|1|x|a"}));
  EXPECT_EQ(decode({R"({"cmd":""})", danmaku_b}), (std::vector<std::string>{}));
  EXPECT_EQ(decode({R"([1,2,3])", danmaku_b}), (std::vector<std::string>{}));

  // The dispatcher's stop lasts until the next frame begins.
  RecordingSink sink;
  LiveMessageDispatcher dispatcher(sink);
  EXPECT_FALSE(dispatcher.dispatch(R"({"x":1})"));
  EXPECT_FALSE(dispatcher.dispatch(danmaku_a));
  dispatcher.begin_frame();
  EXPECT_TRUE(dispatcher.dispatch(danmaku_c));
  EXPECT_EQ(sink.calls(), (std::vector<std::string>{"danmaku|3|z|c"}));
  EXPECT_EQ(dispatcher.counters().stops, 1u);
}

TEST(LiveDispatch, HostileMessagesDoNotBreakIt) {
  std::string deep(100000, '[');
  std::string huge_name(1 << 20, 'n');
  auto calls = decode({deep, std::string("\0\0\0", 3), "",
                       R"({"cmd":"DANMU_MSG","info":[[0],"ok",[1,")" + huge_name + "\"]]}",
                       "{\"cmd\":\"DANMU_MSG\",\"info\":[[0],\"\xff\xfe\",[1,\"n\"]]}"});
  ASSERT_EQ(calls.size(), 2u);
  EXPECT_EQ(calls[0].size(), std::string("danmaku|1||ok").size() + huge_name.size());
  EXPECT_EQ(calls[1], "danmaku|1|n|??");
}

// ---- captured messages of the real platform ----

std::filesystem::path messages_dir() {
  return std::filesystem::path(LUMORA_TESTDATA_DIR) / "bilibili" / "messages";
}

std::string read_file(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream out;
  out << in.rdbuf();
  return out.str();
}

// The message of a sample file: the file itself, or its "data" member for the
// files that carry a decoded header beside the message.
std::string sample_message(const std::filesystem::path& path) {
  std::string text = read_file(path);
  json::JsonDocument document;
  if (document.Parse(text) && document.ExistsAt("meta") && document.ExistsAt("data/cmd"))
    return document.JsonAt("data");
  return text;
}

TEST(LiveDispatch, RealMessagesGiveTheirCalls) {
  if (!std::filesystem::is_directory(messages_dir())) GTEST_SKIP() << "no test data";
  // Expected values read from the samples by another JSON reader (Node).
  const std::pair<const char*, std::string> expected[] = {
      {"DANMU_MSG.bac-doc.json", "danmaku|6088969|tim1997|"_gbk + "白花300块[热]"_gbk},
      {"DANMU_MSG.tiny-bilibili-ws-ref-2022-09.meta+data.json",
       "danmaku|33713222|"_gbk + "李萧浊|确实有点"_gbk},
      {"DANMU_MSG.wire.sunkeycn-zlib-2021-01.1.json",
       "danmaku|390117739|"_gbk + "哦豁wylzz|这是比赛，没必要让"_gbk},
      {"DANMU_MSG.wire.sunkeycn-zlib-2021-01.2.json",
       "danmaku|30655774|"_gbk + "茶酱西子桑|恭喜叩击"_gbk},
      {"SEND_GIFT.bac-doc.json", "gift|510149209|12138额83121|31036|小花花|1|100"_gbk},
      {"SEND_GIFT.tiny-bilibili-ws-ref-2022-09.meta+data.json",
       "gift|3499295|simon3000|1|辣条|1|100"_gbk},
      {"SEND_GIFT.wire.sunkeycn-zlib-2021-01.1.json", "gift|261468357|happy八月|1|辣条|30|100"_gbk},
      {"INTERACT_WORD.bac-doc.json", "enter|335979315|TIM_Init"},
      {"INTERACT_WORD.tiny-bilibili-ws-ref-2022-09.meta+data.json",
       "enter|109247541|雨鱼鱼于莹莹有"_gbk},
      {"INTERACT_WORD.wire.bac-issue210-2021-07.json", "enter|699932290|bili_38875013372"},
      {"INTERACT_WORD.wire.sunkeycn-zlib-2021-01.1.json", "enter|29042058|成年人已经崩溃"_gbk},
      {"INTERACT_WORD.wire.sunkeycn-zlib-2021-01.2.json", "enter|27419764|司掌命运"_gbk},
      {"GUARD_BUY.bac-doc.json", "guard|14225357|妙妙喵喵妙妙喵O_O|舰长|1677069316|1677069316"_gbk},
      {"GUARD_BUY.tiny-bilibili-ws-ref-2022-09.meta+data.json",
       "guard|895107|弗兰克欧欧欧|舰长|1664467089|1664467089"_gbk},
  };
  std::size_t covered = 0;
  for (const auto& [file, call] : expected) {
    auto path = messages_dir() / file;
    ASSERT_TRUE(std::filesystem::exists(path)) << file;
    EXPECT_EQ(decode({sample_message(path)}), std::vector<std::string>{call}) << file;
    ++covered;
  }
  // Every sample of the four commands is in the table above; the other
  // commands of the folder give nothing.
  for (const auto& entry : std::filesystem::directory_iterator(messages_dir())) {
    std::string name = entry.path().filename().string();
    if (entry.path().extension() != ".json") continue;
    bool listed = false;
    for (const auto& [file, call] : expected) listed = listed || name == file;
    bool ours = name.starts_with("DANMU_MSG.") || name.starts_with("SEND_GIFT.") ||
                name.starts_with("INTERACT_WORD.") || name.starts_with("GUARD_BUY.");
    if (ours) {
      EXPECT_TRUE(listed) << name << " has no expected call";
    } else {
      EXPECT_EQ(decode({sample_message(entry.path())}), std::vector<std::string>{}) << name;
    }
  }
  EXPECT_EQ(covered, std::size(expected));
}

TEST(LiveDispatch, RealZlibFrameThroughTheDecoder) {
  auto frame_path = std::filesystem::path(LUMORA_TESTDATA_DIR) / "bilibili" / "frames" /
                    "sunkeycn_zlib_8packets_2021-01.bin";
  if (!std::filesystem::exists(frame_path)) GTEST_SKIP() << "no test data";
  RecordingSink sink;
  LiveMessageDispatcher dispatcher(sink);
  PacketDecoder decoder;
  dispatcher.begin_frame();
  FrameSummary summary = decoder.unpack(read_file(frame_path), dispatcher);
  EXPECT_EQ(summary.message_count, 8u);
  // INTERACT_WORD x2, ONLINE_RANK_COUNT, DANMU_MSG x2, LIVE_INTERACTIVE_GAME x2, SEND_GIFT.
  EXPECT_EQ(sink.calls(), (std::vector<std::string>{
                              "enter|29042058|成年人已经崩溃"_gbk,
                              "enter|27419764|司掌命运"_gbk,
                              "danmaku|390117739|"_gbk + "哦豁wylzz|这是比赛，没必要让"_gbk,
                              "danmaku|30655774|"_gbk + "茶酱西子桑|恭喜叩击"_gbk,
                              "gift|261468357|happy八月|1|辣条|30|100"_gbk,
                          }));
}

}  // namespace
}  // namespace lumora::live
