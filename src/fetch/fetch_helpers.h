#pragma once
// Pure helpers shared by fetch_page, fetch_data and fetch_plain: header lists,
// cookie texts, URL parts and the page charset. Texts are GBK byte strings; the
// header and cookie syntax they look at is ASCII, and only ASCII letters
// change case.
#include <cstddef>
#include <string>
#include <string_view>

namespace lumora::fetch {

// A header list is one text of lines separated by CR LF ("Name: value").
inline constexpr std::string_view kCrLf = "\r\n";

// Re-capitalises header names: the first character of the name, and of every
// piece between "-", is upper-cased; the rest keeps its case. Lines without a
// colon are dropped. Lines are joined with CR LF, none after the last.
//   "x-requested-with: 1\r\nnocolon" -> "X-Requested-With: 1"
std::string normalize_header_list(std::string_view list);

// The cookies a raw response header text sets: for every line whose name
// (before the first ": ") is exactly "Set-Cookie", its first item (up to the
// first ";"), trimmed; joined with "; ". Empty when there are none.
std::string collect_set_cookies(std::string_view raw_headers);

// Merges the cookies that were sent (old_cookies) with those received
// (new_cookies): received items first, then every sent item whose name no
// received item has; items ending in "=deleted" are dropped and exact
// duplicates collapse. "a=1; c=3" + "a=9; d=deleted" -> "a=9; c=3".
std::string merge_cookie_texts(std::string_view old_cookies, std::string_view new_cookies);

// True when needle occurs in haystack, ASCII letters compared without case.
bool contains_no_case(std::string_view haystack, std::string_view needle) noexcept;

// Position of needle in haystack from pos on, ASCII letters compared without
// case; npos when absent.
std::size_t find_no_case(std::string_view haystack, std::string_view needle,
                         std::size_t pos = 0) noexcept;

// Host, port and path of a URL the way fetch_plain reads it: the host is
// lower-cased and has no port; the port is the number after the host's last
// ":", else 443 for https and 80 otherwise; the path runs from the first "/"
// after the host to the end (query included, letter case kept), "/" when
// there is none. A URL without a scheme is read as http.
std::string url_host(std::string_view url);
int url_port(std::string_view url);
std::string url_path(std::string_view url);

// The charset a page declares in a meta tag within its first 1024 bytes
// (case-insensitive "<meta.+?charset=[^\w]?([-\w]+)"); empty when none.
std::string find_meta_charset(std::string_view page_bytes);

// The page as GBK text: decoded from the charset its meta tag declares, or
// the bytes unchanged when it declares none or one iconv does not know.
std::string decode_page_text(std::string_view page_bytes);

}  // namespace lumora::fetch
