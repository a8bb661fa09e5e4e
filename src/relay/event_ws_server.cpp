#include "relay/event_ws_server.h"

#include <fcntl.h>
#include <sys/socket.h>

#include <algorithm>
#include <boost/asio/bind_executor.hpp>
#include <boost/asio/dispatch.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/post.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/asio/strand.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/http.hpp>
#include <boost/beast/websocket.hpp>
#include <exception>
#include <optional>
#include <unordered_map>
#include <utility>
#include <vector>

namespace lumora::relay {

namespace net = boost::asio;
namespace beast = boost::beast;
namespace websocket = boost::beast::websocket;
namespace http = boost::beast::http;
using tcp = net::ip::tcp;
using error_code = boost::system::error_code;
using Clock = std::chrono::steady_clock;

namespace {
// A child process (a browser opened by the program, a test's peer) must not
// inherit the listening port or a client's connection.
void close_on_exec(int fd) {
  if (fd >= 0) ::fcntl(fd, F_SETFD, ::fcntl(fd, F_GETFD) | FD_CLOEXEC);
}
}  // namespace

// State shared by the listener and all sessions. The io_context is declared
// after everything sessions touch, so when it is destroyed (and with it the
// handlers still holding sessions) the registry and the counters still exist.
struct EventWsServer::Core {
  EventWsServer* owner = nullptr;
  EventWsServerOptions options;

  std::mutex registry_mutex;
  std::unordered_map<WsClientHandle, std::weak_ptr<Session>> sessions;
  std::atomic<WsClientHandle> next_handle{1};
  std::atomic<bool> stopping{false};

  std::atomic<std::size_t> queued_bytes{0};
  std::atomic<std::size_t> queued_bytes_high_water{0};
  std::atomic<std::uint64_t> dropped_messages{0};
  std::atomic<std::uint64_t> sent_messages{0};
  std::atomic<std::uint64_t> stall_closes{0};
  std::atomic<std::size_t> clients{0};        // past the handshake
  std::atomic<std::size_t> live_sessions{0};  // objects alive

  net::io_context ioc;
  tcp::acceptor acceptor{net::make_strand(ioc)};
  net::steady_timer accept_retry{acceptor.get_executor()};

  void add_queued(std::size_t n) {
    std::size_t now = queued_bytes.fetch_add(n, std::memory_order_relaxed) + n;
    std::size_t high = queued_bytes_high_water.load(std::memory_order_relaxed);
    while (now > high &&
           !queued_bytes_high_water.compare_exchange_weak(high, now, std::memory_order_relaxed)) {
    }
  }
  void remove_queued(std::size_t n) { queued_bytes.fetch_sub(n, std::memory_order_relaxed); }

  WsClientHandle new_handle() {
    for (;;) {
      WsClientHandle h = next_handle.fetch_add(1, std::memory_order_relaxed);
      if (h == 0) continue;  // 0 means "no client"
      std::lock_guard lock(registry_mutex);
      if (!sessions.contains(h)) return h;
    }
  }

