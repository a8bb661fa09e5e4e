#include "json/json_document.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>

#include "text/number.h"
#include "text/split.h"

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

// The engine's writer builds its text in memory it allocates; the text is
// then copied into the std::string the caller gets. Small texts (an event,
// an answer) are built in this stack buffer instead of the heap; larger ones
// fall back to malloc.
struct WriteArena {
  static constexpr std::size_t capacity_bytes = 2048;
  alignas(16) char buffer[capacity_bytes];
  std::size_t used_bytes = 0;

  static std::size_t rounded(std::size_t size) { return (size + 15) & ~std::size_t{15}; }
  bool owns(const void* block) const {
    auto address = reinterpret_cast<std::uintptr_t>(block);
    auto start = reinterpret_cast<std::uintptr_t>(buffer);
    return address >= start && address < start + capacity_bytes;
  }

  static void* allocate(void* context, std::size_t size) {
    auto* arena = static_cast<WriteArena*>(context);
    std::size_t needed = rounded(size);
    if (needed < size || needed > capacity_bytes - arena->used_bytes) return std::malloc(size);
    void* block = arena->buffer + arena->used_bytes;
    arena->used_bytes += needed;
    return block;
  }
  static void* reallocate(void* context, void* block, std::size_t old_size, std::size_t size) {
    auto* arena = static_cast<WriteArena*>(context);
    if (!block) return allocate(context, size);
    if (!arena->owns(block)) return std::realloc(block, size);
    std::size_t offset = static_cast<std::size_t>(static_cast<char*>(block) - arena->buffer);
    bool last = offset + rounded(old_size) == arena->used_bytes;
    if (last && rounded(size) >= size && rounded(size) <= capacity_bytes - offset) {
      arena->used_bytes = offset + rounded(size);  // the newest block grows in place
      return block;
    }
    void* moved = allocate(context, size);
    if (moved) std::memcpy(moved, block, std::min(old_size, size));
    return moved;
  }
  static void release(void* context, void* block) {
    if (!static_cast<WriteArena*>(context)->owns(block)) std::free(block);
  }
};

