#include "text/number.h"

namespace lumora::text {

std::int64_t read_leading_int64(std::string_view text) noexcept {
  size_t i = 0;
  while (i < text.size() && (text[i] == ' ' || text[i] == '\t')) ++i;
  bool negative = false;
  if (i < text.size() && (text[i] == '+' || text[i] == '-')) {
    negative = text[i] == '-';
    ++i;
  }
  // Unsigned arithmetic wraps by definition; the result keeps the low bits.
  std::uint64_t value = 0;
  while (i < text.size() && text[i] >= '0' && text[i] <= '9') {
    value = value * 10u + static_cast<std::uint64_t>(text[i] - '0');
    ++i;
  }
  if (negative) value = 0u - value;
  return static_cast<std::int64_t>(value);
}

std::int32_t read_leading_int(std::string_view text) noexcept {
  return static_cast<std::int32_t>(static_cast<std::uint32_t>(read_leading_int64(text)));
}

}  // namespace lumora::text
