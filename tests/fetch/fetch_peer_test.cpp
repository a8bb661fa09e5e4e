// The three fetch operations against a local web server written with Node's
// http module (tests/node/http_peer.js), which echoes requests exactly as they
// arrived.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <memory>
#include <sstream>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "fetch/fetch.h"
#include "support/node_peer.h"
#include "text/gbk.h"
#include "text/literal.h"

namespace lumora::fetch {
namespace {

using namespace lumora::text::literals;

// A request as the peer saw it.
struct Echo {
  std::string request_line;
  std::vector<std::pair<std::string, std::string>> headers;
  std::string body;

  // Names in the order sent, without the ones the transport adds (Host,
  // Content-Length).
  std::vector<std::string> names() const {
    std::vector<std::string> out;
    for (const auto& [name, value] : headers) {
      if (name != "Host" && name != "Content-Length") out.push_back(name);
    }
    return out;
  }
  int count(const std::string& name) const {
    int n = 0;
    for (const auto& h : headers) n += h.first == name;
    return n;
  }
  std::string value(const std::string& name) const {
    for (const auto& [n, v] : headers) {
      if (n == name) return v;
    }
    return "<absent>";
  }
};

Echo parse_echo(const std::string& text) {
  Echo echo;
  size_t end = text.find("\r\n\r\n");
  if (text.rfind("REQUEST ", 0) != 0 || end == std::string::npos) return echo;
  std::string head = text.substr(0, end);
  echo.body = text.substr(end + 4);
  size_t start = 0;
  bool first = true;
  while (start <= head.size()) {
    size_t at = head.find("\r\n", start);
    std::string line = head.substr(start, at == std::string::npos ? std::string::npos : at - start);
    if (first) {
      echo.request_line = line.substr(8);
      first = false;
    } else {
      size_t colon = line.find(": ");
      echo.headers.emplace_back(line.substr(0, colon), line.substr(colon + 2));
    }
    if (at == std::string::npos) break;
    start = at + 2;
  }
  return echo;
}

// A port on 127.0.0.1 that nothing listens on.
int closed_port() {
  int fd = ::socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t length = sizeof addr;
  ::bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr);
  ::getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &length);
  ::close(fd);
  return ntohs(addr.sin_port);
}

class FetchPeerTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    peer_ = std::make_unique<test::NodePeer>(LUMORA_NODE_DIR "/http_peer.js");
    if (peer_->ok()) {
      std::istringstream ports(peer_->ready_line());
      ports >> http_port_ >> socks_port_ >> https_port_;
    }
  }
  static void TearDownTestSuite() { peer_.reset(); }
  void SetUp() override {
    ASSERT_TRUE(peer_->ok()) << peer_->error();
    ASSERT_GT(http_port_, 0);
  }

  static std::string url(const std::string& path) {
    return "http://127.0.0.1:" + std::to_string(http_port_) + path;
  }

  static std::unique_ptr<test::NodePeer> peer_;
  static int http_port_, socks_port_, https_port_;
};

std::unique_ptr<test::NodePeer> FetchPeerTest::peer_;
int FetchPeerTest::http_port_ = 0;
int FetchPeerTest::socks_port_ = 0;
int FetchPeerTest::https_port_ = 0;

// Options built member by member (designated initializers that leave
// members out draw -Wmissing-field-initializers from GCC 12).
template <typename Fill>
struct With {
  Fill fill;
  template <typename Options>
  operator Options() const {
    Options options;
    fill(options);
    return options;
  }
};
template <typename Fill>
With<Fill> with(Fill fill) {
  return With<Fill>{fill};
}

using Names = std::vector<std::string>;

// ---------------------------------------------------------------- fetch_page