  void do_accept();
  void on_accept(error_code ec, tcp::socket socket);
};

namespace {

// WebSocket framing (RFC 6455) for the session's own reader and writer.
enum Opcode : unsigned char {
  kContinuation = 0x0,
  kText = 0x1,
  kBinary = 0x2,
  kClose = 0x8,
  kPing = 0x9,
  kPong = 0xa,
};

enum CloseCode : std::uint16_t {
  kCloseNormal = 1000,
  kCloseGoingAway = 1001,
  kCloseProtocolError = 1002,
  kCloseBadPayload = 1007,
  kCloseTooBig = 1009,
};

// Appends one unmasked final frame (server to client frames are never
// masked): 2, 4 or 10 header bytes, then the payload.
void append_frame(std::string& out, unsigned char opcode, std::string_view payload) {
  const std::uint64_t size = payload.size();
  char header[10];
  std::size_t header_size = 2;
  header[0] = static_cast<char>(0x80 | opcode);
  if (size < 126) {
    header[1] = static_cast<char>(size);
  } else if (size <= 0xffff) {
    header[1] = 126;
    header[2] = static_cast<char>(size >> 8);
    header[3] = static_cast<char>(size);
    header_size = 4;
  } else {
    header[1] = 127;
    for (int i = 0; i < 8; ++i) header[2 + i] = static_cast<char>(size >> (56 - 8 * i));
    header_size = 10;
  }
  out.append(header, header_size).append(payload);
}

std::string close_payload(std::uint16_t code) {
  return {static_cast<char>(code >> 8), static_cast<char>(code & 0xff)};
}

// Strict UTF-8: no overlong forms, no surrogates, nothing above U+10FFFF.
bool valid_utf8(std::string_view text) {
  const auto* p = reinterpret_cast<const unsigned char*>(text.data());
  const auto* end = p + text.size();
  while (p < end) {
    const unsigned char c = *p;
    if (c < 0x80) {
      ++p;
      continue;
    }
    std::size_t extra;
    unsigned char low = 0x80, high = 0xbf;  // bounds of the second byte
    if (c >= 0xc2 && c <= 0xdf) {
      extra = 1;
    } else if (c >= 0xe0 && c <= 0xef) {
      extra = 2;
      if (c == 0xe0) low = 0xa0;
      if (c == 0xed) high = 0x9f;
    } else if (c >= 0xf0 && c <= 0xf4) {
      extra = 3;
      if (c == 0xf0) low = 0x90;
      if (c == 0xf4) high = 0x8f;
    } else {
      return false;
    }
    if (static_cast<std::size_t>(end - p) <= extra) return false;
    if (p[1] < low || p[1] > high) return false;
    for (std::size_t i = 2; i <= extra; ++i) {
      if ((p[i] & 0xc0) != 0x80) return false;
    }
    p += extra + 1;
  }
  return true;
}

// Close codes a peer may send (RFC 6455 7.4, minus the reserved ones).
bool valid_close_code(std::uint16_t code) {
  if (code >= 3000 && code <= 4999) return true;
  return (code >= 1000 && code <= 1003) || (code >= 1007 && code <= 1014);
}

// A push that comes at least this long after the previous one, while no
// write is going on, is sent by the pushing thread itself (one send, no
// hand-over to the io thread, no wake-up in its latency). Pushes closer
// together go through the io thread, which sends everything queued
// meanwhile with one write, so a burst costs few sends.
constexpr auto kDirectSendGap = std::chrono::microseconds(100);
// Bytes asked of the socket per read; the read buffer grows only to hold
// one frame of the largest allowed size.
constexpr std::size_t kReadChunkBytes = 16 * 1024;
constexpr std::size_t kHandshakeHeaderMaxBytes = 8 * 1024;
constexpr std::size_t kControlQueueMaxBytes = 4 * 1024;
constexpr std::size_t kMaxFrameHeaderBytes = 10;

}  // namespace

// One client connection. Beast parses the upgrade request and answers it;
// after that the session reads and writes the connection itself: a strict
// parser of client frames, and one writer that puts every queued frame
// (event messages, pongs, the close frame) into one write. All writes on the
// socket go through that writer, which is what lets frames be gathered.
//
// The writer token (write_active_, under inbox_mutex_) is held by whoever
// may write to the socket now: a pushing thread doing a direct send, a
// flush posted to the strand, or the strand's write in flight. The socket is
// closed only under inbox_mutex_, so a direct send never meets a closed or
// reused descriptor.
class EventWsServer::Session : public std::enable_shared_from_this<Session> {
 public:
  Session(tcp::socket&& socket, Core& core, WsClientHandle handle)
      : socket_(std::move(socket)),
        timer_(socket_.get_executor()),
        core_(core),
        handle_(handle),
        http_buffer_(kHandshakeHeaderMaxBytes) {
    core_.live_sessions.fetch_add(1, std::memory_order_relaxed);
  }

  ~Session() {
    // Whatever is still queued is released with the session.
    if (queued_bytes_ > 0) core_.remove_queued(queued_bytes_);
    {
      std::lock_guard lock(core_.registry_mutex);
      auto it = core_.sessions.find(handle_);
      if (it != core_.sessions.end() && it->second.expired()) core_.sessions.erase(it);
    }
    core_.live_sessions.fetch_sub(1, std::memory_order_relaxed);
  }

  WsClientHandle handle() const { return handle_; }

  void run() {
    // The socket came from an accept on a strand of its own; all work of
    // this session runs there.
    net::dispatch(socket_.get_executor(), [self = shared_from_this()] { self->on_run(); });
  }

