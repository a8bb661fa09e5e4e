#include "live/room_connection.h"

#include <openssl/err.h>
#include <openssl/ssl.h>

#include <boost/asio/executor_work_guard.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/post.hpp>
#include <boost/asio/ssl.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/ssl.hpp>
#include <boost/beast/websocket.hpp>
#include <boost/beast/websocket/ssl.hpp>
#include <deque>
#include <exception>
#include <functional>
#include <future>
#include <mutex>
#include <optional>
#include <thread>
#include <utility>

#include "fetch/fetch.h"
#include "json/jmap.h"
#include "live/packet_codec.h"
#include "text/literal.h"

namespace lumora::live {

namespace asio = boost::asio;
namespace beast = boost::beast;
namespace http = beast::http;
namespace websocket = beast::websocket;
using tcp = asio::ip::tcp;
using error_code = boost::system::error_code;
using Clock = std::chrono::steady_clock;
using namespace text::literals;

bool parse_websocket_url(std::string_view url, WebSocketAddress& out) {
  WebSocketAddress address;
  std::string_view rest;
  if (url.starts_with("ws://")) {
    rest = url.substr(5);
  } else if (url.starts_with("wss://")) {
    address.tls = true;
    rest = url.substr(6);
  } else {
    return false;
  }
  std::size_t path_start = rest.find_first_of("/?");
  std::string_view authority = rest.substr(0, path_start);
  address.target =
      path_start == std::string_view::npos ? "/" : std::string(rest.substr(path_start));
  if (!address.target.empty() && address.target.front() == '?') address.target.insert(0, "/");
  if (authority.empty() || authority.find('@') != std::string_view::npos) return false;
  std::string_view host = authority;
  std::string_view port_text;
  if (authority.front() == '[') {
    std::size_t close = authority.find(']');
    if (close == std::string_view::npos) return false;
    host = authority.substr(1, close - 1);
    std::string_view after = authority.substr(close + 1);
    if (!after.empty()) {
      if (after.front() != ':') return false;
      port_text = after.substr(1);
    }
  } else {
    std::size_t colon = authority.rfind(':');
    if (colon != std::string_view::npos) {
      host = authority.substr(0, colon);
      port_text = authority.substr(colon + 1);
    }
  }
  if (host.empty()) return false;
  std::uint32_t port = address.tls ? 443 : 80;
  if (!port_text.empty()) {
    if (port_text.size() > 5) return false;
    port = 0;
    for (char c : port_text) {
      if (c < '0' || c > '9') return false;
      port = port * 10 + static_cast<std::uint32_t>(c - '0');
    }
    if (port == 0 || port > 65535) return false;
  }
  address.host = std::string(host);
  address.port = static_cast<std::uint16_t>(port);
  address.host_header = std::string(authority);
  out = std::move(address);
  return true;
}

std::string build_auth_message(const RoomInfo& info) {
  json::JMap auth;
  auth.set_int("//uid", 0);
  auth.set_int("//roomid", info.room_id);
  auth.set_int("//protover", 1);
  auth.set_text("//platform", "client");
  auth.set_int("//type", 1);
  auth.set_text("//key", info.token);
  return auth.to_json();
}

namespace {

// One WebSocket connection of either kind. Every call is made on the
// connection's thread; completion handlers run there too.
class Session : public std::enable_shared_from_this<Session> {
 public:
  using Done = std::function<void(error_code, const char* step)>;
  using ReadDone = std::function<void(error_code, bool binary)>;
  using WriteDone = std::function<void(error_code)>;

  virtual ~Session() = default;
  virtual void start_connect(const WebSocketAddress& address, const std::string& origin,
                             std::chrono::milliseconds handshake_timeout,
                             std::size_t read_message_max_bytes, Done done) = 0;
  virtual void read(ReadDone done) = 0;
  virtual void write_binary(std::string_view bytes, WriteDone done) = 0;
  // Ends every pending operation (they complete with an error).
  virtual void close_now() = 0;
  beast::flat_buffer& buffer() { return buffer_; }

