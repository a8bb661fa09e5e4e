#include "relay/event_relay.h"

#include <unistd.h>

#include <algorithm>

#include "relay/file_write.h"
#include "text/format.h"
#include "text/gbk.h"
#include "text/literal.h"
#include "text/number.h"

namespace lumora::relay {

using namespace lumora::text::literals;
using panel::Control;

namespace {

// A list with its member gameCmdDataList around the joined records.
constexpr std::string_view kListOpen = "{\"gameCmdDataList\":[";
constexpr std::string_view kListClose = "]}";
// Bound on what an empty polling list reserves ahead of its first record.
constexpr std::size_t kMaxReserveBytes = 4u << 20;

json::JsonDocument start_record(std::string_view uid_text, std::string_view name,
                                ViewerEventType type) {
  json::JsonDocument record;
  record.SetInt("uid", text::read_leading_int(uid_text));
  record.SetText("name", name);
  record.SetInt("type", static_cast<std::int32_t>(type));
  return record;
}

std::string list_text(std::string_view joined_records) {
  if (joined_records.empty()) return "{}";
  std::string out;
  out.reserve(kListOpen.size() + joined_records.size() + kListClose.size());
  out.append(kListOpen).append(joined_records).append(kListClose);
  return out;
}

std::string tagged_line(std::string_view tag, std::string_view uid_text, std::string_view name) {
  std::string line;
  line.reserve(tag.size() + uid_text.size() + name.size());
  line.append(tag).append(uid_text).append(name);
  return line;
}

}  // namespace

std::string head_prefix_for_port(int http_port) {
  if (http_port == 80) return std::string(kDefaultHeadPrefix);
  return "http://127.0.0.1:" + std::to_string(http_port) + "/head?uid=";
}

std::string head_address(std::string_view uid_text, std::string_view head_prefix) {
  std::string head;
  head.reserve(head_prefix.size() + uid_text.size());
  head.append(head_prefix).append(uid_text);
  return head;
}

json::JsonDocument make_danmaku_record(std::string_view uid_text, std::string_view name,
                                       const SplitCommand& split, std::string_view comment,
                                       std::string_view head_prefix) {
  json::JsonDocument record = start_record(uid_text, name, ViewerEventType::danmaku);
  record.SetText("instruct", split.instruct);
  record.SetText("parameter1", split.parameter1);
  record.SetText("parameter2", split.parameter2);
  record.SetText("data", comment);
  record.SetText("head", head_address(uid_text, head_prefix));
  return record;
}

json::JsonDocument make_gift_record(std::string_view uid_text, std::string_view name,
                                    std::int32_t gift_id, std::string_view gift_name,
                                    std::int32_t count, std::int32_t price,
                                    std::string_view head_prefix) {
  json::JsonDocument record = start_record(uid_text, name, ViewerEventType::gift);
  record.SetInt("gif_id", gift_id);
  record.SetText("gif_name", gift_name);
  record.SetInt("gif_num", count);
  record.SetInt("gif_price", price);
  record.SetText("head", head_address(uid_text, head_prefix));
  return record;
}

json::JsonDocument make_follow_record(std::string_view uid_text, std::string_view name,
                                      std::string_view head_prefix) {
  json::JsonDocument record = start_record(uid_text, name, ViewerEventType::follow);
  record.SetText("head", head_address(uid_text, head_prefix));
  return record;
}

json::JsonDocument make_enter_record(std::string_view uid_text, std::string_view name,
                                     std::string_view head_prefix) {
  json::JsonDocument record = start_record(uid_text, name, ViewerEventType::entry);
  record.SetText("head", head_address(uid_text, head_prefix));
  return record;
}

json::JsonDocument make_guard_record(std::string_view uid_text, std::string_view name,
                                     std::string_view guard_name, std::int32_t start_time,
                                     std::int32_t end_time, std::string_view head_prefix) {
  json::JsonDocument record = start_record(uid_text, name, ViewerEventType::guard);
  record.SetText("gifname", guard_name);
  record.SetInt("timenew", start_time);
  record.SetInt("timeold", end_time);
  record.SetText("head", head_address(uid_text, head_prefix));
  return record;
}

EventRelay::EventRelay(panel::PanelModel& panel, std::string interaction_file_path, EventPush* push)
    : panel_(panel), interaction_file_path_(std::move(interaction_file_path)), push_(push) {}

void EventRelay::build_danmaku_event(std::string_view uid_text, std::string_view name,
                                     std::string_view comment) {
  panel_.append_log(text::format_template("{1}({2})说：{3}"_gbk, name, uid_text, comment));
  SplitCommand split = split_command(comment, read_split_settings(panel_));
  json::JsonDocument record = make_danmaku_record(uid_text, name, split, comment, head_prefix_);
  deliver_event(record.ViewAt(""));
}

void EventRelay::build_gift_event(std::string_view uid_text, std::string_view name,
                                  std::int32_t gift_id, std::string_view gift_name,
                                  std::int32_t count, std::int32_t price) {
  std::string line = tagged_line("【礼物】"_gbk, uid_text, name);
  line.append(" ").append(gift_name);
  line.append(" 数量："_gbk).append(std::to_string(count));
  line.append(" 价值："_gbk).append(std::to_string(price));
  panel_.append_log(line);
  json::JsonDocument record =
      make_gift_record(uid_text, name, gift_id, gift_name, count, price, head_prefix_);
  deliver_event(record.ViewAt(""));
}

void EventRelay::build_follow_event(std::string_view uid_text, std::string_view name) {
  panel_.append_log(tagged_line("【关注】"_gbk, uid_text, name));
  json::JsonDocument record = make_follow_record(uid_text, name, head_prefix_);
  deliver_event(record.ViewAt(""));
}

void EventRelay::build_enter_event(std::string_view uid_text, std::string_view name) {
  panel_.append_log(tagged_line("【进入】"_gbk, uid_text, name));
  json::JsonDocument record = make_enter_record(uid_text, name, head_prefix_);
  deliver_event(record.ViewAt(""));
}

void EventRelay::build_guard_event(std::string_view uid_text, std::string_view name,
                                   std::string_view guard_name, std::int32_t start_time,
                                   std::int32_t end_time) {
  // A guard purchase is logged with the room entry's tag.
  panel_.append_log(tagged_line("【进入】"_gbk, uid_text, name));
  json::JsonDocument record =
      make_guard_record(uid_text, name, guard_name, start_time, end_time, head_prefix_);
  deliver_event(record.ViewAt(""));
}

void EventRelay::deliver_event(const json::JsonDocument& record_view) {
  if (!yyjson_mut_is_obj(record_view.Root())) return;
  // Serialized once for every path; GBK bytes pass through unchecked.
  std::string record_text = record_view.ToText(json::LocalCodePage);
  if (record_text.empty()) return;

  // The boxes are read at the moment of delivery, without relay_lock.
  const bool to_polling = panel_.checked(Control::选择框_http);
  const bool to_file = panel_.checked(Control::选择框_文件系统);
  EventPush* push =
      panel_.checked(Control::选择框_wss) ? push_.load(std::memory_order_acquire) : nullptr;
  if (push && !push->has_last_client()) push = nullptr;
  // Converted before the lock: the lock guards the lists, not the conversion.
  std::string push_text = push ? text::gbk_to_utf8(record_text) : std::string();

  std::lock_guard lock(relay_lock_);
  if (to_polling) {
    if (polling_records_.empty()) {
      polling_records_.reserve(polling_reserve_bytes_);
      polling_records_.append(kListOpen);
    } else {
      polling_records_.push_back(',');
    }
    polling_records_.append(record_text);
    ++polling_count_;
  }
  // The interaction file holds the pending list: this one record in
  // gameCmdDataList. While the consumer has not taken the file, it stays.
  if (to_file && ::access(interaction_file_path_.c_str(), F_OK) != 0) {
    std::string file_text = list_text(record_text);
    if (!panel_.checked(Control::单选框_GBK)) file_text = text::gbk_to_utf8(file_text);
    publish_new_file(interaction_file_path_, file_text);
  }
  if (push) push->push_to_last_client(std::move(push_text));
}

std::string EventRelay::take_polling_list(bool utf8) {
  std::string answer;
  {
    std::lock_guard lock(relay_lock_);
    answer.swap(polling_records_);
    polling_count_ = 0;
    // The next list will likely grow as large: reserve it at once.
    polling_reserve_bytes_ = std::min(answer.size() + kListClose.size(), kMaxReserveBytes);
  }
  if (answer.empty()) return "{}";
  // The buffer already opens the list; closing it makes the answer in place.
  answer.append(kListClose);
  if (!utf8 || text::is_ascii(answer)) return answer;
  return text::gbk_to_utf8(answer);
}

std::string EventRelay::peek_polling_list() const {
  std::lock_guard lock(relay_lock_);
  if (polling_records_.empty()) return "{}";
  std::string list = polling_records_;
  list.append(kListClose);
  return list;
}

std::size_t EventRelay::polling_count() const {
  std::lock_guard lock(relay_lock_);
  return polling_count_;
}

}  // namespace lumora::relay