  // Any thread. Never waits for the network.
  void push(std::string text) {
    const std::size_t size = text.size();
    bool post_flush = false;
    bool close_for_stall = false;
    {
      std::lock_guard lock(inbox_mutex_);
      if (!accepting_) return;
      const auto now = Clock::now();
      if (queued_count_ + 1 > core_.options.queue_max_messages ||
          queued_bytes_ + size > core_.options.queue_max_bytes) {
        core_.dropped_messages.fetch_add(1, std::memory_order_relaxed);
        if (!full_since_) {
          full_since_ = now;
        } else if (now - *full_since_ >= core_.options.stall_close_ms && !stall_close_requested_) {
          stall_close_requested_ = true;
          close_for_stall = true;
        }
      } else {
        ++queued_count_;
        queued_bytes_ += size;
        core_.add_queued(size);
        make_room_locked(size + kMaxFrameHeaderBytes);
        append_frame(inbox_, kText, text);
        ++inbox_count_;
        inbox_bytes_ += size;
        if (!write_active_) {
          write_active_ = true;
          const bool idle = now - last_push_at_ >= kDirectSendGap;
          post_flush = !(idle && send_inbox_now_locked());
        }
      }
      last_push_at_ = now;
    }
    if (close_for_stall) {
      core_.stall_closes.fetch_add(1, std::memory_order_relaxed);
      net::post(socket_.get_executor(), [self = shared_from_this()] { self->close_hard(); });
    } else if (post_flush) {
      net::post(socket_.get_executor(), [self = shared_from_this()] { self->start_batch(); });
    }
  }

  // Any thread: begins the end of the session (server stop).
  void shutdown() {
    net::post(socket_.get_executor(), [self = shared_from_this()] { self->on_shutdown(); });
  }
  // Any thread: ends the session without a close handshake.
  void cut() {
    net::post(socket_.get_executor(), [self = shared_from_this()] { self->close_hard(); });
  }

 private:
  // ---- handshake ----

  void on_run() {
    arm_timer(core_.options.handshake_timeout_ms, [](Session& s) {
      if (!s.entered_) s.close_hard();
    });
    request_.emplace();
    request_->header_limit(kHandshakeHeaderMaxBytes);
    http::async_read(socket_, http_buffer_, *request_,
                     beast::bind_front_handler(&Session::on_request, shared_from_this()));
  }

  void on_request(error_code ec, std::size_t) {
    if (ec || core_.stopping.load()) {
      close_hard();
      return;
    }
    // Beast checks the upgrade request and writes the answer (101, or an
    // error status for a request that is no upgrade); it never touches the
    // connection afterwards.
    upgrade_.emplace(socket_);
    upgrade_->set_option(websocket::stream_base::decorator(
        [](websocket::response_type& res) { res.set(http::field::server, "Lumora"); }));
    upgrade_->async_accept(request_->get(),
                           beast::bind_front_handler(&Session::on_handshake, shared_from_this()));
  }

  void on_handshake(error_code ec) {
    upgrade_.reset();
    if (ec || core_.stopping.load()) {
      close_hard();
      return;
    }
    request_.reset();
    // Frames the client sent right behind its request are already here.
    const auto early = http_buffer_.cdata();
    rx_.assign(static_cast<const char*>(early.data()),
               static_cast<const char*>(early.data()) + early.size());
    http_buffer_.clear();
    http_buffer_.shrink_to_fit();
    {
      std::lock_guard lock(inbox_mutex_);
      accepting_ = true;
    }
    entered_ = true;
    core_.clients.fetch_add(1, std::memory_order_relaxed);
    guarded([&] { core_.owner->on_ws_client_entered(handle_); });
    arm_idle_tick();
    parse_frames();
    do_read();
  }

  // ---- reading ----

  void do_read() {
    if (finished_) return;
    // Keeps room for the next chunk; parse_frames bounds what may pile up.
    if (rx_.capacity() - rx_.size() < kReadChunkBytes) rx_.reserve(rx_.size() + kReadChunkBytes);
    const std::size_t used = rx_.size();
    rx_.resize(used + kReadChunkBytes);
    socket_.async_read_some(net::buffer(rx_.data() + used, kReadChunkBytes),
                            [self = shared_from_this(), used](error_code ec, std::size_t n) {
                              self->on_read(ec, used, n);
                            });
  }

  void on_read(error_code ec, std::size_t used, std::size_t n) {
    rx_.resize(used + (ec ? 0 : n));
    if (ec) {
      // The client closed, was cut, or the connection failed: the session
      // ends here.
      finish();
      return;
    }
    received_since_tick_ = true;
    parse_frames();
    do_read();
  }

