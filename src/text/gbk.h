#pragma once
// Texts inside Lumora are GBK (CP936) byte strings; these convert at the edges.
#include <string>
#include <string_view>

namespace lumora::text {

// UTF-8 to GBK. A character without a GBK form, and any byte that is not valid
// UTF-8, becomes "?".
std::string utf8_to_gbk(std::string_view utf8);

// As utf8_to_gbk, reading the input only up to its first zero byte (live
// message bodies may carry padding after the text).
std::string utf8_to_gbk_until_nul(std::string_view utf8);

// GBK to UTF-8. A byte sequence that is not valid GBK becomes "?".
std::string gbk_to_utf8(std::string_view gbk);

// Decodes bytes in the named charset (as a web page declares it) to GBK.
// Returns false, leaving out untouched, when iconv does not know the charset.
bool charset_to_gbk(std::string_view bytes, std::string_view charset, std::string& out);

// True when every byte is below 0x80.
bool is_ascii(std::string_view bytes) noexcept;

// True when b starts a two-byte GBK character (lead bytes 0x81..0xFE).
constexpr bool is_gbk_lead_byte(unsigned char b) noexcept {
  return b >= 0x80;
}

}  // namespace lumora::text
