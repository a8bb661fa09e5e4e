#pragma once
// JsonDocument: the program's one JSON type, over a yyjson mutable document.
// Values are addressed by paths: a JSON Pointer without its leading "/"
// ("uid", "list/0/key_", "group/key"); the empty path is the base itself.
// Every path operation takes an optional base value (default: the root).
//
// Texts are GBK byte strings. With LocalCodePage set (the default of every
// parse) such bytes are read and written as they are, without UTF-8 checks.
//
// A document is move-only: only one object may own the engine document.
// Shallow, non-owning copies are made explicitly with ViewAt / MemberView.
#include <cstddef>
#include <cstdint>
#include <functional>
#include <mutex>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <type_traits>
#include <vector>

#include <yyjson.h>

namespace lumora::json {

using JsonValue = yyjson_mut_val*;

// The engine's own type numbering.
enum class JsonValueType : int {
  none = 0,
  raw = 1,
  null = 2,
  boolean = 3,
  number = 4,
  string = 5,
  array = 6,
  object = 7,
};

enum class NumberKind : int { not_number = 0, real = 100, integer = 101 };

enum class JsonOwnership : std::uint32_t { Owner = 0, Adopted = 1, View = 2 };

enum class RootKind { object, array };

// Bit 30 of a document's flags: texts are local code page (GBK) bytes.
inline constexpr std::uint32_t LocalCodePage = 0x40000000u;

struct JsonParseError;
struct JsonIterBuffers;

// The state record a document keeps, in this order. StateAddress hands it out
// so code that only has an address can adopt the document.
struct JsonState {
  yyjson_mut_doc* document = nullptr;
  JsonValue root = nullptr;
  std::uint32_t flags = 0;
  JsonParseError* error = nullptr;
  JsonIterBuffers* member_iter = nullptr;
  JsonIterBuffers* element_iter = nullptr;
  JsonOwnership ownership = JsonOwnership::Owner;
};

// Makes the engine ready once per process. On failure the message
// "yyjson.dll载入失败!" (caption "错误") goes to the registered reporter and
// documents stay empty. Linked yyjson is always ready; the hook exists so the
// start-up can show the failure where it has a window.
bool json_engine_ready();

// Receives the failure message and its caption (GBK texts). A failure found
// before a reporter is registered is handed to the reporter when it is set.
using JsonEngineReporter =
    std::function<void(const std::string& message, const std::string& caption)>;
void set_json_engine_reporter(JsonEngineReporter reporter);

// Tags for the value families (Append/Insert/Replace).
struct NewObject {};
struct NewArray {};
struct NullValue {};
struct RawJson {  // a JSON text parsed into place
  std::string_view text;
  std::uint32_t read_flags = 0;
};

// How a handle-level setter places its value: replace keeps one member of the
// name (or overwrites the element at the index); add always adds a member (or
// inserts before the index).
enum class SetMode : int { add = 0, replace = 1 };

class JsonDocument {
 public:
  explicit JsonDocument(RootKind kind = RootKind::object);
  ~JsonDocument();
  JsonDocument(JsonDocument&& other) noexcept;
  JsonDocument& operator=(JsonDocument&& other) noexcept;
  JsonDocument(const JsonDocument&) = delete;
  JsonDocument& operator=(const JsonDocument&) = delete;

  RootKind Kind() const { return kind_; }

  // ---- whole document ----
  // Releases the current document and parses. flags: engine read flags; when
  // omitted, LocalCodePage. True when both document and root exist.
  bool Parse(std::string_view text, std::optional<std::uint32_t> flags = std::nullopt);
  bool ParseBytes(const std::string& bytes, std::optional<std::uint32_t> flags = std::nullopt);
  bool ParseBuffer(const void* data, std::size_t length,
                   std::optional<std::uint32_t> flags = std::nullopt);
  bool ParseFile(const std::string& path, std::optional<std::uint32_t> flags = std::nullopt);
  bool ResetToObject();
  bool ResetToArray();
  // Owner/Adopted: a fresh empty root of the document's kind. View: the viewed
  // value becomes an empty object (when it is one) or an empty array in place.
  bool Clear();
  void Release();

