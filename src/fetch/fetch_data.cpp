#include <string>
#include <utility>
#include <vector>

#include "fetch/curl_support.h"
#include "fetch/fetch.h"
#include "fetch/fetch_helpers.h"

namespace lumora::fetch {

namespace {

constexpr long kDataTimeoutMs = 15000;
constexpr std::size_t kMaxHeaderBytes = std::size_t{1} << 20;

std::string remove_cookie_markers(std::string_view cookies) {
  std::string text(cookies);
  for (size_t at; (at = find_no_case(text, "Cookie:")) != std::string::npos;) text.erase(at, 7);
  size_t first = text.find_first_not_of(" \t");
  size_t last = text.find_last_not_of(" \t");
  return first == std::string::npos ? std::string() : text.substr(first, last - first + 1);
}

// Request headers by name, a later value replacing an earlier one in place.
struct HeaderSet {
  std::vector<std::pair<std::string, std::string>> items;
  void set(std::string_view name, std::string_view value) {
    for (auto& item : items) {
      if (item.first.size() == name.size() && find_no_case(item.first, name) == 0) {
        item.second.assign(value);
        return;
      }
    }
    items.emplace_back(std::string(name), std::string(value));
  }
};

std::string build_header_list(std::string_view url, const FetchDataOptions& o) {
  std::string list = o.headers;
  if (o.add_default_headers) {
    const std::string referer = "Referer: " + std::string(url);
    const std::pair<std::string_view, std::string_view> defaults[] = {
        {"Accept:", "Accept: */*"},
        {"Referer:", referer},
        {"Accept-Language:", "Accept-Language: zh-cn"},
        {"User-Agent:", "User-Agent: Mozilla/4.0 (compatible; MSIE 9.0; Windows NT 6.1)"},
        {"Content-Type:", "Content-Type: application/x-www-form-urlencoded"},
    };
    for (const auto& [test, line] : defaults) {
      if (test == "Content-Type:" && o.method != kPost) continue;
      if (!contains_no_case(list, test)) list.append(kCrLf).append(line);
    }
  }
  if (o.normalize_header_names) list = normalize_header_list(list);
  return list;
}

std::string run_fetch_data(const std::string& url, const FetchDataOptions& o,
                           FetchDataOutputs& out) {
  if (!detail::global_init()) return {};
  detail::EasyHandle easy;
  if (o.request_object) {
    if (!o.request_object->ok()) return {};
    easy.handle = detail::RequestAccess::handle(*o.request_object);
    easy.owned = false;
    // Options start afresh; open connections stay for reuse.
    curl_easy_reset(easy.handle);
  } else {
    easy.handle = curl_easy_init();
  }
  detail::Received received;
  received.max_body_bytes = o.max_body_bytes;
  received.max_header_bytes = kMaxHeaderBytes;
  if (!easy.handle || !detail::set_common_options(easy.handle) ||
      !detail::collect_into(easy.handle, received)) {
    return {};
  }

  long timeout_ms = 0;
  if (o.timeout_s == -1) {
    timeout_ms = o.request_object ? o.request_object->timeout_ms() : 0;
  } else {
    timeout_ms = o.timeout_s < 1 ? kDataTimeoutMs : static_cast<long>(o.timeout_s) * 1000;
    if (o.request_object) o.request_object->set_timeout_ms(timeout_ms);
  }
  // Each setting below that fails makes the transfer fail, which is then
  // reported like any failed send: empty bytes, no headers, status 0.
  bool ready = timeout_ms <= 0 || detail::set_phase_timeout(easy.handle, timeout_ms);
  if (!o.proxy.empty()) {
    ready = ready && curl_easy_setopt(easy.handle, CURLOPT_PROXY, o.proxy.c_str()) == CURLE_OK;
  }
  ready = ready && url.find('\0') == std::string::npos &&
          curl_easy_setopt(easy.handle, CURLOPT_URL, url.c_str()) == CURLE_OK &&
          detail::set_follow_redirects(easy.handle, !o.no_redirect) &&
          detail::set_certificate_options(easy.handle);

  if (!o.proxy.empty() && !o.proxy_user.empty()) {
    // libcurl writes "Proxy-Authorization: Basic base64(user:password)" itself,
    // and only towards the proxy (also inside a tunnel's CONNECT).
    if (o.proxy_auth_target == 1) {
      ready =
          ready &&
          curl_easy_setopt(easy.handle, CURLOPT_PROXYUSERNAME, o.proxy_user.c_str()) == CURLE_OK &&
          curl_easy_setopt(easy.handle, CURLOPT_PROXYPASSWORD, o.proxy_password.c_str()) ==
              CURLE_OK &&
          curl_easy_setopt(easy.handle, CURLOPT_PROXYAUTH, CURLAUTH_BASIC) == CURLE_OK;
    } else {
      ready =
          ready &&
          curl_easy_setopt(easy.handle, CURLOPT_USERNAME, o.proxy_user.c_str()) == CURLE_OK &&
          curl_easy_setopt(easy.handle, CURLOPT_PASSWORD, o.proxy_password.c_str()) == CURLE_OK &&
          curl_easy_setopt(easy.handle, CURLOPT_HTTPAUTH, CURLAUTH_BASIC) == CURLE_OK;
    }
  }

  std::string sent_cookies;
  HeaderSet set;
  if (o.cookies) {
    sent_cookies = remove_cookie_markers(*o.cookies);
    // An empty Cookie header is no header at all.
    if (!sent_cookies.empty()) set.set("Cookie", sent_cookies);
  }
  for (const std::string& line : detail::header_lines_of(build_header_list(url, o))) {
    std::string_view name, value;
    if (line.find_first_of("\r\n") != std::string::npos) continue;
    if (!detail::split_header(line, name, value) || name.empty()) continue;
    if (name.size() == 10 && find_no_case(name, "Connection") == 0 && value == "keep-alive") {
      continue;
    }
    set.set(name, value);
  }
  detail::HeaderSList headers;
  std::vector<std::string> names;
  for (const auto& [name, value] : set.items) {
    ready = ready && headers.append(detail::curl_header_line(name, value));
    names.push_back(name);
  }
  ready = ready && detail::add_client_header_guards(headers, names);
  ready = ready && curl_easy_setopt(easy.handle, CURLOPT_HTTPHEADER, headers.list) == CURLE_OK;
  const std::string& body = o.body_bytes.empty() ? o.body_text : o.body_bytes;
  ready = ready && detail::set_method(easy.handle, o.method, body, true);

  std::string result;
  out.headers_out.clear();
  out.status_code = 0;
  if (ready && curl_easy_perform(easy.handle) == CURLE_OK) {
    long code = 0;
    curl_easy_getinfo(easy.handle, CURLINFO_RESPONSE_CODE, &code);
    out.status_code = static_cast<int>(code);
    out.headers_out = std::string(detail::header_lines(received.headers));
    result = std::move(received.body);
  }
  out.cookies_out = collect_set_cookies(out.headers_out);
  if (o.merge_cookies && o.cookies)
    out.cookies_out = merge_cookie_texts(sent_cookies, out.cookies_out);
  // A supplied object must not keep pointers into this call's buffers.
  if (!easy.owned) curl_easy_reset(easy.handle);
  return result;
}

}  // namespace

std::string fetch_data(std::string_view url, const FetchDataOptions& options,
                       FetchDataOutputs* outputs) {
  FetchDataOutputs scratch;
  FetchDataOutputs& out = outputs ? *outputs : scratch;
  return detail::run_without_throwing(
      [&] { return run_fetch_data(std::string(url), options, out); });
}

}  // namespace lumora::fetch
