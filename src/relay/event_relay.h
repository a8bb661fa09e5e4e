#pragma once
// The event relay: the five ViewerEvent builders and deliver_event, which hands
// each record to the consumers switched on in the panel (polling list,
// interaction file, WebSocket push). One EventRelay lives for the whole
// program; every operation is safe from any thread.
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <mutex>
#include <string>
#include <string_view>

#include "json/json_document.h"
#include "panel/panel_model.h"
#include "relay/event_push.h"
#include "relay/split_command.h"

namespace lumora::relay {

// The value of a ViewerEvent's member "type".
enum class ViewerEventType : std::int32_t {
  danmaku = 1,
  gift = 2,
  follow = 3,
  entry = 4,
  guard = 5
};

// The avatar route's address up to the uid: "http://127.0.0.1/head?uid=", or
// with ":port" after the host when the HTTP server listens elsewhere than 80.
inline constexpr std::string_view kDefaultHeadPrefix = "http://127.0.0.1/head?uid=";
std::string head_prefix_for_port(int http_port);

// The head prefix followed by the uid text as received.
std::string head_address(std::string_view uid_text,
                         std::string_view head_prefix = kDefaultHeadPrefix);

// The records themselves, members in their fixed order (texts GBK). The uid
// member is the leading integer of uid_text (low 32 bits, signed; no digits 0).
json::JsonDocument make_danmaku_record(std::string_view uid_text, std::string_view name,
                                       const SplitCommand& split, std::string_view comment,
                                       std::string_view head_prefix = kDefaultHeadPrefix);
json::JsonDocument make_gift_record(std::string_view uid_text, std::string_view name,
                                    std::int32_t gift_id, std::string_view gift_name,
                                    std::int32_t count, std::int32_t price,
                                    std::string_view head_prefix = kDefaultHeadPrefix);
json::JsonDocument make_follow_record(std::string_view uid_text, std::string_view name,
                                      std::string_view head_prefix = kDefaultHeadPrefix);
json::JsonDocument make_enter_record(std::string_view uid_text, std::string_view name,
                                     std::string_view head_prefix = kDefaultHeadPrefix);
json::JsonDocument make_guard_record(std::string_view uid_text, std::string_view name,
                                     std::string_view guard_name, std::int32_t start_time,
                                     std::int32_t end_time,
                                     std::string_view head_prefix = kDefaultHeadPrefix);

class EventRelay {
 public:
  // interaction_file_path: the program directory's data.json (UTF-8 path).
  // push: the event WebSocket server, or null when there is none.
  EventRelay(panel::PanelModel& panel, std::string interaction_file_path,
             EventPush* push = nullptr);
  EventRelay(const EventRelay&) = delete;
  EventRelay& operator=(const EventRelay&) = delete;

  // The server may be created after the relay; null detaches it. The caller
  // keeps the server alive while it is attached.
  void set_push(EventPush* push) noexcept { push_.store(push, std::memory_order_release); }

  // The address before the uid in every record's "head" (default
  // kDefaultHeadPrefix). Set at start-up, before events flow.
  void set_head_prefix(std::string head_prefix) { head_prefix_ = std::move(head_prefix); }
  const std::string& head_prefix() const noexcept { return head_prefix_; }

  // Builders: each writes its log line to the panel, builds the record and
  // delivers it. Texts are GBK; the uid comes as text.
  void build_danmaku_event(std::string_view uid_text, std::string_view name,
                           std::string_view comment);
  void build_gift_event(std::string_view uid_text, std::string_view name, std::int32_t gift_id,
                        std::string_view gift_name, std::int32_t count, std::int32_t price);
  void build_follow_event(std::string_view uid_text, std::string_view name);
  void build_enter_event(std::string_view uid_text, std::string_view name);
  void build_guard_event(std::string_view uid_text, std::string_view name,
                         std::string_view guard_name, std::int32_t start_time,
                         std::int32_t end_time);

  // Hands one record (a view of an object the caller owns) to the consumers
  // whose boxes are checked now. Nothing fails; a failed file write or push
  // does not stop the other paths. A view of no object delivers nothing.
  void deliver_event(const json::JsonDocument& record_view);

  // The polling list as the route "/" answers it, emptied in the same step so
  // an event is answered exactly once: {"gameCmdDataList":[...]} oldest
  // first, or {} when nothing arrived since the last take. utf8: converted
  // from GBK.
  std::string take_polling_list(bool utf8);
  // The same text (GBK) without emptying the list.
  std::string peek_polling_list() const;
  std::size_t polling_count() const;

  const std::string& interaction_file_path() const noexcept { return interaction_file_path_; }
  panel::PanelModel& panel() noexcept { return panel_; }

 private:
  panel::PanelModel& panel_;
  const std::string interaction_file_path_;
  std::atomic<EventPush*> push_;
  std::string head_prefix_{kDefaultHeadPrefix};

  // relay_lock: serializes the polling list and the file and push steps of
  // every delivery against each other and against the polling route.
  mutable std::mutex relay_lock_;
  // The polling list as the text the route answers, without its closing
  // "]}": {"gameCmdDataList":[ then the records joined by ","; empty while no
  // record is there. Kept as text because every record is serialized once
  // per delivery anyway and the route only ever answers the whole list.
  std::string polling_records_;
  std::size_t polling_reserve_bytes_ = 0;
  std::size_t polling_count_ = 0;
};

}  // namespace lumora::relay