TEST_F(FetchPeerTest, PageSendsItsDefaultHeadersInOrderForGetAndPost) {
  FetchPageOutputs out;
  Echo get = parse_echo(fetch_page(url("/echo"), {}, &out));
  EXPECT_EQ(get.request_line, "GET /echo HTTP/1.1");
  EXPECT_EQ(get.names(),
            (Names{"User-Agent", "Accept", "Accept-Encoding", "Accept-Language", "Cache-Control"}));
  EXPECT_EQ(get.value("User-Agent"),
            "Mozilla/5.0 (compatible; MSIE 9.0; Windows NT 6.1; WOW64; Trident/5.0)");
  EXPECT_EQ(get.value("Accept"), "text/html, application/xhtml+xml, */*");
  EXPECT_EQ(get.value("Accept-Encoding"), "identity");
  EXPECT_EQ(get.value("Accept-Language"), "zh-cn");
  EXPECT_EQ(get.value("Cache-Control"), "no-cache");
  EXPECT_EQ(out.status_text, "200 OK");
  EXPECT_EQ(out.headers_out.rfind("HTTP/1.1 200 OK\r\n", 0), 0u);

  Echo post = parse_echo(fetch_page(url("/echo"), with([&](auto& o) {
                                      o.method = kPost;
                                      o.body_text = "k=v";
                                    })));
  EXPECT_EQ(post.request_line, "POST /echo HTTP/1.1");
  EXPECT_EQ(post.names(), (Names{"User-Agent", "Accept", "Accept-Encoding", "Accept-Language",
                                 "Content-Type", "Cache-Control"}));
  EXPECT_EQ(post.value("Content-Type"), "application/x-www-form-urlencoded");
  EXPECT_EQ(post.body, "k=v");

  // Without defaults nothing is added, not even the client's own Accept.
  Echo bare =
      parse_echo(fetch_page(url("/echo"), with([&](auto& o) { o.add_default_headers = false; })));
  EXPECT_EQ(bare.names(), Names{});
  Echo other = parse_echo(fetch_page(url("/echo"), with([&](auto& o) {
                                       o.headers = "X-Accept: 1";
                                       o.method = kPost;
                                       o.body_text = "k=v";
                                       o.add_default_headers = false;
                                     })));
  EXPECT_EQ(other.names(), Names{"X-Accept"});
}

TEST_F(FetchPeerTest, MethodCodesMapToMethodsAndOutOfRangeSendsGet) {
  const std::pair<int, std::string> cases[] = {
      {8, "GET"}, {-1, "GET"}, {3, "PUT"}, {4, "OPTIONS"}, {5, "DELETE"},
  };
  for (const auto& [code, method] : cases) {
    Echo echo = parse_echo(fetch_page(url("/echo"), with([&](auto& o) { o.method = code; })));
    EXPECT_EQ(echo.request_line, method + " /echo HTTP/1.1") << code;
    Echo data = parse_echo(fetch_data(url("/echo"), with([&](auto& o) { o.method = code; })));
    EXPECT_EQ(data.request_line, method + " /echo HTTP/1.1") << code;
  }
  FetchPageOutputs out;
  EXPECT_EQ(fetch_page(url("/echo"), with([&](auto& o) { o.method = kHead; }), &out), "");
  EXPECT_EQ(out.status_text, "200 OK");
}

TEST_F(FetchPeerTest, CallerUserAgentReplacesTheDefaultAndNamesAreRecapitalised) {
  Echo echo = parse_echo(
      fetch_page(url("/echo"), with([&](auto& o) {
                   o.headers = "user-agent: x\r\nx-requested-with: XMLHttpRequest\r\nX-ALLCAPS: 1";
                 })));
  EXPECT_EQ(echo.count("User-Agent"), 1);
  EXPECT_EQ(echo.value("User-Agent"), "x");
  EXPECT_EQ(echo.value("X-Requested-With"), "XMLHttpRequest");
  EXPECT_EQ(echo.value("X-ALLCAPS"), "1");
  EXPECT_EQ(echo.names().front(), "User-Agent");

  Echo raw = parse_echo(fetch_page(url("/echo"), with([&](auto& o) {
                                     o.headers = "x-requested-with: 1";
                                     o.normalize_header_names = false;
                                   })));
  EXPECT_EQ(raw.value("x-requested-with"), "1");
}

