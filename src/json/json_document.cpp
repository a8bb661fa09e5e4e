#include "json/json_document.h"

#include <charconv>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>

#include "text/number.h"

namespace lumora::json {

struct JsonParseError {
  yyjson_read_err err{};
};

namespace {

constexpr yyjson_read_flag read_flags_for(std::uint32_t flags) {
  yyjson_read_flag engine = static_cast<yyjson_read_flag>(flags & ~LocalCodePage);
  if (flags & LocalCodePage) engine |= YYJSON_READ_ALLOW_INVALID_UNICODE;
  return engine;
}

constexpr yyjson_write_flag write_flags_for(std::uint32_t write_flags, std::uint32_t doc_flags) {
  yyjson_write_flag engine = static_cast<yyjson_write_flag>(write_flags & ~LocalCodePage);
  if ((doc_flags | write_flags) & LocalCodePage) engine |= YYJSON_WRITE_ALLOW_INVALID_UNICODE;
  return engine;
}

std::string write_value(const yyjson_mut_val* value, yyjson_write_flag flags) {
  if (!value) return {};
  size_t length = 0;
  char* text = yyjson_mut_val_write_opts(value, flags, nullptr, &length, nullptr);
  if (!text) return {};
  std::string out(text, length);
  std::free(text);
  return out;
}

// One path token, with the "~1" and "~0" escapes undone when present.
struct Token {
  std::string_view raw;
  std::string unescaped;
  bool escaped = false;
  std::string_view name() const { return escaped ? std::string_view(unescaped) : raw; }
};

void read_token(std::string_view raw, Token& token) {
  token.raw = raw;
  token.escaped = raw.find('~') != std::string_view::npos;
  if (!token.escaped) return;
  token.unescaped.clear();
  for (size_t i = 0; i < raw.size(); ++i) {
    if (raw[i] == '~' && i + 1 < raw.size() && (raw[i + 1] == '0' || raw[i + 1] == '1')) {
      token.unescaped.push_back(raw[i + 1] == '0' ? '~' : '/');
      ++i;
    } else {
      token.unescaped.push_back(raw[i]);
    }
  }
}

bool parse_index(std::string_view token, size_t& index) {
  if (token.empty() || token.size() > 18) return false;
  size_t value = 0;
  for (char c : token) {
    if (c < '0' || c > '9') return false;
    value = value * 10 + static_cast<size_t>(c - '0');
  }
  index = value;
  return true;
}

// A container for a missing step: an array when the next token indexes one.
bool wants_array(std::string_view next_token) {
  size_t ignored = 0;
  return next_token == "-" || parse_index(next_token, ignored);
}

// Writes a real number the shortest way that reads back the same.
std::string real_to_text(double value) {
  if (std::isnan(value) || std::isinf(value))
    return std::isnan(value) ? "nan" : (value > 0 ? "inf" : "-inf");
  char buffer[64];
  auto result = std::to_chars(buffer, buffer + sizeof(buffer), value);
  return std::string(buffer, result.ptr);
}

void assign_value(JsonValue slot, JsonValue value) {
  // The sibling link stays: the slot keeps its place in its container.
  slot->tag = value->tag;
  slot->uni = value->uni;
}

}  // namespace

bool json_engine_ready() {
  return true;
}

// ---------------------------------------------------------------------------
// Construction and ownership

JsonDocument::JsonDocument(RootKind kind) : kind_(kind) {
  if (kind == RootKind::object) {
    ResetToObject();
  } else {
    ResetToArray();
  }
}

JsonDocument::~JsonDocument() {
  free_owned();
  delete state_.error;
}

JsonDocument::JsonDocument(JsonDocument&& other) noexcept
    : state_(other.state_), kind_(other.kind_) {
  other.state_ = JsonState{};
}

JsonDocument& JsonDocument::operator=(JsonDocument&& other) noexcept {
  if (this != &other) {
    free_owned();
    delete state_.error;
    state_ = other.state_;
    kind_ = other.kind_;
    other.state_ = JsonState{};
  }
  return *this;
}

void JsonDocument::free_owned() {
  if (state_.document && state_.ownership == JsonOwnership::Owner)
    yyjson_mut_doc_free(state_.document);
  state_.document = nullptr;
  state_.root = nullptr;
}

void JsonDocument::Release() {
  free_owned();
  state_.flags = 0;
}

bool JsonDocument::ResetToObject() {
  Release();
  state_.ownership = JsonOwnership::Owner;
  state_.document = yyjson_mut_doc_new(nullptr);
  if (!state_.document) return false;
  state_.root = yyjson_mut_obj(state_.document);
  yyjson_mut_doc_set_root(state_.document, state_.root);
  state_.flags = LocalCodePage;
  return state_.root != nullptr;
}

bool JsonDocument::ResetToArray() {
  Release();
  state_.ownership = JsonOwnership::Owner;
  state_.document = yyjson_mut_doc_new(nullptr);
  if (!state_.document) return false;
  state_.root = yyjson_mut_arr(state_.document);
  yyjson_mut_doc_set_root(state_.document, state_.root);
  state_.flags = LocalCodePage;
  return state_.root != nullptr;
}

bool JsonDocument::Clear() {
  if (state_.ownership == JsonOwnership::View) {
    if (!state_.root) return false;
    if (yyjson_mut_is_obj(state_.root)) return yyjson_mut_set_obj(state_.root);
    return yyjson_mut_set_arr(state_.root);
  }
  if (state_.ownership == JsonOwnership::Adopted && state_.document) {
    // An adopted document is not ours to free; its root is emptied in place.
    JsonValue fresh = kind_ == RootKind::object ? yyjson_mut_obj(state_.document)
                                                : yyjson_mut_arr(state_.document);
    if (!fresh) return false;
    yyjson_mut_doc_set_root(state_.document, fresh);
    state_.root = fresh;
    return true;
  }
  return kind_ == RootKind::object ? ResetToObject() : ResetToArray();
}

bool JsonDocument::parse_into_state(const char* data, std::size_t length, std::uint32_t flags) {
  Release();
  state_.ownership = JsonOwnership::Owner;
  state_.flags = flags;
  yyjson_read_err local_error{};
  yyjson_read_err* error = state_.error ? &state_.error->err : &local_error;
  *error = yyjson_read_err{};
  yyjson_doc* parsed =
      yyjson_read_opts(const_cast<char*>(data), length, read_flags_for(flags), nullptr, error);
  if (!parsed) return false;
  state_.document = yyjson_doc_mut_copy(parsed, nullptr);
  yyjson_doc_free(parsed);
  if (!state_.document) return false;
  state_.root = yyjson_mut_doc_get_root(state_.document);
  return state_.root != nullptr;
}

bool JsonDocument::Parse(std::string_view text, std::optional<std::uint32_t> flags) {
  return parse_into_state(text.data(), text.size(), flags.value_or(LocalCodePage));
}

bool JsonDocument::ParseBytes(const std::string& bytes, std::optional<std::uint32_t> flags) {
  return parse_into_state(bytes.data(), bytes.size(), flags.value_or(LocalCodePage));
}

bool JsonDocument::ParseBuffer(const void* data, std::size_t length,
                               std::optional<std::uint32_t> flags) {
  if (!data && length) return false;
  return parse_into_state(static_cast<const char*>(data), length, flags.value_or(LocalCodePage));
}

bool JsonDocument::ParseFile(const std::string& path, std::optional<std::uint32_t> flags) {
  std::ifstream in(path, std::ios::binary);
  if (!in) {
    Release();
    return false;
  }
  std::ostringstream content;
  content << in.rdbuf();
  std::string bytes = content.str();
  return parse_into_state(bytes.data(), bytes.size(), flags.value_or(LocalCodePage));
}

std::string JsonDocument::ToText(std::uint32_t write_flags) const {
  return write_value(state_.root, write_flags_for(write_flags, state_.flags));
}

bool JsonDocument::Rebuild() {
  if (!state_.root || state_.ownership != JsonOwnership::Owner) return false;
  std::string text = ToText(0);
  return parse_into_state(text.data(), text.size(), state_.flags | LocalCodePage);
}

bool JsonDocument::EnableErrorInfo() {
  if (!state_.error) state_.error = new JsonParseError;
  return true;
}

std::string JsonDocument::ErrorText(std::size_t* position) const {
  if (position) *position = 0;
  if (!state_.error || state_.error->err.code == YYJSON_READ_SUCCESS) return {};
  if (position) *position = state_.error->err.pos;
  std::string out = "\xB4\xED\xCE\xF3\xC0\xE0\xD0\xCD: ";  // 错误类型
  out += std::to_string(state_.error->err.code);
  out += "\r\n\xB4\xED\xCE\xF3\xCE\xBB\xD6\xC3: ";  // 错误位置
  out += std::to_string(state_.error->err.pos);
  out += "\r\n\xB4\xED\xCE\xF3\xD4\xAD\xD2\xF2: ";  // 错误原因
  out += state_.error->err.msg ? state_.error->err.msg : "";
  return out;
}

std::size_t JsonDocument::MemoryBlocks() const {
  return 0;
}

void JsonDocument::AdoptState(const JsonState* state) {
  free_owned();
  if (!state) return;
  JsonParseError* own_error = state_.error;
  state_ = *state;
  state_.error = own_error;
  state_.member_iter = nullptr;
  state_.element_iter = nullptr;
  state_.ownership = JsonOwnership::Adopted;
}

void JsonDocument::Attach(yyjson_mut_doc* document, JsonValue root, std::uint32_t flags,
                          JsonOwnership ownership) {
  free_owned();
  state_.document = document;
  state_.root = root;
  state_.flags = flags;
  state_.ownership = ownership;
}

// ---------------------------------------------------------------------------
// Paths

JsonValue JsonDocument::resolve(std::string_view path, JsonValue base, bool create) const {
  JsonValue current = base_or_root(base);
  if (!current || path.empty()) return current;
  Token token;
  size_t start = 0;
  while (true) {
    size_t slash = path.find('/', start);
    bool last = slash == std::string_view::npos;
    read_token(path.substr(start, last ? std::string_view::npos : slash - start), token);
    std::string_view next_raw;
    if (!last) {
      size_t next_slash = path.find('/', slash + 1);
      next_raw =
          path.substr(slash + 1, next_slash == std::string_view::npos ? std::string_view::npos
                                                                      : next_slash - slash - 1);
    }
    JsonValue child = nullptr;
    if (yyjson_mut_is_obj(current)) {
      std::string_view name = token.name();
      child = yyjson_mut_obj_getn(current, name.data(), name.size());
      if (!child) {
        if (!create || !state_.document) return nullptr;
        child = last ? yyjson_mut_null(state_.document)
                     : (wants_array(next_raw) ? yyjson_mut_arr(state_.document)
                                              : yyjson_mut_obj(state_.document));
        JsonValue key = yyjson_mut_strncpy(state_.document, name.data(), name.size());
        if (!child || !key || !yyjson_mut_obj_add(current, key, child)) return nullptr;
      }
    } else if (yyjson_mut_is_arr(current)) {
      size_t index = 0;
      size_t size = yyjson_mut_arr_size(current);
      bool append = token.raw == "-";
      if (!append) {
        if (!parse_index(token.raw, index)) return nullptr;
        if (index < size) {
          child = yyjson_mut_arr_get(current, index);
        } else if (index == size) {
          append = true;
        } else {
          return nullptr;
        }
      }
      if (append) {
        if (!create || !state_.document) return nullptr;
        child = last ? yyjson_mut_null(state_.document)
                     : (wants_array(next_raw) ? yyjson_mut_arr(state_.document)
                                              : yyjson_mut_obj(state_.document));
        if (!child || !yyjson_mut_arr_append(current, child)) return nullptr;
      }
    } else {
      return nullptr;  // a path through a scalar
    }
    current = child;
    if (last) return current;
    start = slash + 1;
  }
}

JsonValue JsonDocument::ValueAt(std::string_view path, JsonValue base) const {
  return resolve(path, base, false);
}

bool JsonDocument::ExistsAt(std::string_view path, JsonValue base) const {
  return resolve(path, base, false) != nullptr;
}

JsonValueType JsonDocument::TypeAt(std::string_view path, JsonValue base) const {
  JsonValue value = resolve(path, base, false);
  return value ? static_cast<JsonValueType>(yyjson_mut_get_type(value)) : JsonValueType::none;
}

NumberKind JsonDocument::NumberKindAt(std::string_view path, JsonValue base) const {
  JsonValue value = resolve(path, base, false);
  if (!value || !yyjson_mut_is_num(value)) return NumberKind::not_number;
  return yyjson_mut_is_real(value) ? NumberKind::real : NumberKind::integer;
}

std::size_t JsonDocument::SizeAt(std::string_view path, JsonValue base) const {
  JsonValue value = resolve(path, base, false);
  if (yyjson_mut_is_obj(value)) return yyjson_mut_obj_size(value);
  if (yyjson_mut_is_arr(value)) return yyjson_mut_arr_size(value);
  return 0;
}

std::string JsonDocument::GetText(std::string_view path, JsonValue base) const {
  JsonValue value = resolve(path, base, false);
  if (!value) return {};
  switch (yyjson_mut_get_type(value)) {
    case YYJSON_TYPE_STR:
      return std::string(yyjson_mut_get_str(value), yyjson_mut_get_len(value));
    case YYJSON_TYPE_BOOL:
      return yyjson_mut_get_bool(value) ? std::string("\xD5\xE6")
                                        : std::string("\xBC\xD9");  // 真 / 假
    case YYJSON_TYPE_NUM:
      if (yyjson_mut_is_real(value)) return real_to_text(yyjson_mut_get_real(value));
      if (yyjson_mut_is_uint(value))
        return std::to_string(static_cast<std::int64_t>(yyjson_mut_get_uint(value)));
      return std::to_string(yyjson_mut_get_sint(value));
    case YYJSON_TYPE_ARR:
    case YYJSON_TYPE_OBJ:
      return write_value(value, write_flags_for(0, state_.flags));
    default:
      return {};
  }
}

bool JsonDocument::EqualsTextAt(std::string_view path, std::string_view text,
                                JsonValue base) const {
  JsonValue value = resolve(path, base, false);
  return yyjson_mut_is_str(value) &&
         std::string_view(yyjson_mut_get_str(value), yyjson_mut_get_len(value)) == text;
}

std::int64_t JsonDocument::GetInt64(std::string_view path, JsonValue base) const {
  JsonValue value = resolve(path, base, false);
  if (!value) return 0;
  if (yyjson_mut_is_real(value)) {
    double real = yyjson_mut_get_real(value);
    if (!(real > -9.2e18 && real < 9.2e18)) return 0;  // out of range reads as 0, never undefined
    return static_cast<std::int64_t>(real);
  }
  if (yyjson_mut_is_uint(value)) return static_cast<std::int64_t>(yyjson_mut_get_uint(value));
  if (yyjson_mut_is_sint(value)) return yyjson_mut_get_sint(value);
  if (yyjson_mut_is_str(value)) {
    return text::read_leading_int64(
        std::string_view(yyjson_mut_get_str(value), yyjson_mut_get_len(value)));
  }
  return 0;
}

std::int32_t JsonDocument::GetInt(std::string_view path, JsonValue base) const {
  return static_cast<std::int32_t>(
      static_cast<std::uint32_t>(static_cast<std::uint64_t>(GetInt64(path, base))));
}

double JsonDocument::GetNumber(std::string_view path, JsonValue base) const {
  JsonValue value = resolve(path, base, false);
  if (!value) return 0.0;
  if (yyjson_mut_is_num(value)) return yyjson_mut_get_num(value);
  if (yyjson_mut_is_str(value)) {
    std::string text(yyjson_mut_get_str(value), yyjson_mut_get_len(value));
    return std::strtod(text.c_str(), nullptr);
  }
  return 0.0;
}

bool JsonDocument::GetBool(std::string_view path, JsonValue base) const {
  JsonValue value = resolve(path, base, false);
  return yyjson_mut_is_true(value);
}

std::string JsonDocument::JsonAt(std::string_view path, JsonValue base) const {
  return write_value(resolve(path, base, false), write_flags_for(0, state_.flags));
}

std::vector<std::string> JsonDocument::KeysAt(std::string_view path, JsonValue base) const {
  std::vector<std::string> keys;
  JsonValue value = resolve(path, base, false);
  if (!yyjson_mut_is_obj(value)) return keys;
  yyjson_mut_obj_iter iter = yyjson_mut_obj_iter_with(value);
  while (JsonValue key = yyjson_mut_obj_iter_next(&iter)) {
    keys.emplace_back(yyjson_mut_get_str(key), yyjson_mut_get_len(key));
  }
  return keys;
}

// ---------------------------------------------------------------------------
// Writing

JsonValue JsonDocument::make_value(std::string_view v) {
  return state_.document ? yyjson_mut_strncpy(state_.document, v.data(), v.size()) : nullptr;
}
JsonValue JsonDocument::make_value(std::int32_t v) {
  return state_.document ? yyjson_mut_sint(state_.document, v) : nullptr;
}
JsonValue JsonDocument::make_value(std::int64_t v) {
  return state_.document ? yyjson_mut_sint(state_.document, v) : nullptr;
}
JsonValue JsonDocument::make_value(double v) {
  return state_.document ? yyjson_mut_real(state_.document, v) : nullptr;
}
JsonValue JsonDocument::make_value(bool v) {
  return state_.document ? yyjson_mut_bool(state_.document, v) : nullptr;
}
JsonValue JsonDocument::make_value(NullValue) {
  return state_.document ? yyjson_mut_null(state_.document) : nullptr;
}
JsonValue JsonDocument::make_value(NewObject) {
  return state_.document ? yyjson_mut_obj(state_.document) : nullptr;
}
JsonValue JsonDocument::make_value(NewArray) {
  return state_.document ? yyjson_mut_arr(state_.document) : nullptr;
}

JsonValue JsonDocument::make_value(const RawJson& v) {
  if (!state_.document) return nullptr;
  yyjson_doc* parsed = yyjson_read_opts(const_cast<char*>(v.text.data()), v.text.size(),
                                        read_flags_for(v.read_flags), nullptr, nullptr);
  if (!parsed) return nullptr;
  JsonValue copy = yyjson_val_mut_copy(state_.document, yyjson_doc_get_root(parsed));
  yyjson_doc_free(parsed);
  return copy;
}

JsonValue JsonDocument::make_value(const JsonDocument& other) {
  // A deep copy of the other content: nothing is shared with it afterwards.
  if (!state_.document || !other.state_.root) return nullptr;
  return yyjson_mut_val_mut_copy(state_.document, other.state_.root);
}

bool JsonDocument::SetText(std::string_view path, std::string_view value, JsonValue base) {
  JsonValue slot = resolve(path, base, true);
  if (!slot) return false;
  const char* copy = unsafe_yyjson_mut_strncpy(state_.document, value.data(), value.size());
  return copy && yyjson_mut_set_strn(slot, copy, value.size());
}

bool JsonDocument::SetInt(std::string_view path, std::int32_t value, JsonValue base) {
  return yyjson_mut_set_sint(resolve(path, base, true), value);
}
bool JsonDocument::SetInt64(std::string_view path, std::int64_t value, JsonValue base) {
  return yyjson_mut_set_sint(resolve(path, base, true), value);
}
bool JsonDocument::SetNumber(std::string_view path, double value, JsonValue base) {
  return yyjson_mut_set_real(resolve(path, base, true), value);
}
bool JsonDocument::SetBool(std::string_view path, bool value, JsonValue base) {
  return yyjson_mut_set_bool(resolve(path, base, true), value);
}
bool JsonDocument::SetNull(std::string_view path, JsonValue base) {
  return yyjson_mut_set_null(resolve(path, base, true));
}

JsonValue JsonDocument::SetNewObject(std::string_view path, JsonValue base) {
  JsonValue slot = resolve(path, base, true);
  return yyjson_mut_set_obj(slot) ? slot : nullptr;
}
JsonValue JsonDocument::SetNewArray(std::string_view path, JsonValue base) {
  JsonValue slot = resolve(path, base, true);
  return yyjson_mut_set_arr(slot) ? slot : nullptr;
}
JsonValue JsonDocument::SetNewObject() {
  return SetNewObject({}, nullptr);
}
JsonValue JsonDocument::SetNewArray() {
  return SetNewArray({}, nullptr);
}

bool JsonDocument::SetJson(std::string_view path, std::string_view json_text,
                           std::uint32_t read_flags, JsonValue base) {
  return SetValueAt(path, make_value(RawJson{json_text, read_flags}), base);
}

bool JsonDocument::SetDocumentAt(std::string_view path, const JsonDocument& other, JsonValue base) {
  return SetValueAt(path, make_value(other), base);
}

bool JsonDocument::SetValueAt(std::string_view path, JsonValue value, JsonValue base) {
  if (!value || !state_.document) return false;
  JsonValue slot = resolve(path, base, true);
  if (!slot || slot == value) return slot != nullptr;
  // Copy first: the value may live in another document, or contain the slot.
  JsonValue copy = yyjson_mut_val_mut_copy(state_.document, value);
  if (!copy) return false;
  assign_value(slot, copy);
  return true;
}

JsonValue JsonDocument::array_at(std::string_view path, JsonValue base) {
  JsonValue slot = resolve(path, base, true);
  if (!slot) return nullptr;
  if (yyjson_mut_is_null(slot)) yyjson_mut_set_arr(slot);
  return yyjson_mut_is_arr(slot) ? slot : nullptr;
}

bool JsonDocument::place_element(std::string_view path, JsonValue base, Placement placement,
                                 std::size_t index, JsonValue value) {
  if (!value) return false;
  if (placement == Placement::replace) {
    JsonValue array = resolve(path, base, false);
    return yyjson_mut_is_arr(array) && yyjson_mut_arr_replace(array, index, value) != nullptr;
  }
  JsonValue array = array_at(path, base);
  if (!array) return false;
  if (placement == Placement::append) return yyjson_mut_arr_append(array, value);
  return yyjson_mut_arr_insert(array, value, index);
}

// ---------------------------------------------------------------------------
// Sub-documents

JsonDocument JsonDocument::CopyAt(std::string_view path, RootKind kind, JsonValue base) const {
  JsonDocument copy(kind);
  JsonValue value = resolve(path, base, false);
  if (!value) return copy;
  std::string text = write_value(value, write_flags_for(0, state_.flags));
  copy.Parse(text, state_.flags);
  return copy;
}

JsonDocument JsonDocument::ViewAt(std::string_view path, RootKind kind, JsonValue base) const {
  JsonDocument view(Unset{}, kind);
  view.Attach(state_.document, resolve(path, base, false), state_.flags, JsonOwnership::View);
  return view;
}

}  // namespace lumora::json
