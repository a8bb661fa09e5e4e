#pragma once
// The libcurl plumbing the three fetch operations share. Internal to fetch/.
#include <curl/curl.h>

#include <cstddef>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "fetch/fetch.h"

namespace lumora::fetch::detail {

// The client handle a FetchRequest holds.
struct RequestAccess {
  static CURL* handle(const FetchRequest& request) noexcept {
    return static_cast<CURL*>(request.handle_);
  }
};

// curl_global_init, once per process and thread-safely; false when it failed.
bool global_init() noexcept;

struct EasyHandle {
  CURL* handle = nullptr;
  bool owned = true;
  ~EasyHandle() {
    if (handle && owned) curl_easy_cleanup(handle);
  }
};

struct HeaderSList {
  curl_slist* list = nullptr;
  HeaderSList() = default;
  HeaderSList(const HeaderSList&) = delete;
  HeaderSList& operator=(const HeaderSList&) = delete;
  ~HeaderSList() { curl_slist_free_all(list); }
  bool append(const std::string& line) {
    curl_slist* next = curl_slist_append(list, line.c_str());
    if (!next) return false;
    list = next;
    return true;
  }
};

// What a transfer received: the header text and body of the last response
// (a new status line starts both afresh, so redirects and "100 Continue"
// leave only the final response).
struct Received {
  std::string headers;
  std::string body;
  std::size_t max_body_bytes = 0;
  std::size_t max_header_bytes = 0;
  bool headers_complete = false;  // the blank line after the last status line arrived
  long final_responses = 0;       // status lines other than 1xx
  bool body_over_limit = false;
  bool headers_over_limit = false;
};

// Installs the header and body callbacks writing into received.
bool collect_into(CURL* handle, Received& received);

// Options every operation sets: protocols limited to http and https,
// HTTP/1.1 (header names arrive as the server wrote them), no signals, the
// certificate setting, no proxy from the environment.
bool set_common_options(CURL* handle);

// Certificate verification as set process-wide.
bool set_certificate_options(CURL* handle);

// The per-phase timeout: connecting (resolve included) and any stretch
// without data while sending or waiting or reading.
bool set_phase_timeout(CURL* handle, long timeout_ms);

// Method and body. HEAD never sends a body; send_body false sends none.
bool set_method(CURL* handle, int method, std::string_view body, bool send_body);

bool set_follow_redirects(CURL* handle, bool follow);

// The first line of a raw header text, without its line end.
std::string_view status_line(std::string_view raw_headers);

// The raw header text without its status line.
std::string_view header_lines(std::string_view raw_headers);

// Splits a header list at CR LF, keeping non-empty lines.
std::vector<std::string> header_lines_of(std::string_view list);

// A request line as libcurl takes it: "Name:" with nothing after it would
// remove the header, so an empty value is written "Name;".
std::string curl_header_line(std::string_view name, std::string_view value);

// Adds "Accept:", "Content-Type:" and "Expect:" lines (which send nothing)
// for those names the request does not carry, so libcurl adds no lines of its
// own that the caller did not ask for. names: the names the request sends.
bool add_client_header_guards(HeaderSList& headers, const std::vector<std::string>& names);

// Splits "Name: value" into trimmed name and value; false without a colon.
bool split_header(std::string_view line, std::string_view& name, std::string_view& value);

// True when the failure happened before the request went out (resolving,
// connecting, the TLS handshake, sending).
bool failed_before_sending(CURL* handle, CURLcode code);

// The libcurl transfer succeeded, or failed only while reading the body of
// the final response.
bool response_arrived(CURL* handle, const Received& received);

// Runs one fetch operation; only allocation can throw inside, and then the
// call fails like any other instead of letting the exception out.
template <typename Run>
std::string run_without_throwing(Run&& run) noexcept {
  try {
    return std::forward<Run>(run)();
  } catch (...) {
    return {};
  }
}

}  // namespace lumora::fetch::detail