TEST_F(FetchPeerTest, KeepAliveConnectionLineIsDroppedWhereverItStands) {
  const std::string lists[] = {
      "Connection: keep-alive\r\nX-A: 1\r\nX-B: 2",
      "X-A: 1\r\nConnection: keep-alive\r\nX-B: 2",
      "X-A: 1\r\nX-B: 2\r\nconnection: keep-alive",
  };
  for (const std::string& list : lists) {
    Echo page = parse_echo(fetch_page(url("/echo"), with([&](auto& o) { o.headers = list; })));
    EXPECT_EQ(page.count("Connection"), 0) << list;
    EXPECT_EQ(page.value("X-A"), "1") << list;
    EXPECT_EQ(page.value("X-B"), "2") << list;
    Echo data = parse_echo(fetch_data(url("/echo"), with([&](auto& o) { o.headers = list; })));
    EXPECT_EQ(data.count("Connection"), 0) << list;
    EXPECT_EQ(data.value("X-B"), "2") << list;
  }
  Echo closing =
      parse_echo(fetch_page(url("/echo"), with([&](auto& o) { o.headers = "Connection: close"; })));
  EXPECT_EQ(closing.value("Connection"), "close");
}

TEST_F(FetchPeerTest, PageRedirectIsFollowedUnlessSwitchedOff) {
  FetchPageOutputs out;
  std::string text = fetch_page(url("/redirect?code=302&to=/echo"),
                                with([&](auto& o) { o.no_redirect = true; }), &out);
  EXPECT_EQ(text, "moved");
  EXPECT_EQ(out.status_text, "302 Found");
  EXPECT_EQ(out.location, "/echo");

  FetchPageOutputs followed;
  followed.location = "kept";
  Echo echo = parse_echo(fetch_page(url("/redirect?code=302&to=/echo"), {}, &followed));
  EXPECT_EQ(echo.request_line, "GET /echo HTTP/1.1");
  EXPECT_EQ(followed.status_text, "200 OK");
  // The final answer has no Location line, so location keeps its value.
  EXPECT_EQ(followed.location, "kept");
}

TEST_F(FetchPeerTest, PageCollectsSetCookiesAndMergesTheSentOnes) {
  FetchPageOutputs out;
  fetch_page(url("/cookies"), {}, &out);
  EXPECT_EQ(out.cookies_out, "a=1; b=2");

  FetchPageOutputs merged;
  fetch_page(url("/cookies"), with([&](auto& o) { o.cookies = "a=5; c=3"; }), &merged);
  EXPECT_EQ(merged.cookies_out, "a=1; b=2; c=3");
  Echo sent = parse_echo(fetch_page(url("/echo"), with([&](auto& o) { o.cookies = "a=5; c=3"; })));
  EXPECT_EQ(sent.value("Cookie"), "a=5; c=3");
  EXPECT_EQ(sent.names().back(), "Cookie");

  FetchPageOutputs unmerged;
  fetch_page(url("/cookies"), with([&](auto& o) {
               o.cookies = "c=3";
               o.merge_cookies = false;
             }),
             &unmerged);
  EXPECT_EQ(unmerged.cookies_out, "a=1; b=2");
}

TEST_F(FetchPeerTest, PageDecodesTheCharsetDeclaredInItsFirst1024Bytes) {
  std::string early = fetch_page(url("/meta?at=early&charset=utf-8"));
  EXPECT_NE(early.find("中文页面"_gbk), std::string::npos);

  FetchPageOutputs out;
  std::string late = fetch_page(url("/meta?at=late&charset=utf-8"), {}, &out);
  EXPECT_EQ(late, out.response_bytes);  // taken as local text, unchanged
  EXPECT_NE(late.find("中文页面"), std::string::npos);

  std::string gbk = fetch_page(url("/gbkpage"));
  EXPECT_NE(gbk.find("中文"_gbk), std::string::npos);
}

