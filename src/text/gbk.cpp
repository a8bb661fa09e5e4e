#include "text/gbk.h"

#include <iconv.h>

#include <cerrno>
#include <cstring>
#include <memory>

namespace lumora::text {

namespace {

// One converter per thread and direction: iconv_t is not safe to share and
// costly to open for every text.
class Converter {
 public:
  Converter(const char* to, const char* from) : cd_(iconv_open(to, from)) {}
  ~Converter() {
    if (ok()) iconv_close(cd_);
  }
  Converter(const Converter&) = delete;
  Converter& operator=(const Converter&) = delete;
  bool ok() const { return cd_ != reinterpret_cast<iconv_t>(-1); }

  // Converts in and appends it to out, replacing what cannot be converted by
  // "?". skip_length tells how many input bytes the offending character takes.
  template <typename SkipLength>
  void append(std::string_view in, std::string& out, SkipLength skip_length) {
    if (!ok() || in.empty()) return;
    iconv(cd_, nullptr, nullptr, nullptr, nullptr);
    size_t used = out.size();
    out.resize(used + in.size() * 2 + 8);
    char* src = const_cast<char*>(in.data());
    size_t src_left = in.size();
    while (src_left > 0) {
      char* dst = out.data() + used;
      size_t dst_left = out.size() - used;
      size_t rc = iconv(cd_, &src, &src_left, &dst, &dst_left);
      used = out.size() - dst_left;
      if (rc != static_cast<size_t>(-1)) break;
      if (errno == E2BIG) {
        out.resize(out.size() * 2);
        continue;
      }
      // EILSEQ (no form in the target, or invalid input) or EINVAL (cut at the end).
      size_t skip = errno == EINVAL ? src_left : skip_length(std::string_view(src, src_left));
      if (skip == 0 || skip > src_left)
        skip = src_left < 1 ? src_left : (skip > src_left ? src_left : 1);
      src += skip;
      src_left -= skip;
      if (used + 1 > out.size()) out.resize(out.size() * 2);
      out[used++] = '?';
      iconv(cd_, nullptr, nullptr, nullptr, nullptr);
    }
    out.resize(used);
  }

  template <typename SkipLength>
  std::string run(std::string_view in, SkipLength skip_length) {
    std::string out;
    append(in, out, skip_length);
    return out;
  }

 private:
  iconv_t cd_;
};

// Length of the UTF-8 sequence at the start of s, 1 for a stray byte.
size_t utf8_sequence_length(std::string_view s) {
  unsigned char b = static_cast<unsigned char>(s[0]);
  size_t n = b >= 0xF0 && b < 0xF8 ? 4 : b >= 0xE0 ? 3 : b >= 0xC0 ? 2 : 1;
  if (n > s.size()) return 1;
  for (size_t i = 1; i < n; ++i) {
    if ((static_cast<unsigned char>(s[i]) & 0xC0) != 0x80) return 1;
  }
  return n;
}

// Length of the GBK character at the start of s.
size_t gbk_sequence_length(std::string_view s) {
  unsigned char b = static_cast<unsigned char>(s[0]);
  return (b >= 0x81 && b <= 0xFE && s.size() >= 2) ? 2 : 1;
}

Converter& to_gbk() {
  thread_local Converter converter("CP936", "UTF-8");
  return converter;
}

Converter& from_gbk() {
  thread_local Converter converter("UTF-8", "CP936");
  return converter;
}

}  // namespace

bool is_ascii(std::string_view bytes) noexcept {
  for (unsigned char c : bytes) {
    if (c >= 0x80) return false;
  }
  return true;
}

namespace {

// Texts are mostly ASCII (JSON keys, numbers, addresses): runs of ASCII are
// copied as they are and only the runs between them go through iconv.
// segment_end(text, i) gives the end of the non-ASCII run starting at i.
template <typename SegmentEnd, typename SkipLength>
std::string convert_mixed(std::string_view in, Converter& converter, SegmentEnd segment_end,
                          SkipLength skip_length) {
  std::string out;
  out.reserve(in.size() + in.size() / 2 + 8);
  size_t i = 0;
  while (i < in.size()) {
    size_t ascii_end = i;
    while (ascii_end < in.size() && static_cast<unsigned char>(in[ascii_end]) < 0x80) ++ascii_end;
    out.append(in.substr(i, ascii_end - i));
    if (ascii_end == in.size()) break;
    size_t end = segment_end(in, ascii_end);
    converter.append(in.substr(ascii_end, end - ascii_end), out, skip_length);
    i = end;
  }
  return out;
}

// In UTF-8 every byte of a multi-byte character is 0x80 or above.
size_t utf8_segment_end(std::string_view in, size_t i) {
  while (i < in.size() && static_cast<unsigned char>(in[i]) >= 0x80) ++i;
  return i;
}

// In GBK a trail byte may be ASCII (0x40..0x7E): the run steps by characters.
size_t gbk_segment_end(std::string_view in, size_t i) {
  while (i < in.size() && static_cast<unsigned char>(in[i]) >= 0x80) i += 2;
  return i < in.size() ? i : in.size();
}

}  // namespace

std::string utf8_to_gbk(std::string_view utf8) {
  if (is_ascii(utf8)) return std::string(utf8);
  return convert_mixed(utf8, to_gbk(), utf8_segment_end, utf8_sequence_length);
}

std::string utf8_to_gbk_until_nul(std::string_view utf8) {
  size_t nul = utf8.find('\0');
  return utf8_to_gbk(nul == std::string_view::npos ? utf8 : utf8.substr(0, nul));
}

std::string gbk_to_utf8(std::string_view gbk) {
  if (is_ascii(gbk)) return std::string(gbk);
  return convert_mixed(gbk, from_gbk(), gbk_segment_end, gbk_sequence_length);
}

bool charset_to_gbk(std::string_view bytes, std::string_view charset, std::string& out) {
  std::string name(charset);
  for (char& c : name) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  if (name == "GBK" || name == "GB2312" || name == "CP936" || name == "GB18030") {
    // Already the program's own code page (GB18030 shares the GBK range).
    out.assign(bytes);
    return true;
  }
  if (name == "UTF-8" || name == "UTF8") {
    out = utf8_to_gbk(bytes);
    return true;
  }
  Converter converter("CP936", name.c_str());
  if (!converter.ok()) return false;
  out = converter.run(bytes, [](std::string_view) { return size_t{1}; });
  return true;
}

}  // namespace lumora::text