 protected:
  beast::flat_buffer buffer_;
};

// The opening headers of the danmaku handshake, in their order.
void set_opening_headers(websocket::request_type& request, const std::string& origin) {
  request.set(http::field::sec_websocket_extensions, "x-webkit-deflate-frame");
  request.set(http::field::sec_websocket_protocol, "undefined");
  request.set(http::field::origin, origin);
  request.set(http::field::accept_encoding, "");
}

template <bool Tls>
class SessionOf final : public Session {
 public:
  using Layer = std::conditional_t<Tls, beast::ssl_stream<beast::tcp_stream>, beast::tcp_stream>;

  explicit SessionOf(asio::io_context& ioc, asio::ssl::context* tls_context)
      : resolver_(ioc), ws_(make_stream(ioc, tls_context)) {}

  void start_connect(const WebSocketAddress& address, const std::string& origin,
                     std::chrono::milliseconds handshake_timeout,
                     std::size_t read_message_max_bytes, Done done) override {
    address_ = address;
    origin_ = origin;
    handshake_timeout_ = handshake_timeout;
    ws_.read_message_max(read_message_max_bytes);
    auto self = std::static_pointer_cast<SessionOf>(shared_from_this());
    resolver_.async_resolve(
        address_.host, std::to_string(address_.port),
        [self, done = std::move(done)](error_code ec, tcp::resolver::results_type results) mutable {
          if (ec) return done(ec, "resolve");
          beast::get_lowest_layer(self->ws_).async_connect(
              results, [self, done = std::move(done)](error_code ec, const tcp::endpoint&) mutable {
                if (ec) return done(ec, "connect");
                self->after_tcp(std::move(done));
              });
        });
  }

  void read(ReadDone done) override {
    auto self = shared_from_this();
    ws_.async_read(buffer_, [self, this, done = std::move(done)](error_code ec, std::size_t) {
      done(ec, !ec && ws_.got_binary());
    });
  }

  void write_binary(std::string_view bytes, WriteDone done) override {
    auto self = shared_from_this();
    ws_.binary(true);
    ws_.async_write(asio::buffer(bytes.data(), bytes.size()),
                    [self, done = std::move(done)](error_code ec, std::size_t) { done(ec); });
  }

  void close_now() override {
    resolver_.cancel();
    beast::get_lowest_layer(ws_).close();
  }

 private:
  static websocket::stream<Layer> make_stream(asio::io_context& ioc,
                                              asio::ssl::context* tls_context) {
    if constexpr (Tls) {
      return websocket::stream<Layer>(ioc, *tls_context);
    } else {
      (void)tls_context;
      return websocket::stream<Layer>(ioc);
    }
  }

  void after_tcp(Done done) {
    if constexpr (Tls) {
      auto& tls = ws_.next_layer();
      // SNI, and the certificate checked against the host name.
      if (!SSL_set_tlsext_host_name(tls.native_handle(), address_.host.c_str()))
        return done(
            error_code(static_cast<int>(::ERR_get_error()), asio::error::get_ssl_category()),
            "tls");
      error_code ec;
      if (fetch::fetch_verify_certificates()) {
        tls.set_verify_mode(asio::ssl::verify_peer, ec);
        if (!ec) tls.set_verify_callback(asio::ssl::host_name_verification(address_.host), ec);
      } else {
        tls.set_verify_mode(asio::ssl::verify_none, ec);
      }
      if (ec) return done(ec, "tls");
      auto self = std::static_pointer_cast<SessionOf>(shared_from_this());
      tls.async_handshake(asio::ssl::stream_base::client,
                          [self, done = std::move(done)](error_code ec) mutable {
                            if (ec) return done(ec, "tls");
                            self->websocket_handshake(std::move(done));
                          });
    } else {
      websocket_handshake(std::move(done));
    }
  }

  void websocket_handshake(Done done) {
    // The WebSocket stream keeps its own handshake timeout; the TCP layer's
    // must be off then.
    beast::get_lowest_layer(ws_).expires_never();
    websocket::stream_base::timeout timeouts{};
    timeouts.handshake_timeout = handshake_timeout_;
    timeouts.idle_timeout = websocket::stream_base::none();
    timeouts.keep_alive_pings = false;
    ws_.set_option(timeouts);
    ws_.set_option(
        websocket::stream_base::decorator([origin = origin_](websocket::request_type& request) {
          set_opening_headers(request, origin);
        }));
    auto self = shared_from_this();
    ws_.async_handshake(address_.host_header, address_.target,
                        [self, done = std::move(done)](error_code ec) { done(ec, "handshake"); });
  }

