// The event WebSocket server through real sockets on 127.0.0.1. The
// consumers are Node `ws` clients (tests/node/ws_peer.js) driven over a line
// protocol, so a framing mistake of ours is not mirrored by the peer; the
// stalled and malformed clients are raw TCP sockets.
#include "relay/event_ws_server.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "support/node_peer.h"

namespace lumora::relay {
namespace {

using namespace std::chrono_literals;

bool wait_until(const std::function<bool()>& condition,
                std::chrono::milliseconds timeout = 5000ms) {
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  while (std::chrono::steady_clock::now() < deadline) {
    if (condition()) return true;
    std::this_thread::sleep_for(5ms);
  }
  return condition();
}

int connect_tcp(int port) {
  int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return -1;
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_port = htons(static_cast<uint16_t>(port));
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (::connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
    ::close(fd);
    return -1;
  }
  return fd;
}

// Reads until the text contains `until` or the timeout passes.
std::string read_until(int fd, std::string_view until, std::chrono::milliseconds timeout = 5000ms) {
  std::string got;
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  while (got.find(until) == std::string::npos) {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0) break;
    pollfd p{fd, POLLIN, 0};
    if (::poll(&p, 1, static_cast<int>(left.count())) <= 0) continue;
    char buf[4096];
    ssize_t n = ::read(fd, buf, sizeof buf);
    if (n <= 0) break;
    got.append(buf, static_cast<size_t>(n));
  }
  return got;
}

bool write_all(int fd, std::string_view bytes) {
  while (!bytes.empty()) {
    ssize_t n = ::send(fd, bytes.data(), bytes.size(), MSG_NOSIGNAL);
    if (n <= 0) return false;
    bytes.remove_prefix(static_cast<size_t>(n));
  }
  return true;
}

// True once the peer closed the connection (read gives 0 or an error).
bool closed_by_peer(int fd, std::chrono::milliseconds timeout = 5000ms) {
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  while (std::chrono::steady_clock::now() < deadline) {
    pollfd p{fd, POLLIN, 0};
    if (::poll(&p, 1, 50) <= 0) continue;
    char buf[4096];
    ssize_t n = ::read(fd, buf, sizeof buf);
    if (n <= 0) return true;
  }
  return false;
}

// A raw client that completes the WebSocket handshake and then does only
// what the test says. rcvbuf_bytes > 0 shrinks its receive buffer so a stall
// fills quickly.
int raw_ws_client(int port, int rcvbuf_bytes = 0) {
  int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return -1;
  if (rcvbuf_bytes > 0) ::setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &rcvbuf_bytes, sizeof rcvbuf_bytes);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_port = htons(static_cast<uint16_t>(port));
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (::connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
    ::close(fd);
    return -1;
  }
  const std::string request =
      "GET / HTTP/1.1\r\nHost: 127.0.0.1\r\nUpgrade: websocket\r\nConnection: Upgrade\r\n"
      "Sec-WebSocket-Key: dGhlIHNhbXBsZSBub25jZQ==\r\nSec-WebSocket-Version: 13\r\n\r\n";
  if (!write_all(fd, request) ||
      read_until(fd, "\r\n\r\n").find("101 Switching Protocols") == std::string::npos) {
    ::close(fd);
    return -1;
  }
  return fd;
}

// A client frame as a raw peer writes it: masked with the all-zero key (so
// the payload travels as it is), length in the shortest form unless
// long_length forces the 16-bit one.
std::string client_frame(unsigned char first_byte, std::string_view payload,
                         bool long_length = false) {
  std::string frame(1, static_cast<char>(first_byte));
  if (payload.size() < 126 && !long_length) {
    frame += static_cast<char>(0x80 | payload.size());
  } else {
    frame += '\xfe';
    frame += static_cast<char>(payload.size() >> 8);
    frame += static_cast<char>(payload.size() & 0xff);
  }
  frame.append(4, '\0');
  frame.append(payload);
  return frame;
}

