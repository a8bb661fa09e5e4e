#include "live/room_connection.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <mutex>

#include "fake_platform.h"
#include "live/packet_codec.h"
#include "recording_sink.h"
#include "text/gbk.h"
#include "text/literal.h"

namespace lumora::live {
namespace {

using namespace std::chrono_literals;
using namespace text::literals;
using test::FakePlatform;
using test::RecordingSink;
using test::wait_until;

// What the panel was told, in order.
class PanelLog {
 public:
  explicit PanelLog(panel::PanelModel& panel) : panel_(panel) {
    id_ = panel.add_observer([this](const panel::PanelChange& change) {
      std::lock_guard<std::mutex> lock(mutex_);
      if (change.kind == panel::PanelChange::Kind::state &&
          change.control == panel::Control::标签_客户端_状态)
        statuses_.push_back(text::gbk_to_utf8(change.text));
      if (change.kind == panel::PanelChange::Kind::message_box)
        messages_.push_back(text::gbk_to_utf8(change.text));
    });
  }
  ~PanelLog() { panel_.remove_observer(id_); }
  std::vector<std::string> statuses() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return statuses_;
  }
  std::vector<std::string> messages() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return messages_;
  }

 private:
  panel::PanelModel& panel_;
  panel::PanelModel::ObserverId id_ = 0;
  mutable std::mutex mutex_;
  std::vector<std::string> statuses_;
  std::vector<std::string> messages_;
};

class RoomConnectionTest : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_TRUE(platform_.ok()) << platform_.error(); }

  RoomConnectionOptions options() const {
    RoomConnectionOptions o;
    o.endpoints = platform_.endpoints();
    o.heartbeat_period_ms = 150ms;
    o.reconnect_base_ms = 50ms;
    o.reconnect_max_ms = 400ms;
    o.connect_timeout_ms = 3000ms;
    return o;
  }
  std::size_t count(const char* member) { return platform_.state().SizeAt(member); }

  FakePlatform platform_;
  panel::PanelModel panel_;
  RecordingSink sink_;
};

constexpr const char* kDanmaku = R"({"cmd":"DANMU_MSG","info":[[0],"你好",[11,"甲"]]})";
constexpr const char* kGift =
    R"({"cmd":"SEND_GIFT","data":{"uid":12,"uname":"乙","giftId":1,"giftName":"辣条","num":2,"price":100}})";
constexpr const char* kFollow =
    R"({"cmd":"INTERACT_WORD","data":{"uid":13,"uname":"丙","msg_type":2}})";
constexpr const char* kEnter =
    R"({"cmd":"INTERACT_WORD","data":{"uid":14,"uname":"丁","msg_type":1}})";
constexpr const char* kGuard =
    R"({"cmd":"GUARD_BUY","data":{"uid":15,"username":"戊","gift_name":"舰长","start_time":1,"end_time":2}})";

