#include "live/live_dispatch.h"

#include "text/gbk.h"

namespace lumora::live {

namespace {

// Message fields are UTF-8; the builders take GBK. Most fields (uids,
// numbers, many names) are ASCII and need no converter.
std::string to_gbk(std::string utf8) {
  if (text::is_ascii(utf8)) return utf8;
  return text::utf8_to_gbk(utf8);
}

}  // namespace

std::string_view live_command_name(std::string_view cmd) noexcept {
  std::size_t colon = cmd.find(':');
  return colon == std::string_view::npos ? cmd : cmd.substr(0, colon);
}

bool LiveMessageDispatcher::dispatch(std::string_view json_utf8) {
  if (stopped_) return false;
  ++counters_.messages;
  // Read as the text arrives: invalid UTF-8 is let through here and becomes
  // "?" in the field conversion, so one bad byte does not lose the event.
  if (!message_.load(json_utf8)) {
    ++counters_.not_json;
    return true;
  }
  const json::JMap& m = message_;
  std::string cmd = m.get_text("cmd");
  if (cmd.empty()) {
    stopped_ = true;
    ++counters_.stops;
    return false;
  }
  std::string_view command = live_command_name(cmd);
  if (command == "INTERACT_WORD") {
    std::int32_t msg_type = m.get_int("//data.msg_type");
    if (msg_type == 1) {
      sink_.build_enter_event(to_gbk(m.get_text("//data.uid")), to_gbk(m.get_text("//data.uname")));
      ++counters_.events;
    } else if (msg_type == 2) {
      sink_.build_follow_event(to_gbk(m.get_text("//data.uid")),
                               to_gbk(m.get_text("//data.uname")));
      ++counters_.events;
    }
  } else if (command == "DANMU_MSG") {
    sink_.build_danmaku_event(to_gbk(m.get_text("//info[3][1]")),
                              to_gbk(m.get_text("//info[3][2]")), to_gbk(m.get_text("//info[2]")));
    ++counters_.events;
  } else if (command == "SEND_GIFT") {
    sink_.build_gift_event(to_gbk(m.get_text("//data.uid")), to_gbk(m.get_text("//data.uname")),
                           m.get_int("//data.giftId"), to_gbk(m.get_text("//data.giftName")),
                           m.get_int("//data.num"), m.get_int("//data.price"));
    ++counters_.events;
  } else if (command == "GUARD_BUY") {
    sink_.build_guard_event(to_gbk(m.get_text("//data.uid")), to_gbk(m.get_text("//data.username")),
                            to_gbk(m.get_text("//data.gift_name")), m.get_int("//data.start_time"),
                            m.get_int("//data.end_time"));
    ++counters_.events;
  }
  // COMBO_SEND, ENTRY_EFFECT and the rest: nothing.
  return true;
}

void dispatch_live_messages(const std::vector<std::string>& texts_utf8, LiveEventSink& sink) {
  LiveMessageDispatcher dispatcher(sink);
  for (const std::string& text : texts_utf8) {
    if (!dispatcher.dispatch(text)) break;
  }
}

}  // namespace lumora::live
