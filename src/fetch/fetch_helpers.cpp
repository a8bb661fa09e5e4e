#include "fetch/fetch_helpers.h"

#define PCRE2_CODE_UNIT_WIDTH 8
#include <pcre2.h>

#include <algorithm>
#include <memory>
#include <vector>

#include "text/gbk.h"
#include "text/number.h"

namespace lumora::fetch {

namespace {

char ascii_lower(char c) noexcept {
  return (c >= 'A' && c <= 'Z') ? static_cast<char>(c + 32) : c;
}
char ascii_upper(char c) noexcept {
  return (c >= 'a' && c <= 'z') ? static_cast<char>(c - 32) : c;
}

std::string lower_ascii(std::string_view s) {
  std::string out(s);
  for (char& c : out) c = ascii_lower(c);
  return out;
}

bool is_blank(char c) noexcept {
  return c == ' ' || c == '\t' || c == '\r' || c == '\n';
}

std::string_view trim(std::string_view s) noexcept {
  while (!s.empty() && is_blank(s.front())) s.remove_prefix(1);
  while (!s.empty() && is_blank(s.back())) s.remove_suffix(1);
  return s;
}

std::string_view trim_spaces(std::string_view s) noexcept {
  while (!s.empty() && s.front() == ' ') s.remove_prefix(1);
  while (!s.empty() && s.back() == ' ') s.remove_suffix(1);
  return s;
}

// Every piece between separators, empty ones included.
std::vector<std::string_view> split_all(std::string_view text, std::string_view separator) {
  std::vector<std::string_view> pieces;
  size_t start = 0;
  for (;;) {
    size_t at = text.find(separator, start);
    if (at == std::string_view::npos) {
      pieces.push_back(text.substr(start));
      return pieces;
    }
    pieces.push_back(text.substr(start, at - start));
    start = at + separator.size();
  }
}

std::string join(const std::vector<std::string>& items, std::string_view separator) {
  std::string out;
  for (size_t i = 0; i < items.size(); ++i) {
    if (i) out.append(separator);
    out.append(items[i]);
  }
  return out;
}

std::string_view cookie_name(std::string_view item) noexcept {
  size_t eq = item.find('=');
  return trim(eq == std::string_view::npos ? item : item.substr(0, eq));
}

std::vector<std::string> cookie_items(std::string_view cookies) {
  std::string text(trim(cookies));
  // "a=1;" would otherwise stay one item with its ";".
  if (!text.empty() && text.back() == ';') text.push_back(' ');
  std::vector<std::string> items;
  for (std::string_view piece : split_all(text, "; ")) {
    piece = trim(piece);
    if (!piece.empty()) items.emplace_back(piece);
  }
  return items;
}

// Host with its port, as url_host and url_port read it from the lower-cased URL.
std::string host_and_port(std::string_view url) {
  std::string lower = lower_ascii(url);
  if (lower.empty() || lower.back() != '/') lower.push_back('/');
  if (lower.rfind("https://", 0) != 0 && lower.find("http://") == std::string::npos) {
    lower.insert(0, "http://");
  }
  size_t marker = lower.find("://");
  size_t start = marker == std::string::npos ? 0 : marker + 3;
  size_t slash = lower.find('/', start);
  return lower.substr(start, slash - start);
}

struct CodeFree {
  void operator()(pcre2_code* code) const noexcept { pcre2_code_free(code); }
};
struct MatchDataFree {
  void operator()(pcre2_match_data* data) const noexcept { pcre2_match_data_free(data); }
};

// Compiled once for the process; a compiled pattern may be matched from any
// thread, each with its own match data.
const pcre2_code* meta_charset_pattern() {
  static const std::unique_ptr<pcre2_code, CodeFree> code = [] {
    static constexpr char kPattern[] = R"(<meta.+?charset=[^\w]?([-\w]+))";
    int error = 0;
    PCRE2_SIZE offset = 0;
    pcre2_code* compiled =
        pcre2_compile(reinterpret_cast<PCRE2_SPTR>(kPattern), PCRE2_ZERO_TERMINATED, PCRE2_CASELESS,
                      &error, &offset, nullptr);
    if (compiled) pcre2_jit_compile(compiled, PCRE2_JIT_COMPLETE);
    return std::unique_ptr<pcre2_code, CodeFree>(compiled);
  }();
  return code.get();
}

}  // namespace

bool contains_no_case(std::string_view haystack, std::string_view needle) noexcept {
  return find_no_case(haystack, needle) != std::string_view::npos;
}

std::size_t find_no_case(std::string_view haystack, std::string_view needle,
                         std::size_t pos) noexcept {
  if (pos > haystack.size() || needle.size() > haystack.size() - pos) {
    return needle.empty() && pos <= haystack.size() ? pos : std::string_view::npos;
  }
  for (size_t i = pos; i + needle.size() <= haystack.size(); ++i) {
    size_t k = 0;
    while (k < needle.size() && ascii_lower(haystack[i + k]) == ascii_lower(needle[k])) ++k;
    if (k == needle.size()) return i;
  }
  return std::string_view::npos;
}

std::string normalize_header_list(std::string_view list) {
  std::vector<std::string> lines;
  for (std::string_view line : split_all(list, kCrLf)) {
    size_t colon = line.find(':');
    if (colon == std::string_view::npos) continue;
    std::string name(line.substr(0, colon));
    bool piece_start = true;
    for (char& c : name) {
      if (c == '-') {
        piece_start = true;
      } else {
        if (piece_start) c = ascii_upper(c);
        piece_start = false;
      }
    }
    name.append(line.substr(colon));
    lines.push_back(std::move(name));
  }
  return join(lines, kCrLf);
}

std::string collect_set_cookies(std::string_view raw_headers) {
  std::vector<std::string> values;
  for (std::string_view line : split_all(raw_headers, kCrLf)) {
    size_t sep = line.find(": ");
    if (sep == std::string_view::npos || line.substr(0, sep) != "Set-Cookie") continue;
    std::string_view rest = line.substr(sizeof("Set-Cookie:") - 1);
    rest = trim_spaces(rest.substr(0, rest.find(';')));
    // An empty first item would leave a stray "; " in the cookie text.
    if (!rest.empty()) values.emplace_back(rest);
  }
  return join(values, "; ");
}

std::string merge_cookie_texts(std::string_view old_cookies, std::string_view new_cookies) {
  std::vector<std::string> fresh = cookie_items(new_cookies);
  std::vector<std::string> merged = fresh;
  for (std::string& item : cookie_items(old_cookies)) {
    std::string_view name = cookie_name(item);
    bool replaced = std::any_of(fresh.begin(), fresh.end(),
                                [&](const std::string& f) { return cookie_name(f) == name; });
    if (!replaced) merged.push_back(std::move(item));
  }
  std::vector<std::string> kept;
  for (std::string& item : merged) {
    std::string_view view(item);
    if (view.size() >= 8 && view.substr(view.size() - 8) == "=deleted") continue;
    if (std::find(kept.begin(), kept.end(), item) != kept.end()) continue;
    kept.push_back(std::move(item));
  }
  return join(kept, "; ");
}

std::string url_host(std::string_view url) {
  std::string host = host_and_port(url);
  return host.substr(0, host.find(':'));
}

int url_port(std::string_view url) {
  std::string host = host_and_port(url);
  size_t colon = host.rfind(':');
  if (colon != std::string::npos) return text::read_leading_int(host.substr(colon + 1));
  return lower_ascii(url).rfind("https", 0) == 0 ? 443 : 80;
}

std::string url_path(std::string_view url) {
  std::string host = url_host(url);
  // Look for the host after the scheme, so a host such as "h" or "tp" is not
  // found inside "http://" itself.
  size_t marker = url.find("://");
  size_t from = marker == std::string_view::npos ? 0 : marker + 3;
  size_t at = find_no_case(url, host, from);
  if (at == std::string_view::npos) return "/";
  size_t slash = url.find('/', at + host.size());
  if (slash == std::string_view::npos) return "/";
  return std::string(url.substr(slash));
}

std::string find_meta_charset(std::string_view page_bytes) {
  const pcre2_code* code = meta_charset_pattern();
  if (!code) return {};
  std::unique_ptr<pcre2_match_data, MatchDataFree> match(
      pcre2_match_data_create_from_pattern(code, nullptr));
  if (!match) return {};
  std::string_view head = page_bytes.substr(0, 1024);
  int rc = pcre2_match(code, reinterpret_cast<PCRE2_SPTR>(head.data()), head.size(), 0, 0,
                       match.get(), nullptr);
  if (rc < 2) return {};
  const PCRE2_SIZE* ovector = pcre2_get_ovector_pointer(match.get());
  if (ovector[2] == PCRE2_UNSET || ovector[3] < ovector[2]) return {};
  return std::string(head.substr(ovector[2], ovector[3] - ovector[2]));
}

std::string decode_page_text(std::string_view page_bytes) {
  std::string charset = find_meta_charset(page_bytes);
  std::string decoded;
  if (!charset.empty() && text::charset_to_gbk(page_bytes, charset, decoded)) return decoded;
  return std::string(page_bytes);
}

}  // namespace lumora::fetch
