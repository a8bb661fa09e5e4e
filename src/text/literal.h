#pragma once
// Chinese texts written in the (UTF-8) source become GBK once per use site:
//   using namespace lumora::text::literals;
//   panel.append_log("连接成功"_gbk);
// The conversion runs the first time the expression is evaluated and is kept
// in a static for that literal.
#include <algorithm>
#include <cstddef>
#include <string>

#include "text/gbk.h"

namespace lumora::text {

template <std::size_t N>
struct SourceLiteral {
  char chars[N]{};
  constexpr SourceLiteral(const char (&s)[N]) { std::copy_n(s, N, chars); }
};

namespace literals {

template <SourceLiteral S>
const std::string& operator""_gbk() {
  static const std::string converted = utf8_to_gbk(std::string_view(S.chars, sizeof(S.chars) - 1));
  return converted;
}

}  // namespace literals
}  // namespace lumora::text
