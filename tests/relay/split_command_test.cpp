#include "relay/split_command.h"

#include <gtest/gtest.h>

#include "text/literal.h"

namespace lumora::relay {
namespace {

using namespace lumora::text::literals;
using panel::Control;
using panel::SplitMode;

struct SplitCase {
  const char* label;
  SplitSettings settings;
  std::string comment;
  SplitCommand expected;
};

SplitSettings first_bytes(int n) {
  return {SplitMode::first_bytes, n, {}};
}
SplitSettings separator(std::string sep) {
  return {SplitMode::separator, 0, std::move(sep)};
}

void expect_split(const SplitCase& c) {
  SplitCommand got = split_command(c.comment, c.settings);
  EXPECT_EQ(got.instruct, c.expected.instruct) << c.label;
  EXPECT_EQ(got.parameter1, c.expected.parameter1) << c.label;
  EXPECT_EQ(got.parameter2, c.expected.parameter2) << c.label;
}

TEST(SplitCommand, FirstBytesMode) {
  const std::string cjk = "你好"_gbk;  // C4 E3 BA C3
  const SplitCase cases[] = {
      {"N=1 drops blanks", first_bytes(1), "1 2 3", {"1", "23", ""}},
      {"N=2", first_bytes(2), "ab cd", {"ab", "cd", ""}},
      {"N=0", first_bytes(0), "a b c", {"", "abc", ""}},
      {"negative N", first_bytes(-4), "a b", {"", "ab", ""}},
      {"N beyond the comment", first_bytes(50), " x y ", {"xy", "", ""}},
      {"N equal to the length", first_bytes(3), "abc", {"abc", "", ""}},
      {"N=1 cuts a CJK character", first_bytes(1), cjk, {"\xC4", "\xE3\xBA\xC3", ""}},
      {"ideographic blank stays",
       first_bytes(1),
       "a\xA1\xA1"
       "b",
       {"a",
        "\xA1\xA1"
        "b",
        ""}},
      {"tab stays", first_bytes(1), "a\tb", {"a", "\tb", ""}},
      {"empty comment", first_bytes(1), "", {"", "", ""}},
  };
  for (const SplitCase& c : cases) expect_split(c);
}

TEST(SplitCommand, SeparatorMode) {
  const SplitCase cases[] = {
      {"a-b-c-d drops d", separator("-"), "a-b-c-d", {"a", "b", "c"}},
      {"blanks kept", separator("-"), " a - b", {" a ", " b", ""}},
      {"no separator in the comment", separator("-"), "hello world", {"hello world", "", ""}},
      {"empty separator", separator(""), "a-b", {"a-b", "", ""}},
      {"empty comment", separator("-"), "", {"", "", ""}},
      {"empty piece in the middle", separator("-"), "a--b", {"a", "", "b"}},
      {"leading separator", separator("-"), "-a", {"", "a", ""}},
      {"trailing separator adds nothing", separator("-"), "a-", {"a", "", ""}},
      {"separator of several bytes", separator("::"), "go::left::3", {"go", "left", "3"}},
      // 丂 is 81 40: its trail byte is "@", which must not count as a separator.
      {"separator equal to a trail byte", separator("@"), "丂@x"_gbk, {"丂"_gbk, "x", ""}},
      // A lead byte swallows the byte after it, even a "-".
      {"lead byte before a dash", separator("-"), "\x81-b-c", {"\x81-b", "c", ""}},
      {"CJK pieces", separator("-"), "攻击-左边"_gbk, {"攻击"_gbk, "左边"_gbk, ""}},
  };
  for (const SplitCase& c : cases) expect_split(c);
}

TEST(SplitCommand, NoModeGivesNothing) {
  expect_split({"no mode", SplitSettings{}, "a-b", {"", "", ""}});
}

TEST(SplitCommand, ReadsTheSettingsFromThePanel) {
  panel::PanelModel panel;
  SplitSettings start = read_split_settings(panel);
  EXPECT_EQ(start.mode, SplitMode::separator);
  EXPECT_EQ(start.separator, "-");

  panel.set_checked(Control::单选框_弹幕截取, true);
  panel.set_text(Control::编辑框_截取字符, " 2x");
  SplitSettings n = read_split_settings(panel);
  EXPECT_EQ(n.mode, SplitMode::first_bytes);
  EXPECT_EQ(n.first_bytes, 2);

  panel.set_text(Control::编辑框_截取字符, "abc");
  EXPECT_EQ(read_split_settings(panel).first_bytes, 0);
}

}  // namespace
}  // namespace lumora::relay
