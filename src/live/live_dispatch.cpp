#include "live/live_dispatch.h"

#include <yyjson.h>

#include <charconv>
#include <cstdlib>

#include "text/gbk.h"
#include "text/number.h"

namespace lumora::live {

namespace {

// Message fields are UTF-8; the builders take GBK. Most fields (uids,
// numbers, many names) are ASCII and need no converter.
std::string to_gbk(std::string utf8) {
  if (text::is_ascii(utf8)) return utf8;
  return text::utf8_to_gbk(utf8);
}

// A value at a "//" path ("//data.uid", "//info[3][1]": members separated by
// ".", "[n]" the n-th element counting from 1), or null.
yyjson_val* at_path(yyjson_val* root, std::string_view path) {
  if (path.starts_with("//")) path.remove_prefix(2);
  yyjson_val* current = root;
  std::size_t pos = 0;
  while (current && pos < path.size()) {
    if (path[pos] == '[') {
      std::size_t close = path.find(']', pos);
      if (close == std::string_view::npos) return nullptr;
      std::size_t n = 0;
      for (std::size_t i = pos + 1; i < close; ++i)
        n = n * 10 + static_cast<std::size_t>(path[i] - '0');
      if (n == 0 || !yyjson_is_arr(current)) return nullptr;
      current = yyjson_arr_get(current, n - 1);
      pos = close + 1;
    } else {
      if (path[pos] == '.') ++pos;
      std::size_t end = path.find_first_of(".[", pos);
      if (end == std::string_view::npos) end = path.size();
      current = yyjson_obj_getn(current, path.data() + pos, end - pos);
      pos = end;
    }
  }
  return current;
}

// As text: strings as they are, numbers in decimal, "true"/"false",
// containers as compact JSON; null and missing give the empty text.
std::string text_at(yyjson_val* root, std::string_view path) {
  yyjson_val* v = at_path(root, path);
  switch (yyjson_get_type(v)) {
    case YYJSON_TYPE_STR:
      return std::string(yyjson_get_str(v), yyjson_get_len(v));
    case YYJSON_TYPE_BOOL:
      return yyjson_get_bool(v) ? "true" : "false";
    case YYJSON_TYPE_NUM: {
      char buffer[64];
      std::to_chars_result r{};
      if (yyjson_is_uint(v))
        r = std::to_chars(buffer, buffer + sizeof buffer, yyjson_get_uint(v));
      else if (yyjson_is_sint(v))
        r = std::to_chars(buffer, buffer + sizeof buffer, yyjson_get_sint(v));
      else
        r = std::to_chars(buffer, buffer + sizeof buffer, yyjson_get_real(v));
      return std::string(buffer, r.ptr);
    }
    case YYJSON_TYPE_ARR:
    case YYJSON_TYPE_OBJ: {
      std::size_t length = 0;
      char* written = yyjson_val_write(v, YYJSON_WRITE_ALLOW_INVALID_UNICODE, &length);
      std::string out = written ? std::string(written, length) : std::string();
      std::free(written);
      return out;
    }
    default:
      return {};
  }
}

// As a 32-bit integer: numbers (reals truncated toward zero) and strings by
// their leading integer, keeping the low 32 bits; anything else 0.
std::int32_t int_at(yyjson_val* root, std::string_view path) {
  yyjson_val* v = at_path(root, path);
  std::int64_t value = 0;
  if (yyjson_is_uint(v)) {
    value = static_cast<std::int64_t>(yyjson_get_uint(v));
  } else if (yyjson_is_sint(v)) {
    value = yyjson_get_sint(v);
  } else if (yyjson_is_real(v)) {
    double real = yyjson_get_real(v);
    value = (real > -9.2e18 && real < 9.2e18) ? static_cast<std::int64_t>(real) : 0;
  } else if (yyjson_is_str(v)) {
    value = text::read_leading_int64(std::string_view(yyjson_get_str(v), yyjson_get_len(v)));
  }
  return static_cast<std::int32_t>(static_cast<std::uint32_t>(static_cast<std::uint64_t>(value)));
}

}  // namespace

std::string_view live_command_name(std::string_view cmd) noexcept {
  std::size_t colon = cmd.find(':');
  return colon == std::string_view::npos ? cmd : cmd.substr(0, colon);
}

bool LiveMessageDispatcher::dispatch(std::string_view json_utf8) {
  if (stopped_) return false;
  ++counters_.messages;
  // Invalid UTF-8 is let through here and becomes "?" in the field
  // conversion, so one bad byte does not lose the event.
  const yyjson_read_flag flags = YYJSON_READ_ALLOW_INVALID_UNICODE;
  std::size_t need = yyjson_read_max_memory_usage(json_utf8.size(), flags);
  if (need == 0) {
    ++counters_.not_json;
    return true;
  }
  std::size_t words = need / sizeof(std::uint64_t) + 1;
  if (parse_pool_.size() < words) parse_pool_.resize(words);
  yyjson_alc pool;
  yyjson_alc_pool_init(&pool, parse_pool_.data(), parse_pool_.size() * sizeof(std::uint64_t));
  yyjson_doc* document = yyjson_read_opts(const_cast<char*>(json_utf8.data()), json_utf8.size(),
                                          flags, &pool, nullptr);
  if (!document) {
    ++counters_.not_json;
    return true;
  }
  yyjson_val* m = yyjson_doc_get_root(document);
  std::string cmd = text_at(m, "cmd");
  if (cmd.empty()) {
    stopped_ = true;
    ++counters_.stops;
    return false;
  }
  std::string_view command = live_command_name(cmd);
  if (command == "INTERACT_WORD") {
    std::int32_t msg_type = int_at(m, "//data.msg_type");
    if (msg_type == 1) {
      sink_.build_enter_event(to_gbk(text_at(m, "//data.uid")), to_gbk(text_at(m, "//data.uname")));
      ++counters_.events;
    } else if (msg_type == 2) {
      sink_.build_follow_event(to_gbk(text_at(m, "//data.uid")),
                               to_gbk(text_at(m, "//data.uname")));
      ++counters_.events;
    }
  } else if (command == "DANMU_MSG") {
    sink_.build_danmaku_event(to_gbk(text_at(m, "//info[3][1]")),
                              to_gbk(text_at(m, "//info[3][2]")), to_gbk(text_at(m, "//info[2]")));
    ++counters_.events;
  } else if (command == "SEND_GIFT") {
    sink_.build_gift_event(to_gbk(text_at(m, "//data.uid")), to_gbk(text_at(m, "//data.uname")),
                           int_at(m, "//data.giftId"), to_gbk(text_at(m, "//data.giftName")),
                           int_at(m, "//data.num"), int_at(m, "//data.price"));
    ++counters_.events;
  } else if (command == "GUARD_BUY") {
    sink_.build_guard_event(to_gbk(text_at(m, "//data.uid")), to_gbk(text_at(m, "//data.username")),
                            to_gbk(text_at(m, "//data.gift_name")), int_at(m, "//data.start_time"),
                            int_at(m, "//data.end_time"));
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