// Reads exactly n bytes (less when the peer closes or the timeout passes).
std::string read_bytes(int fd, std::size_t n, std::chrono::milliseconds timeout = 5000ms) {
  std::string got;
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  while (got.size() < n) {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0) break;
    pollfd p{fd, POLLIN, 0};
    if (::poll(&p, 1, static_cast<int>(left.count())) <= 0) continue;
    char buf[256];
    ssize_t r = ::read(fd, buf, std::min(sizeof buf, n - got.size()));
    if (r <= 0) break;
    got.append(buf, static_cast<size_t>(r));
  }
  return got;
}

// The code of the close frame a raw client reads first; -1 when the first
// thing read is no close frame with a code.
int read_close_code(int fd) {
  const std::string got = read_bytes(fd, 4);
  if (got.size() < 4 || got[0] != '\x88' || got[1] != 2) return -1;
  return (static_cast<unsigned char>(got[2]) << 8) | static_cast<unsigned char>(got[3]);
}

// The control connection of a ws_peer.js in control mode: one command line
// out, one answer line back.
class WsPeer {
 public:
  WsPeer() : node_(LUMORA_NODE_DIR "/ws_peer.js", {"control"}) {
    if (node_.ok()) fd_ = connect_tcp(node_.port());
  }
  ~WsPeer() {
    if (fd_ >= 0) ::close(fd_);
  }
  bool ok() const { return fd_ >= 0; }
  std::string error() const { return node_.error(); }

  std::string command(const std::string& line, std::chrono::milliseconds timeout = 10000ms) {
    if (!write_all(fd_, line + "\n")) return "<control write failed>";
    while (pending_.find('\n') == std::string::npos) {
      std::string more = read_until(fd_, "\n", timeout);
      if (more.empty()) return "<no answer to " + line + ">";
      pending_ += more;
    }
    std::size_t nl = pending_.find('\n');
    std::string answer = pending_.substr(0, nl);
    pending_.erase(0, nl + 1);
    return answer;
  }

  std::string open(const std::string& name, int port) {
    return command("open " + name + " ws://127.0.0.1:" + std::to_string(port) + "/");
  }
  int count(const std::string& name) { return number_after(command("count " + name)); }
  int wait_for(const std::string& name, int n, int timeout_ms = 5000) {
    return number_after(
        command("wait " + name + " " + std::to_string(n) + " " + std::to_string(timeout_ms)));
  }

 private:
  static int number_after(const std::string& answer) {
    std::size_t space = answer.rfind(' ');
    return space == std::string::npos ? -1 : std::atoi(answer.c_str() + space + 1);
  }
  test::NodePeer node_;
  int fd_ = -1;
  std::string pending_;
};

class EventWsServerTest : public ::testing::Test {
 protected:
  void SetUp() override {
    EventWsServerOptions options;
    options.bind_address = "127.0.0.1";
    options.port = 0;
    customise(options);
    server_ = std::make_unique<EventWsServer>(options);
    ASSERT_TRUE(server_->start()) << server_->error_text();
    port_ = server_->port();
    ASSERT_NE(port_, 0);
  }
  virtual void customise(EventWsServerOptions&) {}

  // Connects a named Node client and returns its handle once the server
  // has taken it as its newest client.
  WsClientHandle connect(WsPeer& peer, const std::string& name) {
    WsClientHandle before = server_->last_ws_client();
    std::size_t clients = server_->client_count();
    EXPECT_EQ(peer.open(name, port_), "opened " + name);
    EXPECT_TRUE(wait_until([&] {
      return server_->client_count() == clients + 1 && server_->last_ws_client() != before;
    }));
    return server_->last_ws_client();
  }

  std::unique_ptr<EventWsServer> server_;
  int port_ = 0;
};

