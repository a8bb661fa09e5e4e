// The built program, end to end: `lumora --headless` in a temporary program
// directory, its automatic comments from the test lists, and a consumer
// written with Node's `ws` package (tests/node/ws_peer.js) receiving them.
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "app/headless.h"
#include "db/db_connection.h"
#include "json/json_document.h"
#include "support/node_peer.h"
#include "support/program_runner.h"
#include "text/gbk.h"
#include "text/literal.h"

namespace lumora::app {
namespace {

using namespace std::chrono_literals;
using namespace lumora::text::literals;

const std::string kProgram = LUMORA_BINARY_DIR "/src/app/lumora";

std::string slurp(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

void spit(const std::string& path, const std::string& bytes) {
  std::ofstream(path, std::ios::binary) << bytes;
}

using test::free_port;

// The built program with its standard output collected line by line.
class Program : public test::ProgramRunner {
 public:
  explicit Program(std::vector<std::string> args) : ProgramRunner(kProgram, std::move(args)) {}
};

class HeadlessTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!std::filesystem::exists(kProgram)) GTEST_SKIP() << kProgram << " is not built";
    char pattern[] = "/tmp/lumora_home_XXXXXX";
    ASSERT_NE(::mkdtemp(pattern), nullptr);
    home_ = pattern;
  }
  void TearDown() override {
    if (!home_.empty()) std::filesystem::remove_all(home_);
  }

  // One viewer and one comment, so every automatic comment is the same.
  void write_test_lists(const std::string& comment) {
    spit(home_ + "/uid.txt", "123-甲\r\n"_gbk);
    spit(home_ + "/content.txt", text::utf8_to_gbk(comment) + "\r\n");
  }

  // Starts the program, a consumer, and returns the consumer's messages once
  // it has at least `count` of them.
  std::vector<std::string> consume(Program& program, int ws_port, std::size_t count) {
    EXPECT_TRUE(program.wait_for_line("标签_WSS: WS正常启动 " + std::to_string(ws_port)));
    test::NodePeer consumer(LUMORA_NODE_DIR "/ws_peer.js",
                            {"consume", "ws://127.0.0.1:" + std::to_string(ws_port) + "/"});
    EXPECT_TRUE(consumer.ok()) << consumer.error();
    const auto deadline = std::chrono::steady_clock::now() + 10s;
    while (consumer.lines().size() < count && std::chrono::steady_clock::now() < deadline) {
      std::this_thread::sleep_for(20ms);
    }
    return consumer.lines();
  }

  std::string home_;
};

TEST_F(HeadlessTest, AutomaticCommentsReachAWebSocketConsumerAndSigtermEndsCleanly) {
  write_test_lists("a-b-c");
  const int ws_port = free_port();
  Program program({"--headless", "--home", home_, "--ws-port", std::to_string(ws_port),
                   "--http-port", "8081", "--simulate", "2000"});
  ASSERT_TRUE(program.started());
  std::vector<std::string> messages = consume(program, ws_port, 2);
  ASSERT_GE(messages.size(), 2u);
  // The consumer prints each text as a JSON string literal.
  const std::string expected =
      R"("{\"uid\":123,\"name\":\"甲\",\"type\":1,\"instruct\":\"a\",\"parameter1\":\"b\",)"
      R"(\"parameter2\":\"c\",\"data\":\"a-b-c\",\"head\":\"http://127.0.0.1:8081/head?uid=123\"}")";
  for (const auto& message : messages) EXPECT_EQ(message, expected);
  EXPECT_TRUE(program.wait_for_line("甲(123)说：a-b-c"));

  EXPECT_EQ(program.stop_with(SIGTERM), 0);
  // The lists were saved at the stop, the settings folder exists, no
  // data.json (file interaction was off).
  EXPECT_EQ(slurp(home_ + "/uid.txt"), "123-甲\r\n"_gbk);
  EXPECT_EQ(slurp(home_ + "/content.txt"), "a-b-c\r\n");
  EXPECT_TRUE(std::filesystem::is_directory(home_ + "/网站/数据"));
  EXPECT_TRUE(std::filesystem::is_directory(home_ + "/头像"));
  EXPECT_FALSE(std::filesystem::exists(home_ + "/data.json"));
}

