#pragma once
// A temporary folder holding a fresh data.db, removed afterwards.
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <string>

#include "db/data_file.h"
#include "db/db_connection.h"

namespace lumora::db::testing {

class TempFolder {
 public:
  TempFolder() {
    std::string pattern = (std::filesystem::temp_directory_path() / "lumora-db-XXXXXX").string();
    char* made = ::mkdtemp(pattern.data());
    if (made) path_ = made;
  }
  ~TempFolder() {
    std::error_code ec;
    if (!path_.empty()) std::filesystem::remove_all(path_, ec);
  }
  TempFolder(const TempFolder&) = delete;
  TempFolder& operator=(const TempFolder&) = delete;
  const std::filesystem::path& path() const { return path_; }

 private:
  std::filesystem::path path_;
};

// A fresh data.db in its own folder, and one connection open on it.
class DataDbTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_FALSE(folder_.path().empty());
    db_path_ = (folder_.path() / "data.db").string();
    ASSERT_TRUE(ensure_data_db(db_path_));
    ASSERT_TRUE(db_.open_sqlite(db_path_)) << db_.last_error();
  }

  std::string connection_text() const { return sqlite_connection_text(db_path_); }

  TempFolder folder_;
  std::string db_path_;
  DbConnection db_;
};

}  // namespace lumora::db::testing