  tcp::resolver resolver_;
  websocket::stream<Layer> ws_;
  WebSocketAddress address_;
  std::string origin_;
  std::chrono::milliseconds handshake_timeout_{0};
};

std::string describe(const char* step, const error_code& ec) {
  std::string text = step;
  text += ": ";
  text += ec.message();
  return text;
}

}  // namespace

struct RoomConnection::Impl {
  Impl(panel::PanelModel& panel_in, LiveEventSink& sink_in, RoomConnectionOptions options_in)
      : panel(panel_in),
        options(std::move(options_in)),
        tls_context(asio::ssl::context::tls_client),
        work(asio::make_work_guard(ioc)),
        heartbeat_timer(ioc),
        reconnect_timer(ioc),
        attempt_timer(ioc),
        dispatcher(sink_in),
        backoff(options.reconnect_base_ms) {
    error_code ec;
    tls_context.set_default_verify_paths(ec);
  }

  // ---- state touched only on the connection's thread ----
  panel::PanelModel& panel;
  const RoomConnectionOptions options;
  // First member the rest depend on; destroyed last.
  asio::io_context ioc;
  asio::ssl::context tls_context;
  std::optional<asio::executor_work_guard<asio::io_context::executor_type>> work;
  asio::steady_timer heartbeat_timer;
  asio::steady_timer reconnect_timer;
  asio::steady_timer attempt_timer;
  PacketDecoder decoder;
  LiveMessageDispatcher dispatcher;

  std::shared_ptr<Session> session;  // the current connection, or none
  bool session_open = false;         // past its handshake
  struct Outgoing {
    std::string bytes;
    bool heartbeat = false;
  };
  std::deque<Outgoing> outgoing;
  bool writing = false;
  Clock::time_point connected_at;
  Clock::time_point heartbeat_next;
  std::chrono::milliseconds backoff;
  std::uint64_t attempt_id = 0;
  bool user_started = false;
  bool attempt_timed_out = false;
  std::string room_text;
  std::shared_ptr<std::promise<bool>> pending_user;
  bool stopping = false;

  // ---- shared with other threads ----
  std::mutex lifecycle_mutex;
  bool stopped = false;
  std::thread thread;
  mutable std::mutex stats_mutex;
  Stats stats;

  template <typename F>
  void update_stats(F&& f) {
    std::lock_guard<std::mutex> lock(stats_mutex);
    f(stats);
  }

  void resolve_user(bool result) {
    if (pending_user) {
      pending_user->set_value(result);
      pending_user.reset();
    }
  }

  // ---- the client's four handlers ----
  void on_room_connected() {
    if (stopping) return;
    panel.set_text(panel::Control::标签_客户端_状态, "连接成功"_gbk);
    panel.set_text(panel::Control::按钮_客户端_连接, "断开"_gbk);
  }
  void on_room_connect_failed() {
    if (stopping) return;
    panel.set_text(panel::Control::标签_客户端_状态, "已断开"_gbk);
    panel.set_text(panel::Control::按钮_客户端_连接, "连接"_gbk);
  }
  void on_room_closed() {
    if (stopping) return;
    panel.set_text(panel::Control::标签_客户端_状态, "已断开"_gbk);
    panel.set_text(panel::Control::按钮_客户端_连接, "连接"_gbk);
    heartbeat_timer.cancel();
    // A connection that held for a while resets the wait; one that did not
    // keeps doubling it.
    if (Clock::now() - connected_at >= options.stable_after_ms) backoff = options.reconnect_base_ms;
    schedule_reconnect();
  }
  void on_room_message(bool binary) {
    std::string_view bytes(static_cast<const char*>(session->buffer().data().data()),
                           session->buffer().size());
    if (!binary) {
      update_stats([](Stats& s) { ++s.text_messages_ignored; });
      return;
    }
    update_stats([](Stats& s) { ++s.frames_received; });
    dispatcher.begin_frame();
    try {
      decoder.unpack(bytes, dispatcher);
    } catch (...) {
      // A sink failure costs the rest of its frame, never the connection.
      update_stats([](Stats& s) { ++s.sink_failures; });
    }
  }

