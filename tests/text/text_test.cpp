#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "text/format.h"
#include "text/gbk.h"
#include "text/literal.h"
#include "text/number.h"
#include "text/percent.h"
#include "text/split.h"

namespace lumora::text {
namespace {

using namespace literals;

// GBK bytes of a few characters the tests use.
const std::string kZhong = "\xD6\xD0";                   // 中
const std::string kWen = "\xCE\xC4";                     // 文
const std::string kShuo = "\xCB\xB5";                    // 说
const std::string kCharWithBackslashTrail = "\x81\x5C";  // 乗: its trail byte is "\"
const std::string kCharWithBraceTrail = "\x81\x7B";      // 亄: its trail byte is "{"
const std::string kCharWithAtTrail = "\x81\x40";         // 丂: its trail byte is "@"

TEST(GbkConversion, RoundTripsChineseAndAscii) {
  EXPECT_EQ(utf8_to_gbk("中文 abc"), kZhong + kWen + " abc");
  EXPECT_EQ(gbk_to_utf8(kZhong + kWen + " abc"), "中文 abc");
  EXPECT_EQ(gbk_to_utf8(utf8_to_gbk("【礼物】数量：")), "【礼物】数量：");
  EXPECT_EQ(utf8_to_gbk(""), "");
}

TEST(GbkConversion, CharacterWithoutGbkFormBecomesQuestionMark) {
  // An emoji and a Thai letter have no GBK form; the text around them survives.
  EXPECT_EQ(utf8_to_gbk("a\xF0\x9F\x98\x80"
                        "b"),
            "a?b");
  EXPECT_EQ(utf8_to_gbk("中\xE0\xB8\x81文"), kZhong + "?" + kWen);
}

TEST(GbkConversion, InvalidBytesBecomeQuestionMarks) {
  EXPECT_EQ(utf8_to_gbk("a\xFF"
                        "b"),
            "a?b");
  EXPECT_EQ(utf8_to_gbk("a\xE4\xB8"), "a?");  // cut sequence at the end
  EXPECT_EQ(gbk_to_utf8("a\xFF"), "a?");
}

TEST(GbkConversion, MixedTextsKeepEveryRunInPlace) {
  // ASCII runs are copied around the converted runs; a GBK trail byte in the
  // ASCII range ("@" of 丂, "\\" of 乗) stays with its lead byte.
  const std::string gbk = "{\"a\":\"" + kZhong + "x" + kCharWithAtTrail + "@" +
                          kCharWithBackslashTrail + "\\\"}" + kWen;
  const std::string utf8 = gbk_to_utf8(gbk);
  EXPECT_EQ(utf8, "{\"a\":\"中x丂@乗\\\"}文");
  EXPECT_EQ(utf8_to_gbk(utf8), gbk);
  EXPECT_EQ(gbk_to_utf8("a" + kZhong + "\x81"), "a中?");  // a lead byte cut at the end
  EXPECT_EQ(gbk_to_utf8("\xFF"
                        "A" +
                        kZhong),
            "?A中");
}

TEST(GbkConversion, UntilNulStopsAtFirstZeroByte) {
  std::string body("中文\0junk", std::string("中文").size() + 5);
  EXPECT_EQ(utf8_to_gbk_until_nul(body), kZhong + kWen);
  EXPECT_EQ(utf8_to_gbk_until_nul(std::string_view("\0abc", 4)), "");
}

TEST(GbkConversion, LiteralIsConvertedOnceAndStable) {
  const std::string& first = "中文"_gbk;
  const std::string& second = "中文"_gbk;
  EXPECT_EQ(first, kZhong + kWen);
  EXPECT_EQ(&first, &second) << "one conversion per use site literal";
}

TEST(GbkConversion, NamedCharsetDecoding) {
  std::string out;
  ASSERT_TRUE(charset_to_gbk("中", "utf-8", out));
  EXPECT_EQ(out, kZhong);
  ASSERT_TRUE(charset_to_gbk(kZhong, "gb2312", out));
  EXPECT_EQ(out, kZhong);
  EXPECT_FALSE(charset_to_gbk("x", "no-such-charset", out));
}

struct FormatCase {
  const char* name;
  std::string tmpl;
  std::string expected;
};

TEST(FormatTemplate, EscapesAndPlaceholders) {
  const std::vector<FormatCase> cases = {
      {"cr", "a\\rb", "a\rb"},
      {"lf", "a\\nb", "a\nb"},
      {"tab", "a\\tb", "a\tb"},
      {"quote", "\\'x\\'", "'x'"},
      {"braces", "\\{1\\}", "{1}"},
      {"escaped open brace keeps placeholder text", "\\{1}", "{1}"},
      {"backslash", "a\\\\b", "a\\b"},
      {"backslash before n after escaped backslash", "\\\\n", "\\n"},
      {"other character keeps backslash", "a\\qb", "a\\qb"},
      {"backslash before digit", "\\1", "\\1"},
      {"trailing backslash", "ab\\", "ab\\"},
      {"placeholders", "{2}-{1}-{3}", "two-one-three"},
      {"unknown placeholder stays", "{4}{0}{}", "{4}{0}{}"},
      {"placeholder next to text", "x{1}y", "xoney"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(format_template(c.tmpl, std::string("one"), "two", std::string_view("three")),
              c.expected)
        << c.name;
  }
}

TEST(FormatTemplate, ArgumentsAreInsertedAsTheyAre) {
  // Escapes apply to the template only, never to an argument.
  EXPECT_EQ(format_template("{1}|{2}", "\\n{2}", 42), "\\n{2}|42");
  EXPECT_EQ(format_template("{1}", std::int64_t{-9000000000}), "-9000000000");
}

TEST(FormatTemplate, DanmakuLogLineAndGbkTrailBytes) {
  EXPECT_EQ(format_template("{1}({2})说：{3}"_gbk, "name", "123", kZhong),
            "name(123)" + "说："_gbk + kZhong);
  // A two-byte character whose second byte is "\" or "{" is copied whole.
  EXPECT_EQ(format_template(kCharWithBackslashTrail + "n{1}", "x"), kCharWithBackslashTrail + "nx");
  EXPECT_EQ(format_template(kCharWithBraceTrail + "1}", "x"), kCharWithBraceTrail + "1}");
}

TEST(ReadLeadingInt, SignBlanksWrapAndGarbage) {
  struct Case {
    std::string text;
    std::int32_t expected;
  };
  const std::vector<Case> cases = {
      {"123", 123},
      {"  42abc", 42},
      {"\t-7", -7},
      {"+15", 15},
      {" -42abc", -42},
      {"abc", 0},
      {"", 0},
      {"-", 0},
      {"+-3", 0},
      {"- 3", 0},
      {"2147483647", 2147483647},
      {"2147483648", INT32_MIN},
      {"4294967297", 1},
      {"-2147483648", INT32_MIN},
      {"4294967296", 0},
      {"99999999999999999999999", -159383553},  // low 32 bits of the 64-bit wrap
      {"12 34", 12},
      {"\xD6\xD0"
       "12",
       0},
  };
  for (const auto& c : cases)
    EXPECT_EQ(read_leading_int(c.text), c.expected) << "'" << c.text << "'";
  EXPECT_EQ(read_leading_int64("9000000000"), 9000000000);
}

TEST(SplitBySeparator, RulesOfTheSeparatorMode) {
  using Pieces = std::vector<std::string>;
  struct Case {
    std::string text, separator;
    std::size_t limit;
    Pieces expected;
  };
  const std::vector<Case> cases = {
      {"a--b", "-", 0, {"a", "", "b"}},
      {"-a", "-", 0, {"", "a"}},
      {"a-", "-", 0, {"a"}},
      {"a-b-c-d", "-", 0, {"a", "b", "c", "d"}},
      {"abc", "-", 0, {"abc"}},
      {"", "-", 0, {}},
      {"a-b", "", 0, {"a-b"}},
      {"-", "-", 0, {""}},
      {"a::b::", "::", 0, {"a", "b"}},
      {"123-abc-def", "-", 2, {"123", "abc"}},
      {"123--", "-", 2, {"123", ""}},
      {"123-", "-", 2, {"123"}},
      {"one\r\ntwo\r\n", "\r\n", 0, {"one", "two"}},
      {"one\r\n\r\nthree", "\r\n", 0, {"one", "", "three"}},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(split_by_separator(c.text, c.separator, c.limit), c.expected) << "'" << c.text << "'";
  }
}

TEST(SplitBySeparator, NeverMatchesInsideTwoByteCharacter) {
  // 丂 is 0x81 0x40: its trail byte is "@", which must not split it.
  EXPECT_EQ(split_by_separator("a" + kCharWithAtTrail + "b@c", "@"),
            (std::vector<std::string>{"a" + kCharWithAtTrail + "b", "c"}));
  EXPECT_EQ(split_by_separator(kZhong + "-" + kWen, "-"), (std::vector<std::string>{kZhong, kWen}));
  // A lead byte at the very end steps one byte and ends cleanly.
  EXPECT_EQ(split_by_separator("a-\x81", "-"), (std::vector<std::string>{"a", "\x81"}));
}

TEST(PercentCodec, Utf8DetectionByFirstHighByte) {
  EXPECT_FALSE(looks_like_utf8(""));
  EXPECT_FALSE(looks_like_utf8("plain ascii"));
  EXPECT_TRUE(
      looks_like_utf8("\xEF\xBB\xBF"
                      "abc"));
  EXPECT_TRUE(looks_like_utf8("a中"));
  EXPECT_TRUE(looks_like_utf8("\xF0\x9F\x98\x80"));
  EXPECT_FALSE(looks_like_utf8("a\xC3\xA9"));  // a two-byte lead does not count
  EXPECT_FALSE(looks_like_utf8(kZhong));
  EXPECT_FALSE(looks_like_utf8("\xE4\xB8"));  // cut sequence
}

TEST(PercentCodec, DecodeTellsWhichEncodingItFound) {
  bool utf8 = false;
  EXPECT_EQ(percent_decode("%E4%B8%AD", &utf8), kZhong);
  EXPECT_TRUE(utf8);
  EXPECT_EQ(percent_decode("%D6%D0", &utf8), kZhong);
  EXPECT_FALSE(utf8);
  EXPECT_EQ(percent_decode("a+b%20c", &utf8), "a+b c");
  EXPECT_EQ(percent_decode("abc%4", &utf8), "abc");  // "%" among the last two bytes ends it
  EXPECT_EQ(percent_decode("abc%", &utf8), "abc");
  EXPECT_EQ(percent_decode("%zz1", &utf8), "%zz1");  // not an escape: kept as written
  EXPECT_EQ(percent_decode("%41%42", &utf8), "AB");
}

TEST(PercentCodec, EncodeAsUtf8) {
  EXPECT_EQ(percent_encode_utf8(kZhong + " a-_.~/"), "%E4%B8%AD%20a-_.~%2F");
  EXPECT_EQ(percent_encode(""), "");
  EXPECT_EQ(percent_decode(percent_encode_utf8(kZhong + kWen + "?&=")), kZhong + kWen + "?&=");
}

}  // namespace
}  // namespace lumora::text
