#pragma once
// Test side of tests/node/fake_live_platform.js: starts the peer, drives its
// control requests and reads what it recorded.
#include <gtest/gtest.h>

#include <chrono>
#include <functional>
#include <string>
#include <thread>

#include "fetch/fetch.h"
#include "json/json_document.h"
#include "live/live_endpoints.h"
#include "support/node_peer.h"

namespace lumora::live::test {

class FakePlatform {
 public:
  explicit FakePlatform(std::vector<std::string> args = {})
      : peer_(LUMORA_NODE_DIR "/fake_live_platform.js", std::move(args)) {}

  bool ok() const { return peer_.ok() && peer_.port() > 0; }
  std::string error() const { return peer_.error(); }
  int port() const { return peer_.port(); }
  std::string base() const { return "http://127.0.0.1:" + std::to_string(port()); }

  LiveEndpoints endpoints() const {
    LiveEndpoints e;
    e.api_base_url = base();
    e.danmaku_url = "ws://127.0.0.1:" + std::to_string(port()) + "/sub";
    e.web_origin = "https://live.bilibili.com";
    return e;
  }

  // GET of a control path ("/control/set?api=empty"); the answer's body.
  std::string control(const std::string& path_and_query) const {
    return fetch::fetch_data(base() + path_and_query);
  }
  // POST /control/send with a JSON array of messages.
  std::string send_batch(const std::string& messages_json, const std::string& format = "zlib") {
    fetch::FetchDataOptions options;
    options.method = fetch::kPost;
    options.body_text = messages_json;
    options.headers = "Content-Type: application/json";
    return fetch::fetch_data(base() + "/control/send?format=" + format, options);
  }

  json::JsonDocument state() const {
    json::JsonDocument document;
    document.Parse(control("/control/state"));
    return document;
  }

  // Ends the peer (its port goes away with it).
  void stop() { peer_.stop(); }

 private:
  lumora::test::NodePeer peer_;
};

// Polls until done() holds or timeout passes; true when it held.
inline bool wait_until(const std::function<bool()>& done,
                       std::chrono::milliseconds timeout = std::chrono::seconds(10)) {
  auto deadline = std::chrono::steady_clock::now() + timeout;
  while (std::chrono::steady_clock::now() < deadline) {
    if (done()) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  return done();
}

}  // namespace lumora::live::test
