#pragma once
// The room connection of slot 1: the danmaku WebSocket to the live platform,
// its authentication and heartbeats, the status shown in the panel, and the
// reconnect after a drop.
//
// Sequence of one connection (connect_room): the WebSocket connects with the
// opening headers; the heartbeat timer starts; the room is looked up (two web
// requests and the log line); the authentication frame goes out, then one
// heartbeat. The platform then streams binary frames; each is unpacked and
// its messages decoded into the sink, in order, on the connection's thread.
//
// Reconnect: when the platform closes (or the connection breaks), the status
// turns to "已断开" / "连接", the heartbeats stop and a new sequence starts
// with what 编辑框_w1 holds then. The first retry after a drop waits
// reconnect_base_ms; the wait doubles (up to reconnect_max_ms) while
// attempts fail or connections last under stable_after_ms, so a room that
// keeps closing is not hammered; a connection that lasted that long resets
// it. A failed automatic attempt is retried the same way. Only a failed
// connect the user started shows "连接直播间失败！" and ends the program.
//
// Threads: one thread per RoomConnection (started by the first connect_room)
// runs every read, write, timer and reconnect of the connection; stop()
// (also the destructor) closes the socket and joins it. Nothing thrown by the
// sink leaves that thread.
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

#include "live/live_dispatch.h"
#include "live/live_endpoints.h"
#include "live/room_lookup.h"
#include "panel/panel_model.h"

namespace lumora::live {

struct RoomConnectionOptions {
  LiveEndpoints endpoints;
  std::chrono::milliseconds heartbeat_period_ms{29000};
  std::chrono::milliseconds reconnect_base_ms{1000};
  std::chrono::milliseconds reconnect_max_ms{30000};
  std::chrono::milliseconds stable_after_ms{60000};
  // Resolve, TCP connect, TLS and WebSocket handshakes together.
  std::chrono::milliseconds connect_timeout_ms{15000};
  // A received WebSocket message above this fails the read (the connection
  // drops and is reconnected).
  std::size_t read_message_max_bytes = std::size_t{16} << 20;
};

// The authentication message for a lookup: uid, roomid, protover, platform,
// type, key, in that order, compact (GBK).
std::string build_auth_message(const RoomInfo& info);

class RoomConnection {
 public:
  RoomConnection(panel::PanelModel& panel, LiveEventSink& sink, RoomConnectionOptions options = {});
  ~RoomConnection();
  RoomConnection(const RoomConnection&) = delete;
  RoomConnection& operator=(const RoomConnection&) = delete;

  // The connect button of slot 1: runs the sequence for room_text (the text of
  // 编辑框_w1) and returns when the authentication and the first heartbeat
  // are queued (true) or the connect failed (false: "连接直播间失败！" has been
  // shown and the program asked to end). A connection already open is closed
  // first, without a reconnect. Blocks the caller; call from any thread but
  // the connection's own.
  bool connect_room(std::string_view room_text);

  // Closes the connection and joins its thread; no handler runs afterwards.
  // Idempotent.
  void stop();

  struct Stats {
    std::uint64_t connections = 0;      // WebSocket handshakes that succeeded
    std::uint64_t failed_attempts = 0;  // connects that failed
    std::uint64_t closes = 0;           // connections that dropped
    std::uint64_t heartbeats_sent = 0;  // heartbeat frames written
    std::uint64_t frames_received = 0;  // binary messages read
    std::uint64_t text_messages_ignored = 0;
    std::uint64_t sink_failures = 0;  // frames whose sink threw
    bool connected = false;
    std::chrono::milliseconds next_reconnect_delay_ms{0};
    std::string last_error;  // "connect ws://...: reason", "read: reason"
  };
  Stats stats() const;

  struct Impl;

 private:
  std::shared_ptr<Impl> impl_;
};

}  // namespace lumora::live