// With the document given and the value its root, the engine sizes its
// buffer from the document's value count instead of growing it on the way.
std::string write_value(const yyjson_mut_val* value, yyjson_write_flag flags,
                        const yyjson_mut_doc* document = nullptr) {
  if (!value) return {};
  WriteArena arena;
  const yyjson_alc allocator{WriteArena::allocate, WriteArena::reallocate, WriteArena::release,
                             &arena};
  size_t length = 0;
  char* text = document && document->root == value
                   ? yyjson_mut_write_opts(document, flags, &allocator, &length, nullptr)
                   : yyjson_mut_val_write_opts(value, flags, &allocator, &length, nullptr);
  if (!text) return {};
  std::string out(text, length);
  WriteArena::release(&arena, text);
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

// True when one of the eight bytes of word is '/' or '~' (the classic
// "has a zero byte" test on word XOR the byte repeated).
constexpr bool word_has_slash_or_tilde(std::uint64_t word) {
  constexpr std::uint64_t ones = 0x0101010101010101ull;
  constexpr std::uint64_t highs = 0x8080808080808080ull;
  std::uint64_t slash = word ^ (ones * '/');
  std::uint64_t tilde = word ^ (ones * '~');
  return (((slash - ones) & ~slash) | ((tilde - ones) & ~tilde)) & highs;
}

// A member name with no "/" and no "~": it is its own token. Checked eight
// bytes at a time; setters call this once per value written.
[[gnu::always_inline]] inline bool is_plain_name(std::string_view path) {
  const char* bytes = path.data();
  std::size_t size = path.size();
  if (size >= 8) {
    std::uint64_t word = 0;
    for (std::size_t i = 0; i + 8 <= size; i += 8) {
      std::memcpy(&word, bytes + i, 8);
      if (word_has_slash_or_tilde(word)) return false;
    }
    std::memcpy(&word, bytes + size - 8, 8);  // the tail, overlapping
    return !word_has_slash_or_tilde(word);
  }
  if (size >= 4) {
    std::uint32_t head = 0;
    std::uint32_t tail = 0;
    std::memcpy(&head, bytes, 4);
    std::memcpy(&tail, bytes + size - 4, 4);
    return !word_has_slash_or_tilde(static_cast<std::uint64_t>(head) << 32 | tail);
  }
  for (std::size_t i = 0; i < size; ++i)
    if (bytes[i] == '/' || bytes[i] == '~') return false;
  return true;
}

// Two bits of 64 for a member name, for the member filter. Mixes the length
// with the first and last four bytes: cheap, and names that share a prefix
// ("gif_id", "gif_num") still differ.
[[gnu::always_inline]] inline std::uint64_t name_bits(std::string_view name) {
  const auto* bytes = reinterpret_cast<const unsigned char*>(name.data());
  std::size_t size = name.size();
  std::uint64_t mixed = size;
  if (size >= 4) {
    std::uint32_t head = 0;
    std::uint32_t tail = 0;
    std::memcpy(&head, bytes, 4);
    std::memcpy(&tail, bytes + size - 4, 4);
    mixed ^= (static_cast<std::uint64_t>(head) << 32 | tail) << 1;
  } else if (size > 0) {
    mixed ^= (static_cast<std::uint64_t>(bytes[0]) << 16 | bytes[size / 2] << 8 | bytes[size - 1])
             << 8;
  }
  std::uint64_t hash = (mixed ^ (mixed >> 29)) * 0x9E3779B97F4A7C15ull;
  return (1ull << (hash >> 58)) | (1ull << ((hash >> 52) & 63));
}

// Once creation starts at a step, every later container is new: an array
// created there only accepts "0" or "-". Checked before anything is created,
// so a path that cannot be placed leaves the document unchanged.
bool rest_is_creatable(std::string_view rest) {
  size_t start = 0;
  while (start <= rest.size()) {
    size_t slash = rest.find('/', start);
    std::string_view token = rest.substr(
        start, slash == std::string_view::npos ? std::string_view::npos : slash - start);
    size_t index = 0;
    if (parse_index(token, index) && index != 0) return false;
    if (slash == std::string_view::npos) break;
    start = slash + 1;
  }
  return true;
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

// A copy of one value without its children; strings are copied into doc.
JsonValue shallow_copy(yyjson_mut_doc* doc, JsonValue value) {
  switch (yyjson_mut_get_type(value)) {
    case YYJSON_TYPE_STR:
      return yyjson_mut_strncpy(doc, yyjson_mut_get_str(value), yyjson_mut_get_len(value));
    case YYJSON_TYPE_RAW:
      return yyjson_mut_rawncpy(doc, yyjson_mut_get_raw(value), yyjson_mut_get_len(value));
    case YYJSON_TYPE_ARR:
      return yyjson_mut_arr(doc);
    case YYJSON_TYPE_OBJ:
      return yyjson_mut_obj(doc);
    default: {
      JsonValue copy = yyjson_mut_null(doc);
      if (copy) assign_value(copy, value);
      return copy;
    }
  }
}

// A deep copy into doc made with a work list instead of recursion, so that a
// hostile nesting depth cannot exhaust the stack (the engine's copy recurses).
JsonValue deep_copy(yyjson_mut_doc* doc, JsonValue source) {
  if (!doc || !source) return nullptr;
  JsonValue root = shallow_copy(doc, source);
  if (!root) return nullptr;
  std::vector<std::pair<JsonValue, JsonValue>> pending;  // (from, to)
  if (yyjson_mut_is_ctn(source)) pending.emplace_back(source, root);
  while (!pending.empty()) {
    auto [from, to] = pending.back();
    pending.pop_back();
    if (yyjson_mut_is_arr(from)) {
      yyjson_mut_arr_iter iter = yyjson_mut_arr_iter_with(from);
      while (JsonValue item = yyjson_mut_arr_iter_next(&iter)) {
        JsonValue copy = shallow_copy(doc, item);
        if (!copy || !yyjson_mut_arr_append(to, copy)) return nullptr;
        if (yyjson_mut_is_ctn(item)) pending.emplace_back(item, copy);
      }
    } else {
      yyjson_mut_obj_iter iter = yyjson_mut_obj_iter_with(from);
      while (JsonValue key = yyjson_mut_obj_iter_next(&iter)) {
        JsonValue item = yyjson_mut_obj_iter_get_val(key);
        JsonValue key_copy =
            yyjson_mut_strncpy(doc, yyjson_mut_get_str(key), yyjson_mut_get_len(key));
        JsonValue copy = shallow_copy(doc, item);
        if (!key_copy || !copy || !yyjson_mut_obj_add(to, key_copy, copy)) return nullptr;
        if (yyjson_mut_is_ctn(item)) pending.emplace_back(item, copy);
      }
    }
  }
  return root;
}

// True when target lies inside container (searched without recursion).
bool holds(JsonValue container, JsonValue target) {
  std::vector<JsonValue> pending;
  if (yyjson_mut_is_ctn(container)) pending.push_back(container);
  while (!pending.empty()) {
    JsonValue current = pending.back();
    pending.pop_back();
    auto visit = [&](JsonValue child) {
      if (child == target) return true;
      if (yyjson_mut_is_ctn(child)) pending.push_back(child);
      return false;
    };
    if (yyjson_mut_is_arr(current)) {
      yyjson_mut_arr_iter iter = yyjson_mut_arr_iter_with(current);
      while (JsonValue item = yyjson_mut_arr_iter_next(&iter))
        if (visit(item)) return true;
    } else {
      yyjson_mut_obj_iter iter = yyjson_mut_obj_iter_with(current);
      while (JsonValue key = yyjson_mut_obj_iter_next(&iter))
        if (visit(yyjson_mut_obj_iter_get_val(key))) return true;
    }
  }
  return false;
}

// A string_view's data may be null when empty; the engine wants an address.
const char* key_data(std::string_view key) {
  return key.data() ? key.data() : "";
}

}  // namespace

namespace {

struct EngineReadiness {
  std::mutex mutex;
  JsonEngineReporter reporter;
  bool failure_pending = false;
};

EngineReadiness& engine_readiness() {
  static EngineReadiness readiness;
  return readiness;
}

void report_engine_failure() {
  EngineReadiness& readiness = engine_readiness();
  JsonEngineReporter reporter;
  {
    std::lock_guard lock(readiness.mutex);
    if (!readiness.reporter) {
      readiness.failure_pending = true;
      return;
    }
    reporter = readiness.reporter;
  }
  reporter("yyjson.dll\xD4\xD8\xC8\xEB\xCA\xA7\xB0\xDC!", "\xB4\xED\xCE\xF3");  // 载入失败, 错误
}

// The library is linked, so it is there; what can still go wrong is a shared
// library of another release than the header the program was built with.
bool check_engine() {
  bool same_release = (yyjson_version() >> 8) == (YYJSON_VERSION_HEX >> 8);
  if (!same_release) report_engine_failure();
  return same_release;
}

}  // namespace

bool json_engine_ready() {
  static const bool ready = check_engine();
  return ready;
}

void set_json_engine_reporter(JsonEngineReporter reporter) {
  EngineReadiness& readiness = engine_readiness();
  bool deliver = false;
  {
    std::lock_guard lock(readiness.mutex);
    readiness.reporter = std::move(reporter);
    deliver = readiness.failure_pending && readiness.reporter;
    if (deliver) readiness.failure_pending = false;
  }
  if (deliver) report_engine_failure();
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
    : state_(other.state_), kind_(other.kind_), filter_(other.filter_) {
  other.state_ = JsonState{};
  other.filter_ = MemberFilter{};
}

JsonDocument& JsonDocument::operator=(JsonDocument&& other) noexcept {
  if (this != &other) {
    free_owned();
    delete state_.error;
    state_ = other.state_;
    kind_ = other.kind_;
    filter_ = other.filter_;
    other.state_ = JsonState{};
    other.filter_ = MemberFilter{};
  }
  return *this;
}

void JsonDocument::free_owned() {
  if (state_.document && state_.ownership == JsonOwnership::Owner)
    yyjson_mut_doc_free(state_.document);
  state_.document = nullptr;
  state_.root = nullptr;
  filter_ = MemberFilter{};  // its object may be freed, its address reused
}

void JsonDocument::Release() {
  free_owned();
  state_.flags = 0;
}

bool JsonDocument::ResetToObject() {
  Release();
  state_.ownership = JsonOwnership::Owner;
  if (!json_engine_ready()) return false;
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
  if (!json_engine_ready()) return false;
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
  if (!json_engine_ready()) return false;
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
  return write_value(state_.root, write_flags_for(write_flags, state_.flags), state_.document);
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
  // The engine allocates a mutable document as its own record plus chunks of
  // its value and string pools; those lists are the whole of its memory.
  const yyjson_mut_doc* document = state_.document;
  if (!document) return 0;
  std::size_t blocks = 1;
  for (const yyjson_val_chunk* chunk = document->val_pool.chunks; chunk; chunk = chunk->next)
    ++blocks;
  for (const yyjson_str_chunk* chunk = document->str_pool.chunks; chunk; chunk = chunk->next)
    ++blocks;
  return blocks;
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
  // The common case, one plain member name ("uid", "gameCmdDataList"): no
  // token scanning, no escapes, no look-ahead.
  if (yyjson_mut_is_obj(current) && is_plain_name(path)) {
    if (create && state_.document) return add_single_member(current, path);
    return yyjson_mut_obj_getn(current, path.data(), path.size());
  }
  Token token;
  size_t start = 0;
  bool creating = false;
  // The steps after the current one, checked once when creation begins.
  auto may_create = [&](size_t slash, bool last) {
    if (!create || !state_.document) return false;
    if (creating || last) return true;
    creating = rest_is_creatable(path.substr(slash + 1));
    return creating;
  };
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
        if (!may_create(slash, last)) return nullptr;
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
        if (!may_create(slash, last)) return nullptr;
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

[[gnu::always_inline]] inline JsonValue JsonDocument::add_single_member(
    JsonValue object, std::string_view key) const {
  MemberFilter& filter = filter_;
  void* last_key = object->uni.ptr;
  std::size_t size = unsafe_yyjson_get_len(object);
  bool tracked = filter.object == object && filter.size == size && filter.last_key == last_key;
  std::uint64_t bits = name_bits(key);
  if (!tracked || (filter.bits & bits) == bits) {
    if (JsonValue existing = yyjson_mut_obj_getn(object, key.data(), key.size())) return existing;
  }
  // The key string and the key and value records, as the engine's own
  // yyjson_mut_obj_add_* helpers build them.
  char* text = unsafe_yyjson_mut_strncpy(state_.document, key.data(), key.size());
  JsonValue name = text ? unsafe_yyjson_mut_val(state_.document, 2) : nullptr;
  if (!name) return nullptr;
  JsonValue child = name + 1;
  name->tag = (static_cast<std::uint64_t>(key.size()) << YYJSON_TAG_BIT) | YYJSON_TYPE_STR;
  name->uni.str = text;
  child->tag = YYJSON_TYPE_NULL;
  unsafe_yyjson_mut_obj_add(object, name, child, size);
  if (tracked) {
    filter.bits |= bits;
  } else if (size == 0) {
    filter.object = object;  // a fresh object: its names are all seen from here on
    filter.bits = bits;
  } else {
    return child;
  }
  filter.size = size + 1;
  filter.last_key = object->uni.ptr;
  return child;
}

JsonValue JsonDocument::slot_for_set(std::string_view path, JsonValue base) {
  JsonValue current = base_or_root(base);
  if (state_.document && !path.empty() && yyjson_mut_is_obj(current) && is_plain_name(path))
    return add_single_member(current, path);
  return resolve(path, base, true);
}

JsonValue JsonDocument::ValueAt(std::string_view path, JsonValue base) const {
  return resolve(path, base, false);
}

bool JsonDocument::ExistsAt(std::string_view path, JsonValue base) const {
  return resolve(path, base, false) != nullptr;
}

JsonValueType JsonDocument::TypeAt(std::string_view path, JsonValue base) const {
  return ValueType(resolve(path, base, false));
}

NumberKind JsonDocument::NumberKindAt(std::string_view path, JsonValue base) const {
  return ValueNumberKind(resolve(path, base, false));
}

std::size_t JsonDocument::SizeAt(std::string_view path, JsonValue base) const {
  return ValueSize(resolve(path, base, false));
}

std::string JsonDocument::value_text(JsonValue value) {
  if (!value) return {};
  switch (yyjson_mut_get_type(value)) {
    case YYJSON_TYPE_STR:
      return std::string(yyjson_mut_get_str(value), yyjson_mut_get_len(value));
    case YYJSON_TYPE_BOOL:
      return yyjson_mut_get_bool(value) ? std::string("\xD5\xE6")
                                        : std::string("\xBC\xD9");  // 真 / 假
    case YYJSON_TYPE_NUM:
      if (yyjson_mut_is_real(value)) return real_to_text(yyjson_mut_get_real(value));
      // Unsigned values above the signed range keep their true decimal form.
      if (yyjson_mut_is_uint(value)) return std::to_string(yyjson_mut_get_uint(value));
      return std::to_string(yyjson_mut_get_sint(value));
    case YYJSON_TYPE_ARR:
    case YYJSON_TYPE_OBJ:
      // Texts are GBK bytes whatever the document's parse flags were.
      return write_value(value, YYJSON_WRITE_ALLOW_INVALID_UNICODE);
    default:
      return {};
  }
}

std::int64_t JsonDocument::value_int64(JsonValue value) {
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

double JsonDocument::value_number(JsonValue value) {
  if (!value) return 0.0;
  if (yyjson_mut_is_num(value)) return yyjson_mut_get_num(value);
  if (yyjson_mut_is_str(value)) {
    std::string text(yyjson_mut_get_str(value), yyjson_mut_get_len(value));
    return std::strtod(text.c_str(), nullptr);
  }
  return 0.0;
}

std::string JsonDocument::GetText(std::string_view path, JsonValue base) const {
  return value_text(resolve(path, base, false));
}

bool JsonDocument::EqualsTextAt(std::string_view path, std::string_view text,
                                JsonValue base) const {
  return ValueEqualsText(resolve(path, base, false), text);
}

std::int64_t JsonDocument::GetInt64(std::string_view path, JsonValue base) const {
  return value_int64(resolve(path, base, false));
}

std::int32_t JsonDocument::GetInt(std::string_view path, JsonValue base) const {
  return ValueAs<std::int32_t>(resolve(path, base, false));
}

double JsonDocument::GetNumber(std::string_view path, JsonValue base) const {
  return value_number(resolve(path, base, false));
}

bool JsonDocument::GetBool(std::string_view path, JsonValue base) const {
  return yyjson_mut_is_true(resolve(path, base, false));
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
  return deep_copy(state_.document, other.state_.root);
}

bool JsonDocument::SetText(std::string_view path, std::string_view value, JsonValue base) {
  JsonValue slot = slot_for_set(path, base);
  if (!slot || !state_.document) return false;
  const char* copy = unsafe_yyjson_mut_strncpy(state_.document, value.data(), value.size());
  return copy && yyjson_mut_set_strn(slot, copy, value.size());
}

bool JsonDocument::SetInt(std::string_view path, std::int32_t value, JsonValue base) {
  return yyjson_mut_set_sint(slot_for_set(path, base), value);
}
bool JsonDocument::SetInt64(std::string_view path, std::int64_t value, JsonValue base) {
  return yyjson_mut_set_sint(slot_for_set(path, base), value);
}
bool JsonDocument::SetNumber(std::string_view path, double value, JsonValue base) {
  return yyjson_mut_set_real(slot_for_set(path, base), value);
}
bool JsonDocument::SetBool(std::string_view path, bool value, JsonValue base) {
  return yyjson_mut_set_bool(slot_for_set(path, base), value);
}
bool JsonDocument::SetNull(std::string_view path, JsonValue base) {
  return yyjson_mut_set_null(slot_for_set(path, base));
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
  JsonValue copy = deep_copy(state_.document, value);
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

JsonDocument JsonDocument::copy_value(JsonValue value, RootKind kind) const {
  JsonDocument copy(kind);
  if (value) copy_value_into(value, copy);
  return copy;
}

bool JsonDocument::copy_value_into(JsonValue value, JsonDocument& target) const {
  // Through text, so the copy shares nothing with this document.
  if (!value) return false;
  std::string text = write_value(value, write_flags_for(0, state_.flags));
  return target.Parse(text, state_.flags);
}

JsonDocument JsonDocument::CopyAt(std::string_view path, RootKind kind, JsonValue base) const {
  return copy_value(resolve(path, base, false), kind);
}

bool JsonDocument::CopyInto(std::string_view path, JsonDocument& target, JsonValue base) const {
  return copy_value_into(resolve(path, base, false), target);
}

JsonDocument JsonDocument::ViewAt(std::string_view path, RootKind kind, JsonValue base) const {
  JsonDocument view(Unset{}, kind);
  view.Attach(state_.document, resolve(path, base, false), state_.flags, JsonOwnership::View);
  return view;
}

JsonDocument JsonDocument::MemberView(std::string_view key, RootKind kind, JsonValue base) const {
  JsonDocument view(Unset{}, kind);
  view.Attach(state_.document, ObjectMember(base_or_root(base), key), state_.flags,
              JsonOwnership::View);
  return view;
}

bool JsonDocument::MergeAt(const JsonDocument& other, std::string_view path, JsonValue base) {
  JsonValue target = resolve(path, base, false);
  JsonValue source = other.state_.root;
  if (ValueType(target) != ValueType(source)) return false;
  if (!yyjson_mut_is_ctn(target) || !state_.document) return true;  // other types: unchanged
  if (other.state_.document != state_.document) {
    merge_into(target, source);
    return true;
  }
  // The other shares this engine document (a view, or this very one): merge
  // from a snapshot so that appending never feeds the loop that reads.
  yyjson_mut_doc* scratch = yyjson_mut_doc_new(nullptr);
  if (!scratch) return false;
  JsonValue snapshot = deep_copy(scratch, source);
  if (snapshot) merge_into(target, snapshot);
  yyjson_mut_doc_free(scratch);
  return snapshot != nullptr;
}

void JsonDocument::merge_into(JsonValue target, JsonValue source) {
  yyjson_mut_doc* doc = state_.document;
  // Raw values and anything unknown arrive as null; the rest as a deep copy.
  auto copy_of = [doc](JsonValue value) {
    return yyjson_mut_is_raw(value) ? yyjson_mut_null(doc) : deep_copy(doc, value);
  };
  std::vector<std::pair<JsonValue, JsonValue>> pending{{target, source}};  // (to, from)
  while (!pending.empty()) {
    auto [to, from] = pending.back();
    pending.pop_back();
    if (yyjson_mut_is_arr(to) && yyjson_mut_is_arr(from)) {
      yyjson_mut_arr_iter iter = yyjson_mut_arr_iter_with(from);
      while (JsonValue item = yyjson_mut_arr_iter_next(&iter)) {
        JsonValue copy = copy_of(item);
        if (copy) yyjson_mut_arr_append(to, copy);
      }
      continue;
    }
    if (!yyjson_mut_is_obj(to) || !yyjson_mut_is_obj(from)) continue;
    yyjson_mut_obj_iter iter = yyjson_mut_obj_iter_with(from);
    while (JsonValue key = yyjson_mut_obj_iter_next(&iter)) {
      JsonValue item = yyjson_mut_obj_iter_get_val(key);
      JsonValue existing =
          yyjson_mut_obj_getn(to, yyjson_mut_get_str(key), yyjson_mut_get_len(key));
      if (existing && yyjson_mut_is_ctn(item) &&
          yyjson_mut_get_type(existing) == yyjson_mut_get_type(item)) {
        pending.emplace_back(existing, item);
        continue;
      }
      JsonValue copy = copy_of(item);
      if (!copy) continue;
      if (existing) {
        assign_value(existing, copy);
      } else {
        JsonValue key_copy =
            yyjson_mut_strncpy(doc, yyjson_mut_get_str(key), yyjson_mut_get_len(key));
        if (key_copy) yyjson_mut_obj_add(to, key_copy, copy);
      }
    }
  }
}

// ---------------------------------------------------------------------------
// Removing and swapping at paths

bool JsonDocument::RemoveAt(std::string_view path, JsonValue base) {
  if (path.empty()) return false;  // the base itself has no container to leave
  size_t slash = path.rfind('/');
  std::string_view parent_path =
      slash == std::string_view::npos ? std::string_view{} : path.substr(0, slash);
  JsonValue parent = resolve(parent_path, base, false);
  if (!parent) return false;
  Token token;
  read_token(slash == std::string_view::npos ? path : path.substr(slash + 1), token);
  if (yyjson_mut_is_obj(parent)) return RemoveMember(parent, token.name());
  size_t index = 0;
  return yyjson_mut_is_arr(parent) && parse_index(token.raw, index) &&
         yyjson_mut_arr_remove(parent, index) != nullptr;
}

bool JsonDocument::SwapAt(std::string_view path_a, std::string_view path_b, JsonValue base) {
  return SwapValues(resolve(path_a, base, false), resolve(path_b, base, false));
}

bool JsonDocument::RemoveElements(std::string_view path, std::size_t index, std::size_t count,
                                  JsonValue base) {
  return RemoveItems(resolve(path, base, false), index, count);
}

// ---------------------------------------------------------------------------
// Lists

namespace {

template <typename T>
long read_list(JsonValue array, std::vector<T>& out) {
  out.clear();
  if (!yyjson_mut_is_arr(array)) return -1;
  out.reserve(yyjson_mut_arr_size(array));
  JsonDocument::ForEachItem(
      array, [&](std::size_t, JsonValue item) { out.push_back(JsonDocument::ValueAs<T>(item)); });
  return static_cast<long>(out.size());
}

}  // namespace

long JsonDocument::ReadTextList(std::string_view path, std::vector<std::string>& out,
                                JsonValue base) const {
  return read_list(resolve(path, base, false), out);
}
long JsonDocument::ReadIntList(std::string_view path, std::vector<std::int32_t>& out,
                               JsonValue base) const {
  return read_list(resolve(path, base, false), out);
}
long JsonDocument::ReadInt64List(std::string_view path, std::vector<std::int64_t>& out,
                                 JsonValue base) const {
  return read_list(resolve(path, base, false), out);
}
long JsonDocument::ReadNumberList(std::string_view path, std::vector<double>& out,
                                  JsonValue base) const {
  return read_list(resolve(path, base, false), out);
}

JsonValue JsonDocument::fill_target(bool clear_document, std::string_view path, JsonValue base) {
  if (kind_ != RootKind::array) return nullptr;
  // A fresh document returns the old one's memory, but would leave a given
  // base dangling; a view's value is only ever emptied in place.
  if (clear_document && !base && state_.ownership != JsonOwnership::View) {
    if (!Clear()) return nullptr;
  } else if (!yyjson_mut_set_arr(state_.root)) {
    return nullptr;
  }
  return array_at(path, base);
}

template <typename T>
long JsonDocument::fill_list(std::span<const T> items, std::string_view path, JsonValue base) {
  JsonValue array = fill_target(true, path, base);
  if (!array) return -1;
  for (const T& item : items) {
    JsonValue value = make_value(item);
    if (!value || !yyjson_mut_arr_append(array, value)) return -1;
  }
  return static_cast<long>(yyjson_mut_arr_size(array));
}

long JsonDocument::FillTexts(std::span<const std::string> items, std::string_view path,
                             JsonValue base) {
  return fill_list(items, path, base);
}
long JsonDocument::FillInts(std::span<const std::int32_t> items, std::string_view path,
                            JsonValue base) {
  return fill_list(items, path, base);
}
long JsonDocument::FillInts(std::span<const std::int64_t> items, std::string_view path,
                            JsonValue base) {
  return fill_list(items, path, base);
}
long JsonDocument::FillNumbers(std::span<const double> items, std::string_view path,
                               JsonValue base) {
  return fill_list(items, path, base);
}

long JsonDocument::FillSplit(std::string_view text, std::string_view separator, int element_type,
                             std::string_view path, JsonValue base) {
  JsonValue array = fill_target(false, path, base);
  if (!array) return -1;
  // The program's one separator split: GBK-aware, a trailing empty piece
  // dropped, an empty text giving no pieces.
  for (const std::string& piece :
       text::split_by_separator(text, separator.empty() ? "," : separator)) {
    JsonValue value = nullptr;
    if (element_type == 5 || element_type == 6) {
      value = make_value(std::strtod(piece.c_str(), nullptr));
    } else if (element_type == 3 || element_type == 4) {
      value = make_value(text::read_leading_int64(piece));
    } else {
      value = make_value(std::string_view(piece));
    }
    if (!value || !yyjson_mut_arr_append(array, value)) return -1;
  }
  return static_cast<long>(yyjson_mut_arr_size(array));
}

// ---------------------------------------------------------------------------
// Getters with a default, element getters

template <typename T>
T JsonDocument::get_or(std::string_view path, const T& fallback, JsonValue base) {
  JsonValue value = resolve(path, base, false);
  bool of_kind = false;
  if constexpr (std::is_same_v<T, std::string>) {
    of_kind = yyjson_mut_is_str(value);
  } else if constexpr (std::is_same_v<T, bool>) {
    of_kind = yyjson_mut_is_bool(value);
  } else if constexpr (std::is_same_v<T, double>) {
    of_kind = yyjson_mut_is_num(value);  // an integer is a number too
  } else {
    of_kind = yyjson_mut_is_int(value);
  }
  if (of_kind) return ValueAs<T>(value);
  if constexpr (std::is_same_v<T, std::string>) {
    SetText(path, fallback, base);
  } else {
    SetValueAt(path, make_value(fallback), base);
  }
  return fallback;
}

std::string JsonDocument::GetTextOr(std::string_view path, std::string_view fallback,
                                    JsonValue base) {
  return get_or(path, std::string(fallback), base);
}
std::int32_t JsonDocument::GetIntOr(std::string_view path, std::int32_t fallback, JsonValue base) {
  return get_or(path, fallback, base);
}
std::int64_t JsonDocument::GetInt64Or(std::string_view path, std::int64_t fallback,
                                      JsonValue base) {
  return get_or(path, fallback, base);
}
double JsonDocument::GetNumberOr(std::string_view path, double fallback, JsonValue base) {
  return get_or(path, fallback, base);
}
bool JsonDocument::GetBoolOr(std::string_view path, bool fallback, JsonValue base) {
  return get_or(path, fallback, base);
}

JsonValue JsonDocument::element_at(std::size_t index, std::string_view path, JsonValue base) const {
  // Read as the path path + "/" + index, so an object member named by the
  // digits is found as well as an array element.
  JsonValue container = resolve(path, base, false);
  if (!container) return nullptr;
  char digits[24];
  auto written = std::to_chars(digits, digits + sizeof(digits), index);
  return resolve(std::string_view(digits, static_cast<size_t>(written.ptr - digits)), container,
                 false);
}

std::int32_t JsonDocument::ElementInt(std::size_t index, std::string_view path,
                                      JsonValue base) const {
  return ValueAs<std::int32_t>(element_at(index, path, base));
}
std::int64_t JsonDocument::ElementInt64(std::size_t index, std::string_view path,
                                        JsonValue base) const {
  return ValueAs<std::int64_t>(element_at(index, path, base));
}
float JsonDocument::ElementFloat(std::size_t index, std::string_view path, JsonValue base) const {
  return ValueAs<float>(element_at(index, path, base));
}
double JsonDocument::ElementNumber(std::size_t index, std::string_view path, JsonValue base) const {
  return ValueAs<double>(element_at(index, path, base));
}
bool JsonDocument::ElementBool(std::size_t index, std::string_view path, JsonValue base) const {
  return ValueAs<bool>(element_at(index, path, base));
}
std::string JsonDocument::ElementText(std::size_t index, std::string_view path,
                                      JsonValue base) const {
  return ValueAs<std::string>(element_at(index, path, base));
}
std::string JsonDocument::ElementJson(std::size_t index, std::string_view path,
                                      JsonValue base) const {
  return write_value(element_at(index, path, base), write_flags_for(0, state_.flags));
}
JsonDocument JsonDocument::ElementCopy(std::size_t index, std::string_view path, RootKind kind,
                                       JsonValue base) const {
  return copy_value(element_at(index, path, base), kind);
}
bool JsonDocument::ElementCopyInto(std::size_t index, std::string_view path, JsonDocument& target,
                                   JsonValue base) const {
  return copy_value_into(element_at(index, path, base), target);
}

// ---------------------------------------------------------------------------
// Handle level

JsonValueType JsonDocument::ValueType(JsonValue value) {
  return value ? static_cast<JsonValueType>(yyjson_mut_get_type(value)) : JsonValueType::none;
}

NumberKind JsonDocument::ValueNumberKind(JsonValue value) {
  if (!yyjson_mut_is_num(value)) return NumberKind::not_number;
  return yyjson_mut_is_real(value) ? NumberKind::real : NumberKind::integer;
}

std::size_t JsonDocument::ValueSize(JsonValue value) {
  if (yyjson_mut_is_obj(value)) return yyjson_mut_obj_size(value);
  if (yyjson_mut_is_arr(value)) return yyjson_mut_arr_size(value);
  return 0;
}

bool JsonDocument::ValueEqualsText(JsonValue value, std::string_view text) {
  return yyjson_mut_is_str(value) &&
         std::string_view(yyjson_mut_get_str(value), yyjson_mut_get_len(value)) == text;
}

std::string JsonDocument::ValueToText(JsonValue value, std::uint32_t write_flags) {
  return write_value(value, write_flags_for(write_flags, LocalCodePage));
}

JsonValue JsonDocument::ObjectMember(JsonValue object, std::string_view key) {
  return yyjson_mut_obj_getn(object, key_data(key), key.size());
}

JsonValue JsonDocument::ArrayItem(JsonValue array, std::size_t index) {
  return yyjson_mut_arr_get(array, index);
}

JsonValue JsonDocument::set_member(JsonValue object, std::string_view key, JsonValue value,
                                   SetMode mode) {
  if (!value || !yyjson_mut_is_obj(object) || !state_.document) return nullptr;
  if (mode == SetMode::replace) {
    if (JsonValue existing = ObjectMember(object, key)) {
      assign_value(existing, value);
      return existing;
    }
  }
  JsonValue key_copy = yyjson_mut_strncpy(state_.document, key_data(key), key.size());
  return key_copy && yyjson_mut_obj_add(object, key_copy, value) ? value : nullptr;
}

JsonValue JsonDocument::set_item(JsonValue array, long index, JsonValue value, SetMode mode) {
  if (!value || !yyjson_mut_is_arr(array)) return nullptr;
  if (index == -1) return yyjson_mut_arr_append(array, value) ? value : nullptr;
  if (index < 0) return nullptr;
  size_t position = static_cast<size_t>(index);
  if (mode == SetMode::replace)
    return yyjson_mut_arr_replace(array, position, value) ? value : nullptr;
  return yyjson_mut_arr_insert(array, value, position) ? value : nullptr;
}

bool JsonDocument::set_in_place(JsonValue target, JsonValue value) {
  if (!target || !value) return false;
  assign_value(target, value);
  return true;
}

bool JsonDocument::RemoveMember(JsonValue object, std::string_view key) {
  return yyjson_mut_obj_remove_keyn(object, key_data(key), key.size()) != nullptr;
}

bool JsonDocument::ClearMembers(JsonValue object) {
  return yyjson_mut_obj_clear(object);
}

bool JsonDocument::ClearItems(JsonValue array) {
  return yyjson_mut_arr_clear(array);
}

bool JsonDocument::RemoveItems(JsonValue array, std::size_t index, std::size_t count) {
  size_t size = yyjson_mut_arr_size(array);
  if (!yyjson_mut_is_arr(array) || index >= size) return false;
  return yyjson_mut_arr_remove_range(array, index, std::min(count, size - index));
}

bool JsonDocument::SwapValues(JsonValue a, JsonValue b) {
  if (!a || !b) return false;
  if (a == b) return true;
  // Swapping a container with a value inside it would make the tree a cycle.
  if (holds(a, b) || holds(b, a)) return false;
  yyjson_mut_val content = *a;
  a->tag = b->tag;
  a->uni = b->uni;
  b->tag = content.tag;
  b->uni = content.uni;
  return true;
}

}  // namespace lumora::json