TEST_F(EventWsServerTest, EventsGoToTheNewestClientOnlyAndItsLeavingStopsThem) {
  WsPeer peer;
  ASSERT_TRUE(peer.ok()) << peer.error();
  EXPECT_FALSE(server_->has_last_client());

  WsClientHandle a = connect(peer, "A");
  ASSERT_NE(a, 0u);
  server_->push_to_last_client("{\"uid\":1,\"name\":\"甲\"}");
  EXPECT_EQ(peer.wait_for("A", 1), 1);

  WsClientHandle b = connect(peer, "B");
  ASSERT_NE(b, 0u);
  EXPECT_NE(a, b);
  server_->push_to_last_client("{\"uid\":2}");
  server_->push_to_last_client("{\"uid\":3}");
  EXPECT_EQ(peer.wait_for("B", 2), 2);
  EXPECT_EQ(peer.command("messages B"), R"(messages B ["{\"uid\":2}","{\"uid\":3}"])");
  EXPECT_EQ(peer.command("messages A"), R"(messages A ["{\"uid\":1,\"name\":\"甲\"}"])");

  // B leaves: nobody receives, A included.
  EXPECT_EQ(peer.command("close B"), "closed B 1000");
  ASSERT_TRUE(wait_until([&] { return server_->client_count() == 1; }));
  EXPECT_EQ(server_->last_ws_client(), 0u);
  EXPECT_FALSE(server_->has_last_client());
  server_->push_to_last_client("{\"uid\":4}");
  EXPECT_EQ(peer.wait_for("A", 2, 300), 1);

  // A new client C takes over; A leaving afterwards changes nothing.
  WsClientHandle c = connect(peer, "C");
  EXPECT_EQ(peer.command("close A"), "closed A 1000");
  ASSERT_TRUE(wait_until([&] { return server_->client_count() == 1; }));
  EXPECT_EQ(server_->last_ws_client(), c);
  server_->push_to_last_client("{\"uid\":5}");
  EXPECT_EQ(peer.wait_for("C", 1), 1);
  EXPECT_EQ(peer.command("messages C"), R"(messages C ["{\"uid\":5}"])");
}

TEST_F(EventWsServerTest, HandlersFollowTheHandOverRules) {
  // The handlers alone, with handles the way the server would pass them.
  server_->on_ws_client_entered(7);
  server_->on_ws_client_entered(9);
  server_->on_ws_client_left(7);  // an older client leaving
  EXPECT_EQ(server_->last_ws_client(), 9u);
  server_->on_ws_message(9, WsMessageType::text, "anything");
  EXPECT_EQ(server_->last_ws_client(), 9u);
  server_->on_ws_client_left(9);
  EXPECT_EQ(server_->last_ws_client(), 0u);
  // A push to a handle the server does not know is a no-op.
  server_->on_ws_client_entered(12345);
  server_->push_to_last_client("lost");
  EXPECT_EQ(server_->queued_bytes(), 0u);
  server_->on_ws_client_left(12345);
}

TEST_F(EventWsServerTest, ClientMessagesGetNoReplyAndChangeNothing) {
  WsPeer peer;
  ASSERT_TRUE(peer.ok()) << peer.error();
  WsClientHandle a = connect(peer, "A");
  for (int i = 0; i < 20; ++i)
    EXPECT_EQ(peer.command("send A hello " + std::to_string(i)), "sent A");
  EXPECT_EQ(peer.command("sendbin A 100"), "sent A");
  EXPECT_EQ(peer.wait_for("A", 1, 300), 0);
  EXPECT_EQ(peer.command("state A"), "state A open 0");
  EXPECT_EQ(server_->last_ws_client(), a);
  server_->push_to_last_client("after");
  EXPECT_EQ(peer.wait_for("A", 1), 1);
}

