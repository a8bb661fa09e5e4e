#include "live/room_lookup.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <sstream>

#include "fake_platform.h"
#include "text/literal.h"

namespace lumora::live {
namespace {

using namespace text::literals;
using test::FakePlatform;

std::filesystem::path api_dir() {
  return std::filesystem::path(LUMORA_TESTDATA_DIR) / "bilibili" / "api";
}

std::string read_file(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream out;
  out << in.rdbuf();
  return out.str();
}

TEST(RoomLookup, RequestAddressesCarryTheTypedText) {
  LiveEndpoints endpoints;
  EXPECT_EQ(room_info_url(endpoints, "1017"),
            "https://api.live.bilibili.com/xlive/web-room/v1/index/getInfoByRoom?room_id=1017");
  EXPECT_EQ(danmaku_info_url(endpoints, " 07"),
            "https://api.live.bilibili.com/xlive/web-room/v1/index/getDanmuInfo?id= 07&type=0");
}

TEST(RoomLookup, AnswersOfTheRealPlatform) {
  if (!std::filesystem::is_directory(api_dir())) GTEST_SKIP() << "no test data";
  RoomInfo info;
  read_room_info_answer(read_file(api_dir() / "getInfoByRoom.web.SJFBot-2021-04.json"), info);
  EXPECT_EQ(info.room_id, 2409909);
  EXPECT_FALSE(info.title.empty());
  EXPECT_FALSE(info.uname.empty());
  read_danmaku_info_answer(read_file(api_dir() / "getDanmuInfo.bac-doc-2025-05.json"), info);
  EXPECT_GT(info.token.size(), 20u);
  EXPECT_EQ(info.room_id, 2409909);  // the second answer touches only the token

  // The app variant has the same shape.
  RoomInfo app;
  read_room_info_answer(read_file(api_dir() / "getInfoByRoom.app.status102-2020-03.wire.json"),
                        app);
  EXPECT_NE(app.room_id, 0);
  EXPECT_FALSE(app.uname.empty());
}

TEST(RoomLookup, BadAnswersReadAsEmpty) {
  for (std::string_view body :
       {std::string_view(""), std::string_view("<html>"), std::string_view("[]"),
        std::string_view("{\"data\":[1]}"),
        std::string_view("{\"data\":{\"room_info\":{\"room_id\":\"x\"}}}")}) {
    RoomInfo info;
    read_room_info_answer(body, info);
    read_danmaku_info_answer(body, info);
    EXPECT_EQ(info.room_id, 0) << body;
    EXPECT_EQ(info.title, "") << body;
    EXPECT_EQ(info.uname, "") << body;
    EXPECT_EQ(info.token, "") << body;
  }
  // Reading stops at a zero byte, as the platform's answers are read.
  RoomInfo info;
  read_danmaku_info_answer(std::string("{\"data\":{\"token\":\"t\"}}\0garbage", 31), info);
  EXPECT_EQ(info.token, "t");
}

class RoomLookupPeer : public ::testing::Test {
 protected:
  static void SetUpTestSuite() { platform_ = new FakePlatform({"--real-room", "5050"}); }
  static void TearDownTestSuite() {
    delete platform_;
    platform_ = nullptr;
  }
  void SetUp() override {
    ASSERT_TRUE(platform_->ok()) << platform_->error();
    platform_->control("/control/set?api=ok&real_room=5050&token=tok-1&title=" +
                       std::string("%E6%B5%8B%E8%AF%95") +  // 测试
                       "&uname=" + "A%F0%9F%98%80B");       // A, U+1F600, B
    platform_->control("/control/reset");
  }
  static FakePlatform* platform_;
  panel::PanelModel panel_;
};
FakePlatform* RoomLookupPeer::platform_ = nullptr;

TEST_F(RoomLookupPeer, TwoRequestsInOrderAndTheLogLine) {
  RoomInfo info = lookup_room("1017", platform_->endpoints(), panel_);
  EXPECT_EQ(info.room_id, 5050);  // the real id, while both requests carry the typed number
  EXPECT_EQ(info.title, "测试"_gbk);
  EXPECT_EQ(info.uname, "A?B");
  EXPECT_EQ(info.token, "tok-1");
  auto state = platform_->state();
  ASSERT_EQ(state.SizeAt("api_requests"), 2u);
  EXPECT_EQ(state.GetText("api_requests/0/kind"), "info");
  EXPECT_EQ(state.GetText("api_requests/0/query"), "?room_id=1017");
  EXPECT_EQ(state.GetText("api_requests/1/kind"), "danmu");
  EXPECT_EQ(state.GetText("api_requests/1/query"), "?id=1017&type=0");
  auto log = panel_.recent_log();
  ASSERT_EQ(log.size(), 1u);
  EXPECT_EQ(log[0], "正在进入 A?B 的直播间 <测试>"_gbk);
}

TEST_F(RoomLookupPeer, FailedAnswersGiveEmptyFieldsAndStillTheLine) {
  for (const char* mode : {"empty", "garbage", "status500"}) {
    platform_->control(std::string("/control/set?api=") + mode);
    panel::PanelModel panel;
    RoomInfo info = lookup_room("1017", platform_->endpoints(), panel);
    EXPECT_EQ(info.room_id, 0) << mode;
    EXPECT_EQ(info.title, "") << mode;
    EXPECT_EQ(info.uname, "") << mode;
    EXPECT_EQ(info.token, "") << mode;
    EXPECT_EQ(panel.recent_log(), std::vector<std::string>{"正在进入  的直播间 <>"_gbk}) << mode;
  }
}

TEST_F(RoomLookupPeer, RealAnswersServedByThePeer) {
  if (!std::filesystem::is_directory(api_dir())) GTEST_SKIP() << "no test data";
  platform_->control("/control/set?api=file&info_file=" +
                     (api_dir() / "getInfoByRoom.web.SJFBot-2021-04.json").string() +
                     "&danmu_file=" + (api_dir() / "getDanmuInfo.bac-doc-2025-05.json").string());
  RoomInfo info = lookup_room("2409909", platform_->endpoints(), panel_);
  RoomInfo direct;
  read_room_info_answer(read_file(api_dir() / "getInfoByRoom.web.SJFBot-2021-04.json"), direct);
  read_danmaku_info_answer(read_file(api_dir() / "getDanmuInfo.bac-doc-2025-05.json"), direct);
  EXPECT_EQ(info.room_id, 2409909);
  EXPECT_EQ(info.title, direct.title);
  EXPECT_EQ(info.uname, direct.uname);
  EXPECT_EQ(info.token, direct.token);
  EXPECT_EQ(panel_.recent_log().back(), room_log_line(direct));
}

TEST(RoomLookupNoPeer, UnreachablePlatform) {
  LiveEndpoints endpoints;
  endpoints.api_base_url = "http://127.0.0.1:1";  // nothing listens there
  panel::PanelModel panel;
  RoomInfo info = lookup_room("1017", endpoints, panel);
  EXPECT_EQ(info.room_id, 0);
  EXPECT_EQ(info.token, "");
  EXPECT_EQ(panel.recent_log(), std::vector<std::string>{"正在进入  的直播间 <>"_gbk});
}

TEST(RoomSlots, ThreeSlotsOnlyTheFirstConnects) {
  const auto& slots = room_slots();
  EXPECT_EQ(slots[0].room_box, panel::Control::编辑框_w1);
  EXPECT_EQ(slots[1].room_box, panel::Control::编辑框_w2);
  EXPECT_EQ(slots[2].room_box, panel::Control::编辑框_w3);
  EXPECT_EQ(slots[0].setting_key, "直播间1");
  EXPECT_EQ(slots[2].initial_caption, "连接直播间③");
  EXPECT_TRUE(slots[0].connects);
  EXPECT_FALSE(slots[1].connects);
  EXPECT_FALSE(slots[2].connects);
}

}  // namespace
}  // namespace lumora::live
