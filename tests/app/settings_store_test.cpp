// The settings store on real files in a temporary folder.
#include "web/settings_store.h"

#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "text/literal.h"

namespace lumora::web {
namespace {

using namespace lumora::text::literals;

std::string slurp(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

void spit(const std::string& path, const std::string& bytes) {
  std::ofstream(path, std::ios::binary) << bytes;
}

class SettingsStoreTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char pattern[] = "/tmp/lumora_settings_XXXXXX";
    ASSERT_NE(::mkdtemp(pattern), nullptr);
    root_ = pattern;
    folder_ = root_ + "/网站/数据";
  }
  void TearDown() override { std::filesystem::remove_all(root_); }
  std::string root_;
  std::string folder_;
};

TEST_F(SettingsStoreTest, MissingFileReadsDefaultsAndFirstWriteCreatesFolderAndFile) {
  SettingsStore store(folder_);
  EXPECT_EQ(store.read_setting("分割字符"_gbk, "-"), "-");
  EXPECT_EQ(store.read_setting("分割类型"_gbk, ""), "");
  EXPECT_FALSE(std::filesystem::exists(store.file_path()));

  ASSERT_TRUE(store.write_setting("分割字符"_gbk, "#"_gbk)) << store.error_text();
  EXPECT_EQ(store.file_path(), folder_ + "/Config.ini");
  // GBK bytes, CR LF lines, the default section.
  EXPECT_EQ(slurp(store.file_path()), "[Wirlex设置]\r\n分割字符=#\r\n"_gbk);
  EXPECT_EQ(store.read_setting("分割字符"_gbk, "-"), "#");
  EXPECT_EQ(store.read_setting("截取字符"_gbk, "1"), "1");
}

TEST_F(SettingsStoreTest, RoundTripsValuesIncludingChineseBlanksAndEmptyOnes) {
  SettingsStore store(folder_);
  const std::vector<std::pair<std::string, std::string>> cases = {
      {"直播间1"_gbk, "21452505"}, {"直播间2"_gbk, "房间号"_gbk},
      {"分割字符"_gbk, " "},       // a separator of one blank
      {"截取字符"_gbk, ""},        // an emptied box
      {"引号"_gbk, "\"quoted\""},  // quotes of its own
      {"等号"_gbk, "a=b"},
  };
  for (const auto& [key, value] : cases) ASSERT_TRUE(store.write_setting(key, value));
  SettingsStore again(folder_);  // a fresh object reads the same file
  for (const auto& [key, value] : cases) {
    EXPECT_EQ(again.read_setting(key, "<missing>"), value) << text::gbk_to_utf8(key);
  }
  // Rewriting a key replaces its line in place.
  ASSERT_TRUE(store.write_setting("直播间1"_gbk, "1"));
  EXPECT_EQ(store.read_setting("直播间1"_gbk, ""), "1");
  const std::string file = slurp(store.file_path());
  EXPECT_EQ(file.find("直播间1=21452505"_gbk), std::string::npos);
  EXPECT_LT(file.find("直播间1=1"_gbk), file.find("直播间2"_gbk));
}

TEST_F(SettingsStoreTest, OtherSectionsLinesAndCommentsArePreserved) {
  std::filesystem::create_directories(folder_);
  SettingsStore store(folder_);
  spit(store.file_path(),
       "; written by hand\n"
       "[other]\n"
       "分割字符=keep\n"_gbk +
           "\n"
           "[WIRLEX设置]\n"_gbk +  // names match without regard to ASCII case
           "  截取字符 = 3 \n"_gbk +
           "\n"
           "[third]\n"
           "x=y\n");
  EXPECT_EQ(store.read_setting("截取字符"_gbk, "1"), "3");
  EXPECT_EQ(store.read_setting("分割字符"_gbk, "-"), "-");  // only in [other]
  EXPECT_EQ(store.read_setting("分割字符"_gbk, "-", "other"), "keep");
  EXPECT_EQ(store.read_setting("X", "", "THIRD"), "y");

  ASSERT_TRUE(store.write_setting("分割类型"_gbk, "1"));
  ASSERT_TRUE(store.write_setting("x", "z", "third"));
  ASSERT_TRUE(store.write_setting("k", "v", "new"));
  EXPECT_EQ(slurp(store.file_path()),
            "; written by hand\r\n"
            "[other]\r\n"
            "分割字符=keep\r\n"_gbk +
                "\r\n"
                "[WIRLEX设置]\r\n"_gbk +
                "  截取字符 = 3 \r\n"_gbk + "分割类型=1\r\n"_gbk +
                "\r\n"
                "[third]\r\n"
                "x=z\r\n"
                "[new]\r\n"
                "k=v\r\n");
  // No temporary file is left behind.
  std::size_t files = 0;
  for (auto& entry : std::filesystem::directory_iterator(folder_)) {
    (void)entry;
    ++files;
  }
  EXPECT_EQ(files, 1u);
}

TEST_F(SettingsStoreTest, RefusesTextsThatWouldBreakTheLayout) {
  SettingsStore store(folder_);
  ASSERT_TRUE(store.write_setting("a", "1"));
  const std::string before = slurp(store.file_path());
  EXPECT_FALSE(store.write_setting("", "v"));
  EXPECT_FALSE(store.write_setting("k=1", "v"));
  EXPECT_FALSE(store.write_setting("k", "line\r\n[injected]"));
  EXPECT_FALSE(store.write_setting("k", "v", "bad]section"));
  EXPECT_FALSE(store.error_text().empty());
  EXPECT_EQ(slurp(store.file_path()), before);
}

TEST_F(SettingsStoreTest, ConcurrentWritersLoseNothing) {
  SettingsStore first(folder_);
  SettingsStore second(folder_);
  std::vector<std::thread> writers;
  for (int t = 0; t < 4; ++t) {
    writers.emplace_back([&, t] {
      SettingsStore& store = (t % 2) ? first : second;
      for (int i = 0; i < 25; ++i) {
        store.write_setting("k" + std::to_string(t) + "_" + std::to_string(i), std::to_string(i));
      }
    });
  }
  for (auto& w : writers) w.join();
  for (int t = 0; t < 4; ++t) {
    for (int i = 0; i < 25; ++i) {
      EXPECT_EQ(first.read_setting("k" + std::to_string(t) + "_" + std::to_string(i), ""),
                std::to_string(i));
    }
  }
}

}  // namespace
}  // namespace lumora::web
