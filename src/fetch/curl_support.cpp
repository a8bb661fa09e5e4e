#include "fetch/curl_support.h"

#include <algorithm>
#include <atomic>
#include <mutex>

#include "fetch/fetch.h"
#include "fetch/fetch_helpers.h"

namespace lumora::fetch {

namespace {
std::atomic<bool> verify_certificates{true};
}  // namespace

void set_fetch_verify_certificates(bool verify) noexcept {
  verify_certificates = verify;
}
bool fetch_verify_certificates() noexcept {
  return verify_certificates;
}

const char* http_method_name(int method) noexcept {
  static constexpr const char* kNames[] = {"GET",     "POST",   "HEAD",  "PUT",
                                           "OPTIONS", "DELETE", "TRACE", "CONNECT"};
  return (method < kGet || method > kConnect) ? kNames[kGet] : kNames[method];
}

FetchRequest::FetchRequest() {
  if (detail::global_init()) handle_ = curl_easy_init();
}

FetchRequest::~FetchRequest() {
  if (handle_) curl_easy_cleanup(static_cast<CURL*>(handle_));
}

}  // namespace lumora::fetch

namespace lumora::fetch::detail {

namespace {

bool is_informational(std::string_view status) {
  size_t space = status.find(' ');
  return space != std::string_view::npos && space + 1 < status.size() && status[space + 1] == '1';
}

size_t on_header(char* data, size_t size, size_t count, void* user) noexcept {
  auto& received = *static_cast<Received*>(user);
  size_t length = size * count;
  std::string_view line(data, length);
  if (line.starts_with("HTTP/")) {
    // A new response (after a redirect or an interim 1xx) replaces the last.
    received.headers.clear();
    received.body.clear();
    received.headers_complete = false;
    if (!is_informational(line)) ++received.final_responses;
  }
  if (received.headers.size() + length > received.max_header_bytes) {
    received.headers_over_limit = true;
    return 0;
  }
  try {
    received.headers.append(line);
  } catch (...) {
    return 0;
  }
  if ((line == "\r\n" || line == "\n") && !is_informational(status_line(received.headers))) {
    received.headers_complete = true;
  }
  return length;
}

size_t on_body(char* data, size_t size, size_t count, void* user) noexcept {
  auto& received = *static_cast<Received*>(user);
  size_t length = size * count;
  if (received.body.size() + length > received.max_body_bytes) {
    received.body_over_limit = true;
    return 0;
  }
  try {
    received.body.append(data, length);
  } catch (...) {
    return 0;
  }
  return length;
}

bool ok(CURLcode code) {
  return code == CURLE_OK;
}

}  // namespace

bool global_init() noexcept {
  static std::once_flag once;
  static bool initialised = false;
  try {
    std::call_once(once, [] { initialised = curl_global_init(CURL_GLOBAL_DEFAULT) == CURLE_OK; });
  } catch (...) {
    return false;
  }
  return initialised;
}

bool collect_into(CURL* handle, Received& received) {
  return ok(curl_easy_setopt(handle, CURLOPT_HEADERFUNCTION, &on_header)) &&
         ok(curl_easy_setopt(handle, CURLOPT_HEADERDATA, &received)) &&
         ok(curl_easy_setopt(handle, CURLOPT_WRITEFUNCTION, &on_body)) &&
         ok(curl_easy_setopt(handle, CURLOPT_WRITEDATA, &received));
}

bool set_common_options(CURL* handle) {
  return ok(curl_easy_setopt(handle, CURLOPT_NOSIGNAL, 1L)) &&
         ok(curl_easy_setopt(handle, CURLOPT_PROTOCOLS_STR, "http,https")) &&
         ok(curl_easy_setopt(handle, CURLOPT_REDIR_PROTOCOLS_STR, "http,https")) &&
         ok(curl_easy_setopt(handle, CURLOPT_HTTP_VERSION, long{CURL_HTTP_VERSION_1_1})) &&
         // An empty proxy text also keeps http_proxy and the like from the
         // environment out: an empty proxy argument means direct.
         ok(curl_easy_setopt(handle, CURLOPT_PROXY, "")) &&
         ok(curl_easy_setopt(handle, CURLOPT_SUPPRESS_CONNECT_HEADERS, 1L)) &&
         ok(curl_easy_setopt(handle, CURLOPT_MAXREDIRS, 10L));
}

bool set_certificate_options(CURL* handle) {
  long verify = fetch_verify_certificates() ? 1L : 0L;
  long verify_host = verify ? 2L : 0L;
  return ok(curl_easy_setopt(handle, CURLOPT_SSL_VERIFYPEER, verify)) &&
         ok(curl_easy_setopt(handle, CURLOPT_SSL_VERIFYHOST, verify_host)) &&
         ok(curl_easy_setopt(handle, CURLOPT_PROXY_SSL_VERIFYPEER, verify)) &&
         ok(curl_easy_setopt(handle, CURLOPT_PROXY_SSL_VERIFYHOST, verify_host));
}

bool set_phase_timeout(CURL* handle, long timeout_ms) {
  long seconds = std::max(1L, (timeout_ms + 999) / 1000);
  return ok(curl_easy_setopt(handle, CURLOPT_CONNECTTIMEOUT_MS, timeout_ms)) &&
         ok(curl_easy_setopt(handle, CURLOPT_LOW_SPEED_LIMIT, 1L)) &&
         ok(curl_easy_setopt(handle, CURLOPT_LOW_SPEED_TIME, seconds));
}

bool set_method(CURL* handle, int method, std::string_view body, bool send_body) {
  if (method < kGet || method > kConnect) method = kGet;
  if (method == kHead) return ok(curl_easy_setopt(handle, CURLOPT_NOBODY, 1L));
  if (send_body && !body.empty()) {
    if (!ok(curl_easy_setopt(handle, CURLOPT_POSTFIELDSIZE_LARGE,
                             static_cast<curl_off_t>(body.size()))) ||
        !ok(curl_easy_setopt(handle, CURLOPT_POSTFIELDS, body.data()))) {
      return false;
    }
    return method == kPost ||
           ok(curl_easy_setopt(handle, CURLOPT_CUSTOMREQUEST, http_method_name(method)));
  }
  if (method == kGet) return ok(curl_easy_setopt(handle, CURLOPT_HTTPGET, 1L));
  if (method == kPost) {
    return ok(curl_easy_setopt(handle, CURLOPT_POSTFIELDSIZE_LARGE, curl_off_t{0})) &&
           ok(curl_easy_setopt(handle, CURLOPT_POSTFIELDS, ""));
  }
  return ok(curl_easy_setopt(handle, CURLOPT_CUSTOMREQUEST, http_method_name(method)));
}

bool set_follow_redirects(CURL* handle, bool follow) {
  return ok(curl_easy_setopt(handle, CURLOPT_FOLLOWLOCATION, follow ? 1L : 0L));
}

std::string_view status_line(std::string_view raw_headers) {
  size_t end = raw_headers.find('\n');
  std::string_view line = raw_headers.substr(0, end);
  if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
  return line;
}

std::string_view header_lines(std::string_view raw_headers) {
  size_t end = raw_headers.find('\n');
  return end == std::string_view::npos ? std::string_view() : raw_headers.substr(end + 1);
}

std::vector<std::string> header_lines_of(std::string_view list) {
  std::vector<std::string> lines;
  size_t start = 0;
  while (start <= list.size()) {
    size_t at = list.find("\r\n", start);
    std::string_view line =
        list.substr(start, at == std::string_view::npos ? std::string_view::npos : at - start);
    if (!line.empty()) lines.emplace_back(line);
    if (at == std::string_view::npos) break;
    start = at + 2;
  }
  return lines;
}

std::string curl_header_line(std::string_view name, std::string_view value) {
  std::string line(name);
  if (value.empty()) {
    line.push_back(';');
  } else {
    line.append(": ").append(value);
  }
  return line;
}

bool add_client_header_guards(HeaderSList& headers, const std::vector<std::string>& names) {
  for (std::string_view own : {"Accept", "Content-Type", "Expect"}) {
    bool present = std::any_of(names.begin(), names.end(), [&](const std::string& name) {
      return name.size() == own.size() && find_no_case(name, own) == 0;
    });
    if (!present && !headers.append(std::string(own) + ":")) return false;
  }
  return true;
}

bool split_header(std::string_view line, std::string_view& name, std::string_view& value) {
  size_t colon = line.find(':');
  if (colon == std::string_view::npos) return false;
  auto trim = [](std::string_view s) {
    while (!s.empty() && (s.front() == ' ' || s.front() == '\t')) s.remove_prefix(1);
    while (!s.empty() && (s.back() == ' ' || s.back() == '\t')) s.remove_suffix(1);
    return s;
  };
  name = trim(line.substr(0, colon));
  value = trim(line.substr(colon + 1));
  return true;
}

bool failed_before_sending(CURL* handle, CURLcode code) {
  switch (code) {
    case CURLE_UNSUPPORTED_PROTOCOL:
    case CURLE_URL_MALFORMAT:
    case CURLE_COULDNT_RESOLVE_PROXY:
    case CURLE_COULDNT_RESOLVE_HOST:
    case CURLE_COULDNT_CONNECT:
    case CURLE_SSL_CONNECT_ERROR:
    case CURLE_PEER_FAILED_VERIFICATION:
    case CURLE_SEND_ERROR:
    case CURLE_SSL_CERTPROBLEM:
    case CURLE_SSL_CIPHER:
    case CURLE_SSL_CACERT_BADFILE:
    case CURLE_SSL_ISSUER_ERROR:
    case CURLE_SSL_PINNEDPUBKEYNOTMATCH:
    case CURLE_SSL_INVALIDCERTSTATUS:
    case CURLE_USE_SSL_FAILED:
    case CURLE_PROXY:
    case CURLE_LOGIN_DENIED:
    case CURLE_TOO_MANY_REDIRECTS:
    case CURLE_OUT_OF_MEMORY:
      return true;
    case CURLE_OPERATION_TIMEDOUT: {
      curl_off_t connect_us = 0;
      curl_easy_getinfo(handle, CURLINFO_CONNECT_TIME_T, &connect_us);
      return connect_us == 0;
    }
    default:
      return false;
  }
}

bool response_arrived(CURL* handle, const Received& received) {
  if (!received.headers_complete) return false;
  long redirects = 0;
  curl_easy_getinfo(handle, CURLINFO_REDIRECT_COUNT, &redirects);
  // After a followed redirect the headers held are the redirect's own until
  // the next response starts.
  return received.final_responses > redirects;
}

}  // namespace lumora::fetch::detail