TEST_F(FetchPeerTest, PageFailuresGiveTheirNumberedTexts) {
  FetchPageOutputs out;
  out.headers_out = "untouched";
  EXPECT_EQ(fetch_page("http://127.0.0.1:" + std::to_string(closed_port()) + "/", {}, &out), "");
  EXPECT_EQ(out.status_text, "711 发送请求失败!"_gbk);
  EXPECT_EQ(out.headers_out, "untouched");

  for (const char* bad : {"ftp://127.0.0.1/x", "no url at all", "http://", ""}) {
    FetchPageOutputs o;
    EXPECT_EQ(fetch_page(bad, {}, &o), "");
    EXPECT_EQ(o.status_text, "701 解析URL地址失败!"_gbk) << bad;
  }

  FetchPageOutputs refused;
  fetch_page(url("/echo"), with([&](auto& o) {
               o.headers = "NoColonHere";
               o.normalize_header_names = false;
             }),
             &refused);
  EXPECT_EQ(refused.status_text, "710 设置协议头失败!"_gbk);
}

TEST_F(FetchPeerTest, PageSilentServerIsNoResponse) {
  FetchPageOutputs out;
  EXPECT_EQ(fetch_page(url("/silent"), with([&](auto& o) { o.timeout_s = 1; }), &out), "");
  EXPECT_EQ(out.status_text, "712 服务器未响应!"_gbk);
}

TEST_F(FetchPeerTest, PageCutBodyIsAFailedReadNotAPage) {
  FetchPageOutputs out;
  EXPECT_EQ(fetch_page(url("/truncated"), {}, &out), "");
  EXPECT_EQ(out.status_text, "713 读取数据失败!"_gbk);
  EXPECT_EQ(out.response_bytes, "0123456789");
  EXPECT_EQ(out.headers_out.rfind("HTTP/1.1 200 OK\r\n", 0), 0u);

  FetchPageOutputs capped;
  EXPECT_EQ(
      fetch_page(url("/size?n=1000"), with([&](auto& o) { o.max_body_bytes = 100; }), &capped), "");
  EXPECT_EQ(capped.status_text, "713 读取数据失败!"_gbk);
  EXPECT_EQ(fetch_page(url("/size?n=1000"), with([&](auto& o) { o.max_body_bytes = 1000; })),
            std::string(1000, 'x'));
}

TEST_F(FetchPeerTest, PageSendsServerAndProxyCredentials) {
  Echo server = parse_echo(fetch_page(url("/echo"), with([&](auto& o) {
                                        o.server_user = "u";
                                        o.server_password = "p";
                                      })));
  EXPECT_EQ(server.value("Authorization"), "Basic dTpw");

  // Through the peer as an http proxy: the request line carries the whole URL.
  const std::string target = "http://127.0.0.1:" + std::to_string(closed_port()) + "/via";
  Echo proxied = parse_echo(fetch_page(target, with([&](auto& o) {
                                         o.proxy = "127.0.0.1:" + std::to_string(http_port_);
                                         o.proxy_user = "u";
                                         o.proxy_password = "p";
                                       })));
  EXPECT_EQ(proxied.request_line, "GET " + target + " HTTP/1.1");
  EXPECT_EQ(proxied.value("Proxy-Authorization"), "Basic dTpw");
}