TEST_F(RoomConnectionTest, ConnectsAuthenticatesAndHeartbeats) {
  PanelLog log(panel_);
  RoomConnection connection(panel_, sink_, options());
  ASSERT_TRUE(connection.connect_room("1017"));
  EXPECT_EQ(panel_.text(panel::Control::标签_客户端_状态), "连接成功"_gbk);
  EXPECT_EQ(panel_.text(panel::Control::按钮_客户端_连接), "断开"_gbk);
  EXPECT_EQ(panel_.recent_log().back(), "正在进入 主播 的直播间 <测试房间>"_gbk);

  ASSERT_TRUE(wait_until([&] { return count("heartbeats") >= 6; }));
  auto state = platform_.state();
  EXPECT_EQ(state.SizeAt("header_checks/0"), 0u) << state.JsonAt("header_checks");
  ASSERT_EQ(state.SizeAt("auths"), 1u);
  EXPECT_TRUE(state.GetBool("auths/0/ok")) << state.JsonAt("auths/0/problems");
  EXPECT_EQ(
      state.GetText("auths/0/text"),
      R"({"uid":0,"roomid":5050,"protover":1,"platform":"client","type":1,"key":"fake-token-123"})");
  EXPECT_EQ(state.SizeAt("bad_frames"), 0u) << state.JsonAt("bad_frames");
  // One heartbeat right after the authentication, then one per period from
  // the connection's start.
  double auth_ms = state.GetNumber("auths/0/t_ms");
  double first_ms = state.GetNumber("heartbeats/0/t_ms");
  EXPECT_LT(first_ms - auth_ms, 100.0);
  std::size_t n = state.SizeAt("heartbeats");
  double last_ms = state.GetNumber("heartbeats/" + std::to_string(n - 1) + "/t_ms");
  double second_ms = state.GetNumber("heartbeats/1/t_ms");
  double mean_period = (last_ms - second_ms) / static_cast<double>(n - 2);
  EXPECT_GT(mean_period, 0.8 * 150);
  EXPECT_LT(mean_period, 2.0 * 150);
  for (std::size_t i = 0; i < n; ++i)
    EXPECT_TRUE(state.GetBool("heartbeats/" + std::to_string(i) + "/ok"));
  EXPECT_EQ(connection.stats().connections, 1u);
  EXPECT_EQ(log.statuses(), std::vector<std::string>{"连接成功"});
  connection.stop();
  ASSERT_TRUE(wait_until([&] { return platform_.state().GetInt("open") == 0; }));
}

TEST_F(RoomConnectionTest, EventsOfEveryBatchKindArriveInOrder) {
  RoomConnection connection(panel_, sink_, options());
  ASSERT_TRUE(connection.connect_room("1017"));
  ASSERT_TRUE(wait_until([&] { return count("auths") == 1; }));
  platform_.send_batch(std::string("[") + kDanmaku + "," + kGift + "," + kFollow + "]", "zlib");
  platform_.control("/control/text?body=%7B%22cmd%22%3A%22DANMU_MSG%22%7D");
  platform_.send_batch(std::string("[") + kEnter + "," + kGuard + "]", "brotli");
  platform_.send_batch(std::string("[") + kDanmaku + R"(,{"cmd":"COMBO_SEND"},)" + kGift + "]",
                       "plain");
  ASSERT_TRUE(wait_until([&] { return sink_.size() >= 7; }));
  EXPECT_EQ(sink_.calls(), (std::vector<std::string>{
                               "danmaku|11|"_gbk + "甲|你好"_gbk,
                               "gift|12|乙|1|辣条|2|100"_gbk,
                               "follow|13|丙"_gbk,
                               "enter|14|丁"_gbk,
                               "guard|15|戊|舰长|1|2"_gbk,
                               "danmaku|11|"_gbk + "甲|你好"_gbk,
                               "gift|12|乙|1|辣条|2|100"_gbk,
                           }));
  auto stats = connection.stats();
  EXPECT_EQ(stats.text_messages_ignored, 1u);
  EXPECT_GE(stats.frames_received, 4u);  // auth reply, heartbeat replies and the batches
}

TEST_F(RoomConnectionTest, ReconnectsWithTheRoomBoxTextAfterAClose) {
  PanelLog log(panel_);
  RoomConnection connection(panel_, sink_, options());
  ASSERT_TRUE(connection.connect_room("1017"));
  ASSERT_TRUE(wait_until([&] { return count("auths") == 1; }));
  panel_.set_text(panel::Control::编辑框_w1, "2020");
  platform_.control("/control/close");
  ASSERT_TRUE(wait_until([&] { return count("auths") == 2 && connection.stats().connected; }));
  auto state = platform_.state();
  EXPECT_TRUE(state.GetBool("auths/1/ok"));
  EXPECT_EQ(state.GetText("api_requests/2/query"), "?room_id=2020");
  EXPECT_EQ(state.GetText("api_requests/3/query"), "?id=2020&type=0");
  EXPECT_EQ(log.statuses(), (std::vector<std::string>{"连接成功", "已断开", "连接成功"}));
  EXPECT_EQ(panel_.text(panel::Control::按钮_客户端_连接), "断开"_gbk);
  // The dropped connection's heartbeats stopped: the new one has its own.
  ASSERT_TRUE(wait_until([&] { return count("heartbeats") >= 4; }));
  platform_.send_batch(std::string("[") + kEnter + "]");
  ASSERT_TRUE(wait_until([&] { return sink_.size() == 1; }));
  EXPECT_FALSE(panel_.quit_requested());
  EXPECT_EQ(connection.stats().closes, 1u);
}