TEST_F(EventWsServerTest, OversizeOrMalformedFramesCloseOnlyThatClient) {
  WsPeer peer;
  ASSERT_TRUE(peer.ok()) << peer.error();
  connect(peer, "A");
  WsClientHandle big = connect(peer, "BIG");
  // 70,000 bytes is above the 64 KiB read limit.
  EXPECT_EQ(peer.command("sendbin BIG 70000"), "sent BIG");
  EXPECT_EQ(peer.command("wait BIG 1 5000"), "count BIG 0");
  EXPECT_EQ(peer.command("state BIG"), "state BIG closed 1009");
  ASSERT_TRUE(wait_until([&] { return server_->client_count() == 1; }));
  EXPECT_EQ(server_->last_ws_client(), 0u);  // BIG was the newest
  EXPECT_NE(server_->last_ws_client(), big);

  // Raw clients: an unmasked frame, a reserved opcode, a frame claiming an
  // absurd 64-bit length, and bytes that are no frame at all.
  const std::string bad_frames[] = {
      std::string("\x81\x05hello", 7),
      std::string("\x83\x80\x01\x02\x03\x04", 6),
      std::string("\x82\xff\x7f\xff\xff\xff\xff\xff\xff\xff\x01\x02\x03\x04", 14),
      std::string("GET / HTTP/1.1\r\n\r\n"),
  };
  for (const std::string& frame : bad_frames) {
    int fd = raw_ws_client(port_);
    ASSERT_GE(fd, 0);
    ASSERT_TRUE(wait_until([&] { return server_->client_count() == 2; }));
    EXPECT_TRUE(write_all(fd, frame));
    EXPECT_TRUE(closed_by_peer(fd)) << "frame of " << frame.size() << " bytes";
    ::close(fd);
    ASSERT_TRUE(wait_until([&] { return server_->client_count() == 1; }));
  }

  // A is untouched and becomes reachable again once it is the newest.
  EXPECT_EQ(peer.command("state A"), "state A open 0");
  connect(peer, "A2");
  server_->push_to_last_client("still here");
  EXPECT_EQ(peer.wait_for("A2", 1), 1);
}

TEST_F(EventWsServerTest, EachMalformedFrameGetsItsCloseCodeAndEndsOnlyThatClient) {
  WsPeer peer;
  ASSERT_TRUE(peer.ok()) << peer.error();
  connect(peer, "A");
  // A Node client made to send what a client must not: an unmasked frame.
  connect(peer, "U");
  EXPECT_EQ(peer.command("sendunmasked U hello"), "sent U");
  EXPECT_EQ(peer.wait_for("U", 1, 5000), 0);
  EXPECT_EQ(peer.command("state U"), "state U closed 1002");
  ASSERT_TRUE(wait_until([&] { return server_->client_count() == 1; }));

  struct Case {
    const char* what;
    std::string bytes;
    int close_code;
  };
  const std::string no_payload;
  const Case cases[] = {
      {"unmasked text", std::string("\x81\x05hello", 7), 1002},
      {"reserved bit set", client_frame(0xc1, "x"), 1002},
      {"reserved opcode", client_frame(0x83, no_payload), 1002},
      {"ping above 125 bytes", client_frame(0x89, std::string(126, 'p')), 1002},
      {"fragmented ping", client_frame(0x09, "p"), 1002},
      {"continuation without a start", client_frame(0x80, "x"), 1002},
      {"new message inside a fragmented one", client_frame(0x01, "a") + client_frame(0x81, "b"),
       1002},
      {"length not in its shortest form", client_frame(0x81, "hello", true), 1002},
      {"text that is not UTF-8", client_frame(0x81, "\xc3\x28"), 1007},
      {"text with a UTF-16 surrogate", client_frame(0x81, "\xed\xa0\x80"), 1007},
      {"message cut inside a character", client_frame(0x01, "\xe7\x94") + client_frame(0x80, ""),
       1007},
      {"single frame above the limit (header only)",
       std::string("\x82\xff\x00\x00\x00\x00\x00\x01\x11\x70\0\0\0\0", 14), 1009},
      {"fragments adding up above the limit",
       client_frame(0x02, std::string(40000, 'a')) + client_frame(0x80, std::string(30000, 'b')),
       1009},
      {"close with a reserved code", client_frame(0x88, "\x03\xed"), 1002},
      {"close with a one-byte body", client_frame(0x88, "\x03"), 1002},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    int fd = raw_ws_client(port_);
    ASSERT_GE(fd, 0);
    ASSERT_TRUE(wait_until([&] { return server_->client_count() == 2; }));
    EXPECT_TRUE(write_all(fd, c.bytes));
    EXPECT_EQ(read_close_code(fd), c.close_code);
    EXPECT_TRUE(closed_by_peer(fd));
    ::close(fd);
    ASSERT_TRUE(wait_until([&] { return server_->client_count() == 1; }));
  }
  EXPECT_EQ(peer.command("state A"), "state A open 0");
}