  // Compact JSON (write flags 0) of the document, or of the viewed value.
  std::string ToText(std::uint32_t write_flags = 0) const;
  // Serializes and parses again, returning memory held for removed values.
  bool Rebuild();
  bool EnableErrorInfo();
  // "错误类型: " code "\r\n错误位置: " pos "\r\n错误原因: " message, or empty.
  std::string ErrorText(std::size_t* position = nullptr) const;

  JsonValue Root() const { return state_.root; }
  std::uint32_t Flags() const { return state_.flags; }
  JsonOwnership Ownership() const { return state_.ownership; }
  yyjson_mut_doc* Document() const { return state_.document; }
  // Memory blocks the engine holds for this document.
  std::size_t MemoryBlocks() const;
  const JsonState* StateAddress() const { return &state_; }
  void AdoptState(const JsonState* state);
  void Attach(yyjson_mut_doc* document, JsonValue root, std::uint32_t flags,
              JsonOwnership ownership);

  // ---- reading at a path ----
  JsonValue ValueAt(std::string_view path, JsonValue base = nullptr) const;
  bool ExistsAt(std::string_view path, JsonValue base = nullptr) const;
  JsonValueType TypeAt(std::string_view path, JsonValue base = nullptr) const;
  NumberKind NumberKindAt(std::string_view path, JsonValue base = nullptr) const;
  std::size_t SizeAt(std::string_view path, JsonValue base = nullptr) const;
  std::string GetText(std::string_view path, JsonValue base = nullptr) const;
  bool EqualsTextAt(std::string_view path, std::string_view text, JsonValue base = nullptr) const;
  std::int32_t GetInt(std::string_view path, JsonValue base = nullptr) const;
  std::int64_t GetInt64(std::string_view path, JsonValue base = nullptr) const;
  double GetNumber(std::string_view path, JsonValue base = nullptr) const;
  bool GetBool(std::string_view path, JsonValue base = nullptr) const;
  std::string JsonAt(std::string_view path, JsonValue base = nullptr) const;
  std::vector<std::string> KeysAt(std::string_view path, JsonValue base = nullptr) const;

  // The value when the path holds one of that kind; otherwise the default is
  // written at the path and returned.
  std::string GetTextOr(std::string_view path, std::string_view fallback, JsonValue base = nullptr);
  std::int32_t GetIntOr(std::string_view path, std::int32_t fallback, JsonValue base = nullptr);
  std::int64_t GetInt64Or(std::string_view path, std::int64_t fallback, JsonValue base = nullptr);
  double GetNumberOr(std::string_view path, double fallback, JsonValue base = nullptr);
  bool GetBoolOr(std::string_view path, bool fallback, JsonValue base = nullptr);

  // ---- writing at a path (missing containers are created) ----
  bool SetText(std::string_view path, std::string_view value, JsonValue base = nullptr);
  bool SetInt(std::string_view path, std::int32_t value, JsonValue base = nullptr);
  bool SetInt64(std::string_view path, std::int64_t value, JsonValue base = nullptr);
  bool SetNumber(std::string_view path, double value, JsonValue base = nullptr);
  bool SetBool(std::string_view path, bool value, JsonValue base = nullptr);
  bool SetNull(std::string_view path, JsonValue base = nullptr);
  JsonValue SetNewObject(std::string_view path, JsonValue base = nullptr);
  JsonValue SetNewArray(std::string_view path, JsonValue base = nullptr);
  // Without a path: the base (default the root) itself becomes empty in place.
  JsonValue SetNewObject();
  JsonValue SetNewArray();
  bool SetJson(std::string_view path, std::string_view json_text, std::uint32_t read_flags = 0,
               JsonValue base = nullptr);
  bool SetDocumentAt(std::string_view path, const JsonDocument& other, JsonValue base = nullptr);
  bool SetValueAt(std::string_view path, JsonValue value, JsonValue base = nullptr);
  bool RemoveAt(std::string_view path, JsonValue base = nullptr);
  bool SwapAt(std::string_view path_a, std::string_view path_b, JsonValue base = nullptr);