  // ---- the sequence ----
  void drop_session() {
    if (session) session->close_now();
    session.reset();
    session_open = false;
    outgoing.clear();
    writing = false;
    heartbeat_timer.cancel();
    attempt_timer.cancel();
    update_stats([](Stats& s) { s.connected = false; });
  }

  void start_attempt(bool by_user, std::string text, std::shared_ptr<std::promise<bool>> done) {
    if (stopping) {
      if (done) done->set_value(false);
      return;
    }
    // A newer request supersedes an older one still waiting.
    resolve_user(false);
    drop_session();
    reconnect_timer.cancel();
    ++attempt_id;
    pending_user = std::move(done);
    user_started = by_user;
    if (by_user) backoff = options.reconnect_base_ms;
    room_text = by_user ? std::move(text) : panel.text(panel::Control::编辑框_w1);

    WebSocketAddress address;
    if (!parse_websocket_url(options.endpoints.danmaku_url, address)) {
      connect_failed("bad danmaku address");
      return;
    }
    std::shared_ptr<Session> s;
    if (address.tls)
      s = std::make_shared<SessionOf<true>>(ioc, &tls_context);
    else
      s = std::make_shared<SessionOf<false>>(ioc, nullptr);
    session = s;
    attempt_timed_out = false;
    attempt_timer.expires_after(options.connect_timeout_ms);
    attempt_timer.async_wait([this, s](error_code ec) {
      if (ec || s != session || session_open) return;
      attempt_timed_out = true;
      s->close_now();
    });
    s->start_connect(address, options.endpoints.web_origin, options.connect_timeout_ms,
                     options.read_message_max_bytes, [this, s](error_code ec, const char* step) {
                       on_connect_result(s, ec, step);
                     });
  }

  void connect_failed(std::string why) {
    session.reset();
    session_open = false;
    attempt_timer.cancel();
    update_stats([&](Stats& st) {
      ++st.failed_attempts;
      st.last_error = "connect " + options.endpoints.danmaku_url + ": " + why;
    });
    on_room_connect_failed();
    if (stopping) return resolve_user(false);
    if (user_started) {
      // The user asked for this room and it cannot be reached: the program ends.
      panel.show_message("连接直播间失败！"_gbk, "");
      panel.request_quit(0);
      resolve_user(false);
      return;
    }
    schedule_reconnect();
  }

  void on_connect_result(const std::shared_ptr<Session>& s, error_code ec, const char* step) {
    if (s != session) return;
    if (ec) {
      connect_failed(attempt_timed_out ? std::string("timed out") : describe(step, ec));
      return;
    }
    attempt_timer.cancel();
    session_open = true;
    connected_at = Clock::now();
    update_stats([](Stats& st) {
      ++st.connections;
      st.connected = true;
    });
    on_room_connected();
    // The heartbeats count from here, whatever the lookup costs.
    heartbeat_next = connected_at + options.heartbeat_period_ms;
    arm_heartbeat(s);
    read_next(s);

    RoomInfo info = lookup_room(room_text, options.endpoints, panel);
    if (s != session || stopping) return resolve_user(false);
    send(build_auth_frame(build_auth_message(info)), false);
    send(std::string(heartbeat_frame()), true);
    resolve_user(true);
  }

  void arm_heartbeat(const std::shared_ptr<Session>& s) {
    heartbeat_timer.expires_at(heartbeat_next);
    heartbeat_timer.async_wait([this, s](error_code ec) {
      if (ec || s != session || stopping) return;
      send(std::string(heartbeat_frame()), true);
      // A fixed period from the start; ticks missed while the thread was
      // busy are not made up in a burst.
      auto now = Clock::now();
      do {
        heartbeat_next += options.heartbeat_period_ms;
      } while (heartbeat_next <= now);
      arm_heartbeat(s);
    });
  }

