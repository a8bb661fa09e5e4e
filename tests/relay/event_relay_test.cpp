#include "relay/event_relay.h"

#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "relay/file_write.h"
#include "relay_test_support.h"
#include "text/gbk.h"
#include "text/literal.h"
#include "text/number.h"

namespace lumora::relay {
namespace {

using namespace lumora::text::literals;
using panel::Control;
using testing::event_list;
using testing::RecordingPush;
using testing::TempDir;

// A relay with every consumer path observable: the polling list on, the
// interaction file in a temporary folder, a recording push.
class RelayTest : public ::testing::Test {
 protected:
  RelayTest() : relay(panel, dir.file("data.json"), &push) {
    panel.set_checked(Control::选择框_http, true);
  }
  std::string last_log() const {
    auto lines = panel.recent_log();
    return lines.empty() ? std::string() : lines.back();
  }
  // The one event the polling list holds now (emptying it).
  std::string take_single() {
    std::string list = relay.take_polling_list(false);
    const std::string open = "{\"gameCmdDataList\":[";
    if (list.rfind(open, 0) != 0 || list.size() < open.size() + 2) return "not one event: " + list;
    return list.substr(open.size(), list.size() - open.size() - 2);
  }

  TempDir dir;
  panel::PanelModel panel;
  RecordingPush push;
  EventRelay relay;
};

TEST_F(RelayTest, DanmakuRecordAndLogLine) {
  panel.set_checked(Control::单选框_弹幕截取, true);
  relay.build_danmaku_event("123", "小明"_gbk, "1 2 3");
  EXPECT_EQ(last_log(), "小明(123)说：1 2 3"_gbk);
  EXPECT_EQ(
      take_single(),
      "{\"uid\":123,\"name\":\"小明\",\"type\":1,\"instruct\":\"1\",\"parameter1\":\"23\","
      "\"parameter2\":\"\",\"data\":\"1 2 3\",\"head\":\"http://127.0.0.1/head?uid=123\"}"_gbk);
}

TEST_F(RelayTest, DanmakuSplitFollowsThePanelAtEachComment) {
  relay.build_danmaku_event("1", "a", "jump-high-3-x");
  EXPECT_EQ(take_single(),
            "{\"uid\":1,\"name\":\"a\",\"type\":1,\"instruct\":\"jump\",\"parameter1\":\"high\","
            "\"parameter2\":\"3\",\"data\":\"jump-high-3-x\","
            "\"head\":\"http://127.0.0.1/head?uid=1\"}");
  panel.set_text(Control::编辑框_分割字符, "");
  relay.build_danmaku_event("1", "a", "jump-high");
  EXPECT_NE(take_single().find("\"instruct\":\"jump-high\",\"parameter1\":\"\""),
            std::string::npos);
  // A comment starting with a CJK character and N = 1: only its lead byte.
  panel.set_checked(Control::单选框_弹幕截取, true);
  relay.build_danmaku_event("1", "a", "跳 高"_gbk);
  std::string gbk = "跳高"_gbk;
  EXPECT_NE(take_single().find("\"instruct\":\"" + gbk.substr(0, 1) + "\",\"parameter1\":\"" +
                               gbk.substr(1) + "\""),
            std::string::npos);
}

TEST_F(RelayTest, GiftFollowEnterGuardRecordsAndLogLines) {
  relay.build_gift_event("7", "n", 31036, "小花花"_gbk, 2, 100);
  EXPECT_EQ(last_log(), "【礼物】7n 小花花 数量：2 价值：100"_gbk);
  EXPECT_EQ(take_single(),
            "{\"uid\":7,\"name\":\"n\",\"type\":2,\"gif_id\":31036,\"gif_name\":\"小花花\","
            "\"gif_num\":2,\"gif_price\":100,\"head\":\"http://127.0.0.1/head?uid=7\"}"_gbk);

  relay.build_follow_event("8", "f");
  EXPECT_EQ(last_log(), "【关注】8f"_gbk);
  EXPECT_EQ(take_single(),
            "{\"uid\":8,\"name\":\"f\",\"type\":3,\"head\":\"http://127.0.0.1/head?uid=8\"}");

  relay.build_enter_event("9", "e");
  EXPECT_EQ(last_log(), "【进入】9e"_gbk);
  EXPECT_EQ(take_single(),
            "{\"uid\":9,\"name\":\"e\",\"type\":4,\"head\":\"http://127.0.0.1/head?uid=9\"}");

  relay.build_guard_event("10", "g", "舰长"_gbk, 1700000000, 1702592000);
  EXPECT_EQ(last_log(), "【进入】10g"_gbk);
  EXPECT_EQ(take_single(),
            "{\"uid\":10,\"name\":\"g\",\"type\":5,\"gifname\":\"舰长\",\"timenew\":1700000000,"
            "\"timeold\":1702592000,\"head\":\"http://127.0.0.1/head?uid=10\"}"_gbk);
}

TEST_F(RelayTest, UidTextIsReadAsItsLeadingInteger) {
  struct Case {
    std::string uid_text;
    std::int32_t uid;
  } cases[] = {{"4294967297", 1}, {"2147483648", -2147483648}, {"abc", 0}, {" -12x", -12}, {"", 0}};
  for (const Case& c : cases) {
    json::JsonDocument record = make_follow_record(c.uid_text, "n");
    EXPECT_EQ(record.GetInt("uid"), c.uid) << c.uid_text;
    // The avatar address keeps the text as it came.
    EXPECT_EQ(record.GetText("head"), "http://127.0.0.1/head?uid=" + c.uid_text);
  }
}

TEST_F(RelayTest, StringValuesAreEscaped) {
  relay.build_follow_event("1", "a\"b\\c/");
  EXPECT_EQ(take_single(),
            "{\"uid\":1,\"name\":\"a\\\"b\\\\c/\",\"type\":3,"
            "\"head\":\"http://127.0.0.1/head?uid=1\"}");
}

TEST_F(RelayTest, PollingListKeepsOrderAndEmptiesOnTake) {
  relay.build_follow_event("1", "a");
  relay.build_enter_event("2", "b");
  EXPECT_EQ(relay.polling_count(), 2u);
  std::string expected = event_list(
      {"{\"uid\":1,\"name\":\"a\",\"type\":3,\"head\":\"http://127.0.0.1/head?uid=1\"}",
       "{\"uid\":2,\"name\":\"b\",\"type\":4,\"head\":\"http://127.0.0.1/head?uid=2\"}"});
  EXPECT_EQ(relay.peek_polling_list(), expected);
  EXPECT_EQ(relay.take_polling_list(true), expected);
  EXPECT_EQ(relay.take_polling_list(true), "{}");
  EXPECT_EQ(relay.polling_count(), 0u);
}

TEST_F(RelayTest, PollingListAnswersUtf8OrGbk) {
  relay.build_follow_event("1", "小明"_gbk);
  std::string gbk = relay.peek_polling_list();
  EXPECT_EQ(relay.take_polling_list(true), text::gbk_to_utf8(gbk));
  relay.build_follow_event("1", "小明"_gbk);
  EXPECT_EQ(relay.take_polling_list(false), gbk);
}

TEST_F(RelayTest, UncheckedPollingBoxAddsNothingAndKeepsWhatIsThere) {
  relay.build_follow_event("1", "a");
  panel.set_checked(Control::选择框_http, false);
  relay.build_follow_event("2", "b");
  EXPECT_EQ(relay.polling_count(), 1u);
  EXPECT_NE(relay.take_polling_list(false).find("\"uid\":1,"), std::string::npos);
  relay.build_follow_event("3", "c");
  EXPECT_EQ(relay.take_polling_list(false), "{}");
}

TEST_F(RelayTest, PushGoesOutAsUtf8OnlyWhenCheckedAndAClientIsThere) {
  relay.build_follow_event("1", "小明"_gbk);
  ASSERT_EQ(push.texts().size(), 1u);
  EXPECT_EQ(push.texts()[0],
            "{\"uid\":1,\"name\":\"小明\",\"type\":3,\"head\":\"http://127.0.0.1/head?uid=1\"}");

  push.set_has_client(false);
  relay.build_follow_event("2", "b");
  push.set_has_client(true);
  panel.set_checked(Control::选择框_wss, false);
  relay.build_follow_event("3", "c");
  panel.set_checked(Control::选择框_wss, true);
  relay.build_follow_event("4", "d");
  auto texts = push.texts();
  ASSERT_EQ(texts.size(), 2u);
  EXPECT_NE(texts[1].find("\"uid\":4,"), std::string::npos);

  // No server at all.
  relay.set_push(nullptr);
  relay.build_follow_event("5", "e");
  EXPECT_EQ(push.texts().size(), 2u);
}

TEST_F(RelayTest, AllBoxesUncheckedLogsButDeliversNowhere) {
  panel.set_checked(Control::选择框_http, false);
  panel.set_checked(Control::选择框_wss, false);
  panel.set_checked(Control::选择框_文件系统, false);
  relay.build_enter_event("1", "a");
  EXPECT_EQ(last_log(), "【进入】1a"_gbk);
  EXPECT_EQ(relay.take_polling_list(false), "{}");
  EXPECT_TRUE(push.texts().empty());
  EXPECT_TRUE(dir.names().empty());
}

TEST_F(RelayTest, DeliversAViewOfTheCallersRecordAndNothingElse) {
  json::JsonDocument record = make_enter_record("3", "c");
  relay.deliver_event(record.ViewAt(""));
  // The list keeps its own copy: the record may go away.
  record.Release();
  EXPECT_EQ(take_single(),
            "{\"uid\":3,\"name\":\"c\",\"type\":4,\"head\":\"http://127.0.0.1/head?uid=3\"}");

  json::JsonDocument list(json::RootKind::array);
  relay.deliver_event(list.ViewAt("", json::RootKind::array));  // no object: no event
  relay.deliver_event(record.ViewAt("missing"));
  EXPECT_EQ(relay.polling_count(), 0u);
  EXPECT_TRUE(push.texts().size() == 1);
}

class InteractionFileTest : public RelayTest {
 protected:
  InteractionFileTest() { panel.set_checked(Control::选择框_文件系统, true); }
  std::string file_text() const { return read_whole_file(relay.interaction_file_path()); }
  static std::string follow(const std::string& uid, const std::string& name) {
    return "{\"uid\":" + uid + ",\"name\":\"" + name + "\",\"type\":3,\"head\":\"" +
           "http://127.0.0.1/head?uid=" + uid + "\"}";
  }
};

TEST_F(InteractionFileTest, WrittenAsUtf8ByDefaultAndAsGbkWhenChosen) {
  relay.build_follow_event("1", "小明"_gbk);
  EXPECT_EQ(file_text(), event_list({follow("1", "小明")}));  // the source's UTF-8

  ASSERT_EQ(::unlink(relay.interaction_file_path().c_str()), 0);
  panel.set_checked(Control::单选框_GBK, true);
  relay.build_follow_event("2", "小红"_gbk);
  EXPECT_EQ(file_text(), event_list({follow("2", "小红"_gbk)}));
  // Only the file itself is left: the temporary is gone.
  EXPECT_EQ(dir.names(), std::vector<std::string>{"data.json"});
}

TEST_F(InteractionFileTest, PresentFileIsLeftAloneAndRecreatedAfterDeletion) {
  relay.build_follow_event("1", "a");
  relay.build_follow_event("2", "b");
  EXPECT_EQ(file_text(), event_list({follow("1", "a")}));

  ASSERT_TRUE(replace_file(relay.interaction_file_path(), "consumer's own"));
  relay.build_follow_event("3", "c");
  EXPECT_EQ(file_text(), "consumer's own");

  ASSERT_EQ(::unlink(relay.interaction_file_path().c_str()), 0);
  relay.build_follow_event("4", "d");
  EXPECT_EQ(file_text(), event_list({follow("4", "d")}));
}

TEST_F(InteractionFileTest, UncheckedBoxWritesNoFile) {
  panel.set_checked(Control::选择框_文件系统, false);
  relay.build_follow_event("1", "a");
  EXPECT_TRUE(dir.names().empty());
}

TEST_F(InteractionFileTest, UnwritableFolderDoesNotStopTheOtherPaths) {
  EventRelay lost(panel, dir.file("missing/data.json"), &push);
  lost.build_follow_event("1", "a");
  EXPECT_EQ(lost.polling_count(), 1u);
  EXPECT_EQ(push.texts().size(), 1u);
}

TEST(PublishNewFile, NeverReplacesAndLeavesNoTemporary) {
  TempDir dir;
  std::string path = dir.file("data.json");
  EXPECT_EQ(publish_new_file(path, "first"), PublishResult::written);
  EXPECT_EQ(publish_new_file(path, "second"), PublishResult::already_present);
  EXPECT_EQ(read_whole_file(path), "first");
  EXPECT_EQ(dir.names(), std::vector<std::string>{"data.json"});
  EXPECT_EQ(publish_new_file(dir.file("no/such/folder"), "x"), PublishResult::failed);
}

// The uids of every event in a polling answer, in order.
std::vector<std::int32_t> uids_in(const std::string& list) {
  std::vector<std::int32_t> uids;
  const std::string key = "{\"uid\":";
  for (std::size_t at = list.find(key); at != std::string::npos; at = list.find(key, at + 1))
    uids.push_back(text::read_leading_int(std::string_view(list).substr(at + key.size())));
  return uids;
}

TEST(RelayConcurrency, ConcurrentDeliveriesAndTakesLoseAndDuplicateNothing) {
  panel::PanelModel panel;
  panel.set_checked(Control::选择框_http, true);
  panel.set_checked(Control::选择框_wss, false);
  EventRelay relay(panel, "/nonexistent-folder/data.json");

  constexpr int kThreads = 4;
  constexpr int kPerThread = 5000;
  std::vector<int> seen(kThreads * kPerThread, 0);
  std::vector<std::int32_t> last_of_thread(kThreads, -1);
  bool in_order = true;
  std::atomic<int> running{kThreads};

  auto account = [&](const std::string& list) {
    for (std::int32_t uid : uids_in(list)) {
      if (uid < 0 || uid >= kThreads * kPerThread) {
        in_order = false;
        continue;
      }
      ++seen[uid];
      // Events of one thread come out in the order it delivered them.
      int thread = uid / kPerThread;
      if (uid <= last_of_thread[thread]) in_order = false;
      last_of_thread[thread] = uid;
    }
  };
  std::thread taker([&] {
    while (running.load() > 0) account(relay.take_polling_list(false));
  });
  std::vector<std::thread> senders;
  for (int t = 0; t < kThreads; ++t) {
    senders.emplace_back([&, t] {
      for (int i = 0; i < kPerThread; ++i)
        relay.build_enter_event(std::to_string(t * kPerThread + i), "v");
      --running;
    });
  }
  for (auto& s : senders) s.join();
  taker.join();
  account(relay.take_polling_list(false));

  EXPECT_TRUE(in_order);
  int wrong = 0;
  for (int count : seen) wrong += count != 1;
  EXPECT_EQ(wrong, 0);
}

TEST(RelayConcurrency, ConsumerNeverReadsAHalfWrittenFile) {
  TempDir dir;
  panel::PanelModel panel;
  panel.set_checked(Control::选择框_文件系统, true);
  panel.set_checked(Control::选择框_wss, false);
  EventRelay relay(panel, dir.file("data.json"));

  std::atomic<bool> done{false};
  int whole_reads = 0;
  int broken_reads = 0;
  std::thread consumer([&] {
    const std::string open = "{\"gameCmdDataList\":[{\"uid\":";
    while (!done.load()) {
      std::string text = read_whole_file(relay.interaction_file_path());
      if (text.empty()) continue;
      bool whole = text.rfind(open, 0) == 0 && text.size() > 4 &&
                   text.compare(text.size() - 4, 4, "\"}]}") == 0 && uids_in(text).size() == 1;
      ++(whole ? whole_reads : broken_reads);
      ::unlink(relay.interaction_file_path().c_str());
    }
  });
  std::vector<std::thread> senders;
  for (int t = 0; t < 3; ++t) {
    senders.emplace_back([&, t] {
      for (int i = 0; i < 3000; ++i) relay.build_follow_event(std::to_string(t * 3000 + i), "v");
    });
  }
  for (auto& s : senders) s.join();
  done = true;
  consumer.join();
  EXPECT_EQ(broken_reads, 0);
  EXPECT_GT(whole_reads, 0);
  // No temporary is left behind.
  for (const std::string& name : dir.names()) EXPECT_EQ(name, "data.json");
}

}  // namespace
}  // namespace lumora::relay