  // Handles every complete frame in rx_ and keeps the partial one. After a
  // close frame or a bad frame the rest is read and dropped until the client
  // goes (or the closing time limit cuts it).
  void parse_frames() {
    std::size_t at = 0;
    while (!discard_input_) {
      const std::size_t avail = rx_.size() - at;
      if (avail < 2) break;
      const auto* p = reinterpret_cast<const unsigned char*>(rx_.data() + at);
      const bool fin = (p[0] & 0x80) != 0;
      const unsigned char opcode = p[0] & 0x0f;
      const bool control = (opcode & 0x8) != 0;
      std::uint64_t size = p[1] & 0x7f;
      std::size_t header = 2;
      // No extension was agreed, so the reserved bits must be clear; a
      // client must mask every frame.
      if ((p[0] & 0x70) != 0 || (p[1] & 0x80) == 0) return fail(kCloseProtocolError);
      if (opcode != kContinuation && opcode != kText && opcode != kBinary && opcode != kClose &&
          opcode != kPing && opcode != kPong) {
        return fail(kCloseProtocolError);
      }
      if (control && (!fin || size > 125)) return fail(kCloseProtocolError);
      if (size == 126) {
        if (avail < 4) break;
        size = (std::uint64_t{p[2]} << 8) | p[3];
        header = 4;
        if (size < 126) return fail(kCloseProtocolError);
      } else if (size == 127) {
        if (avail < 10) break;
        size = 0;
        for (int i = 0; i < 8; ++i) size = (size << 8) | p[2 + i];
        header = 10;
        if (size <= 0xffff || (size >> 63) != 0) return fail(kCloseProtocolError);
      }
      if (!control) {
        if (opcode == kContinuation && !in_message_) return fail(kCloseProtocolError);
        if (opcode != kContinuation && in_message_) return fail(kCloseProtocolError);
        if (size > core_.options.read_message_max_bytes - message_.size()) {
          return fail(kCloseTooBig);
        }
      }
      if (avail < header + 4 + size) break;
      const unsigned char* mask = p + header;
      const char* payload = rx_.data() + at + header + 4;
      at += header + 4 + size;

      std::string unmasked;
      std::string& out = control ? unmasked : message_;
      const std::size_t base = out.size();
      out.resize(base + size);
      for (std::size_t i = 0; i < size; ++i) {
        out[base + i] = static_cast<char>(payload[i] ^ mask[i & 3]);
      }
      if (!control) {
        if (opcode != kContinuation) {
          in_message_ = true;
          message_is_text_ = opcode == kText;
        }
        if (fin) on_message();
        continue;
      }
      if (opcode == kPing) {
        // A client that pings without reading gets no more answers once a
        // few are waiting (answering only some pings is allowed).
        if (!close_queued_ && control_out_.size() < kControlQueueMaxBytes) {
          append_frame(control_out_, kPong, unmasked);
          request_write();
        }
      } else if (opcode == kClose) {
        on_close_frame(unmasked);
      }
      // A pong only shows the client is alive, which any read already did.
    }
    if (discard_input_) {
      rx_.clear();
    } else if (at > 0) {
      rx_.erase(rx_.begin(), rx_.begin() + static_cast<std::ptrdiff_t>(at));
    }
  }

  void on_message() {
    in_message_ = false;
    if (message_is_text_ && !valid_utf8(message_)) {
      fail(kCloseBadPayload);
      return;
    }
    // After our close frame, messages are no longer for the program.
    if (!close_queued_) {
      const WsMessageType type = message_is_text_ ? WsMessageType::text : WsMessageType::binary;
      guarded([&] { core_.owner->on_ws_message(handle_, type, message_); });
    }
    message_.clear();
    if (message_.capacity() > kReadChunkBytes) message_.shrink_to_fit();
  }

  // The client's close frame: answered with the same code (unless our own
  // close went first), then the connection is taken down.
  void on_close_frame(std::string_view payload) {
    if (payload.size() == 1) return fail(kCloseProtocolError);
    std::string answer;
    if (payload.size() >= 2) {
      const auto* b = reinterpret_cast<const unsigned char*>(payload.data());
      const std::uint16_t code = static_cast<std::uint16_t>((b[0] << 8) | b[1]);
      if (!valid_close_code(code)) return fail(kCloseProtocolError);
      if (!valid_utf8(payload.substr(2))) return fail(kCloseBadPayload);
      answer = close_payload(code);
    }
    close_received_ = true;
    discard_input_ = true;
    if (close_written_) {
      shutdown_send();
    } else {
      queue_close(answer);
    }
  }

