#include <string>
#include <vector>

#include "fetch/curl_support.h"
#include "fetch/fetch.h"
#include "fetch/fetch_helpers.h"

namespace lumora::fetch {

namespace {

constexpr std::size_t kMaxRawHeaderBytes = 5000;
constexpr std::size_t kMaxHeaderBytes = std::size_t{1} << 20;
constexpr std::string_view kDefaultUserAgent = "Mozilla/4.0 (compatible; MSIE 9.0; Windows NT 6.1)";

std::string user_agent_of(std::string_view list) {
  size_t at = find_no_case(list, "User-Agent:");
  if (at == std::string_view::npos) return std::string(kDefaultUserAgent);
  std::string_view rest = list.substr(at + 11);
  rest = rest.substr(0, rest.find(kCrLf));
  while (!rest.empty() && (rest.front() == ' ' || rest.front() == '\t')) rest.remove_prefix(1);
  while (!rest.empty() && (rest.back() == ' ' || rest.back() == '\t')) rest.remove_suffix(1);
  return std::string(rest);
}

bool starts_with_no_case(std::string_view text, std::string_view prefix) {
  return text.size() >= prefix.size() && find_no_case(text.substr(0, prefix.size()), prefix) == 0;
}

std::string build_header_list(std::string_view url, std::string list, const FetchPlainOptions& o) {
  if (o.add_default_headers) {
    if (list.empty()) list = "Accept: */*";
    const std::string referer = "Referer: " + std::string(url);
    const std::pair<std::string_view, std::string_view> defaults[] = {
        {"Accept:", "Accept: */*"},
        {"Referer:", referer},
        {"Accept-Language:", "Accept-Language: zh-cn"},
        {"Content-Type:", "Content-Type: application/x-www-form-urlencoded"},
    };
    for (const auto& [test, line] : defaults) {
      if (test == "Content-Type:" && o.method != kPost) continue;
      if (!contains_no_case(list, test)) list.append(kCrLf).append(line);
    }
  }
  if (o.cookies && !o.cookies->empty()) {
    list.append(kCrLf);
    if (o.cookies->find("Cookie:") != std::string::npos) {
      list.append(*o.cookies);
    } else {
      list.append("Cookie: ").append(*o.cookies);
    }
  }
  return list;
}

std::string run_fetch_plain(const std::string& url, const FetchPlainOptions& o,
                            FetchPlainOutputs& out) {
  if (!detail::global_init()) return {};
  std::string list = o.headers;
  if (o.normalize_header_names) list = normalize_header_list(list);
  bool secure = starts_with_no_case(url, "https://");
  std::string user_agent = user_agent_of(list);

  // The session.
  detail::EasyHandle easy;
  easy.handle = curl_easy_init();
  detail::Received received;
  received.max_body_bytes = o.max_body_bytes;
  received.max_header_bytes = kMaxHeaderBytes;
  if (!easy.handle || !detail::set_common_options(easy.handle) ||
      !detail::collect_into(easy.handle, received) ||
      curl_easy_setopt(easy.handle, CURLOPT_USERAGENT, user_agent.c_str()) != CURLE_OK) {
    return {};
  }
  if (!o.proxy.empty()) {
    if (curl_easy_setopt(easy.handle, CURLOPT_PROXY, o.proxy.c_str()) != CURLE_OK) return {};
    if (o.socks_proxy && curl_easy_setopt(easy.handle, CURLOPT_PROXYTYPE,
                                          long{CURLPROXY_SOCKS5_HOSTNAME}) != CURLE_OK) {
      return {};
    }
  }

  // The connection: host and port as read from the URL.
  std::string host = url_host(url);
  int port = url_port(url);
  if (host.empty() || port < 1 || port > 65535 ||
      host.find_first_of("\r\n\t /?#@\\") != std::string::npos) {
    return {};
  }

  // The request.
  std::string target = std::string(secure ? "https://" : "http://") + host + ":" +
                       std::to_string(port) + url_path(url);
  const std::string& body = o.body_bytes.empty() ? o.body_text : o.body_bytes;
  if (target.find('\0') != std::string::npos ||
      curl_easy_setopt(easy.handle, CURLOPT_URL, target.c_str()) != CURLE_OK ||
      !detail::set_method(easy.handle, o.method, body, o.method != kGet) ||
      !detail::set_follow_redirects(easy.handle, !o.no_redirect) ||
      !detail::set_certificate_options(easy.handle) ||
      curl_easy_setopt(easy.handle, CURLOPT_CONNECTTIMEOUT_MS, kPlainConnectTimeoutMs) !=
          CURLE_OK ||
      curl_easy_setopt(easy.handle, CURLOPT_LOW_SPEED_LIMIT, 1L) != CURLE_OK ||
      curl_easy_setopt(easy.handle, CURLOPT_LOW_SPEED_TIME, kPlainIdleTimeoutMs / 1000) !=
          CURLE_OK) {
    return {};
  }

  list = build_header_list(url, std::move(list), o);
  detail::HeaderSList headers;
  std::vector<std::string> names;
  for (const std::string& line : detail::header_lines_of(list)) {
    std::string_view name, value;
    if (line.find_first_of("\r\n") != std::string::npos) continue;
    if (!detail::split_header(line, name, value) || name.empty()) continue;
    if (!headers.append(value.empty() ? detail::curl_header_line(name, value) : line)) return {};
    names.emplace_back(name);
  }
  if (!detail::add_client_header_guards(headers, names) ||
      curl_easy_setopt(easy.handle, CURLOPT_HTTPHEADER, headers.list) != CURLE_OK)
    return {};

  CURLcode code = curl_easy_perform(easy.handle);
  out.headers_out.clear();
  if (detail::response_arrived(easy.handle, received) &&
      received.headers.size() <= kMaxRawHeaderBytes) {
    out.headers_out = received.headers;
  }
  out.cookies_out = collect_set_cookies(out.headers_out);
  if (o.merge_cookies && o.cookies)
    out.cookies_out = merge_cookie_texts(*o.cookies, out.cookies_out);
  // A body cut short is no body: callers take what they get as complete.
  if (code != CURLE_OK) return {};
  return std::move(received.body);
}

}  // namespace

std::string fetch_plain(std::string_view url, const FetchPlainOptions& options,
                        FetchPlainOutputs* outputs) {
  FetchPlainOutputs scratch;
  FetchPlainOutputs& out = outputs ? *outputs : scratch;
  return detail::run_without_throwing(
      [&] { return run_fetch_plain(std::string(url), options, out); });
}

}  // namespace lumora::fetch
