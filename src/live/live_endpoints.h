#pragma once
// Where the live platform is: its web API, its danmaku WebSocket and the web
// site origin the danmaku handshake names. The defaults are the real
// platform's; tests and the command line point them at other peers.
#include <cstdint>
#include <string>
#include <string_view>

namespace lumora::live {

struct LiveEndpoints {
  // Scheme, host and optional port, no trailing "/"; the lookup appends
  // "/xlive/web-room/v1/index/...".
  std::string api_base_url = "https://api.live.bilibili.com";
  // ws://host:port/path or wss://host:port/path (the platform answers plain
  // WebSocket on 2244 and TLS on 2245).
  std::string danmaku_url = "ws://broadcastlv.chat.bilibili.com:2244/sub";
  // Sent as the handshake's "Origin".
  std::string web_origin = "https://live.bilibili.com";
};

// A ws:// or wss:// address cut into its parts.
struct WebSocketAddress {
  bool tls = false;
  std::string host;  // without brackets for an IPv6 literal
  std::uint16_t port = 0;
  std::string target;  // path and query, "/" when the URL has none
  // "host" or "host:port" as the Host header carries it.
  std::string host_header;
};

// False (out untouched) when url is not ws:// or wss:// with a host, or its
// port is not a number in 1..65535. The default ports are 80 and 443.
bool parse_websocket_url(std::string_view url, WebSocketAddress& out);

}  // namespace lumora::live