  // ---- array building: one generic path for every value type ----
  // T: std::string_view (text), std::int32_t, std::int64_t, double, float,
  // bool, NullValue, NewObject, NewArray, RawJson, const JsonDocument&.
  template <typename T>
  bool Append(std::string_view path, const T& value, JsonValue base = nullptr) {
    return place_element(path, base, Placement::append, 0, make_value(value));
  }
  template <typename T>
  bool Insert(std::string_view path, std::size_t index, const T& value, JsonValue base = nullptr) {
    return place_element(path, base, Placement::insert, index, make_value(value));
  }
  template <typename T>
  bool Replace(std::string_view path, std::size_t index, const T& value, JsonValue base = nullptr) {
    return place_element(path, base, Placement::replace, index, make_value(value));
  }

  bool AppendText(std::string_view path, std::string_view v, JsonValue base = nullptr) {
    return Append(path, v, base);
  }
  bool AppendInt(std::string_view path, std::int32_t v, JsonValue base = nullptr) {
    return Append(path, v, base);
  }
  bool AppendInt64(std::string_view path, std::int64_t v, JsonValue base = nullptr) {
    return Append(path, v, base);
  }
  bool AppendNumber(std::string_view path, double v, JsonValue base = nullptr) {
    return Append(path, v, base);
  }
  bool AppendFloat(std::string_view path, float v, JsonValue base = nullptr) {
    return Append(path, v, base);
  }
  bool AppendBool(std::string_view path, bool v, JsonValue base = nullptr) {
    return Append(path, v, base);
  }
  bool AppendNull(std::string_view path, JsonValue base = nullptr) {
    return Append(path, NullValue{}, base);
  }
  bool AppendJson(std::string_view path, std::string_view json_text, JsonValue base = nullptr) {
    return Append(path, RawJson{json_text}, base);
  }
  bool AppendDocument(std::string_view path, const JsonDocument& other, JsonValue base = nullptr) {
    return Append(path, other, base);
  }
  bool AppendNewObject(std::string_view path, JsonValue base = nullptr) {
    return Append(path, NewObject{}, base);
  }
  bool AppendNewArray(std::string_view path, JsonValue base = nullptr) {
    return Append(path, NewArray{}, base);
  }

  bool InsertText(std::string_view path, std::size_t i, std::string_view v,
                  JsonValue base = nullptr) {
    return Insert(path, i, v, base);
  }
  bool InsertInt(std::string_view path, std::size_t i, std::int32_t v, JsonValue base = nullptr) {
    return Insert(path, i, v, base);
  }
  bool InsertInt64(std::string_view path, std::size_t i, std::int64_t v, JsonValue base = nullptr) {
    return Insert(path, i, v, base);
  }
  bool InsertNumber(std::string_view path, std::size_t i, double v, JsonValue base = nullptr) {
    return Insert(path, i, v, base);
  }
  bool InsertFloat(std::string_view path, std::size_t i, float v, JsonValue base = nullptr) {
    return Insert(path, i, v, base);
  }
  bool InsertBool(std::string_view path, std::size_t i, bool v, JsonValue base = nullptr) {
    return Insert(path, i, v, base);
  }
  bool InsertJson(std::string_view path, std::size_t i, std::string_view json_text,
                  JsonValue base = nullptr) {
    return Insert(path, i, RawJson{json_text}, base);
  }
  bool InsertDocument(std::string_view path, std::size_t i, const JsonDocument& other,
                      JsonValue base = nullptr) {
    return Insert(path, i, other, base);
  }
  bool InsertNewObject(std::string_view path, std::size_t i, JsonValue base = nullptr) {
    return Insert(path, i, NewObject{}, base);
  }
  bool InsertNewArray(std::string_view path, std::size_t i, JsonValue base = nullptr) {
    return Insert(path, i, NewArray{}, base);
  }