TEST_F(EventWsServerTest, FragmentsPingsAndTheClosingHandshake) {
  WsPeer peer;
  ASSERT_TRUE(peer.ok()) << peer.error();
  const WsClientHandle a = connect(peer, "A");

  // A text message in seven fragments, cut anywhere (inside characters too):
  // taken whole, no reply, the client stays.
  EXPECT_EQ(peer.command("sendfrag A 7 片段-fragmented-消息-" + std::string(3000, 'f')), "sent A");
  EXPECT_EQ(peer.command("sendfrag A 1 single"), "sent A");
  // A ping is answered with its own payload, also between queued events.
  server_->push_to_last_client("before the ping");
  EXPECT_EQ(peer.command("ping A are-you-there"), "pong A are-you-there");
  EXPECT_EQ(peer.command("ping A "), "pong A ");
  EXPECT_EQ(peer.wait_for("A", 1), 1);
  EXPECT_EQ(peer.command("state A"), "state A open 0");
  EXPECT_EQ(server_->last_ws_client(), a);

  // Frames sent right behind the upgrade request, in the same write, are
  // read: the ping gets its pong.
  int fd = connect_tcp(port_);
  ASSERT_GE(fd, 0);
  const std::string request =
      "GET / HTTP/1.1\r\nHost: 127.0.0.1\r\nUpgrade: websocket\r\nConnection: Upgrade\r\n"
      "Sec-WebSocket-Key: dGhlIHNhbXBsZSBub25jZQ==\r\nSec-WebSocket-Version: 13\r\n\r\n";
  ASSERT_TRUE(write_all(fd, request + client_frame(0x89, "early")));
  const std::string answer = read_until(fd, "early");
  EXPECT_NE(answer.find("101 Switching Protocols"), std::string::npos);
  EXPECT_NE(answer.find(std::string("\x8a\x05"
                                    "early",
                                    7)),
            std::string::npos);
  // Its close frame is answered with the same code, then the server ends
  // the connection.
  ASSERT_TRUE(write_all(fd, client_frame(0x88, "\x03\xe8")));
  EXPECT_EQ(read_close_code(fd), 1000);
  EXPECT_TRUE(closed_by_peer(fd));
  ::close(fd);

  // The Node client's own close: its code comes back, and it was the newest
  // client, so nobody is any more.
  ASSERT_TRUE(wait_until([&] { return server_->client_count() == 1; }));
  server_->on_ws_client_entered(a);
  EXPECT_EQ(peer.command("closewith A 4321 done here"), "closed A 4321 ");
  ASSERT_TRUE(wait_until([&] { return server_->client_count() == 0; }));
  EXPECT_EQ(server_->last_ws_client(), 0u);
}

// Texts of every length class of the frame header, and many small ones that
// go out in batches, arrive whole and in order.
TEST_F(EventWsServerTest, ManyMessagesArriveIntactAndInOrder) {
  WsPeer peer;
  ASSERT_TRUE(peer.ok()) << peer.error();
  connect(peer, "A");
  std::vector<std::string> sent;
  for (std::size_t size : {0u, 1u, 125u, 126u, 127u, 65535u, 65536u, 100000u}) {
    std::string text = "甲" + std::to_string(size) + ":";
    while (text.size() < size) text += static_cast<char>('a' + text.size() % 26);
    text.resize(std::max<std::size_t>(size, 3));
    sent.push_back(text);
  }
  for (int i = 0; i < 5000; ++i) sent.push_back("{\"uid\":" + std::to_string(i) + ",\"名\":1}");
  for (const std::string& text : sent) server_->push_to_last_client(text);
  // A few more after pauses, which go out through the direct send.
  for (int i = 0; i < 5; ++i) {
    std::this_thread::sleep_for(2ms);
    sent.push_back("late " + std::to_string(i));
    server_->push_to_last_client(sent.back());
  }
  // One larger than the socket takes at once: the direct send hands the
  // rest of the frame to the io thread, and what follows waits behind it.
  std::this_thread::sleep_for(2ms);
  sent.push_back(std::string(3'000'000, 'L'));
  server_->push_to_last_client(sent.back());
  sent.push_back("after the large one");
  server_->push_to_last_client(sent.back());
  ASSERT_EQ(peer.wait_for("A", static_cast<int>(sent.size()), 20000),
            static_cast<int>(sent.size()));
  std::string expected = "messages A [";
  for (std::size_t i = 0; i < sent.size(); ++i) {
    if (i > 0) expected += ',';
    expected += '"';
    for (char c : sent[i]) {
      if (c == '"') expected += '\\';  // as JSON.stringify writes it
      expected += c;
    }
    expected += '"';
  }
  expected += ']';
  const std::string got = peer.command("messages A", 20000ms);
  const auto differ = std::mismatch(got.begin(), got.end(), expected.begin(), expected.end());
  EXPECT_TRUE(got == expected) << "content or order differs at byte "
                               << (differ.first - got.begin()) << " of " << got.size();
  EXPECT_EQ(server_->dropped_messages(), 0u);
  EXPECT_TRUE(wait_until([&] { return server_->queued_bytes() == 0; }));
  EXPECT_EQ(server_->sent_messages(), sent.size());
}

