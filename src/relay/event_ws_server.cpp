#include "relay/event_ws_server.h"

#include <fcntl.h>

#include <boost/asio/bind_executor.hpp>
#include <boost/asio/dispatch.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/post.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/asio/strand.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/websocket.hpp>
#include <deque>
#include <exception>
#include <optional>
#include <unordered_map>
#include <utility>

namespace lumora::relay {

namespace net = boost::asio;
namespace beast = boost::beast;
namespace websocket = boost::beast::websocket;
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

class EventWsServer::Session : public std::enable_shared_from_this<Session> {
 public:
  Session(tcp::socket&& socket, Core& core, WsClientHandle handle)
      : ws_(std::move(socket)), core_(core), handle_(handle) {
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
    net::dispatch(ws_.get_executor(), [self = shared_from_this()] { self->on_run(); });
  }

  // Any thread. Never waits for the network.
  void push(std::string text) {
    const std::size_t size = text.size();
    bool post_flush = false;
    bool close_for_stall = false;
    {
      std::lock_guard lock(inbox_mutex_);
      if (closed_) return;
      if (queued_count_ + 1 > core_.options.queue_max_messages ||
          queued_bytes_ + size > core_.options.queue_max_bytes) {
        core_.dropped_messages.fetch_add(1, std::memory_order_relaxed);
        const auto now = Clock::now();
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
        inbox_.push_back(std::move(text));
        if (!flush_posted_) {
          flush_posted_ = true;
          post_flush = true;
        }
      }
    }
    if (close_for_stall) {
      core_.stall_closes.fetch_add(1, std::memory_order_relaxed);
      net::post(ws_.get_executor(), [self = shared_from_this()] { self->close_hard(); });
    } else if (post_flush) {
      net::post(ws_.get_executor(), [self = shared_from_this()] { self->on_flush(); });
    }
  }

  // Any thread: begins the end of the session (server stop).
  void shutdown() {
    net::post(ws_.get_executor(), [self = shared_from_this()] { self->on_shutdown(); });
  }
  // Any thread: ends the session without a close handshake.
  void cut() {
    net::post(ws_.get_executor(), [self = shared_from_this()] { self->close_hard(); });
  }

 private:
  void on_run() {
    // Beast's own timers replace the TCP stream's.
    beast::get_lowest_layer(ws_).expires_never();
    websocket::stream_base::timeout timeouts{};
    timeouts.handshake_timeout = core_.options.handshake_timeout_ms;
    timeouts.idle_timeout = core_.options.idle_timeout_ms;
    timeouts.keep_alive_pings = true;  // a listening-only consumer answers pings
    ws_.set_option(timeouts);
    ws_.set_option(websocket::stream_base::decorator(
        [](websocket::response_type& res) { res.set(beast::http::field::server, "Lumora"); }));
    ws_.read_message_max(core_.options.read_message_max_bytes);
    ws_.auto_fragment(false);
    ws_.async_accept(beast::bind_front_handler(&Session::on_handshake, shared_from_this()));
  }

  void on_handshake(error_code ec) {
    if (ec || core_.stopping.load()) {
      close_hard();
      return;
    }
    entered_ = true;
    core_.clients.fetch_add(1, std::memory_order_relaxed);
    guarded([&] { core_.owner->on_ws_client_entered(handle_); });
    do_read();
  }

  void do_read() {
    ws_.async_read(read_buffer_, beast::bind_front_handler(&Session::on_read, shared_from_this()));
  }

  void on_read(error_code ec, std::size_t) {
    if (ec) {
      // The client closed, sent something malformed or oversize, timed out,
      // or was cut: the session ends here.
      finish();
      return;
    }
    const auto data = read_buffer_.cdata();
    std::string_view message(static_cast<const char*>(data.data()), data.size());
    WsMessageType type = ws_.got_text() ? WsMessageType::text : WsMessageType::binary;
    guarded([&] { core_.owner->on_ws_message(handle_, type, message); });
    read_buffer_.consume(read_buffer_.size());
    do_read();
  }

  void on_flush() {
    {
      std::lock_guard lock(inbox_mutex_);
      flush_posted_ = false;
      for (auto& text : inbox_) outbox_.push_back(std::move(text));
      inbox_.clear();
    }
    if (!writing_) do_write();
  }

  void do_write() {
    if (outbox_.empty() || finished_) return;
    writing_ = true;
    ws_.text(true);
    ws_.async_write(net::buffer(outbox_.front()),
                    beast::bind_front_handler(&Session::on_write, shared_from_this()));
  }

  void on_write(error_code ec, std::size_t) {
    writing_ = false;
    release_front();
    if (ec) {
      close_hard();
      return;
    }
    core_.sent_messages.fetch_add(1, std::memory_order_relaxed);
    if (closing_) {
      // stop() is waiting for the queue to stop moving; close now.
      start_close();
      return;
    }
    do_write();
  }

  // Accounts for the message at the head of the outbox leaving the queue.
  void release_front() {
    if (outbox_.empty()) return;
    const std::size_t size = outbox_.front().size();
    outbox_.pop_front();
    {
      std::lock_guard lock(inbox_mutex_);
      --queued_count_;
      queued_bytes_ -= size;
      full_since_.reset();  // the consumer is moving
    }
    core_.remove_queued(size);
  }

  void on_shutdown() {
    if (finished_) return;
    if (!entered_) {
      close_hard();
      return;
    }
    closing_ = true;
    if (!writing_) start_close();
  }

  void start_close() {
    if (close_started_) return;
    close_started_ = true;
    ws_.async_close(websocket::close_code::going_away,
                    [self = shared_from_this()](error_code) { self->close_hard(); });
  }

  void close_hard() {
    error_code ignored;
    beast::get_lowest_layer(ws_).socket().shutdown(tcp::socket::shutdown_both, ignored);
    beast::get_lowest_layer(ws_).close();
    if (!entered_) finish();
  }

  void finish() {
    if (finished_) return;
    finished_ = true;
    {
      std::lock_guard lock(inbox_mutex_);
      closed_ = true;
      for (auto& text : inbox_) outbox_.push_back(std::move(text));
      inbox_.clear();
    }
    // A write still in flight releases its own message when it completes.
    while (outbox_.size() > (writing_ ? 1u : 0u)) {
      const std::size_t size = outbox_.back().size();
      outbox_.pop_back();
      std::lock_guard lock(inbox_mutex_);
      --queued_count_;
      queued_bytes_ -= size;
      core_.remove_queued(size);
    }
    error_code ignored;
    beast::get_lowest_layer(ws_).socket().close(ignored);
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

  websocket::stream<beast::tcp_stream> ws_;
  Core& core_;
  const WsClientHandle handle_;
  beast::flat_buffer read_buffer_;

  // Strand only.
  std::deque<std::string> outbox_;
  bool writing_ = false;
  bool entered_ = false;
  bool finished_ = false;
  bool closing_ = false;
  bool close_started_ = false;

  // Shared with pushing threads.
  std::mutex inbox_mutex_;
  std::vector<std::string> inbox_;
  bool flush_posted_ = false;
  bool closed_ = false;
  bool stall_close_requested_ = false;
  std::size_t queued_count_ = 0;  // inbox + outbox
  std::size_t queued_bytes_ = 0;
  std::optional<Clock::time_point> full_since_;
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