  bool ReplaceText(std::string_view path, std::size_t i, std::string_view v,
                   JsonValue base = nullptr) {
    return Replace(path, i, v, base);
  }
  bool ReplaceInt(std::string_view path, std::size_t i, std::int32_t v, JsonValue base = nullptr) {
    return Replace(path, i, v, base);
  }
  bool ReplaceInt64(std::string_view path, std::size_t i, std::int64_t v,
                    JsonValue base = nullptr) {
    return Replace(path, i, v, base);
  }
  bool ReplaceNumber(std::string_view path, std::size_t i, double v, JsonValue base = nullptr) {
    return Replace(path, i, v, base);
  }
  bool ReplaceFloat(std::string_view path, std::size_t i, float v, JsonValue base = nullptr) {
    return Replace(path, i, v, base);
  }
  bool ReplaceBool(std::string_view path, std::size_t i, bool v, JsonValue base = nullptr) {
    return Replace(path, i, v, base);
  }
  bool ReplaceJson(std::string_view path, std::size_t i, std::string_view json_text,
                   JsonValue base = nullptr) {
    return Replace(path, i, RawJson{json_text}, base);
  }
  bool ReplaceDocument(std::string_view path, std::size_t i, const JsonDocument& other,
                       JsonValue base = nullptr) {
    return Replace(path, i, other, base);
  }
  bool ReplaceNewObject(std::string_view path, std::size_t i, JsonValue base = nullptr) {
    return Replace(path, i, NewObject{}, base);
  }
  bool ReplaceNewArray(std::string_view path, std::size_t i, JsonValue base = nullptr) {
    return Replace(path, i, NewArray{}, base);
  }

  bool RemoveElements(std::string_view path, std::size_t index, std::size_t count = 1,
                      JsonValue base = nullptr);

  // Copies an array's elements; the count, or -1 when the value is no array.
  long ReadTextList(std::string_view path, std::vector<std::string>& out,
                    JsonValue base = nullptr) const;
  long ReadIntList(std::string_view path, std::vector<std::int32_t>& out,
                   JsonValue base = nullptr) const;
  long ReadInt64List(std::string_view path, std::vector<std::int64_t>& out,
                     JsonValue base = nullptr) const;
  long ReadNumberList(std::string_view path, std::vector<double>& out,
                      JsonValue base = nullptr) const;

  // ---- element access under a path: the element at path + "/" + index ----
  std::int32_t ElementInt(std::size_t index, std::string_view path = {},
                          JsonValue base = nullptr) const;
  std::int64_t ElementInt64(std::size_t index, std::string_view path = {},
                            JsonValue base = nullptr) const;
  float ElementFloat(std::size_t index, std::string_view path = {}, JsonValue base = nullptr) const;
  double ElementNumber(std::size_t index, std::string_view path = {},
                       JsonValue base = nullptr) const;
  bool ElementBool(std::size_t index, std::string_view path = {}, JsonValue base = nullptr) const;
  std::string ElementText(std::size_t index, std::string_view path = {},
                          JsonValue base = nullptr) const;
  std::string ElementJson(std::size_t index, std::string_view path = {},
                          JsonValue base = nullptr) const;
  JsonDocument ElementCopy(std::size_t index, std::string_view path = {},
                           RootKind kind = RootKind::object, JsonValue base = nullptr) const;
  bool ElementCopyInto(std::size_t index, std::string_view path, JsonDocument& target,
                       JsonValue base = nullptr) const;

  // ---- array-rooted documents only (-1 on an object-rooted one) ----
  // The document is cleared to an empty array root (without a base; with one,
  // the root is emptied in place so the base stays valid), every item is
  // appended to the array at the path, and its new size is returned.
  long FillTexts(std::span<const std::string> items, std::string_view path = {},
                 JsonValue base = nullptr);
  long FillInts(std::span<const std::int32_t> items, std::string_view path = {},
                JsonValue base = nullptr);
  long FillInts(std::span<const std::int64_t> items, std::string_view path = {},
                JsonValue base = nullptr);
  long FillNumbers(std::span<const double> items, std::string_view path = {},
                   JsonValue base = nullptr);
  // The root becomes an empty array in place; the text is split at the
  // separator (empty means ","), each piece appended as a double for element
  // type 5 or 6, a 64-bit integer for 3 or 4, else as text. The new size.
  long FillSplit(std::string_view text, std::string_view separator = ",", int element_type = 0,
                 std::string_view path = {}, JsonValue base = nullptr);

  // ---- sub-documents ----
  JsonDocument CopyAt(std::string_view path, RootKind kind = RootKind::object,
                      JsonValue base = nullptr) const;
  bool CopyInto(std::string_view path, JsonDocument& target, JsonValue base = nullptr) const;
  JsonDocument ViewAt(std::string_view path, RootKind kind = RootKind::object,
                      JsonValue base = nullptr) const;
  JsonDocument MemberView(std::string_view key, RootKind kind = RootKind::object,
                          JsonValue base = nullptr) const;
  // Arrays: the other's elements are appended. Objects: the other's members
  // are set by key, containers of the same type merged recursively. False
  // when the two values differ in type.
  bool MergeAt(const JsonDocument& other, std::string_view path = {}, JsonValue base = nullptr);

