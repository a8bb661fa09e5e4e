#include "json/jmap.h"

namespace lumora::json {

namespace {

struct Step {
  bool is_index = false;
  std::string_view name;
  std::size_t position = 0;  // 1-based, for an index step
};

enum class StepRead { end, step, malformed };

// Reads the step at pos: "[n]", or a member name (after an optional ".").
StepRead read_step(std::string_view path, std::size_t& pos, Step& step) {
  if (pos >= path.size()) return StepRead::end;
  if (path[pos] == '[') {
    std::size_t close = path.find(']', pos + 1);
    if (close == std::string_view::npos || close == pos + 1 || close - pos - 1 > 18)
      return StepRead::malformed;
    std::size_t value = 0;
    for (std::size_t i = pos + 1; i < close; ++i) {
      char c = path[i];
      if (c < '0' || c > '9') return StepRead::malformed;
      value = value * 10 + static_cast<std::size_t>(c - '0');
    }
    if (value == 0) return StepRead::malformed;  // counting starts at 1
    step = Step{true, {}, value};
    pos = close + 1;
    return StepRead::step;
  }
  if (path[pos] == '.') ++pos;
  std::size_t end = path.find_first_of(".[", pos);
  if (end == std::string_view::npos) end = path.size();
  step = Step{false, path.substr(pos, end - pos), 0};
  pos = end;
  return StepRead::step;
}

}  // namespace

JsonValue JMap::walk(std::string_view path, bool create) const {
  if (path.starts_with("//")) path.remove_prefix(2);
  JsonValue current = document_.Root();
  std::size_t pos = 0;
  Step step;
  StepRead read = read_step(path, pos, step);
  while (current && read == StepRead::step) {
    Step following;
    StepRead next = read_step(path, pos, following);
    if (next == StepRead::malformed) return nullptr;
    // What a missing value becomes: the container the next step needs.
    auto make_missing = [&](JsonValue container, auto&& place) -> JsonValue {
      if (next == StepRead::end) return place(container, NullValue{});
      return following.is_index ? place(container, NewArray{}) : place(container, NewObject{});
    };
    if (create && yyjson_mut_is_null(current))
      step.is_index ? yyjson_mut_set_arr(current) : yyjson_mut_set_obj(current);
    JsonValue child = nullptr;
    if (!step.is_index) {
      child = JsonDocument::ObjectMember(current, step.name);
      if (!child && create && yyjson_mut_is_obj(current)) {
        child = make_missing(current, [&](JsonValue object, const auto& value) {
          return document_.SetMember(object, step.name, value, SetMode::add);
        });
      }
    } else {
      std::size_t size = yyjson_mut_arr_size(current);
      if (step.position <= size) {
        child = JsonDocument::ArrayItem(current, step.position - 1);
      } else if (create && yyjson_mut_is_arr(current) && step.position == size + 1) {
        child = make_missing(current, [&](JsonValue array, const auto& value) {
          return document_.SetItem(array, -1, value);
        });
      }
    }
    current = child;
    step = following;
    read = next;
  }
  return read == StepRead::malformed ? nullptr : current;
}

bool JMap::load(std::string_view json_text) {
  if (document_.Parse(json_text)) return true;
  document_.ResetToObject();
  return false;
}

std::string JMap::get_text(std::string_view path) const {
  JsonValue value = walk(path, false);
  if (yyjson_mut_is_bool(value)) return yyjson_mut_get_bool(value) ? "true" : "false";
  return JsonDocument::ValueAs<std::string>(value);
}

std::int32_t JMap::get_int(std::string_view path) const {
  return JsonDocument::ValueAs<std::int32_t>(walk(path, false));
}

std::int64_t JMap::get_int64(std::string_view path) const {
  return JsonDocument::ValueAs<std::int64_t>(walk(path, false));
}

std::size_t JMap::count(std::string_view path) const {
  return JsonDocument::ValueSize(walk(path, false));
}

template <typename T>
bool JMap::set_value(std::string_view path, const T& value) {
  JsonValue slot = walk(path, true);
  return slot && document_.SetValue(slot, value);
}

bool JMap::set_int(std::string_view path, std::int32_t value) {
  return set_value(path, value);
}

bool JMap::set_int64(std::string_view path, std::int64_t value) {
  return set_value(path, value);
}

bool JMap::set_text(std::string_view path, std::string_view value) {
  return set_value(path, value);
}

std::string JMap::to_json() const {
  return document_.ToText(0);
}

void JMap::clear() {
  document_.ResetToObject();
}

}  // namespace lumora::json