  // A protocol violation: a close frame with the reason, nothing more is
  // read from this client, and the connection ends once the close is out.
  void fail(std::uint16_t code) {
    discard_input_ = true;
    failed_ = true;
    if (close_written_) {
      shutdown_send();
    } else {
      queue_close(close_payload(code));
    }
  }

  // ---- writing ----

  // Any thread, under inbox_mutex_, holding the writer token: sends the
  // inbox at once. True when everything went out (the token is released);
  // false when the rest must go through the strand (the token stays held).
  bool send_inbox_now_locked() {
    const ssize_t n =
        ::send(socket_.native_handle(), inbox_.data(), inbox_.size(), MSG_DONTWAIT | MSG_NOSIGNAL);
    if (n > 0 && static_cast<std::size_t>(n) == inbox_.size()) {
      inbox_.clear();
      core_.sent_messages.fetch_add(inbox_count_, std::memory_order_relaxed);
      release_locked(inbox_count_, inbox_bytes_);
      inbox_count_ = 0;
      inbox_bytes_ = 0;
      write_active_ = false;
      return true;
    }
    // A partial send or a full socket: the strand writes the rest. A failed
    // send fails there again and ends the session.
    if (n > 0) inbox_.erase(0, static_cast<std::size_t>(n));
    return false;
  }

  // Under inbox_mutex_. Past a small size the inbox grows straight to what
  // the queue bound can hold, in one allocation: doubling would leave the two
  // buffers (inbox and batch swap places) at ever larger sizes as the queue's
  // high water creeps up. Only the pages actually filled become resident.
  void make_room_locked(std::size_t more) {
    constexpr std::size_t kDoublingBytes = 64 * 1024;
    if (inbox_.size() + more <= inbox_.capacity() || inbox_.capacity() < kDoublingBytes) return;
    const std::size_t bound =
        core_.options.queue_max_bytes + kMaxFrameHeaderBytes * core_.options.queue_max_messages;
    inbox_.reserve(std::max(inbox_.size() + more, bound));
  }

  // Strand: asks for a batch to be written; starts it when no writer holds
  // the token, else the holder's next batch takes what is queued.
  void request_write() {
    {
      std::lock_guard lock(inbox_mutex_);
      if (write_active_) return;
      write_active_ = true;
    }
    start_batch();
  }

  // Strand, holding the writer token: one write with everything queued, or
  // the token is released when nothing is.
  void start_batch() {
    wire_.clear();
    wire_count_ = 0;
    wire_bytes_ = 0;
    wire_has_close_ = false;
    if (!finished_ && !close_written_) wire_.swap(control_out_);
    {
      std::lock_guard lock(inbox_mutex_);
      if (accepting_ && !inbox_.empty()) {
        if (wire_.empty()) {
          wire_.swap(inbox_);
        } else {
          wire_.append(inbox_);
        }
        inbox_.clear();
        wire_count_ = inbox_count_;
        wire_bytes_ = inbox_bytes_;
        inbox_count_ = 0;
        inbox_bytes_ = 0;
      }
      if (close_frame_pending_ && !finished_) {
        close_frame_pending_ = false;
        append_frame(wire_, kClose, close_frame_payload_);
        wire_has_close_ = true;
      }
      if (wire_.empty() || finished_ || !socket_.is_open()) {
        release_locked(wire_count_, wire_bytes_);
        write_active_ = false;
        return;
      }
    }
    wire_sent_ = 0;
    write_some();
  }

  void write_some() {
    socket_.async_write_some(
        net::buffer(wire_.data() + wire_sent_, wire_.size() - wire_sent_),
        beast::bind_front_handler(&Session::on_write_some, shared_from_this()));
  }

  void on_write_some(error_code ec, std::size_t n) {
    if (!ec) {
      wire_sent_ += n;
      if (wire_sent_ < wire_.size()) {
        // Part of a batch went out: the consumer is reading, however slowly.
        {
          std::lock_guard lock(inbox_mutex_);
          full_since_.reset();
        }
        write_some();
        return;
      }
    }
    on_write(ec);
  }