  // ---- handle level ----
  // Handles must belong to this document when a setter allocates a value.
  // Getters on any handle (none reads as missing):
  static JsonValueType ValueType(JsonValue value);
  static NumberKind ValueNumberKind(JsonValue value);
  static std::size_t ValueSize(JsonValue value);
  static bool ValueEqualsText(JsonValue value, std::string_view text);
  // Compact JSON text of a value (GBK bytes written as they are).
  static std::string ValueToText(JsonValue value, std::uint32_t write_flags = 0);
  // T: std::string (GetText rules), std::int32_t, std::int64_t, double, float, bool.
  template <typename T>
  static T ValueAs(JsonValue value);

  static JsonValue ObjectMember(JsonValue object, std::string_view key);
  static bool HasMember(JsonValue object, std::string_view key) {
    return ObjectMember(object, key) != nullptr;
  }
  template <typename T>
  static T MemberAs(JsonValue object, std::string_view key) {
    return ValueAs<T>(ObjectMember(object, key));
  }
  static JsonValue ArrayItem(JsonValue array, std::size_t index);
  template <typename T>
  static T ItemAs(JsonValue array, std::size_t index) {
    return ValueAs<T>(ArrayItem(array, index));
  }

  // Setters take the value kinds of Append (text, integers, reals, bool,
  // NullValue, NewObject, NewArray, RawJson, a JsonDocument) and return the
  // placed value's handle, or none.
  template <typename T>
  JsonValue SetMember(JsonValue object, std::string_view key, const T& value,
                      SetMode mode = SetMode::replace) {
    return set_member(object, key, make_value(value), mode);
  }
  // index -1 appends.
  template <typename T>
  JsonValue SetItem(JsonValue array, long index, const T& value, SetMode mode = SetMode::replace) {
    return set_item(array, index, make_value(value), mode);
  }
  // The value itself becomes the new one, keeping its place in its container.
  template <typename T>
  bool SetValue(JsonValue target, const T& value) {
    return set_in_place(target, make_value(value));
  }
  static bool RemoveMember(JsonValue object, std::string_view key);
  static bool ClearMembers(JsonValue object);
  static bool ClearItems(JsonValue array);
  // Removes count items from the index (fewer when the array ends first);
  // false when the index is past the end.
  static bool RemoveItems(JsonValue array, std::size_t index, std::size_t count = 1);
  // Exchanges two values in place; false when either is none or one holds the other.
  static bool SwapValues(JsonValue a, JsonValue b);

  // fn(std::string_view key, JsonValue value); returning false stops.
  template <typename Fn>
  static void ForEachMember(JsonValue object, Fn&& fn) {
    if (!yyjson_mut_is_obj(object)) return;
    yyjson_mut_obj_iter iter = yyjson_mut_obj_iter_with(object);
    while (JsonValue key = yyjson_mut_obj_iter_next(&iter)) {
      std::string_view name(yyjson_mut_get_str(key), yyjson_mut_get_len(key));
      if (!call_visitor(fn, name, yyjson_mut_obj_iter_get_val(key))) return;
    }
  }
  // fn(std::size_t index, JsonValue value); returning false stops.
  template <typename Fn>
  static void ForEachItem(JsonValue array, Fn&& fn) {
    if (!yyjson_mut_is_arr(array)) return;
    yyjson_mut_arr_iter iter = yyjson_mut_arr_iter_with(array);
    std::size_t index = 0;
    while (JsonValue item = yyjson_mut_arr_iter_next(&iter)) {
      if (!call_visitor(fn, index++, item)) return;
    }
  }

 private:
  enum class Placement { append, insert, replace };
  struct Unset {};
  // A document with no engine document yet (views and adoptions start here).
  JsonDocument(Unset, RootKind kind) : kind_(kind) {}

