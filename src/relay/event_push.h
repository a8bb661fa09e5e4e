#pragma once
// The seam between event delivery and the event WebSocket server: delivery
// hands each event's UTF-8 text to the server, which sends it to the newest
// consumer (last_ws_client) without ever making delivery wait.
#include <string>

namespace lumora::relay {

class EventPush {
 public:
  virtual ~EventPush() = default;
  // Queues one text message for last_ws_client; does nothing when no client
  // is connected. Must not block.
  virtual void push_to_last_client(std::string utf8_text) = 0;
  // True when last_ws_client is not 0 (lets delivery skip serializing).
  virtual bool has_last_client() const = 0;
};

}  // namespace lumora::relay