TEST_F(FetchPeerTest, CertificatesAreVerifiedUnlessSwitchedOff) {
  if (https_port_ == 0) GTEST_SKIP() << "the peer could not make a certificate (openssl)";
  const std::string secure = "https://127.0.0.1:" + std::to_string(https_port_) + "/echo";
  FetchPageOutputs out;
  EXPECT_EQ(fetch_page(secure, {}, &out), "");
  EXPECT_EQ(out.status_text, "711 发送请求失败!"_gbk);
  EXPECT_EQ(fetch_data(secure), "");
  EXPECT_EQ(fetch_plain(secure), "");

  set_fetch_verify_certificates(false);
  Echo page = parse_echo(fetch_page(secure, {}, &out));
  Echo data = parse_echo(fetch_data(secure));
  Echo plain = parse_echo(fetch_plain(secure));
  set_fetch_verify_certificates(true);
  EXPECT_EQ(out.status_text, "200 OK");
  EXPECT_EQ(page.request_line, "GET /echo HTTP/1.1");
  EXPECT_EQ(data.request_line, "GET /echo HTTP/1.1");
  EXPECT_EQ(plain.request_line, "GET /echo HTTP/1.1");
}

// ---------------------------------------------------------------- fetch_data

TEST_F(FetchPeerTest, DataSendsItsDefaultHeadersInOrder) {
  FetchDataOutputs out;
  Echo get = parse_echo(fetch_data(url("/echo"), {}, &out));
  EXPECT_EQ(get.names(), (Names{"Accept", "Referer", "Accept-Language", "User-Agent"}));
  EXPECT_EQ(get.value("Accept"), "*/*");
  EXPECT_EQ(get.value("Referer"), url("/echo"));
  EXPECT_EQ(get.value("User-Agent"), "Mozilla/4.0 (compatible; MSIE 9.0; Windows NT 6.1)");
  EXPECT_EQ(out.status_code, 200);
  EXPECT_EQ(out.headers_out.find("HTTP/"), std::string::npos);
  EXPECT_NE(out.headers_out.find("Content-Type: text/plain\r\n"), std::string::npos);

  Echo post = parse_echo(fetch_data(url("/echo"), with([&](auto& o) {
                                      o.method = kPost;
                                      o.body_bytes = "b=1";
                                    })));
  EXPECT_EQ(post.names(),
            (Names{"Accept", "Referer", "Accept-Language", "User-Agent", "Content-Type"}));
  EXPECT_EQ(post.body, "b=1");
}

TEST_F(FetchPeerTest, DataReturnsExactBytesAndStatusAcrossRedirects) {
  std::string bytes = fetch_data(url("/bytes"));
  ASSERT_EQ(bytes.size(), 256u);
  for (int i = 0; i < 256; ++i) EXPECT_EQ(static_cast<unsigned char>(bytes[i]), i);

  FetchDataOutputs out;
  Echo followed = parse_echo(fetch_data(url("/redirect?code=301&to=/echo"), {}, &out));
  EXPECT_EQ(followed.request_line, "GET /echo HTTP/1.1");
  EXPECT_EQ(out.status_code, 200);
  EXPECT_EQ(fetch_data(url("/redirect?code=302&to=/echo"),
                       with([&](auto& o) { o.no_redirect = true; }), &out),
            "moved");
  EXPECT_EQ(out.status_code, 302);
}

TEST_F(FetchPeerTest, DataCookiesSuppliedOrNot) {
  FetchDataOutputs out;
  Echo sent = parse_echo(
      fetch_data(url("/echo"), with([&](auto& o) { o.cookies = "Cookie: a=1; c=3"; }), &out));
  EXPECT_EQ(sent.count("Cookie"), 1);
  EXPECT_EQ(sent.value("Cookie"), "a=1; c=3");
  EXPECT_EQ(sent.names().front(), "Cookie");

  fetch_data(url("/cookies"), with([&](auto& o) { o.cookies = "a=5; c=3"; }), &out);
  EXPECT_EQ(out.cookies_out, "a=1; b=2; c=3");

  Echo empty = parse_echo(fetch_data(url("/echo"), with([&](auto& o) { o.cookies = ""; })));
  EXPECT_EQ(empty.count("Cookie"), 0);
  fetch_data(url("/cookies"), {}, &out);
  EXPECT_EQ(out.cookies_out, "a=1; b=2");
}