  JsonValue base_or_root(JsonValue base) const { return base ? base : state_.root; }
  // The conversions every getter shares.
  static std::string value_text(JsonValue value);
  static std::int64_t value_int64(JsonValue value);
  static double value_number(JsonValue value);
  // The value at the path, created (as null) with its missing containers when
  // create is true. Nullptr when it cannot be reached or placed.
  JsonValue resolve(std::string_view path, JsonValue base, bool create) const;
  // The array at the path, created when nothing is there.
  JsonValue array_at(std::string_view path, JsonValue base);
  bool place_element(std::string_view path, JsonValue base, Placement placement, std::size_t index,
                     JsonValue value);
  bool parse_into_state(const char* data, std::size_t length, std::uint32_t flags);
  JsonValue element_at(std::size_t index, std::string_view path, JsonValue base) const;
  JsonValue set_member(JsonValue object, std::string_view key, JsonValue value, SetMode mode);
  JsonValue set_item(JsonValue array, long index, JsonValue value, SetMode mode);
  bool set_in_place(JsonValue target, JsonValue value);
  // Empties the root for the Fill family; the array the items go to, or none.
  JsonValue fill_target(bool clear_document, std::string_view path, JsonValue base);
  template <typename T>
  long fill_list(std::span<const T> items, std::string_view path, JsonValue base);
  void merge_into(JsonValue target, JsonValue source);
  JsonDocument copy_value(JsonValue value, RootKind kind) const;
  bool copy_value_into(JsonValue value, JsonDocument& target) const;
  // A value of the other kind written at the path for the Get...Or family.
  template <typename T>
  T get_or(std::string_view path, const T& fallback, JsonValue base);

  template <typename Fn, typename A>
  static bool call_visitor(Fn& fn, A&& a, JsonValue value) {
    if constexpr (std::is_same_v<std::invoke_result_t<Fn&, A, JsonValue>, bool>) {
      return fn(std::forward<A>(a), value);
    } else {
      fn(std::forward<A>(a), value);
      return true;
    }
  }
  void free_owned();

  JsonValue make_value(std::string_view v);
  JsonValue make_value(const std::string& v) { return make_value(std::string_view(v)); }
  JsonValue make_value(const char* v) { return make_value(std::string_view(v)); }
  JsonValue make_value(std::int32_t v);
  JsonValue make_value(std::int64_t v);
  JsonValue make_value(double v);
  JsonValue make_value(float v) { return make_value(static_cast<double>(v)); }
  JsonValue make_value(bool v);
  JsonValue make_value(NullValue);
  JsonValue make_value(NewObject);
  JsonValue make_value(NewArray);
  JsonValue make_value(const RawJson& v);
  JsonValue make_value(const JsonDocument& other);

  // Remembers which member names an object built by this document's setters
  // holds, so that adding a new name skips the scan for an existing one. It
  // follows one object from its first member on and is trusted only while
  // that object's size and last member are the ones it recorded. Only
  // setters touch it: concurrent readers of a document never write here.
  struct MemberFilter {
    JsonValue object = nullptr;
    std::size_t size = 0;
    void* last_key = nullptr;
    std::uint64_t bits = 0;
  };
  JsonValue add_single_member(JsonValue object, std::string_view key) const;
  // The slot a scalar setter writes to: one plain member name goes the short
  // way, anything else through resolve.
  JsonValue slot_for_set(std::string_view path, JsonValue base);

  JsonState state_;
  RootKind kind_ = RootKind::object;
  mutable MemberFilter filter_;
};

template <typename T>
T JsonDocument::ValueAs(JsonValue value) {
  if constexpr (std::is_same_v<T, std::string>) {
    return value_text(value);
  } else if constexpr (std::is_same_v<T, bool>) {
    return yyjson_mut_is_true(value);
  } else if constexpr (std::is_same_v<T, double> || std::is_same_v<T, float>) {
    return static_cast<T>(value_number(value));
  } else if constexpr (std::is_same_v<T, std::int64_t>) {
    return value_int64(value);
  } else {
    static_assert(std::is_same_v<T, std::int32_t>, "ValueAs: text, integer, real or bool");
    return static_cast<std::int32_t>(static_cast<std::uint32_t>(value_int64(value)));
  }
}

// A plain mutual-exclusion lock for documents shared between threads.
class SectionLock {
 public:
  void Enter() { mutex_.lock(); }
  void Leave() { mutex_.unlock(); }
  bool TryEnter() { return mutex_.try_lock(); }

 private:
  std::mutex mutex_;
};

}  // namespace lumora::json