TEST_F(HeadlessTest, SplitChoiceIsStoredAndRestoredAtTheNextStart) {
  write_test_lists("1 2 3");
  const int ws_port = free_port();
  {
    Program program({"--headless", "--home", home_, "--ws-port", std::to_string(ws_port),
                     "--split-bytes", "1", "--simulate", "2000"});
    std::vector<std::string> messages = consume(program, ws_port, 1);
    ASSERT_GE(messages.size(), 1u);
    EXPECT_EQ(
        messages[0],
        R"("{\"uid\":123,\"name\":\"甲\",\"type\":1,\"instruct\":\"1\",\"parameter1\":\"23\",)"
        R"(\"parameter2\":\"\",\"data\":\"1 2 3\",\"head\":\"http://127.0.0.1/head?uid=123\"}")");
    EXPECT_EQ(program.stop_with(SIGINT), 0);
  }
  const std::string config = slurp(home_ + "/网站/数据/Config.ini");
  EXPECT_NE(config.find("[Wirlex设置]\r\n"_gbk), std::string::npos);
  EXPECT_NE(config.find("分割类型=1\r\n"_gbk), std::string::npos);
  EXPECT_NE(config.find("截取字符=1\r\n"_gbk), std::string::npos);

  // No split option this time: first-bytes mode comes back from Config.ini.
  Program again(
      {"--headless", "--home", home_, "--ws-port", std::to_string(ws_port), "--simulate", "2000"});
  std::vector<std::string> messages = consume(again, ws_port, 1);
  ASSERT_GE(messages.size(), 1u);
  EXPECT_NE(messages[0].find(R"(\"instruct\":\"1\",\"parameter1\":\"23\")"), std::string::npos)
      << messages[0];
  EXPECT_EQ(again.stop_with(SIGTERM), 0);
}

TEST_F(HeadlessTest, ATakenPortShowsStartFailureAndTheProgramKeepsRunning) {
  int blocker = ::socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_ANY);
  ASSERT_EQ(::bind(blocker, reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);
  ASSERT_EQ(::listen(blocker, 1), 0);
  socklen_t len = sizeof addr;
  ::getsockname(blocker, reinterpret_cast<sockaddr*>(&addr), &len);
  const int port = ntohs(addr.sin_port);

  Program program({"--headless", "--home", home_, "--ws-port", std::to_string(port)});
  EXPECT_TRUE(program.wait_for_line("标签_WSS: 启动失败"));
  std::this_thread::sleep_for(200ms);
  EXPECT_EQ(program.wait_exit(0ms), -1) << "the program ended by itself";
  EXPECT_EQ(program.stop_with(SIGTERM), 0);
  ::close(blocker);
}

TEST(CommandLineTest, OptionsAndTheirErrors) {
  CommandLine line;
  std::string error;
  ASSERT_TRUE(parse_command_line({"--headless", "--home", "/x", "--ws-port", "9000", "--http-port",
                                  "8081", "--bind", "127.0.0.1", "--no-ws", "--http", "--file",
                                  "--gbk", "--split-bytes", "2", "--simulate", "1000"},
                                 line, error))
      << error;
  EXPECT_TRUE(line.headless);
  EXPECT_EQ(line.home, "/x");
  EXPECT_EQ(line.ws_port, 9000);
  EXPECT_EQ(line.http_port, 8081);
  EXPECT_EQ(line.bind_address, "127.0.0.1");
  EXPECT_TRUE(line.no_ws && line.http && line.file && line.gbk);
  EXPECT_EQ(line.split_bytes, 2);
  EXPECT_EQ(line.simulate, 1000);

  // The later split choice wins, as clicking the other radio would.
  CommandLine both;
  ASSERT_TRUE(parse_command_line({"--split-bytes", "3", "--split-separator", "、"}, both, error));
  EXPECT_FALSE(both.split_bytes);
  EXPECT_EQ(both.split_separator, "、");

  const std::vector<std::vector<std::string>> bad = {
      {"--ws-port"},        {"--ws-port", "70000"}, {"--ws-port", "80x"}, {"--simulate", "2001"},
      {"--simulate", "-1"}, {"--http-port", "0"},   {"--unknown"},
  };
  for (const auto& args : bad) {
    CommandLine l;
    std::string e;
    EXPECT_FALSE(parse_command_line(args, l, e)) << args[0];
    EXPECT_FALSE(e.empty());
  }
}

TEST_F(HeadlessTest, FirstStartCreatesTheDataStoreAndLaterStartsKeepIt) {
  const int ws_port = free_port();
  {
    Program program({"--headless", "--home", home_, "--ws-port", std::to_string(ws_port)});
    ASSERT_TRUE(program.wait_for_line("标签_WSS: WS正常启动"));
    EXPECT_EQ(program.stop_with(SIGTERM), 0);
  }
  ASSERT_TRUE(std::filesystem::exists(home_ + "/data.db"));
  {
    db::DbConnection connection;
    ASSERT_TRUE(connection.open_sqlite(home_ + "/data.db"));
    json::JsonDocument record;
    record.SetInt("uid", 7);
    record.SetText("group_", "g");
    record.SetText("key_", "k");
    record.SetText("data", "kept");
    EXPECT_EQ(connection.save_record("user", record), 4) << "the first stored record gets id 4";
    connection.close_connection();
  }
  {
    Program program({"--headless", "--home", home_, "--ws-port", std::to_string(ws_port)});
    ASSERT_TRUE(program.wait_for_line("标签_WSS: WS正常启动"));
    EXPECT_EQ(program.stop_with(SIGTERM), 0);
  }
  db::DbConnection connection;
  ASSERT_TRUE(connection.open_sqlite(home_ + "/data.db"));
  json::JsonDocument row;
  ASSERT_TRUE(connection.query_first("select * from user where id=4", row));
  EXPECT_EQ(row.GetText("data"), "kept");
}

}  // namespace
}  // namespace lumora::app