TEST_F(EventWsServerTest, WhatADirectSendCannotTakeFollowsThroughTheIoThread) {
  // A client with a tiny receive window takes only part of a large frame at
  // once; the rest, and the message behind it, must follow intact.
  int fd = raw_ws_client(port_, 4096);
  ASSERT_GE(fd, 0);
  ASSERT_TRUE(wait_until([&] { return server_->client_count() == 1; }));
  std::string large(3'000'000, 'z');
  for (std::size_t i = 0; i < large.size(); i += 1000) large[i] = static_cast<char>('a' + i % 26);
  server_->push_to_last_client(large);
  server_->push_to_last_client("tail");
  std::string expected("\x81\x7f\x00\x00\x00\x00\x00\x2d\xc6\xc0", 10);
  expected += large;
  expected += std::string("\x81\x04tail", 6);
  EXPECT_TRUE(read_bytes(fd, expected.size(), 10000ms) == expected);
  EXPECT_TRUE(wait_until([&] { return server_->queued_bytes() == 0; }));
  EXPECT_EQ(server_->sent_messages(), 2u);
  ::close(fd);
}

TEST_F(EventWsServerTest, PushesFromSeveralThreadsKeepEachThreadsOrder) {
  WsPeer peer;
  ASSERT_TRUE(peer.ok()) << peer.error();
  connect(peer, "A");
  constexpr int kPerThread = 3000;
  auto pusher = [&](char tag) {
    for (int i = 0; i < kPerThread; ++i) {
      server_->push_to_last_client(std::string(1, tag) + std::to_string(i));
      if (i % 500 == 0) std::this_thread::sleep_for(1ms);  // lets the direct send in
    }
  };
  std::thread t1(pusher, 'x');
  std::thread t2(pusher, 'y');
  t1.join();
  t2.join();
  ASSERT_EQ(peer.wait_for("A", 2 * kPerThread, 20000), 2 * kPerThread);
  std::string all = peer.command("messages A", 20000ms);
  ASSERT_EQ(all.rfind("messages A [\"", 0), 0u);
  all = all.substr(std::string("messages A [\"").size());
  int next[2] = {0, 0};
  std::size_t at = 0;
  while (at < all.size()) {
    std::size_t end = all.find('"', at);
    ASSERT_NE(end, std::string::npos);
    const std::string message = all.substr(at, end - at);
    ASSERT_FALSE(message.empty());
    const int which = message[0] == 'x' ? 0 : 1;
    EXPECT_EQ(message.substr(1), std::to_string(next[which])) << "out of order";
    ++next[which];
    at = end + 3;  // past "," and the next opening quote
  }
  EXPECT_EQ(next[0], kPerThread);
  EXPECT_EQ(next[1], kPerThread);
}

class TimeoutTest : public EventWsServerTest {
 protected:
  void customise(EventWsServerOptions& options) override {
    options.idle_timeout_ms = 600ms;
    options.handshake_timeout_ms = 400ms;
  }
};

