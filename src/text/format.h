#pragma once
// format_template("{1}({2})说：{3}", name, uid, comment): "{n}" stands for the n-th
// argument (texts as they are, integers in decimal). In the template only, a
// backslash escapes: \r \n \t give CR, LF, tab; \' \{ \} \\ give the character
// alone; a backslash before anything else stays with that character.
// Templates are GBK: the second byte of a two-byte character is never read as
// a backslash or a brace.
#include <concepts>
#include <initializer_list>
#include <string>
#include <string_view>
#include <type_traits>

namespace lumora::text {

std::string format_template_list(std::string_view tmpl,
                                 std::initializer_list<std::string_view> args);

namespace detail {
template <typename T>
std::string_view template_argument(const T& value, std::string& storage) {
  if constexpr (std::is_integral_v<T> && !std::is_same_v<T, bool> && !std::is_same_v<T, char>) {
    storage = std::to_string(value);
    return storage;
  } else {
    return std::string_view(value);
  }
}
}  // namespace detail

template <typename... Args>
std::string format_template(std::string_view tmpl, const Args&... args) {
  std::string storage[sizeof...(Args) + 1];
  std::size_t i = 0;
  // Braced initialisation evaluates left to right, so storage slots follow the arguments.
  return format_template_list(tmpl, {detail::template_argument(args, storage[i++])...});
}

}  // namespace lumora::text
