#include <gtest/gtest.h>

#include <fstream>
#include <iterator>
#include <random>

#include "db/db_connection.h"
#include "db/record_set.h"
#include "db_test_support.h"
#include "json/json_document.h"
#include "text/literal.h"

namespace lumora::db {
namespace {

using json::JsonDocument;
using json::RootKind;
using testing::DataDbTest;
using namespace text::literals;

class RecordSetTest : public DataDbTest {
 protected:
  void SetUp() override {
    DataDbTest::SetUp();
    // 45 rows: ids 4..48, uid 1..45: two pages of 20 and a last page of 5.
    std::vector<std::string> inserts;
    for (int i = 1; i <= 45; ++i) {
      inserts.push_back("INSERT INTO user (uid,group_,key_,data) VALUES (" + std::to_string(i) +
                        ",'g','k','" + std::to_string(i * 10) + "');");
    }
    ASSERT_TRUE(db_.execute_batch(inserts));
  }
};

TEST_F(RecordSetTest, PagesAreNavigatedWithinBothEnds) {
  PagedRecordSet paged;
  ASSERT_TRUE(db_.open_paged(paged, "SELECT * FROM user ORDER BY id", 20));
  EXPECT_EQ(paged.record_count(), 45);
  EXPECT_EQ(paged.page_count(), 3);
  long page = 0;
  EXPECT_TRUE(paged.first_page(page));
  EXPECT_EQ(page, 1);
  EXPECT_TRUE(paged.previous_page(page));
  EXPECT_EQ(page, 1);
  EXPECT_EQ(paged.absolute_page(), 1);
  EXPECT_TRUE(paged.next_page(page));
  EXPECT_EQ(page, 2);
  EXPECT_EQ(paged.field_value("uid").integer, 21);
  EXPECT_TRUE(paged.last_page(page));
  EXPECT_EQ(page, 3);
  EXPECT_TRUE(paged.next_page(page));
  EXPECT_EQ(page, 3);
  EXPECT_EQ(paged.field_value("uid").integer, 41);
  EXPECT_TRUE(paged.previous_page(page));
  EXPECT_EQ(page, 2);
  EXPECT_FALSE(paged.set_absolute_page(4));
  EXPECT_FALSE(paged.last_error().empty());
  EXPECT_EQ(paged.absolute_page(), 2);
}

TEST_F(RecordSetTest, PageToJsonFillsOnePage) {
  PagedRecordSet paged;
  ASSERT_TRUE(db_.open_paged(paged, "SELECT id, uid, data FROM user ORDER BY id", 20));
  JsonDocument second(RootKind::array);
  EXPECT_EQ(paged.page_to_json(second, 2), 20);
  EXPECT_EQ(second.SizeAt(""), 20u);
  EXPECT_EQ(second.GetInt("0/uid"), 21);
  EXPECT_EQ(second.GetInt("19/uid"), 40);
  JsonDocument last(RootKind::array);
  EXPECT_EQ(paged.page_to_json(last, 3), 20);
  EXPECT_EQ(last.ToText(),
            "[{\"id\":44,\"uid\":41,\"data\":\"410\"},{\"id\":45,\"uid\":42,\"data\":\"420\"},"
            "{\"id\":46,\"uid\":43,\"data\":\"430\"},{\"id\":47,\"uid\":44,\"data\":\"440\"},"
            "{\"id\":48,\"uid\":45,\"data\":\"450\"}]");
  // Page 0 reads on from where the cursor stands.
  ASSERT_TRUE(paged.set_absolute_page(1));
  JsonDocument here(RootKind::array);
  EXPECT_EQ(paged.page_to_json(here, 0), 20);
  EXPECT_EQ(here.GetInt("0/uid"), 1);

  PagedRecordSet empty;
  ASSERT_TRUE(db_.open_paged(empty, "SELECT * FROM user WHERE uid=0", 20));
  JsonDocument none(RootKind::array);
  EXPECT_EQ(empty.page_to_json(none, 0), 20);
  EXPECT_EQ(none.ToText(), "[]");
  EXPECT_EQ(empty.page_count(), 0);
}

TEST_F(RecordSetTest, RefusedArgumentsKeepStateAndSayWhy) {
  RecordSet rows;
  ASSERT_TRUE(db_.open_table(rows, "user"));
  ASSERT_TRUE(rows.set_page_size(15));
  EXPECT_FALSE(rows.set_page_size(-1));
  EXPECT_EQ(rows.last_error(), "每页的记录数小于0"_gbk);
  EXPECT_EQ(rows.page_size(), 15);

  EXPECT_FALSE(rows.move_by(1, 3));
  EXPECT_EQ(rows.last_error(), "移动方式值不在0-2之间"_gbk);
  rows.move_last();
  EXPECT_TRUE(rows.move_by(2));  // start omitted: from the first row
  EXPECT_EQ(rows.get_int("uid"), 3);
  EXPECT_TRUE(rows.move_by(-1, 0));
  EXPECT_EQ(rows.get_int("uid"), 2);
  EXPECT_TRUE(rows.move_by(-1, 2));
  EXPECT_EQ(rows.get_int("uid"), 44);
  EXPECT_TRUE(rows.move_by(100, 0));
  EXPECT_TRUE(rows.eof());
  EXPECT_FALSE(rows.move_next());

  rows.move_first();
  EXPECT_TRUE(rows.cell_value(-1).is_empty());
  EXPECT_EQ(rows.last_error(), "列号小于0"_gbk);
  EXPECT_TRUE(rows.cell_value(5).is_empty());
  EXPECT_EQ(rows.last_error(), "找不到字段"_gbk);
  EXPECT_EQ(rows.cell_value(1).integer, 1);
  EXPECT_TRUE(rows.last_error().empty());
  rows.move_last();
  rows.move_next();
  EXPECT_TRUE(rows.cell_value(0).is_empty());
  EXPECT_EQ(rows.last_error(), "找不到记录"_gbk);
}

TEST_F(RecordSetTest, FieldsAndReadAll) {
  RecordSet rows;
  ASSERT_TRUE(
      db_.open_table(rows, "SELECT id, uid, data FROM user WHERE uid<=3 ORDER BY id", 3, 2, 1));
  EXPECT_EQ(rows.field_count(), 3);
  EXPECT_EQ(rows.field_name(2), "uid");
  EXPECT_EQ(rows.field_name(4), "");
  std::vector<std::string> names;
  EXPECT_EQ(rows.field_names(names), 3);
  EXPECT_TRUE(rows.field_value("nosuch").is_empty());
  EXPECT_EQ(rows.get_text("DATA"), "10");  // names compare as SQLite compares them
  EXPECT_EQ(rows.get_double("data"), 10.0);
  EXPECT_TRUE(rows.set_field_value("data", DbValue::of_text("changed")));
  EXPECT_EQ(rows.get_text("data"), "changed");
  std::vector<std::vector<DbValue>> values;
  rows.move_next();
  EXPECT_EQ(rows.read_all(names, values), 2);
  ASSERT_EQ(values.size(), 2u);
  EXPECT_EQ(values[1][1].integer, 3);
  EXPECT_TRUE(rows.eof());
}

TEST_F(DataDbTest, DateAndTimeTexts) {
  ASSERT_TRUE(db_.execute_sql(
      "CREATE TABLE d (at DATETIME, day DATE, t TIME, unix INTEGER, jd REAL);"
      "INSERT INTO d VALUES ('2024-05-01 08:09:10', '1999-12-31', '07:05:00', 86400, 2451545.0);"));
  RecordSet rows;
  ASSERT_TRUE(db_.open_table(rows, "d"));
  EXPECT_EQ(rows.get_datetime_text("at"), "2024-05-01 08:09:10");
  EXPECT_EQ(rows.get_date_text("at"), "2024-05-01");
  EXPECT_EQ(rows.get_time_text("at"), "08:09:10");
  EXPECT_EQ(rows.get_datetime_text("day"), "1999-12-31 00:00:00");
  EXPECT_EQ(rows.get_time_text("t"), "07:05:00");
  EXPECT_EQ(rows.get_datetime_text("unix"), "1970-01-02 00:00:00");
  EXPECT_EQ(rows.get_datetime_text("jd"), "2000-01-01 12:00:00");
  EXPECT_EQ(rows.get_datetime_text("nosuch"), "");
}

TEST_F(DataDbTest, BytesRoundTripWithoutAConnection) {
  // Statements are GBK texts, like every text of the program.
  ASSERT_TRUE(
      db_.execute_sql("CREATE TABLE k (i INTEGER, r REAL, s TEXT, b BLOB, n, flag BOOLEAN);"
                      "INSERT INTO k VALUES (-9000000000, 2.5, '中文''s', x'00ff10', NULL, 1);"
                      "INSERT INTO k VALUES (0, -0.125, '', x'', 3, 0);"_gbk));
  RecordSet source;
  ASSERT_TRUE(db_.open_table(source, "k"));
  std::string bytes = source.save_to_bytes();
  ASSERT_FALSE(bytes.empty());

  RecordSet loaded;
  ASSERT_TRUE(loaded.load_from_bytes(bytes)) << loaded.last_error();
  db_.close_connection();
  EXPECT_EQ(loaded.table().names, source.table().names);
  EXPECT_EQ(loaded.table().declared_types, source.table().declared_types);
  EXPECT_EQ(loaded.table().rows, source.table().rows);
  EXPECT_EQ(loaded.get_text("s"), "中文's"_gbk);
  EXPECT_EQ(loaded.get_bytes("b"), std::string("\x00\xff\x10", 3));
  PagedRecordSet paged;
  ASSERT_TRUE(paged.load_from_bytes(bytes));
  JsonDocument rows(RootKind::array);
  paged.page_to_json(rows, 1);
  EXPECT_EQ(rows.ToText(), "[{\"i\":-9000000000,\"r\":2.5,\"s\":\"" + "中文's"_gbk +
                               "\",\"n\":null,\"flag\":true},{\"i\":0,\"r\":-0.125,\"s\":\"\","
                               "\"n\":3,\"flag\":false}]");
}

TEST_F(DataDbTest, DamagedBytesAreRefused) {
  ASSERT_TRUE(
      db_.execute_sql("CREATE TABLE k (i, s); INSERT INTO k VALUES (1, 'abc'), (2, 'de');"));
  RecordSet source;
  ASSERT_TRUE(db_.open_table(source, "k"));
  const std::string bytes = source.save_to_bytes();

  RecordSet target;
  ASSERT_TRUE(target.load_from_bytes(bytes));
  for (std::size_t size = 0; size < bytes.size(); ++size) {
    EXPECT_FALSE(target.load_from_bytes(bytes.substr(0, size))) << "prefix of " << size;
  }
  EXPECT_FALSE(target.load_from_bytes(bytes + "x"));
  EXPECT_EQ(target.record_count(), 2);  // refusals leave the loaded rows alone

  auto patched = [&](std::size_t at, std::string_view with) {
    std::string copy = bytes;
    copy.replace(at, with.size(), with);
    return copy;
  };
  EXPECT_FALSE(target.load_from_bytes(patched(0, "XMRS")));                  // magic
  EXPECT_FALSE(target.load_from_bytes(patched(4, std::string("\x02", 1))));  // version
  EXPECT_FALSE(target.load_from_bytes(patched(8, "\xff\xff\xff\x7f")));      // column count
  // Row count: huge, then merely one too many.
  std::size_t rows_at = 12 + 2 * 8 + 1 + 1;  // columns "i", "s" with empty declared types
  EXPECT_FALSE(target.load_from_bytes(patched(rows_at, "\xff\xff\xff\xff")));
  EXPECT_FALSE(target.load_from_bytes(patched(rows_at, std::string("\x03\x00\x00\x00", 4))));
  EXPECT_FALSE(target.load_from_bytes(patched(rows_at + 4, std::string("\x09", 1))));  // kind

  // Random damage never crashes; whatever loads is a consistent record set.
  std::mt19937 random(7);
  for (int round = 0; round < 3000; ++round) {
    std::string copy = bytes;
    int flips = 1 + static_cast<int>(random() % 4);
    for (int f = 0; f < flips; ++f) copy[random() % copy.size()] = static_cast<char>(random());
    RecordSet fuzzed;
    if (fuzzed.load_from_bytes(copy)) {
      for (const auto& row : fuzzed.table().rows)
        EXPECT_EQ(row.size(), fuzzed.table().names.size());
    }
  }
}

TEST_F(RecordSetTest, ExportsASpreadsheet) {
  RecordSet rows;
  ASSERT_TRUE(db_.open_table(rows, "SELECT uid, data FROM user WHERE uid<=3", 3, 2, 1));
  std::string file = (folder_.path() / "out.xlsx").string();
  { std::ofstream(file) << "old"; }
  EXPECT_TRUE(rows.export_excel(file, true)) << rows.last_error();
  std::ifstream in(file, std::ios::binary);
  std::string content((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  EXPECT_EQ(content.substr(0, 2), "PK");  // a zip package, as .xlsx files are
  EXPECT_GT(content.size(), 1000u);
  EXPECT_FALSE(rows.export_excel((folder_.path() / "no/such/dir.xlsx").string(), false));
}

TEST(RecordSetClosed, OperationsOnAnUnopenedRecordSetFail) {
  RecordSet rows;
  EXPECT_FALSE(rows.rs_open("SELECT 1"));
  EXPECT_FALSE(rows.move_next());
  EXPECT_EQ(rows.record_count(), 0);
  EXPECT_EQ(rows.field_count(), 0);
  EXPECT_TRUE(rows.save_to_bytes().empty());
  EXPECT_TRUE(rows.cell_value(0).is_empty());
  EXPECT_EQ(rows.last_error(), "找不到记录"_gbk);
  PagedRecordSet paged;
  JsonDocument out(RootKind::array);
  EXPECT_EQ(paged.page_to_json(out, 1), 0);
}

}  // namespace
}  // namespace lumora::db
