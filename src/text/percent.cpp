#include "text/percent.h"

#include "text/gbk.h"

namespace lumora::text {

namespace {
int hex_value(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}
bool is_continuation(unsigned char b) {
  return (b & 0xC0) == 0x80;
}
}  // namespace

bool looks_like_utf8(std::string_view bytes) noexcept {
  if (bytes.empty()) return false;
  if (bytes.size() >= 3 && static_cast<unsigned char>(bytes[0]) == 0xEF &&
      static_cast<unsigned char>(bytes[1]) == 0xBB &&
      static_cast<unsigned char>(bytes[2]) == 0xBF) {
    return true;
  }
  for (size_t i = 0; i < bytes.size(); ++i) {
    unsigned char b = static_cast<unsigned char>(bytes[i]);
    if (b <= 0x7F) continue;
    size_t follow = (b & 0xF0) == 0xE0 ? 2 : (b & 0xF8) == 0xF0 ? 3 : 0;
    if (follow == 0 || bytes.size() - i - 1 < follow) return false;
    for (size_t k = 1; k <= follow; ++k) {
      if (!is_continuation(static_cast<unsigned char>(bytes[i + k]))) return false;
    }
    return true;
  }
  return false;
}

std::string percent_decode(std::string_view encoded, bool* was_utf8) {
  std::string bytes;
  bytes.reserve(encoded.size());
  for (size_t i = 0; i < encoded.size(); ++i) {
    char c = encoded[i];
    if (c != '%') {
      bytes.push_back(c);
      continue;
    }
    if (i + 2 >= encoded.size()) break;  // a "%" among the last two bytes ends it
    int hi = hex_value(encoded[i + 1]);
    int lo = hex_value(encoded[i + 2]);
    if (hi < 0 || lo < 0) {
      bytes.push_back(c);  // not an escape: keep it as written
      continue;
    }
    bytes.push_back(static_cast<char>(hi * 16 + lo));
    i += 2;
  }
  bool utf8 = looks_like_utf8(bytes);
  if (was_utf8) *was_utf8 = utf8;
  if (!utf8) return bytes;
  std::string_view body(bytes);
  if (body.substr(0, 3) == "\xEF\xBB\xBF") body.remove_prefix(3);
  return utf8_to_gbk(body);
}

std::string percent_encode(std::string_view bytes) {
  static constexpr char kHex[] = "0123456789ABCDEF";
  std::string out;
  out.reserve(bytes.size() * 3);
  for (unsigned char b : bytes) {
    bool plain = (b >= 'A' && b <= 'Z') || (b >= 'a' && b <= 'z') || (b >= '0' && b <= '9') ||
                 b == '-' || b == '_' || b == '.' || b == '~';
    if (plain) {
      out.push_back(static_cast<char>(b));
    } else {
      out.push_back('%');
      out.push_back(kHex[b >> 4]);
      out.push_back(kHex[b & 0x0F]);
    }
  }
  return out;
}

std::string percent_encode_utf8(std::string_view gbk_text) {
  return percent_encode(gbk_to_utf8(gbk_text));
}

}  // namespace lumora::text
