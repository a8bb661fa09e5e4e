// The built program against the fake live platform: `lumora --headless
// --connect` authenticates, heartbeats and hands every viewer event of the
// platform's batches to a consumer on the event port (a Node `ws` client),
// then reconnects when the platform closes the connection.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <filesystem>
#include <fstream>
#include <iterator>

#include <gtest/gtest.h>

#include "fake_platform.h"
#include "support/program_runner.h"
#include "text/literal.h"

namespace lumora::live {
namespace {

using namespace std::chrono_literals;
using namespace text::literals;
using lumora::test::free_port;
using lumora::test::ProgramRunner;
using test::FakePlatform;
using test::wait_until;

const std::string kProgram = LUMORA_BINARY_DIR "/src/app/lumora";

// The consumer prints each text message as a JSON string literal.
std::string quoted(const std::string& text) {
  std::string out = "\"";
  for (char c : text) {
    if (c == '"' || c == '\\') out += '\\';
    out += c;
  }
  return out + "\"";
}

class LiveEndToEnd : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!std::filesystem::exists(kProgram)) GTEST_SKIP() << kProgram << " is not built";
    ASSERT_TRUE(platform_.ok()) << platform_.error();
    char pattern[] = "/tmp/lumora_live_XXXXXX";
    ASSERT_NE(::mkdtemp(pattern), nullptr);
    home_ = pattern;
  }
  void TearDown() override {
    if (!home_.empty()) std::filesystem::remove_all(home_);
  }
  std::vector<std::string> program_args(int ws_port) const {
    return {"--headless",
            "--home",
            home_,
            "--ws-port",
            std::to_string(ws_port),
            "--connect",
            "--room",
            "1017",
            "--live-api",
            platform_.base(),
            "--danmaku-url",
            "ws://127.0.0.1:" + std::to_string(platform_.port()) + "/sub",
            "--live-origin",
            "http://origin.test"};
  }

  FakePlatform platform_{{"--origin", "http://origin.test", "--real-room", "5050"}};
  std::string home_;
};

const char* const kBatch = R"([
  {"cmd":"DANMU_MSG","info":[[0,1,25],"a-b-c",[11,"甲"]]},
  {"cmd":"SEND_GIFT","data":{"uid":12,"uname":"乙","giftId":1,"giftName":"辣条","num":2,"price":100}},
  {"cmd":"COMBO_SEND","data":{"uid":12}},
  {"cmd":"INTERACT_WORD","data":{"uid":13,"uname":"丙","msg_type":2}},
  {"cmd":"INTERACT_WORD","data":{"uid":14,"uname":"丁","msg_type":1}},
  {"cmd":"GUARD_BUY","data":{"uid":15,"username":"戊","gift_name":"舰长","start_time":1,"end_time":2}},
  {"cmd":"DANMU_MSG:4:0:2:2:2:0","info":[[0],"x",[16,"己"]]}
])";

