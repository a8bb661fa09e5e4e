#pragma once
// JMap: a key-value map over the JSON answers of outside services, read with
// "//" path expressions:
//   "//"            the top value
//   "//a.b.c"       members, separated by "."
//   "//info[3][1]"  "[n]" selects the n-th array element, counting from 1
//   "//data[1].url" both mixed
// The leading "//" may be left out. A path that does not resolve reads as
// empty text, 0 or count 0.
//
// Texts are kept as the bytes given (GBK or UTF-8): the map does not convert.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "json/json_document.h"

namespace lumora::json {

class JMap {
 public:
  JMap() = default;

  // Replaces the content with the parsed text; false (and an empty map) when
  // the text is no JSON.
  bool load(std::string_view json_text);
  // Strings as they are, numbers in decimal, "true"/"false", containers as
  // compact JSON text; null and missing give the empty text.
  std::string get_text(std::string_view path) const;
  // Numbers (reals truncated toward zero), strings by their leading integer;
  // anything else 0. get_int keeps the low 32 bits.
  std::int32_t get_int(std::string_view path) const;
  std::int64_t get_int64(std::string_view path) const;
  // Elements of an array or members of an object; 0 otherwise.
  std::size_t count(std::string_view path) const;

  // Writing creates missing members along the path (and an element at
  // position count + 1); false when the path runs through a scalar or past
  // the end of an array.
  bool set_int(std::string_view path, std::int32_t value);
  bool set_int64(std::string_view path, std::int64_t value);
  bool set_text(std::string_view path, std::string_view value);

  // Compact, members in insertion order.
  std::string to_json() const;
  void clear();

 private:
  JsonValue walk(std::string_view path, bool create) const;
  template <typename T>
  bool set_value(std::string_view path, const T& value);

  // mutable: walking with create adds values, an edit of the document only.
  mutable JsonDocument document_;
};

}  // namespace lumora::json
