#include <memory>
#include <string>
#include <vector>

#include "fetch/curl_support.h"
#include "fetch/fetch.h"
#include "fetch/fetch_helpers.h"
#include "text/literal.h"

namespace lumora::fetch {

namespace {

using namespace lumora::text::literals;

constexpr long kPageTimeoutMs = 30000;
constexpr std::size_t kMaxHeaderBytes = std::size_t{1} << 20;

struct UrlFree {
  void operator()(CURLU* url) const noexcept { curl_url_cleanup(url); }
};

// An absolute http or https URL with a host.
bool url_can_be_split(const std::string& url) {
  if (url.find('\0') != std::string::npos) return false;
  std::unique_ptr<CURLU, UrlFree> parts(curl_url());
  if (!parts || curl_url_set(parts.get(), CURLUPART_URL, url.c_str(), 0) != CURLUE_OK) return false;
  char* scheme = nullptr;
  char* host = nullptr;
  bool ok = curl_url_get(parts.get(), CURLUPART_SCHEME, &scheme, 0) == CURLUE_OK &&
            curl_url_get(parts.get(), CURLUPART_HOST, &host, 0) == CURLUE_OK && scheme && host &&
            *host && (std::string_view(scheme) == "http" || std::string_view(scheme) == "https");
  curl_free(scheme);
  curl_free(host);
  return ok;
}

// The request's header list, built from the caller's lines and the defaults.
std::string build_header_list(const FetchPageOptions& o) {
  std::string list = o.headers;
  if (!list.empty()) list.append(kCrLf);
  if (o.add_default_headers) {
    struct Default {
      std::string_view test;
      std::string_view line;
      bool post_only;
    };
    static constexpr Default kDefaults[] = {
        {"User-Agent: ",
         "User-Agent: Mozilla/5.0 (compatible; MSIE 9.0; Windows NT 6.1; WOW64; Trident/5.0)",
         false},
        {"Accept: ", "Accept: text/html, application/xhtml+xml, */*", false},
        {"Accept-Encoding: ", "Accept-Encoding: identity", false},
        {"Accept-Language: ", "Accept-Language: zh-cn", false},
        {"Content-Type:", "Content-Type: application/x-www-form-urlencoded", true},
        {"Cache-Control: ", "Cache-Control: no-cache", false},
    };
    for (const Default& d : kDefaults) {
      if (d.post_only && o.method != kPost) continue;
      if (contains_no_case(list, d.test)) continue;
      list.append(d.line).append(kCrLf);
    }
  }
  if (o.normalize_header_names) list = normalize_header_list(list);

  // A keep-alive Connection line is dropped wherever it stands.
  std::string kept;
  for (const std::string& line : detail::header_lines_of(list)) {
    std::string_view name, value;
    if (detail::split_header(line, name, value) && name.size() == 10 &&
        contains_no_case(name, "Connection") && value == "keep-alive") {
      continue;
    }
    if (!kept.empty()) kept.append(kCrLf);
    kept.append(line);
  }

  if (!o.cookies.empty() && !contains_no_case(kept, "Cookie:")) {
    if (!kept.empty()) kept.append(kCrLf);
    if (contains_no_case(o.cookies, "Cookie:")) {
      kept.append(o.cookies);
    } else {
      kept.append("Cookie: ").append(o.cookies);
    }
  }
  return kept;
}

// Turns the list into libcurl's lines; false when a line is not a header.
bool to_curl_headers(const std::string& list, detail::HeaderSList& headers) {
  std::vector<std::string> names;
  for (const std::string& line : detail::header_lines_of(list)) {
    std::string_view name, value;
    if (line.find_first_of("\r\n") != std::string::npos) return false;
    if (!detail::split_header(line, name, value) || name.empty()) return false;
    if (!headers.append(value.empty() ? detail::curl_header_line(name, value) : line)) return false;
    names.emplace_back(name);
  }
  return detail::add_client_header_guards(headers, names);
}

std::string run_fetch_page(const std::string& url, const FetchPageOptions& o,
                           FetchPageOutputs& out) {
  if (!detail::global_init()) {
    out.status_text = "700 当前系统不支持WinHttp服务!"_gbk;
    return {};
  }
  if (!url_can_be_split(url)) {
    out.status_text = "701 解析URL地址失败!"_gbk;
    return {};
  }

  detail::EasyHandle easy;
  easy.handle = curl_easy_init();
  detail::Received received;
  received.max_body_bytes = o.max_body_bytes;
  received.max_header_bytes = kMaxHeaderBytes;
  if (!easy.handle || !detail::set_common_options(easy.handle) ||
      !detail::collect_into(easy.handle, received) ||
      (!o.proxy.empty() &&
       curl_easy_setopt(easy.handle, CURLOPT_PROXY, o.proxy.c_str()) != CURLE_OK)) {
    out.status_text = "702 创建WinHttp会话失败!"_gbk;
    return {};
  }

  long timeout_ms = o.timeout_s > 0 ? static_cast<long>(o.timeout_s) * 1000 : kPageTimeoutMs;
  if (!detail::set_phase_timeout(easy.handle, timeout_ms)) {
    out.status_text = "705 设置超时时间失败!"_gbk;
    return {};
  }
  if (curl_easy_setopt(easy.handle, CURLOPT_URL, url.c_str()) != CURLE_OK) {
    out.status_text = "703 创建WinHttp连接失败!"_gbk;
    return {};
  }
  const std::string& body = o.body_bytes.empty() ? o.body_text : o.body_bytes;
  if (!detail::set_method(easy.handle, o.method, body, true)) {
    out.status_text = "704 创建WinHttp请求失败!"_gbk;
    return {};
  }

  bool credentials_ok = true;
  if (!o.server_user.empty() && !o.server_password.empty()) {
    credentials_ok =
        curl_easy_setopt(easy.handle, CURLOPT_USERNAME, o.server_user.c_str()) == CURLE_OK &&
        curl_easy_setopt(easy.handle, CURLOPT_PASSWORD, o.server_password.c_str()) == CURLE_OK &&
        curl_easy_setopt(easy.handle, CURLOPT_HTTPAUTH, CURLAUTH_BASIC) == CURLE_OK;
  }
  if (credentials_ok && !o.proxy_user.empty() && !o.proxy_password.empty()) {
    credentials_ok =
        curl_easy_setopt(easy.handle, CURLOPT_PROXYUSERNAME, o.proxy_user.c_str()) == CURLE_OK &&
        curl_easy_setopt(easy.handle, CURLOPT_PROXYPASSWORD, o.proxy_password.c_str()) ==
            CURLE_OK &&
        curl_easy_setopt(easy.handle, CURLOPT_PROXYAUTH, CURLAUTH_BASIC) == CURLE_OK;
  }
  if (!credentials_ok) {
    out.status_text = "707 设置代理凭证失败!"_gbk;
    return {};
  }
  if (!detail::set_certificate_options(easy.handle)) {
    out.status_text = "忽略错误/证书错误  失败！"_gbk;
    return {};
  }
  // The client handles cookies itself only when the caller sends some: then
  // cookies set along a redirect chain go on to the next request. An empty
  // text enables an in-memory cookie store private to this handle.
  if (!o.cookies.empty() && curl_easy_setopt(easy.handle, CURLOPT_COOKIEFILE, "") != CURLE_OK) {
    out.status_text = "708 禁止自动设置Cookies失败!"_gbk;
    return {};
  }
  if (!detail::set_follow_redirects(easy.handle, !o.no_redirect)) {
    out.status_text = "709 重定向设置失败!"_gbk;
    return {};
  }

  std::string list = build_header_list(o);
  detail::HeaderSList headers;
  if (!to_curl_headers(list, headers) ||
      curl_easy_setopt(easy.handle, CURLOPT_HTTPHEADER, headers.list) != CURLE_OK) {
    out.status_text = "710 设置协议头失败!"_gbk;
    return {};
  }

  CURLcode code = curl_easy_perform(easy.handle);
  bool read_failed = false;
  if (code != CURLE_OK) {
    if (detail::response_arrived(easy.handle, received)) {
      // The response came but its body did not arrive whole.
      out.status_text = "713 读取数据失败!"_gbk;
      read_failed = true;
    } else {
      out.status_text = detail::failed_before_sending(easy.handle, code) ? "711 发送请求失败!"_gbk
                                                                         : "712 服务器未响应!"_gbk;
      return {};
    }
  }
  if (received.headers.empty()) return {};

  out.headers_out = received.headers;
  if (!read_failed) {
    std::string_view status = detail::status_line(received.headers);
    size_t space = status.find(' ');
    out.status_text =
        space == std::string_view::npos ? std::string() : std::string(status.substr(space + 1));
  }
  out.cookies_out = collect_set_cookies(received.headers);
  for (const std::string& line : detail::header_lines_of(received.headers)) {
    if (find_no_case(line, "Location: ") == 0) out.location = line.substr(10);
  }
  if (o.merge_cookies && !o.cookies.empty()) {
    out.cookies_out = merge_cookie_texts(o.cookies, out.cookies_out);
  }
  out.response_bytes = received.body;
  // A truncated page is no page: the caller sees 713 and an empty result.
  if (read_failed) return {};
  return decode_page_text(received.body);
}

}  // namespace

std::string fetch_page(std::string_view url, const FetchPageOptions& options,
                       FetchPageOutputs* outputs) {
  FetchPageOutputs scratch;
  FetchPageOutputs& out = outputs ? *outputs : scratch;
  return detail::run_without_throwing(
      [&] { return run_fetch_page(std::string(url), options, out); });
}

}  // namespace lumora::fetch