TEST_F(TimeoutTest, SilentClientsAreClosedAndAnsweringOnesKept) {
  WsPeer peer;
  ASSERT_TRUE(peer.ok()) << peer.error();
  connect(peer, "A");  // answers pings by itself
  int silent = raw_ws_client(port_);
  ASSERT_GE(silent, 0);
  int no_request = connect_tcp(port_);
  ASSERT_GE(no_request, 0);

  // The connection that never sends its request goes at the handshake limit.
  EXPECT_TRUE(closed_by_peer(no_request, 2000ms));
  // The silent client first gets a ping, and is closed when it stays silent.
  EXPECT_EQ(read_bytes(silent, 2, 2000ms), std::string("\x89\x00", 2));
  EXPECT_TRUE(closed_by_peer(silent, 3000ms));
  ::close(silent);
  ::close(no_request);

  // Several idle limits later the answering client is still served.
  std::this_thread::sleep_for(1500ms);
  EXPECT_EQ(peer.command("state A"), "state A open 0");
  ASSERT_TRUE(wait_until([&] { return server_->client_count() == 1; }));
  connect(peer, "B");
  server_->push_to_last_client("still served");
  EXPECT_EQ(peer.wait_for("B", 1), 1);
}

TEST_F(EventWsServerTest, RequestsThatAreNoUpgradeAreAnsweredAndClosed) {
  const struct {
    const char* what;
    std::string request;
    const char* status;
  } cases[] = {
      {"plain GET", "GET / HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n", "HTTP/1.1 400"},
      {"unknown protocol version",
       "GET / HTTP/1.1\r\nHost: 127.0.0.1\r\nUpgrade: websocket\r\nConnection: Upgrade\r\n"
       "Sec-WebSocket-Key: dGhlIHNhbXBsZSBub25jZQ==\r\nSec-WebSocket-Version: 12\r\n\r\n",
       "HTTP/1.1 426"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    int fd = connect_tcp(port_);
    ASSERT_GE(fd, 0);
    ASSERT_TRUE(write_all(fd, c.request));
    EXPECT_EQ(read_until(fd, "\r\n\r\n").rfind(c.status, 0), 0u);
    EXPECT_TRUE(closed_by_peer(fd));
    ::close(fd);
  }
  // A header beyond the handshake's size limit ends the connection.
  int fd = connect_tcp(port_);
  ASSERT_GE(fd, 0);
  write_all(fd, "GET / HTTP/1.1\r\nX-Filler: " + std::string(20000, 'f') + "\r\n\r\n");
  EXPECT_TRUE(closed_by_peer(fd));
  ::close(fd);
  EXPECT_EQ(server_->client_count(), 0u);
  EXPECT_EQ(server_->last_ws_client(), 0u);
}

class StallTest : public EventWsServerTest {
 protected:
  void customise(EventWsServerOptions& options) override {
    options.queue_max_bytes = 256 * 1024;
    options.queue_max_messages = 1000;
    options.stall_close_ms = 1500ms;
  }
};

TEST_F(StallTest, AStalledNewestClientBlocksNothingAndIsBoundedThenClosed) {
  WsPeer peer;
  ASSERT_TRUE(peer.ok()) << peer.error();
  connect(peer, "A");
  int stalled = raw_ws_client(port_, 4096);
  ASSERT_GE(stalled, 0);
  ASSERT_TRUE(wait_until([&] { return server_->client_count() == 2; }));
  const WsClientHandle stalled_handle = server_->last_ws_client();

  // Push far more than the queue and the socket buffers hold; every push
  // returns at once.
  const std::string event(200, 'x');
  const auto started = std::chrono::steady_clock::now();
  std::size_t worst_push_us = 0;
  for (int i = 0; i < 50000; ++i) {
    auto before = std::chrono::steady_clock::now();
    server_->push_to_last_client(event);
    auto took = std::chrono::duration_cast<std::chrono::microseconds>(
        std::chrono::steady_clock::now() - before);
    worst_push_us = std::max<std::size_t>(worst_push_us, took.count());
    EXPECT_LE(server_->queued_bytes(), 256u * 1024u);
  }
  EXPECT_LT(std::chrono::steady_clock::now() - started, 5s);
  EXPECT_LT(worst_push_us, 200000u) << "a push waited";
  EXPECT_GT(server_->dropped_messages(), 0u);
  EXPECT_LE(server_->queued_bytes_high_water(), 256u * 1024u);

  // Other paths go on: a new client takes over and is served.
  connect(peer, "B");
  server_->push_to_last_client("to B");
  EXPECT_EQ(peer.wait_for("B", 1), 1);

  // The stalled client is closed once its queue stayed full past the stall
  // limit; it is not the newest any more, so make it the newest again.
  server_->on_ws_client_entered(stalled_handle);
  ASSERT_TRUE(wait_until(
      [&] {
        for (int i = 0; i < 200; ++i) server_->push_to_last_client(event);
        return server_->stall_closes() > 0 && server_->client_count() == 2;
      },
      10000ms))
      << "stall closes " << server_->stall_closes() << ", clients " << server_->client_count()
      << ", queued " << server_->queued_bytes() << ", dropped " << server_->dropped_messages()
      << ", sent " << server_->sent_messages();
  EXPECT_TRUE(wait_until([&] { return server_->queued_bytes() == 0; }));
  EXPECT_EQ(server_->last_ws_client(), 0u);
  ::close(stalled);
  EXPECT_EQ(peer.command("state A"), "state A open 0");
  EXPECT_EQ(peer.command("state B"), "state B open 0");
}

TEST_F(EventWsServerTest, ManyClientsConnectingAndLeaving) {
  WsPeer peer;
  ASSERT_TRUE(peer.ok()) << peer.error();
  // Pushes run meanwhile from another thread, at whoever is newest.
  std::atomic<bool> pushing{true};
  std::thread pusher([&] {
    while (pushing) {
      server_->push_to_last_client("{\"type\":1}");
      std::this_thread::sleep_for(100us);
    }
  });
  for (int round = 0; round < 4; ++round) {
    EXPECT_EQ(peer.command("churn 200 ws://127.0.0.1:" + std::to_string(port_) + "/", 60000ms),
              "churned 200");
  }
  pushing = false;
  pusher.join();
  ASSERT_TRUE(wait_until([&] { return server_->client_count() == 0; }, 10000ms));
  EXPECT_EQ(server_->last_ws_client(), 0u);
  EXPECT_TRUE(wait_until([&] { return server_->queued_bytes() == 0; }));

  connect(peer, "LAST");
  server_->push_to_last_client("served");
  EXPECT_EQ(peer.wait_for("LAST", 1), 1);
}

TEST_F(EventWsServerTest, StopClosesClientsAndJoins) {
  WsPeer peer;
  ASSERT_TRUE(peer.ok()) << peer.error();
  connect(peer, "A");
  int idle_raw = connect_tcp(port_);  // never even handshakes
  ASSERT_GE(idle_raw, 0);
  server_->stop();
  EXPECT_FALSE(server_->running());
  EXPECT_EQ(server_->last_ws_client(), 0u);
  EXPECT_EQ(peer.command("wait A 1 3000"), "count A 0");
  EXPECT_EQ(peer.command("state A"), "state A closed 1001");
  EXPECT_LT(connect_tcp(port_), 0) << "still listening";
  EXPECT_TRUE(closed_by_peer(idle_raw));
  ::close(idle_raw);
  server_->push_to_last_client("after stop");  // harmless
  server_->stop();                             // idempotent
}

TEST(EventWsServerStart, ATakenPortOrABadAddressFails) {
  EventWsServerOptions options;
  options.bind_address = "127.0.0.1";
  options.port = 0;
  EventWsServer first(options);
  ASSERT_TRUE(first.start());

  options.port = first.port();
  EventWsServer second(options);
  EXPECT_FALSE(second.start());
  EXPECT_NE(second.error_text().find(std::to_string(first.port())), std::string::npos)
      << second.error_text();
  EXPECT_FALSE(second.running());
  second.push_to_last_client("nothing");  // a server that never started is harmless

  options.bind_address = "not-an-address";
  EventWsServer third(options);
  EXPECT_FALSE(third.start());
  EXPECT_FALSE(third.error_text().empty());
}

}  // namespace
}  // namespace lumora::relay