const std::vector<std::string> kExpected = {
    quoted(
        R"({"uid":11,"name":"甲","type":1,"instruct":"a","parameter1":"b","parameter2":"c","data":"a-b-c","head":"http://127.0.0.1/head?uid=11"})"),
    quoted(
        R"({"uid":12,"name":"乙","type":2,"gif_id":1,"gif_name":"辣条","gif_num":2,"gif_price":100,"head":"http://127.0.0.1/head?uid=12"})"),
    quoted(R"({"uid":13,"name":"丙","type":3,"head":"http://127.0.0.1/head?uid=13"})"),
    quoted(R"({"uid":14,"name":"丁","type":4,"head":"http://127.0.0.1/head?uid=14"})"),
    quoted(
        R"({"uid":15,"name":"戊","type":5,"gifname":"舰长","timenew":1,"timeold":2,"head":"http://127.0.0.1/head?uid=15"})"),
    quoted(
        R"({"uid":16,"name":"己","type":1,"instruct":"x","parameter1":"","parameter2":"","data":"x","head":"http://127.0.0.1/head?uid=16"})"),
};

TEST_F(LiveEndToEnd, EventsReachTheConsumerInOrderAndFlowAgainAfterAReconnect) {
  const int ws_port = free_port();
  ProgramRunner program(kProgram, program_args(ws_port));
  ASSERT_TRUE(program.started());
  ASSERT_TRUE(program.wait_for_lines("标签_客户端_状态: 连接成功", 1));
  ASSERT_TRUE(program.wait_for_lines("标签_WSS: WS正常启动", 1));
  EXPECT_TRUE(program.wait_for_lines("正在进入 主播 的直播间 <测试房间>", 1));
  ASSERT_TRUE(wait_until([&] { return platform_.state().SizeAt("heartbeats") >= 1; }));
  auto state = platform_.state();
  EXPECT_EQ(state.SizeAt("header_checks/0"), 0u) << state.JsonAt("header_checks");
  EXPECT_TRUE(state.GetBool("auths/0/ok")) << state.JsonAt("auths");
  EXPECT_EQ(state.GetText("api_requests/0/query"), "?room_id=1017");

  lumora::test::NodePeer consumer(LUMORA_NODE_DIR "/ws_peer.js",
                                  {"consume", "ws://127.0.0.1:" + std::to_string(ws_port) + "/"});
  ASSERT_TRUE(consumer.ok()) << consumer.error();
  // The consumer counts as the newest client once the server has taken it in;
  // a probe batch that arrives tells so.
  ASSERT_TRUE(wait_until([&] {
    platform_.send_batch(R"([{"cmd":"INTERACT_WORD","data":{"uid":1,"uname":"p","msg_type":1}}])");
    return wait_until([&] { return !consumer.lines().empty(); }, 300ms);
  }));
  std::size_t probes = consumer.lines().size();

  platform_.send_batch(kBatch, "zlib");
  ASSERT_TRUE(wait_until([&] { return consumer.lines().size() >= probes + kExpected.size(); }));
  std::vector<std::string> lines = consumer.lines();
  // Late probes may still arrive before the batch.
  std::size_t first = lines.size() - kExpected.size();
  EXPECT_EQ(std::vector<std::string>(lines.begin() + static_cast<long>(first), lines.end()),
            kExpected);
  EXPECT_TRUE(program.wait_for_lines("甲(11)说：a-b-c", 1));

  // The platform drops the connection: the program reconnects on its own.
  platform_.control("/control/close");
  ASSERT_TRUE(program.wait_for_lines("标签_客户端_状态: 已断开", 1));
  ASSERT_TRUE(program.wait_for_lines("标签_客户端_状态: 连接成功", 2, 15s));
  ASSERT_TRUE(wait_until([&] { return platform_.state().SizeAt("auths") == 2; }));
  EXPECT_TRUE(platform_.state().GetBool("auths/1/ok"));
  std::size_t before = consumer.lines().size();
  platform_.send_batch(kBatch, "brotli");
  ASSERT_TRUE(wait_until([&] { return consumer.lines().size() >= before + kExpected.size(); }));
  lines = consumer.lines();
  EXPECT_EQ(std::vector<std::string>(lines.begin() + static_cast<long>(before), lines.end()),
            kExpected);

  EXPECT_EQ(program.stop_with(SIGTERM), 0);
  // --room typed the number into the room box, which stores it.
  std::ifstream config(home_ + "/网站/数据/Config.ini", std::ios::binary);
  std::string ini((std::istreambuf_iterator<char>(config)), std::istreambuf_iterator<char>());
  EXPECT_NE(ini.find("直播间1=1017\r\n"_gbk), std::string::npos);
}

TEST_F(LiveEndToEnd, UnreachablePlatformEndsTheProgram) {
  std::vector<std::string> args = program_args(free_port());
  args[args.size() - 3] = "ws://127.0.0.1:1/sub";
  ProgramRunner program(kProgram, args);
  ASSERT_TRUE(program.started());
  EXPECT_EQ(program.wait_exit(15s), 0);
  EXPECT_EQ(program.count_lines("连接直播间失败！"), 1u);
  EXPECT_EQ(platform_.state().SizeAt("api_requests"), 0u);
}

}  // namespace
}  // namespace lumora::live
