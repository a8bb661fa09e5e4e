#pragma once
// A WebSocket consumer for the benchmarks, fast enough that the server under
// measure, not the consumer, sets the pace: a blocking TCP socket on its own
// thread, the client handshake written by hand, and a parser of unmasked
// server frames over a 1 MiB read buffer. Every message parsed from one read
// gets that read's receipt time (steady clock, nanoseconds). It counts text
// messages, checks each one's size against the expected size (0: any size),
// may hand each message to a callback on its thread, and answers pings so a
// long run is not timed out.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstring>
#include <functional>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

namespace lumora::bench {

inline long long steady_now_ns() {
  return std::chrono::duration_cast<std::chrono::nanoseconds>(
             std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

class FastConsumer {
 public:
  // Runs on the consumer thread for every text message, with its payload and
  // the receipt time of the read that carried it; keep it short.
  using MessageHandler = std::function<void(std::string_view text, long long received_ns)>;

  FastConsumer(int port, long want, std::size_t expected_size, bool keep_times,
               MessageHandler on_message = {})
      : want_(want), expected_size_(expected_size), on_message_(std::move(on_message)) {
    if (keep_times) times_ns_.reserve(static_cast<std::size_t>(want));
    fd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(static_cast<uint16_t>(port));
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (fd_ < 0 || ::connect(fd_, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
      error_ = "connect failed";
      return;
    }
    int one = 1;
    ::setsockopt(fd_, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    const std::string request =
        "GET / HTTP/1.1\r\nHost: 127.0.0.1\r\nUpgrade: websocket\r\nConnection: Upgrade\r\n"
        "Sec-WebSocket-Key: dGhlIHNhbXBsZSBub25jZQ==\r\nSec-WebSocket-Version: 13\r\n\r\n";
    if (!write_all(request)) {
      error_ = "handshake write failed";
      return;
    }
    buffer_.resize(1 << 20);
    // The response, and whatever frames follow it in the same reads.
    for (;;) {
      ssize_t n = ::read(fd_, buffer_.data() + have_, buffer_.size() - have_);
      if (n <= 0) {
        error_ = "handshake read failed";
        return;
      }
      have_ += static_cast<std::size_t>(n);
      std::string_view got(buffer_.data(), have_);
      std::size_t end = got.find("\r\n\r\n");
      if (end == std::string_view::npos) continue;
      if (got.find(" 101 ") == std::string_view::npos || end > got.find("\r\n") + 2000) {
        error_ = "handshake refused: " + std::string(got.substr(0, got.find("\r\n")));
        return;
      }
      std::memmove(buffer_.data(), buffer_.data() + end + 4, have_ - end - 4);
      have_ -= end + 4;
      break;
    }
    ok_ = true;
    thread_ = std::thread([this] { run(); });
  }
  ~FastConsumer() {
    if (fd_ >= 0) ::shutdown(fd_, SHUT_RDWR);
    if (thread_.joinable()) thread_.join();
    if (fd_ >= 0) ::close(fd_);
  }
  FastConsumer(const FastConsumer&) = delete;
  FastConsumer& operator=(const FastConsumer&) = delete;

  bool ok() const { return ok_; }
  const std::string& error() const { return error_; }
  bool wait_done(std::chrono::milliseconds timeout) {
    using namespace std::chrono_literals;
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (!done_.load() && std::chrono::steady_clock::now() < deadline) {
      std::this_thread::sleep_for(1ms);
    }
    return done_.load();
  }
  long count() const { return count_.load(); }
  long wrong_size() const { return wrong_size_; }
  // Messages per second between the first and the last receipt.
  double rate() const {
    return last_ns_ > first_ns_ ? (count_ - 1) * 1e9 / static_cast<double>(last_ns_ - first_ns_)
                                : 0.0;
  }
  // Receipt times of the first and the last message; read them once
  // wait_done() returned true.
  long long first_ns() const { return first_ns_; }
  long long last_ns() const { return last_ns_; }
  const std::vector<long long>& times_ns() const { return times_ns_; }

 private:
  bool write_all(std::string_view bytes) {
    while (!bytes.empty()) {
      ssize_t n = ::send(fd_, bytes.data(), bytes.size(), MSG_NOSIGNAL);
      if (n <= 0) return false;
      bytes.remove_prefix(static_cast<std::size_t>(n));
    }
    return true;
  }

  void run() {
    for (;;) {
      const long long received_ns = steady_now_ns();
      std::size_t at = 0;
      while (have_ - at >= 2) {
        const auto* p = reinterpret_cast<const unsigned char*>(buffer_.data() + at);
        const int opcode = p[0] & 0x0f;
        std::size_t header = 2;
        std::uint64_t size = p[1] & 0x7f;
        if (size == 126) {
          if (have_ - at < 4) break;
          size = (std::uint64_t{p[2]} << 8) | p[3];
          header = 4;
        } else if (size == 127) {
          if (have_ - at < 10) break;
          size = 0;
          for (int i = 0; i < 8; ++i) size = (size << 8) | p[2 + i];
          header = 10;
        }
        if (size > buffer_.size() / 2) return finish();  // never sent by these servers
        if (have_ - at < header + size) break;
        if (opcode == 1 || opcode == 0) {
          if (expected_size_ != 0 && size != expected_size_) ++wrong_size_;
          if (on_message_)
            on_message_(std::string_view(buffer_.data() + at + header, size), received_ns);
          if (count_ == 0) first_ns_ = received_ns;
          if (times_ns_.capacity() > times_ns_.size()) times_ns_.push_back(received_ns);
          last_ns_ = received_ns;
          if (++count_ == want_) done_ = true;
        } else if (opcode == 9 && size <= 125) {
          // Pong with the ping's payload, masked with a zero key.
          std::string pong{'\x8a', static_cast<char>(0x80 | size), 0, 0, 0, 0};
          pong.append(buffer_.data() + at + header, size);
          write_all(pong);
        } else if (opcode == 8) {
          return finish();
        }
        at += header + size;
      }
      if (at > 0) {
        std::memmove(buffer_.data(), buffer_.data() + at, have_ - at);
        have_ -= at;
      }
      ssize_t n = ::read(fd_, buffer_.data() + have_, buffer_.size() - have_);
      if (n <= 0) return finish();
      have_ += static_cast<std::size_t>(n);
    }
  }
  void finish() { done_ = true; }

  const long want_;
  const std::size_t expected_size_;
  const MessageHandler on_message_;
  int fd_ = -1;
  bool ok_ = false;
  std::string error_;
  std::vector<char> buffer_;
  std::size_t have_ = 0;
  std::thread thread_;
  std::atomic<long> count_{0};
  std::atomic<bool> done_{false};
  long long first_ns_ = 0;
  long long last_ns_ = 0;
  long wrong_size_ = 0;
  std::vector<long long> times_ns_;
};

}  // namespace lumora::bench