TEST_F(RoomConnectionTest, WaitsLongerEachTimeARoomKeepsClosing) {
  platform_.control("/control/set?close_on_auth=1");
  RoomConnection connection(panel_, sink_, options());
  ASSERT_TRUE(connection.connect_room("1017"));
  ASSERT_TRUE(wait_until([&] { return count("opens_ms") >= 6; }));
  auto state = platform_.state();
  // Waits of 50, 100, 200, 400, 400 ms between a close and the next open.
  const double expected_ms[] = {50, 100, 200, 400, 400};
  for (std::size_t i = 0; i < std::size(expected_ms); ++i) {
    double closed = state.GetNumber("closes_ms/" + std::to_string(i));
    double opened = state.GetNumber("opens_ms/" + std::to_string(i + 1));
    EXPECT_GE(opened - closed, 0.8 * expected_ms[i]) << "attempt " << i + 1;
  }
  EXPECT_EQ(connection.stats().next_reconnect_delay_ms, 400ms);
  EXPECT_FALSE(panel_.quit_requested());
  connection.stop();
  std::size_t opens = count("opens_ms");
  std::this_thread::sleep_for(600ms);
  EXPECT_EQ(count("opens_ms"), opens);  // stopped means no more attempts
}

TEST_F(RoomConnectionTest, AutomaticReconnectRetriesWhileThePlatformIsGone) {
  PanelLog log(panel_);
  int port = platform_.port();
  RoomConnection connection(panel_, sink_, options());
  ASSERT_TRUE(connection.connect_room("1017"));
  ASSERT_TRUE(wait_until([&] { return count("auths") == 1; }));
  platform_.stop();  // the platform goes away with its port
  ASSERT_TRUE(wait_until([&] { return connection.stats().failed_attempts >= 2; }));
  EXPECT_FALSE(panel_.quit_requested());
  EXPECT_TRUE(log.messages().empty());
  EXPECT_EQ(panel_.text(panel::Control::标签_客户端_状态), "已断开"_gbk);
  EXPECT_EQ(panel_.text(panel::Control::按钮_客户端_连接), "连接"_gbk);

  FakePlatform again({"--port", std::to_string(port)});
  ASSERT_TRUE(again.ok()) << again.error();
  ASSERT_TRUE(wait_until([&] { return again.state().SizeAt("auths") == 1; }));
  EXPECT_TRUE(again.state().GetBool("auths/0/ok"));
  EXPECT_EQ(panel_.text(panel::Control::标签_客户端_状态), "连接成功"_gbk);
}

TEST_F(RoomConnectionTest, ConnectingAgainReplacesTheConnection) {
  RoomConnection connection(panel_, sink_, options());
  ASSERT_TRUE(connection.connect_room("1017"));
  ASSERT_TRUE(connection.connect_room("1017"));
  ASSERT_TRUE(wait_until([&] { return count("auths") == 2 && count("closes_ms") == 1; }));
  std::this_thread::sleep_for(300ms);
  auto state = platform_.state();
  EXPECT_EQ(state.GetInt("connections"), 2);  // the replaced one is not reconnected
  EXPECT_EQ(state.GetInt("open"), 1);
}

struct FailingAddress {
  const char* what;
  std::string danmaku_url;
};

