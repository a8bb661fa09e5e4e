#pragma once
// Outgoing HTTP(S) requests. Three operations share one option model:
//
//   fetch_page  - the body as GBK text, decoded from the charset the page
//                 declares; every failed step leaves a numbered text in
//                 status_text.
//   fetch_data  - the body bytes and the status code.
//   fetch_plain - the body bytes; can go through a SOCKS proxy.
//
// Each call takes the URL, an options struct (every member optional, the
// defaults are the operations' defaults) and, when the caller wants them, an
// outputs struct it writes into. Outputs a call does not reach keep the values
// the caller put there. The result is the body; empty on failure.
//
//   std::string bytes = lumora::fetch::fetch_data(url);
//
//   lumora::fetch::FetchDataOptions options;
//   options.method = lumora::fetch::kPost;
//   options.body_text = "a=1";
//   lumora::fetch::FetchDataOutputs out;
//   bytes = lumora::fetch::fetch_data(url, options, &out);  // out.status_code ...
//
// (Set members one by one: GCC 12 warns, -Wmissing-field-initializers, on a
// designated initializer that leaves members out.)
//
// Texts (URL, headers, cookies, credentials) are GBK byte strings, ASCII in
// practice; bodies are bytes. Calls block the calling thread; any number may
// run at once on different threads (each uses its own client handle).
//
// Certificates of https servers and https proxies are verified against the
// system's trust store unless set_fetch_verify_certificates(false) was called:
// one process-wide setting, so the program can switch it off from its own
// settings for a network whose middle box re-signs traffic, without every
// caller carrying it.
#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

namespace lumora::fetch {

namespace detail {
struct RequestAccess;
}

// Method codes. Any code below 0 or above 7 sends GET; only kPost brings the
// default form content type.
enum HttpMethod : int {
  kGet = 0,
  kPost = 1,
  kHead = 2,
  kPut = 3,
  kOptions = 4,
  kDelete = 5,
  kTrace = 6,
  kConnect = 7,
};

// "GET", "POST", ... for a method code; "GET" for a code out of range.
const char* http_method_name(int method) noexcept;

// Bodies larger than this are refused (the call fails as a failed read), so a
// hostile or broken server cannot exhaust memory.
inline constexpr std::size_t kDefaultMaxBodyBytes = std::size_t{64} << 20;

// Process-wide: verify server (and https proxy) certificates. Default true.
void set_fetch_verify_certificates(bool verify) noexcept;
bool fetch_verify_certificates() noexcept;

// ---------------------------------------------------------------- fetch_page

struct FetchPageOptions {
  int method = kGet;
  std::string body_text;   // sent as its bytes when body_bytes is empty
  std::string body_bytes;  // sent when non-empty
  // "name=value; name2=value2", or a whole "Cookie: ..." line. Non-empty
  // cookies also let the client carry cookies set along a redirect chain.
  std::string cookies;
  std::string headers;  // extra request lines, CR LF separated
  bool no_redirect = false;
  std::string server_user, server_password;  // Basic credentials for the server
  std::string proxy;                         // host:port; empty goes direct
  std::string proxy_user, proxy_password;    // Basic credentials for the proxy
  // Seconds for each phase (resolve, connect, send, wait and each read); 0 or
  // below means 30.
  int timeout_s = 0;
  bool merge_cookies = true;
  // Adds, when absent: User-Agent, Accept, Accept-Encoding, Accept-Language,
  // Content-Type (POST only), Cache-Control, in that order.
  bool add_default_headers = true;
  bool normalize_header_names = true;
  std::size_t max_body_bytes = kDefaultMaxBodyBytes;
};

struct FetchPageOutputs {
  std::string cookies_out;     // cookies set by the response, merged with the sent ones
  std::string headers_out;     // raw response headers, status line first
  std::string status_text;     // "200 OK", or the text of the step that failed
  std::string location;        // the response's Location value
  std::string response_bytes;  // the body bytes as received
};

// Error texts of fetch_page (GBK once converted; written into status_text).
// 700 client unavailable, 701 URL, 702 session, 705 timeouts, 703 connection,
// 704 request, 707 credentials, certificate option, 708 cookie option,
// 709 redirect option, 710 header list refused, 711 request not sent (also a
// host that cannot be reached), 712 no response, 713 body read failed.
//
// On a failed body read (713, also a body over max_body_bytes) the result is
// empty and status_text keeps the 713 text, while headers_out, cookies_out,
// location and response_bytes (what arrived) are still written.
std::string fetch_page(std::string_view url, const FetchPageOptions& options = {},
                       FetchPageOutputs* outputs = nullptr);

// ---------------------------------------------------------------- fetch_data

// A request object fetch_data can reuse across calls: it keeps one client
// handle (and the connections it holds open) and the per-phase timeout last
// set on it. It keeps no cookies between calls. One thread at a time.
class FetchRequest {
 public:
  FetchRequest();
  ~FetchRequest();
  FetchRequest(const FetchRequest&) = delete;
  FetchRequest& operator=(const FetchRequest&) = delete;