TEST_F(FetchPeerTest, DataUnreachableHostGivesNothing) {
  FetchDataOutputs out;
  out.status_code = 77;
  out.headers_out = "old";
  EXPECT_EQ(fetch_data("http://127.0.0.1:" + std::to_string(closed_port()) + "/", {}, &out), "");
  EXPECT_EQ(out.status_code, 0);
  EXPECT_EQ(out.headers_out, "");
  EXPECT_EQ(out.cookies_out, "");
  EXPECT_EQ(fetch_data(url("/truncated")), "");
  EXPECT_EQ(fetch_data(url("/silent"), with([&](auto& o) { o.timeout_s = 1; })), "");
}

TEST_F(FetchPeerTest, DataProxyCredentialsGoToTheProxyOrTheServer) {
  const std::string proxy = "127.0.0.1:" + std::to_string(http_port_);
  const std::string target = "http://127.0.0.1:" + std::to_string(closed_port()) + "/via";
  Echo to_proxy = parse_echo(fetch_data(target, with([&](auto& o) {
                                          o.proxy = proxy;
                                          o.proxy_user = "u";
                                          o.proxy_password = "p";
                                        })));
  EXPECT_EQ(to_proxy.request_line, "GET " + target + " HTTP/1.1");
  EXPECT_EQ(to_proxy.value("Proxy-Authorization"), "Basic dTpw");
  EXPECT_EQ(to_proxy.count("Authorization"), 0);

  Echo to_server = parse_echo(fetch_data(target, with([&](auto& o) {
                                           o.proxy = proxy;
                                           o.proxy_user = "u";
                                           o.proxy_password = "p";
                                           o.proxy_auth_target = 0;
                                         })));
  EXPECT_EQ(to_server.value("Authorization"), "Basic dTpw");
  EXPECT_EQ(to_server.count("Proxy-Authorization"), 0);
}

TEST_F(FetchPeerTest, DataReusedRequestObjectStartsEachCallAfresh) {
  FetchRequest request;
  ASSERT_TRUE(request.ok());
  Echo first = parse_echo(fetch_data(url("/echo"), with([&](auto& o) {
                                       o.headers = "X-One: 1";
                                       o.timeout_s = 5;
                                       o.request_object = &request;
                                     })));
  EXPECT_EQ(first.value("X-One"), "1");
  EXPECT_EQ(request.timeout_ms(), 5000);
  FetchDataOutputs out;
  Echo second = parse_echo(fetch_data(url("/echo"), with([&](auto& o) {
                                        o.timeout_s = -1;
                                        o.request_object = &request;
                                      }),
                                      &out));
  EXPECT_EQ(second.count("X-One"), 0);
  EXPECT_EQ(out.status_code, 200);
  EXPECT_EQ(request.timeout_ms(), 5000);
}

TEST_F(FetchPeerTest, CallsRunAtOnceOnSeveralThreads) {
  constexpr int kThreads = 8;
  std::vector<std::string> seen(kThreads);
  std::vector<std::thread> threads;
  for (int i = 0; i < kThreads; ++i) {
    threads.emplace_back([&, i] {
      const std::string path = "/echo?n=" + std::to_string(i);
      if (i % 3 == 0) seen[i] = parse_echo(fetch_page(url(path))).request_line;
      if (i % 3 == 1) seen[i] = parse_echo(fetch_data(url(path))).request_line;
      if (i % 3 == 2) seen[i] = parse_echo(fetch_plain(url(path))).request_line;
    });
  }
  for (auto& t : threads) t.join();
  for (int i = 0; i < kThreads; ++i) {
    EXPECT_EQ(seen[i], "GET /echo?n=" + std::to_string(i) + " HTTP/1.1");
  }
}

// ---------------------------------------------------------------- fetch_plain