TEST(RoomConnectionFailure, UserStartedConnectFailureEndsTheProgram) {
  FakePlatform platform;
  ASSERT_TRUE(platform.ok()) << platform.error();
  const std::string port = std::to_string(platform.port());
  const FailingAddress cases[] = {
      {"nothing listens", "ws://127.0.0.1:1/sub"},
      {"TLS to a plain port", "wss://127.0.0.1:" + port + "/sub"},
      {"no WebSocket at the path", "ws://127.0.0.1:" + port + "/other"},
      {"not a WebSocket address", "http://127.0.0.1:" + port + "/sub"},
  };
  for (const FailingAddress& c : cases) {
    panel::PanelModel panel;
    PanelLog log(panel);
    RecordingSink sink;
    RoomConnectionOptions options;
    options.endpoints = platform.endpoints();
    options.endpoints.danmaku_url = c.danmaku_url;
    options.connect_timeout_ms = 3000ms;
    RoomConnection connection(panel, sink, options);
    EXPECT_FALSE(connection.connect_room("1017")) << c.what;
    EXPECT_EQ(log.messages(), std::vector<std::string>{"连接直播间失败！"}) << c.what;
    EXPECT_TRUE(panel.quit_requested()) << c.what;
    EXPECT_EQ(panel.exit_code(), 0);
    EXPECT_EQ(panel.text(panel::Control::标签_客户端_状态), "已断开"_gbk);
    EXPECT_FALSE(connection.stats().last_error.empty());
    connection.stop();
    EXPECT_EQ(connection.stats().connections, 0u) << c.what;
  }
  EXPECT_EQ(platform.state().SizeAt("auths"), 0u);
}

TEST(RoomConnectionFailure, StopBeforeAndAfterAreHarmless) {
  panel::PanelModel panel;
  RecordingSink sink;
  {
    RoomConnection never_connected(panel, sink);
    never_connected.stop();
    EXPECT_FALSE(never_connected.connect_room("1"));  // stopped for good
  }
  EXPECT_FALSE(panel.quit_requested());
}

TEST(WebSocketUrl, Parts) {
  WebSocketAddress a;
  ASSERT_TRUE(parse_websocket_url("wss://broadcastlv.chat.bilibili.com:2245/sub", a));
  EXPECT_TRUE(a.tls);
  EXPECT_EQ(a.host, "broadcastlv.chat.bilibili.com");
  EXPECT_EQ(a.port, 2245);
  EXPECT_EQ(a.target, "/sub");
  EXPECT_EQ(a.host_header, "broadcastlv.chat.bilibili.com:2245");
  ASSERT_TRUE(parse_websocket_url("ws://h", a));
  EXPECT_FALSE(a.tls);
  EXPECT_EQ(a.port, 80);
  EXPECT_EQ(a.target, "/");
  ASSERT_TRUE(parse_websocket_url("ws://[::1]:9/x?y=1", a));
  EXPECT_EQ(a.host, "::1");
  EXPECT_EQ(a.port, 9);
  EXPECT_EQ(a.target, "/x?y=1");
  for (const char* bad : {"", "http://h/", "ws://", "ws://:80/", "ws://h:0/", "ws://h:65536/",
                          "ws://h:8x/", "ws://u@h/", "ws://[::1/"}) {
    EXPECT_FALSE(parse_websocket_url(bad, a)) << bad;
  }
  LiveEndpoints defaults;
  ASSERT_TRUE(parse_websocket_url(defaults.danmaku_url, a));
  EXPECT_EQ(a.port, 2244);
  EXPECT_EQ(a.target, "/sub");
}

TEST(AuthMessage, MembersInOrder) {
  RoomInfo info;
  info.room_id = 7;
  info.token = "k\"1";
  EXPECT_EQ(build_auth_message(info),
            R"({"uid":0,"roomid":7,"protover":1,"platform":"client","type":1,"key":"k\"1"})");
}

}  // namespace
}  // namespace lumora::live
