#include <gtest/gtest.h>
#include <sqlite3.h>

#include <fstream>
#include <iterator>

#include "db/data_file.h"
#include "db/db_connection.h"
#include "db_test_support.h"
#include "json/json_document.h"

namespace lumora::db {
namespace {

using json::JsonDocument;
using json::RootKind;
using testing::TempFolder;

std::string file_bytes(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

TEST(DataFile, AFreshFileHoldsTheUserTableAndStartsAtIdFour) {
  TempFolder folder;
  auto path = folder.path() / "data.db";
  ASSERT_TRUE(ensure_data_db(path));
  // Only data.db is left in the folder: the temporary name is gone.
  EXPECT_EQ(std::distance(std::filesystem::directory_iterator(folder.path()),
                          std::filesystem::directory_iterator()),
            1);
  EXPECT_EQ(file_bytes(path).substr(0, 16), std::string("SQLite format 3\0", 16));

  DbConnection db;
  ASSERT_TRUE(db.open_sqlite(path.string()));
  JsonDocument schema(RootKind::array);
  EXPECT_EQ(db.query_rows("SELECT name, sql FROM sqlite_master ORDER BY name", schema), 2);
  EXPECT_EQ(schema.ToText(),
            "[{\"name\":\"sqlite_sequence\",\"sql\":\"CREATE TABLE sqlite_sequence(name,seq)\"},"
            "{\"name\":\"user\",\"sql\":\"CREATE TABLE user (id INTEGER PRIMARY KEY AUTOINCREMENT, "
            "uid INTEGER, group_ VARCHAR, key_ VARCHAR, data VARCHAR)\"}]");
  JsonDocument columns(RootKind::array);
  EXPECT_EQ(db.query_rows("SELECT name, type FROM pragma_table_info('user')", columns), 5);
  EXPECT_EQ(columns.ToText(),
            "[{\"name\":\"id\",\"type\":\"INTEGER\"},{\"name\":\"uid\",\"type\":\"INTEGER\"},"
            "{\"name\":\"group_\",\"type\":\"VARCHAR\"},{\"name\":\"key_\",\"type\":\"VARCHAR\"},"
            "{\"name\":\"data\",\"type\":\"VARCHAR\"}]");
  JsonDocument page;
  EXPECT_TRUE(db.query_first("PRAGMA page_size", page, true));
  EXPECT_EQ(page.GetInt("page_size"), 4096);
  JsonDocument empty(RootKind::array);
  EXPECT_EQ(db.query_rows("SELECT * FROM user", empty), 0);

  JsonDocument record;
  record.SetInt("uid", 1);
  record.SetText("group_", "conf");
  record.SetText("key_", "k");
  record.SetText("data", "v");
  EXPECT_EQ(db.save_record("user", record), 4);
}

TEST(DataFile, AnExistingFileIsNeverTouched) {
  TempFolder folder;
  auto path = folder.path() / "data.db";
  ASSERT_TRUE(ensure_data_db(path));
  {
    DbConnection db;
    ASSERT_TRUE(db.open_sqlite(path.string()));
    JsonDocument record;
    record.SetInt("uid", 9);
    ASSERT_EQ(db.save_record("user", record), 4);
  }
  std::string before = file_bytes(path);
  EXPECT_FALSE(ensure_data_db(path));
  EXPECT_EQ(file_bytes(path), before);

  auto other = folder.path() / "other.db";
  { std::ofstream(other) << "not a database"; }
  std::string error;
  EXPECT_FALSE(ensure_data_db(other, &error));
  EXPECT_EQ(file_bytes(other), "not a database");
  EXPECT_TRUE(error.empty());
}

TEST(DataFile, AFolderThatDoesNotExistFailsWithAReason) {
  TempFolder folder;
  std::string error;
  EXPECT_FALSE(ensure_data_db(folder.path() / "no" / "data.db", &error));
  EXPECT_FALSE(error.empty());
}

}  // namespace
}  // namespace lumora::db