  void on_write(error_code ec) {
    {
      std::lock_guard lock(inbox_mutex_);
      release_locked(wire_count_, wire_bytes_);
      if (!ec) core_.sent_messages.fetch_add(wire_count_, std::memory_order_relaxed);
    }
    wire_count_ = 0;
    wire_bytes_ = 0;
    if (ec) {
      close_hard();
      return;
    }
    if (wire_has_close_) {
      close_written_ = true;
      // Our close answered theirs, or ended a failed client: nothing more
      // will be sent. After our own close we wait for the client's answer.
      if (close_received_ || failed_) shutdown_send();
    }
    start_batch();
  }

  // Under inbox_mutex_: count, bytes leave the queue; the consumer moves.
  void release_locked(std::size_t count, std::size_t bytes) {
    if (count == 0) return;
    queued_count_ -= count;
    queued_bytes_ -= bytes;
    full_since_.reset();
    core_.remove_queued(bytes);
  }

  // Strand: the close frame goes out after what is being written; queued
  // event messages behind it are dropped, and nothing follows it.
  void queue_close(std::string payload) {
    if (close_queued_) return;
    close_queued_ = true;
    {
      std::lock_guard lock(inbox_mutex_);
      accepting_ = false;
      drop_inbox_locked();
      close_frame_payload_ = std::move(payload);
      close_frame_pending_ = true;
    }
    control_out_.clear();
    // The closing handshake has the opening one's time limit.
    arm_timer(core_.options.handshake_timeout_ms, [](Session& s) { s.close_hard(); });
    request_write();
  }

  void drop_inbox_locked() {
    // Messages not handed to the socket yet; a direct-send remainder counts
    // too, since its frame would now be cut off anyway.
    release_locked(inbox_count_, inbox_bytes_);
    inbox_.clear();
    inbox_count_ = 0;
    inbox_bytes_ = 0;
  }

  // ---- timers and ending ----

  template <typename F>
  void arm_timer(std::chrono::milliseconds after, F on_expiry) {
    if (after.count() <= 0 || finished_) {
      timer_.cancel();
      return;
    }
    timer_.expires_after(after);
    timer_.async_wait([self = shared_from_this(), on_expiry](error_code ec) {
      if (!ec && !self->finished_) on_expiry(*self);
    });
  }

  // Keep-alive: after half the idle limit without a byte from the client it
  // gets a ping; after the other half still without one it is closed.
  void arm_idle_tick() {
    arm_timer(core_.options.idle_timeout_ms / 2, [](Session& s) { s.on_idle_tick(); });
  }

  void on_idle_tick() {
    if (close_queued_) return;
    if (received_since_tick_) {
      received_since_tick_ = false;
      pinged_ = false;
    } else if (!pinged_) {
      pinged_ = true;
      append_frame(control_out_, kPing, {});
      request_write();
    } else {
      close_hard();
      return;
    }
    arm_idle_tick();
  }

  void on_shutdown() {
    if (finished_) return;
    if (!entered_) {
      close_hard();
      return;
    }
    queue_close(close_payload(kCloseGoingAway));
  }

  void shutdown_send() {
    error_code ignored;
    std::lock_guard lock(inbox_mutex_);
    socket_.shutdown(tcp::socket::shutdown_send, ignored);
  }

  void close_hard() {
    {
      std::lock_guard lock(inbox_mutex_);
      accepting_ = false;
      drop_inbox_locked();
      error_code ignored;
      socket_.shutdown(tcp::socket::shutdown_both, ignored);
      socket_.close(ignored);
    }
    // Before the handshake no read of ours is pending to end the session.
    if (!entered_) finish();
  }

  void finish() {
    if (finished_) return;
    finished_ = true;
    timer_.cancel();
    {
      std::lock_guard lock(inbox_mutex_);
      accepting_ = false;
      drop_inbox_locked();
      error_code ignored;
      socket_.close(ignored);
    }
    // A write still in flight releases its own batch when it completes.
    if (entered_) {
      core_.clients.fetch_sub(1, std::memory_order_relaxed);
      guarded([&] { core_.owner->on_ws_client_left(handle_); });
    }
  }

  template <typename F>
  static void guarded(F&& f) noexcept {
    try {
      f();
    } catch (...) {
      // A handler's failure must not end the io thread.
    }
  }

  tcp::socket socket_;
  net::steady_timer timer_;
  Core& core_;
  const WsClientHandle handle_;