TEST_F(FetchPeerTest, PlainSendsSessionUserAgentAndItsDefaults) {
  Echo get = parse_echo(fetch_plain(url("/echo?q=A")));
  EXPECT_EQ(get.request_line, "GET /echo?q=A HTTP/1.1");
  EXPECT_EQ(get.names(), (Names{"User-Agent", "Accept", "Referer", "Accept-Language"}));
  EXPECT_EQ(get.value("User-Agent"), "Mozilla/4.0 (compatible; MSIE 9.0; Windows NT 6.1)");
  EXPECT_EQ(get.value("Referer"), url("/echo?q=A"));

  Echo own = parse_echo(
      fetch_plain(url("/echo"), with([&](auto& o) { o.headers = "user-agent:  Foo/1 "; })));
  EXPECT_EQ(own.count("User-Agent"), 1);
  EXPECT_EQ(own.value("User-Agent"), "Foo/1");
}

TEST_F(FetchPeerTest, PlainSendsNoBodyWithGet) {
  Echo get = parse_echo(fetch_plain(url("/echo"), with([&](auto& o) { o.body_text = "ignored"; })));
  EXPECT_EQ(get.body, "");
  EXPECT_EQ(get.count("Content-Length"), 0);
  Echo post = parse_echo(fetch_plain(url("/echo"), with([&](auto& o) {
                                       o.method = kPost;
                                       o.body_text = "k=v";
                                     })));
  EXPECT_EQ(post.body, "k=v");
  EXPECT_EQ(post.value("Content-Type"), "application/x-www-form-urlencoded");
}

TEST_F(FetchPeerTest, PlainHeadersOver5000BytesAreDroppedButTheBodyStays) {
  FetchPlainOutputs out;
  EXPECT_EQ(fetch_plain(url("/bigheaders?size=6000"), {}, &out), "big");
  EXPECT_EQ(out.headers_out, "");
  EXPECT_EQ(out.cookies_out, "");

  EXPECT_EQ(fetch_plain(url("/bigheaders?size=1000"), {}, &out), "big");
  EXPECT_EQ(out.headers_out.rfind("HTTP/1.1 200 OK\r\n", 0), 0u);
  EXPECT_EQ(out.cookies_out, "c=3");

  fetch_plain(url("/cookies"), with([&](auto& o) { o.cookies = "Cookie: z=9"; }), &out);
  EXPECT_EQ(out.cookies_out, "a=1; b=2; Cookie: z=9");
}

TEST_F(FetchPeerTest, PlainGoesThroughASocksProxy) {
  const std::string target = url("/echo");
  Echo echo = parse_echo(fetch_plain(target, with([&](auto& o) {
                                       o.proxy = "127.0.0.1:" + std::to_string(socks_port_);
                                       o.socks_proxy = true;
                                     })));
  EXPECT_EQ(echo.request_line, "GET /echo HTTP/1.1");
  const std::string expected = "socks 127.0.0.1:" + std::to_string(http_port_);
  bool seen = false;
  for (int i = 0; i < 100 && !seen; ++i) {
    for (const std::string& line : peer_->lines()) seen = seen || line == expected;
    if (!seen) std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  EXPECT_TRUE(seen) << expected;
}

TEST_F(FetchPeerTest, PlainUnreachableHostOrBadPortGivesNothing) {
  FetchPlainOutputs out;
  EXPECT_EQ(fetch_plain("http://127.0.0.1:" + std::to_string(closed_port()) + "/", {}, &out), "");
  EXPECT_EQ(out.headers_out, "");
  out.headers_out = "untouched";
  EXPECT_EQ(fetch_plain("http://127.0.0.1:99999/", {}, &out), "");
  EXPECT_EQ(out.headers_out, "untouched");
  EXPECT_EQ(fetch_plain(url("/truncated")), "");
}

}  // namespace
}  // namespace lumora::fetch