  bool ok() const noexcept { return handle_ != nullptr; }
  // Per-phase timeout applied when a call passes timeout_s = -1; 0 leaves the
  // client library's own defaults.
  long timeout_ms() const noexcept { return timeout_ms_; }
  void set_timeout_ms(long timeout_ms) noexcept { timeout_ms_ = timeout_ms; }

 private:
  friend struct detail::RequestAccess;
  void* handle_ = nullptr;
  long timeout_ms_ = 0;
};

struct FetchDataOptions {
  int method = kGet;
  std::string body_text;
  std::string body_bytes;
  // Supplied (even empty): its "Cookie:" markers are removed and it is sent as
  // the Cookie header; it is also what cookies_out is merged with.
  std::optional<std::string> cookies;
  std::string headers;
  bool no_redirect = false;
  std::string proxy;
  // -1 keeps the request object's own timeouts (a new object: the client
  // library's); below 1 otherwise means 15 seconds per phase.
  int timeout_s = 0;
  std::string proxy_user, proxy_password;  // used only with a proxy
  int proxy_auth_target = 1;               // 1: credentials for the proxy; 0: for the server
  FetchRequest* request_object = nullptr;  // reused instead of a new handle when given
  bool merge_cookies = true;
  // Adds, when absent: Accept, Referer (the URL), Accept-Language, User-Agent,
  // Content-Type (POST only), in that order.
  bool add_default_headers = true;
  bool normalize_header_names = true;
  std::size_t max_body_bytes = kDefaultMaxBodyBytes;
};

struct FetchDataOutputs {
  std::string cookies_out;
  std::string headers_out;  // response header lines without the status line
  int status_code = 0;      // 0 when no response arrived
};

// Body bytes of the final response (redirects followed unless no_redirect);
// empty when anything fails.
std::string fetch_data(std::string_view url, const FetchDataOptions& options = {},
                       FetchDataOutputs* outputs = nullptr);

// ---------------------------------------------------------------- fetch_plain

struct FetchPlainOptions {
  int method = kGet;
  std::string body_text;   // not sent with GET
  std::string body_bytes;  // not sent with GET
  std::optional<std::string> cookies;
  std::string headers;  // a User-Agent line here also names the client's user agent
  bool no_redirect = false;
  std::string proxy;  // host:port; empty goes direct
  bool merge_cookies = true;
  // Adds, when absent: Accept, Referer (the URL), Accept-Language,
  // Content-Type (POST only). The user agent defaults to
  // "Mozilla/4.0 (compatible; MSIE 9.0; Windows NT 6.1)".
  bool add_default_headers = true;
  bool normalize_header_names = true;
  // The proxy is a SOCKS5 proxy (host names resolved by the proxy); a proxy
  // text with a scheme ("socks4a://host:port") picks another kind.
  bool socks_proxy = false;
  std::size_t max_body_bytes = kDefaultMaxBodyBytes;
};

struct FetchPlainOutputs {
  std::string cookies_out;
  // Raw response headers, status line first; empty when they run over 5000
  // bytes (the body is still returned).
  std::string headers_out;
};

// Timeouts of fetch_plain, standing in for its client's own defaults.
inline constexpr long kPlainConnectTimeoutMs = 60000;
inline constexpr long kPlainIdleTimeoutMs = 30000;

// Body bytes of the final response; empty when anything fails.
std::string fetch_plain(std::string_view url, const FetchPlainOptions& options = {},
                        FetchPlainOutputs* outputs = nullptr);

}  // namespace lumora::fetch