  // Strand only.
  beast::flat_buffer http_buffer_;
  std::optional<http::request_parser<http::empty_body>> request_;
  std::optional<websocket::stream<tcp::socket&>> upgrade_;
  std::vector<char> rx_;  // received, not yet parsed
  std::string message_;   // the data message being assembled
  bool in_message_ = false;
  bool message_is_text_ = false;
  std::string control_out_;  // pongs and pings waiting for the writer
  std::string wire_;         // the batch being written
  std::size_t wire_sent_ = 0;
  std::size_t wire_count_ = 0;
  std::size_t wire_bytes_ = 0;
  bool wire_has_close_ = false;
  bool entered_ = false;
  bool finished_ = false;
  bool discard_input_ = false;
  bool failed_ = false;
  bool close_queued_ = false;
  bool close_written_ = false;
  bool close_received_ = false;
  bool received_since_tick_ = false;
  bool pinged_ = false;

  // Shared with pushing threads.
  std::mutex inbox_mutex_;
  std::string inbox_;  // framed event messages not yet taken by a writer
  std::size_t inbox_count_ = 0;
  std::size_t inbox_bytes_ = 0;  // payload bytes, as the queue bound counts
  bool write_active_ = false;    // the writer token
  bool accepting_ = false;       // from the handshake until the close
  bool close_frame_pending_ = false;
  std::string close_frame_payload_;
  bool stall_close_requested_ = false;
  std::size_t queued_count_ = 0;  // inbox + the batch being written
  std::size_t queued_bytes_ = 0;
  std::optional<Clock::time_point> full_since_;
  Clock::time_point last_push_at_{};
};

void EventWsServer::Core::do_accept() {
  acceptor.async_accept(net::make_strand(ioc), [this](error_code ec, tcp::socket socket) {
    on_accept(ec, std::move(socket));
  });
}

void EventWsServer::Core::on_accept(error_code ec, tcp::socket socket) {
  if (stopping.load() || !acceptor.is_open()) return;
  if (ec) {
    // Out of descriptors and the like: wait a little instead of spinning.
    accept_retry.expires_after(std::chrono::milliseconds(50));
    accept_retry.async_wait([this](error_code wait_ec) {
      if (!wait_ec && !stopping.load()) do_accept();
    });
    return;
  }
  error_code ignored;
  close_on_exec(socket.native_handle());
  socket.set_option(tcp::no_delay(true), ignored);
  WsClientHandle handle = new_handle();
  auto session = std::make_shared<Session>(std::move(socket), *this, handle);
  {
    std::lock_guard lock(registry_mutex);
    sessions[handle] = session;
  }
  session->run();
  do_accept();
}

EventWsServer::EventWsServer(EventWsServerOptions options)
    : options_(std::move(options)), core_(std::make_shared<Core>()) {
  core_->owner = this;
  if (options_.io_threads == 0) options_.io_threads = 1;
  core_->options = options_;
}

EventWsServer::~EventWsServer() {
  stop();
}

bool EventWsServer::start() {
  std::lock_guard lock(state_mutex_);
  if (started_) {
    error_text_ = "event WebSocket server already started";
    return false;
  }
  started_ = true;
  const std::string where = options_.bind_address + ":" + std::to_string(options_.port);
  error_code ec;
  net::ip::address address = net::ip::make_address(options_.bind_address, ec);
  if (ec) {
    error_text_ = "bad bind address " + options_.bind_address + ": " + ec.message();
    return false;
  }
  tcp::endpoint endpoint(address, options_.port);
  auto fail = [&](const char* step) {
    error_text_ = std::string(step) + " " + where + ": " + ec.message();
    error_code ignored;
    core_->acceptor.close(ignored);
    return false;
  };
  core_->acceptor.open(endpoint.protocol(), ec);
  if (ec) return fail("open");
  close_on_exec(core_->acceptor.native_handle());
  core_->acceptor.set_option(net::socket_base::reuse_address(true), ec);
  if (ec) return fail("set_option");
  core_->acceptor.bind(endpoint, ec);
  if (ec) return fail("bind");
  core_->acceptor.listen(net::socket_base::max_listen_connections, ec);
  if (ec) return fail("listen");
  bound_port_ = core_->acceptor.local_endpoint(ec).port();
  error_text_.clear();

  core_->do_accept();
  for (std::size_t i = 0; i < options_.io_threads; ++i) {
    threads_.emplace_back([core = core_.get()] {
      for (;;) {
        try {
          core->ioc.run();
          return;
        } catch (...) {
          // Handlers catch their own failures; keep serving if one escaped.
        }
      }
    });
  }
  return true;
}

void EventWsServer::stop() {
  std::lock_guard lock(state_mutex_);
  if (!started_ || stopped_) {
    stopped_ = true;
    return;
  }
  stopped_ = true;
  core_->stopping.store(true);
  net::post(core_->acceptor.get_executor(), [core = core_.get()] {
    error_code ignored;
    core->acceptor.close(ignored);
    core->accept_retry.cancel();
  });
  std::vector<std::shared_ptr<Session>> sessions;
  {
    std::lock_guard registry_lock(core_->registry_mutex);
    for (auto& [handle, weak] : core_->sessions) {
      if (auto session = weak.lock()) sessions.push_back(std::move(session));
    }
  }
  for (auto& session : sessions) session->shutdown();
  sessions.clear();

  auto wait_for_sessions = [this](std::chrono::milliseconds limit) {
    const auto deadline = Clock::now() + limit;
    while (core_->live_sessions.load() > 0 && Clock::now() < deadline) {
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return core_->live_sessions.load() == 0;
  };
  if (!wait_for_sessions(options_.stop_grace_ms)) {
    // Clients that did not finish the close handshake in time are cut.
    {
      std::lock_guard registry_lock(core_->registry_mutex);
      for (auto& [handle, weak] : core_->sessions) {
        if (auto session = weak.lock()) sessions.push_back(std::move(session));
      }
    }
    for (auto& session : sessions) session->cut();
    sessions.clear();
    wait_for_sessions(std::chrono::milliseconds(500));
  }
  core_->ioc.stop();
  for (auto& thread : threads_) {
    if (thread.joinable()) thread.join();
  }
  threads_.clear();
  // Completions that were queued but never ran (a connection accepted at the
  // last moment) run here so their sockets close now, not at destruction.
  try {
    core_->ioc.restart();
    core_->ioc.poll();
  } catch (...) {
  }
  last_ws_client_.store(0, std::memory_order_release);
}

bool EventWsServer::running() const {
  std::lock_guard lock(state_mutex_);
  return started_ && !stopped_ && !threads_.empty();
}

std::uint16_t EventWsServer::port() const {
  std::lock_guard lock(state_mutex_);
  return bound_port_;
}

std::string EventWsServer::error_text() const {
  std::lock_guard lock(state_mutex_);
  return error_text_;
}

void EventWsServer::push_to_last_client(std::string utf8_text) {
  const WsClientHandle handle = last_ws_client();
  if (handle == 0) return;
  std::shared_ptr<Session> session;
  {
    std::lock_guard lock(core_->registry_mutex);
    auto it = core_->sessions.find(handle);
    if (it == core_->sessions.end()) return;
    session = it->second.lock();
  }
  if (session) session->push(std::move(utf8_text));
}

bool EventWsServer::has_last_client() const {
  return last_ws_client() != 0;
}

void EventWsServer::on_ws_client_entered(WsClientHandle client) {
  last_ws_client_.store(client, std::memory_order_release);
}

void EventWsServer::on_ws_client_left(WsClientHandle client) {
  // Only the newest client's leaving clears it; an older one changes nothing.
  WsClientHandle expected = client;
  last_ws_client_.compare_exchange_strong(expected, 0, std::memory_order_acq_rel);
}

void EventWsServer::on_ws_message(WsClientHandle, WsMessageType, std::string_view) {
  // Messages from clients are ignored: no reply, nothing changes.
}

std::size_t EventWsServer::queued_bytes() const {
  return core_->queued_bytes.load(std::memory_order_relaxed);
}
std::size_t EventWsServer::queued_bytes_high_water() const {
  return core_->queued_bytes_high_water.load(std::memory_order_relaxed);
}
std::uint64_t EventWsServer::dropped_messages() const {
  return core_->dropped_messages.load(std::memory_order_relaxed);
}
std::uint64_t EventWsServer::sent_messages() const {
  return core_->sent_messages.load(std::memory_order_relaxed);
}
std::uint64_t EventWsServer::stall_closes() const {
  return core_->stall_closes.load(std::memory_order_relaxed);
}
std::size_t EventWsServer::client_count() const {
  return core_->clients.load(std::memory_order_relaxed);
}

}  // namespace lumora::relay