  void read_next(const std::shared_ptr<Session>& s) {
    s->read([this, s](error_code ec, bool binary) {
      if (s != session) return;
      if (ec) return on_drop(describe("read", ec));
      on_room_message(binary);
      s->buffer().consume(s->buffer().size());
      if (s == session) read_next(s);
    });
  }

  void on_drop(std::string why) {
    drop_session();
    update_stats([&](Stats& st) {
      ++st.closes;
      st.last_error = std::move(why);
    });
    on_room_closed();
  }

  void schedule_reconnect() {
    if (stopping) return;
    std::chrono::milliseconds delay = backoff;
    backoff = std::min(backoff * 2, options.reconnect_max_ms);
    if (backoff < options.reconnect_base_ms) backoff = options.reconnect_base_ms;
    update_stats([&](Stats& st) { st.next_reconnect_delay_ms = delay; });
    std::uint64_t id = attempt_id;
    reconnect_timer.expires_after(delay);
    reconnect_timer.async_wait([this, id](error_code ec) {
      if (ec || stopping || id != attempt_id) return;
      start_attempt(false, {}, nullptr);
    });
  }

  void send(std::string bytes, bool heartbeat) {
    if (!session_open) return;
    outgoing.push_back(Outgoing{std::move(bytes), heartbeat});
    if (!writing) write_next();
  }

  void write_next() {
    if (outgoing.empty() || !session) {
      writing = false;
      return;
    }
    writing = true;
    std::shared_ptr<Session> s = session;
    s->write_binary(outgoing.front().bytes, [this, s](error_code ec) {
      if (s != session) return;
      if (ec) {
        // Send failures are not acted on: the read sees the drop.
        outgoing.clear();
        writing = false;
        return;
      }
      if (outgoing.front().heartbeat) update_stats([](Stats& st) { ++st.heartbeats_sent; });
      outgoing.pop_front();
      write_next();
    });
  }

  void run_thread() {
    for (;;) {
      try {
        ioc.run();
        return;
      } catch (const std::exception& e) {
        update_stats([&](Stats& st) { st.last_error = std::string("handler: ") + e.what(); });
      } catch (...) {
        update_stats([](Stats& st) { st.last_error = "handler: unknown failure"; });
      }
    }
  }
};

RoomConnection::RoomConnection(panel::PanelModel& panel, LiveEventSink& sink,
                               RoomConnectionOptions options)
    : impl_(std::make_shared<Impl>(panel, sink, std::move(options))) {}

RoomConnection::~RoomConnection() {
  stop();
}

bool RoomConnection::connect_room(std::string_view room_text) {
  Impl& impl = *impl_;
  auto done = std::make_shared<std::promise<bool>>();
  std::future<bool> result = done->get_future();
  {
    std::lock_guard<std::mutex> lock(impl.lifecycle_mutex);
    if (impl.stopped) return false;
    if (impl.thread.joinable() && impl.thread.get_id() == std::this_thread::get_id()) return false;
    if (!impl.thread.joinable()) impl.thread = std::thread([&impl] { impl.run_thread(); });
    asio::post(impl.ioc, [&impl, text = std::string(room_text), done]() mutable {
      impl.start_attempt(true, std::move(text), std::move(done));
    });
  }
  return result.get();
}

void RoomConnection::stop() {
  Impl& impl = *impl_;
  {
    std::lock_guard<std::mutex> lock(impl.lifecycle_mutex);
    if (impl.stopped) return;
    impl.stopped = true;
    if (!impl.thread.joinable()) return;
    if (impl.thread.get_id() == std::this_thread::get_id()) return;  // cannot join itself
    asio::post(impl.ioc, [&impl] {
      impl.stopping = true;
      impl.drop_session();
      impl.reconnect_timer.cancel();
      impl.resolve_user(false);
      // What is still pending completes with an error and ends the run.
      impl.work.reset();
    });
  }
  impl.thread.join();
}

RoomConnection::Stats RoomConnection::stats() const {
  std::lock_guard<std::mutex> lock(impl_->stats_mutex);
  return impl_->stats;
}

}  // namespace lumora::live
