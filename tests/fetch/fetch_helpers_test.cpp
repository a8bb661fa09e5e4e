#include <gtest/gtest.h>

#include <string>

#include "fetch/fetch.h"
#include "fetch/fetch_helpers.h"
#include "text/gbk.h"

namespace lumora::fetch {
namespace {

TEST(HttpMethodName, CodesOutOfRangeAreGet) {
  const std::pair<int, std::string> cases[] = {
      {0, "GET"},   {1, "POST"},    {2, "HEAD"}, {3, "PUT"},  {4, "OPTIONS"}, {5, "DELETE"},
      {6, "TRACE"}, {7, "CONNECT"}, {8, "GET"},  {-1, "GET"}, {1000, "GET"},
  };
  for (const auto& [code, name] : cases) EXPECT_EQ(http_method_name(code), name) << code;
}

TEST(NormalizeHeaderList, RecapitalisesNamesAndDropsLinesWithoutColon) {
  const std::pair<std::string, std::string> cases[] = {
      {"x-requested-with: XMLHttpRequest", "X-Requested-With: XMLHttpRequest"},
      {"X-ALLCAPS: v", "X-ALLCAPS: v"},
      {"user-agent: x\r\nnocolon\r\naccept: a:b", "User-Agent: x\r\nAccept: a:b"},
      {"content-type: a\r\n", "Content-Type: a"},
      {"referer: http://x/y-z", "Referer: http://x/y-z"},
      {"a--b: 1", "A--B: 1"},
      {"-x-: 1", "-X-: 1"},
      {": empty name", ": empty name"},
      {"", ""},
      {"\r\n\r\n", ""},
  };
  for (const auto& [in, want] : cases) EXPECT_EQ(normalize_header_list(in), want) << in;
}

TEST(CollectSetCookies, TakesTheFirstItemOfEachExactSetCookieLine) {
  const std::pair<std::string, std::string> cases[] = {
      {"HTTP/1.1 200 OK\r\nSet-Cookie: a=1; Path=/\r\nSet-Cookie: b=2\r\n\r\n", "a=1; b=2"},
      {"HTTP/1.1 200 OK\r\nset-cookie: a=1\r\n\r\n", ""},
      {"HTTP/1.1 200 OK\r\nSet-Cookie:a=1\r\n\r\n", ""},
      {"Set-Cookie:  x=y  ;Secure", "x=y"},
      {"Set-Cookie: ; Path=/\r\nSet-Cookie: z=1", "z=1"},
      {"HTTP/1.1 200 OK\r\nContent-Type: text/plain\r\n\r\n", ""},
      {"", ""},
  };
  for (const auto& [in, want] : cases) EXPECT_EQ(collect_set_cookies(in), want) << in;
}

TEST(MergeCookieTexts, ReceivedFirstThenSentNamesNotReceived) {
  struct Case {
    std::string old_cookies, new_cookies, want;
  };
  const Case cases[] = {
      {"a=1; c=3", "a=9; d=deleted", "a=9; c=3"},
      {"", "a=1; b=2", "a=1; b=2"},
      {"a=1;", "", "a=1"},
      {"a=1; a=1", "", "a=1"},
      {"a=1", "a=1", "a=1"},
      {"x=deleted; y=2", "", "y=2"},
      {" b=2 ; ", "b=3", "b=3"},
      {"A=1", "a=2", "a=2; A=1"},
      {"flag; k=v", "k=w", "k=w; flag"},
      {"", "", ""},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(merge_cookie_texts(c.old_cookies, c.new_cookies), c.want)
        << c.old_cookies << " + " << c.new_cookies;
  }
}

TEST(UrlParts, HostPortAndPathAsThePlainFetchReadsThem) {
  struct Case {
    std::string url, host;
    int port;
    std::string path;
  };
  const Case cases[] = {
      {"HTTP://Example.COM:8080/A?b=C", "example.com", 8080, "/A?b=C"},
      {"https://x.y", "x.y", 443, "/"},
      {"https://x.y/", "x.y", 443, "/"},
      {"x.y/p", "x.y", 80, "/p"},
      {"http://h", "h", 80, "/"},
      {"http://tp/p", "tp", 80, "/p"},
      {"http://127.0.0.1:9/a/b", "127.0.0.1", 9, "/a/b"},
      {"https://Host.COM/Path?Q=A", "host.com", 443, "/Path?Q=A"},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(url_host(c.url), c.host) << c.url;
    EXPECT_EQ(url_port(c.url), c.port) << c.url;
    EXPECT_EQ(url_path(c.url), c.path) << c.url;
  }
}

TEST(MetaCharset, FoundOnlyInTheFirst1024Bytes) {
  const std::string pad(1100, ' ');
  const std::pair<std::string, std::string> cases[] = {
      {"<meta charset=utf-8>", "utf-8"},
      {"<META http-equiv=\"Content-Type\" content=\"text/html; charset=GB2312\">", "GB2312"},
      {"<meta charset=\"utf-8\">", "utf-8"},
      {"<meta charset='big5'>", "big5"},
      {"<html>" + pad + "<meta charset=utf-8>", ""},
      {"<html><body>no declaration</body></html>", ""},
      {"<meta name=x>\n<p>charset=utf-8</p>", ""},
      {"", ""},
  };
  for (const auto& [in, want] : cases) EXPECT_EQ(find_meta_charset(in), want) << in.substr(0, 60);
}

TEST(DecodePageText, DecodesTheDeclaredCharsetIntoGbk) {
  const std::string utf8_text = "<meta charset=utf-8><p>中文</p>";
  EXPECT_EQ(decode_page_text(utf8_text), text::utf8_to_gbk(utf8_text));
  const std::string gbk_page = "<meta charset=gbk>\xD6\xD0\xCE\xC4";
  EXPECT_EQ(decode_page_text(gbk_page), gbk_page);
  const std::string unknown = "<meta charset=x-no-such-charset>\xE4\xB8\xAD";
  EXPECT_EQ(decode_page_text(unknown), unknown);
  const std::string late = "<html>" + std::string(1100, ' ') + "<meta charset=utf-8>中文";
  EXPECT_EQ(decode_page_text(late), late);
}

TEST(FindNoCase, ComparesAsciiLettersWithoutCase) {
  EXPECT_EQ(find_no_case("Accept-Language: zh", "accept-language:"), 0u);
  EXPECT_EQ(find_no_case("X: 1\r\nCOOKIE: a", "cookie:"), 6u);
  EXPECT_EQ(find_no_case("abc", "abcd"), std::string::npos);
  EXPECT_EQ(find_no_case("abc", "b", 2), std::string::npos);
  EXPECT_EQ(find_no_case("abc", "", 9), std::string::npos);
  EXPECT_TRUE(contains_no_case("User-Agent: x", "USER-AGENT: "));
}

}  // namespace
}  // namespace lumora::fetch
