#pragma once
// The event WebSocket server: consumers (games, overlays) connect to it and
// the newest of them, `last_ws_client`, receives every delivered event as one
// UTF-8 text message. Messages from clients are read and ignored.
//
// Structure (after Beast's own asynchronous server): one listener, one
// session per connection kept alive by shared_from_this, every handler of a
// session on its own strand, one write in flight at a time. The io threads
// (1 or 2) exist from start() to stop(). Beast parses and answers the upgrade
// request; after it the session frames and parses the connection itself, so
// that one write carries every message queued meanwhile (a frame per message,
// all in one send) instead of one send per message.
//
// Send queue policy. Each client has a bounded send queue (queue_max_bytes,
// queue_max_messages, counting message payloads). push_to_last_client never
// waits: it checks the bound and appends the framed message to the client's
// inbox under a short lock. When the client's socket is idle and the previous
// push was not just before, the pushing thread sends the frame itself with
// one non-blocking send (no hand-over to an io thread, so no wake-up in the
// latency); otherwise, or for whatever that send could not take, one flush
// is posted to the session's strand, whose write takes the whole inbox.
// While the queue is full, the newest message is dropped for that client and
// counted (dropped_messages). A client whose queue stays full with no write
// progress for stall_close_ms is closed hard (its socket is shut), because a
// consumer that never reads would otherwise pin its queue forever.
// Independently, keep-alive pings close a client that sends nothing back
// (not even a pong) for idle_timeout_ms (checked every half of it, so the
// close comes between one and one and a half limits after its last byte),
// so a stalled consumer is released even when no more events come.
//
// Limits on what clients send: frames must be masked, use no reserved bits
// or opcodes, and control frames must be final and at most 125 bytes; a
// message above read_message_max_bytes (close code 1009), a text message
// that is not UTF-8 (1007) or any other malformed frame (1002) gets a close
// frame, nothing more is read from that client and only its session ends.
// Pings get a pong; a client's close frame is answered with the same code.
#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "relay/event_push.h"

namespace lumora::relay {

using WsClientHandle = std::uint32_t;

enum class WsMessageType { text, binary };

struct EventWsServerOptions {
  std::string bind_address = "0.0.0.0";
  std::uint16_t port = 8080;  // 0 picks a free port (tests)
  std::size_t io_threads = 1;
  std::size_t read_message_max_bytes = 64 * 1024;
  std::size_t queue_max_bytes = 4 * 1024 * 1024;
  std::size_t queue_max_messages = 10000;
  std::chrono::milliseconds stall_close_ms{10000};
  std::chrono::milliseconds handshake_timeout_ms{30000};
  std::chrono::milliseconds idle_timeout_ms{60000};
  // How long stop() lets sessions close gracefully before it cuts them.
  std::chrono::milliseconds stop_grace_ms{1000};
};

class EventWsServer final : public EventPush {
 public:
  explicit EventWsServer(EventWsServerOptions options = {});
  ~EventWsServer() override;
  EventWsServer(const EventWsServer&) = delete;
  EventWsServer& operator=(const EventWsServer&) = delete;

  // Binds, listens and starts the io threads. False when the address is bad
  // or the port cannot be taken; error_text() then says why. A server that
  // started once cannot be started again.
  bool start();
  // Closes every session and the listener, joins the io threads. Idempotent.
  void stop();
  bool running() const;
  // The port actually listened on (the chosen one when options.port is 0).
  std::uint16_t port() const;
  std::string error_text() const;

  // EventPush.
  void push_to_last_client(std::string utf8_text) override;
  bool has_last_client() const override;

  // The three handlers; sessions call them on their strands. Public so that
  // delivery's rules can be driven directly.
  void on_ws_client_entered(WsClientHandle client);
  void on_ws_client_left(WsClientHandle client);
  void on_ws_message(WsClientHandle client, WsMessageType type, std::string_view message);

  WsClientHandle last_ws_client() const { return last_ws_client_.load(std::memory_order_acquire); }

  // Figures for tests, benchmarks and logs.
  std::size_t queued_bytes() const;  // over all sessions, not yet written
  std::size_t queued_bytes_high_water() const;
  std::uint64_t dropped_messages() const;  // dropped because a queue was full
  std::uint64_t sent_messages() const;     // writes completed
  std::uint64_t stall_closes() const;      // clients closed for a stalled queue
  std::size_t client_count() const;        // sessions past the handshake

  struct Core;
  class Session;

 private:
  EventWsServerOptions options_;
  std::shared_ptr<Core> core_;
  std::vector<std::thread> threads_;
  mutable std::mutex state_mutex_;  // start/stop and error text
  std::string error_text_;
  std::uint16_t bound_port_ = 0;
  bool started_ = false;
  bool stopped_ = false;
  std::atomic<WsClientHandle> last_ws_client_{0};
};

}  // namespace lumora::relay
