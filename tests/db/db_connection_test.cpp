#include <gtest/gtest.h>
#include <sqlite3.h>

#include <atomic>
#include <regex>
#include <set>
#include <thread>
#include <vector>

#include "db/connection_pool.h"
#include "db/db_connection.h"
#include "db/db_handle.h"
#include "db_test_support.h"
#include "json/json_document.h"
#include "text/gbk.h"
#include "text/literal.h"

namespace lumora::db {
namespace {

using json::JsonDocument;
using json::RootKind;
using testing::DataDbTest;
using testing::TempFolder;
using namespace text::literals;

// Every statement text SQLite is handed on a connection.
class StatementTrace {
 public:
  explicit StatementTrace(const DbConnection& connection) : db_(connection.handle()->db) {
    sqlite3_trace_v2(db_, SQLITE_TRACE_STMT, &StatementTrace::on_statement, this);
  }
  ~StatementTrace() { sqlite3_trace_v2(db_, 0, nullptr, nullptr); }
  const std::vector<std::string>& statements() const { return statements_; }

 private:
  static int on_statement(unsigned, void* self, void* statement, void*) {
    static_cast<StatementTrace*>(self)->statements_.push_back(
        sqlite3_sql(static_cast<sqlite3_stmt*>(statement)));
    return 0;
  }
  sqlite3* db_;
  std::vector<std::string> statements_;
};

JsonDocument user_record(int uid, std::string_view group, std::string_view key,
                         std::string_view data) {
  JsonDocument record;
  record.SetInt("uid", uid);
  record.SetText("group_", group);
  record.SetText("key_", key);
  record.SetText("data", data);
  return record;
}

TEST(ConnectionTexts, EachKindIsBuiltAsWritten) {
  EXPECT_EQ(excel8_connection_text("a.xls"),
            "Provider=Microsoft.Jet.OLEDB.4.0;Extended Properties=Excel 8.0;Data Source=a.xls");
  EXPECT_EQ(excel12_connection_text("a.xlsx"),
            "Provider=Microsoft.ace.OLEDB.12.0;Extended Properties=Excel 12.0;Data Source=a.xlsx");
  EXPECT_EQ(sqlite_connection_text("/p/data.db"),
            "Provider=MSDASQL.1;Extended Properties=Driver={SQLite3 ODBC "
            "Driver};Password='';Database=/p/data.db;");
  EXPECT_EQ(mysql_connection_text({}),
            "Driver={MySQL ODBC 3.51 Driver};Server=localhost;Port=3306;DataBase=mysql;UID=root;"
            "Password=;Stmt=Set Names 'GBK'");
  MysqlOptions provider;
  provider.password = "pw";
  provider.provider_form = true;
  EXPECT_EQ(mysql_connection_text(provider),
            "Provider=MSDASQL.1;Password=pw;Persist Security Info=False;Extended "
            "Properties=\"Driver={MySQL ODBC 3.51 "
            "Driver};Server=localhost;Port=3306;DataBase=mysql;UID=root;Stmt=Set Names 'GBK''\"");
  EXPECT_EQ(sql_server_connection_text(),
            "Provider=SQLOLEDB;Persist Security Info=True;User ID=sa;Password=sa;Initial "
            "Catalog=master;Data Source=localhost,1433");
  EXPECT_EQ(text_folder_connection_text("/t"),
            "Driver={Microsoft Text Driver (*.txt; *.csv)};Data "
            "Source=/t;Extensions=asc,csv,tab,txt;");
  EXPECT_EQ(access_connection_text("a.mdb", "x"),
            "Provider=Microsoft.Jet.OLEDB.4.0;Jet OLEDB:Database Password=x;Data Source=a.mdb");
  EXPECT_EQ(access_ace_connection_text("a.accdb", "x"),
            "Provider=Microsoft.ace.OLEDB.12.0;Data Source=a.accdb;Jet OLEDB:Database Password=x;");
  // Markers are replaced at every occurrence.
  EXPECT_EQ(sqlite_connection_text("%PW"),
            "Provider=MSDASQL.1;Extended Properties=Driver={SQLite3 ODBC "
            "Driver};Password='';Database=%PW;");
}

TEST_F(DataDbTest, KindsWithoutADriverSayTheyAreNotOffered) {
  DbConnection other;
  EXPECT_FALSE(other.open_mysql());
  EXPECT_NE(other.last_error().find("不提供这种数据库"_gbk), std::string::npos);
  EXPECT_FALSE(other.open_access("x.mdb"));
  EXPECT_FALSE(other.is_open());
  EXPECT_EQ(other.connection_state(), 0);
}

TEST_F(DataDbTest, OpenSqliteOnAMissingFileLeavesTheConnectionAlone) {
  EXPECT_FALSE(db_.open_sqlite((folder_.path() / "missing.db").string()));
  EXPECT_TRUE(db_.is_open());
  EXPECT_EQ(db_.connection_state(), 1);
  EXPECT_FALSE(std::filesystem::exists(folder_.path() / "missing.db"));
  // open_connection itself never creates a file either.
  DbConnection other;
  EXPECT_FALSE(other.open_connection(sqlite_connection_text((folder_.path() / "x.db").string())));
  EXPECT_FALSE(std::filesystem::exists(folder_.path() / "x.db"));
  EXPECT_FALSE(other.last_error().empty());
}

TEST_F(DataDbTest, TimeoutsAreKeptInWholeSeconds) {
  db_.set_timeout(2500, TimeoutKind::command);
  EXPECT_EQ(db_.get_timeout(TimeoutKind::command), 2000);
  db_.set_timeout(999, TimeoutKind::connection);
  EXPECT_EQ(db_.get_timeout(TimeoutKind::connection), 0);
}

TEST_F(DataDbTest, InsertReturnsTheNewIdAndRemovesOnlyId) {
  JsonDocument record = user_record(12, "conf", "k", "v");
  record.SetInt("id", 0);
  std::string error;
  EXPECT_EQ(db_.save_record("user", record, 0, &error), 4) << error;
  EXPECT_EQ(record.KeysAt(""), (std::vector<std::string>{"uid", "group_", "key_", "data"}));
  JsonDocument second = user_record(13, "conf", "k", "w");
  EXPECT_EQ(db_.save_record("user", second), 5);

  JsonDocument built = user_record(1, "g", "k", "d");
  built.SetInt("id", 9);
  EXPECT_EQ(build_insert_sql("user", built),
            "INSERT INTO user (uid,group_,key_,data) VALUES (1,'g','k','d');");
  JsonDocument empty;
  EXPECT_EQ(build_insert_sql("t", empty), "INSERT INTO t VALUES ();");
}

TEST(SqlBuilders, ValueShapes) {
  JsonDocument record;
  record.SetNumber("r", 2.5);
  record.SetBool("b", true);
  record.SetNull("n");
  record.SetJson("a", "[1,\"x\"]");
  record.SetText("q", "it's");
  EXPECT_EQ(build_insert_sql("t", record),
            "INSERT INTO t (r,b,n,a,q) VALUES (2.5,1,'','[1,\"x\"]','it''s');");
  EXPECT_EQ(build_select_sql("user", "uid=1", "order by data", ""),
            "SELECT * FROM user WHERE uid=1 order by data");
  EXPECT_EQ(build_select_sql("user", "", "", "id,uid"), "SELECT id,uid FROM user");
  EXPECT_EQ(build_delete_sql("user", "uid=1"), "DELETE FROM user WHERE uid=1;");
  EXPECT_EQ(build_delete_sql("user"), "DELETE FROM user;");
}

TEST_F(DataDbTest, UpdateAssignsInDocumentOrderOnTheId) {
  JsonDocument first = user_record(1, "g", "k", "old");
  ASSERT_EQ(db_.save_record("user", first), 4);

  JsonDocument record;
  record.SetInt("id", 4);
  record.SetInt("uid", 7);
  record.SetText("group_", "g2");
  record.SetText("key_", "k2");
  EXPECT_EQ(build_update_sql("user", record),
            "UPDATE user SET uid=7,group_='g2',key_='k2' WHERE id=4;");
  StatementTrace trace(db_);
  EXPECT_EQ(db_.save_record("user", record), 4);
  ASSERT_EQ(trace.statements().size(), 1u);
  EXPECT_EQ(trace.statements()[0], "UPDATE user SET uid=7,group_='g2',key_='k2' WHERE id=4;");

  JsonDocument last_id;
  last_id.SetInt("uid", 7);
  last_id.SetInt("id", 5);
  EXPECT_EQ(build_update_sql("user", last_id), "UPDATE user SET uid=7 WHERE id=5;");

  // The id is read as an integer: a text id cannot widen the condition.
  JsonDocument sly;
  sly.SetText("id", "4 or 1=1");
  sly.SetText("data", "x");
  EXPECT_EQ(build_update_sql("user", sly), "UPDATE user SET data='x' WHERE id=4;");
}

TEST_F(DataDbTest, SaveRecordFailures) {
  std::string error;
  JsonDocument no_id = user_record(1, "g", "k", "d");
  EXPECT_EQ(db_.save_record("user", no_id, 2, &error), -1);
  EXPECT_EQ(error, "SQL语句创建错误："_gbk + "编辑对象的id不能为0"_gbk);

  JsonDocument ghost = user_record(1, "g", "k", "d");
  ghost.SetInt("id", 999);
  EXPECT_EQ(db_.save_record("user", ghost, 0, &error), -1);
  EXPECT_EQ(error, "数据未发生改变"_gbk);

  JsonDocument bad = user_record(1, "g", "k", "d");
  bad.SetInt("nosuch", 1);
  EXPECT_EQ(db_.save_record("user", bad, 0, &error), -1);
  EXPECT_EQ(error.rfind("SQL执行失败："_gbk, 0), 0u) << error;
  EXPECT_NE(error.find("#RunSQL (INSERT INTO user"), std::string::npos);
  EXPECT_NE(error.find("=> err;{0}"), std::string::npos);
}

TEST_F(DataDbTest, ExecuteSqlWritesItsLogLine) {
  JsonDocument record = user_record(1, "g", "k", "d");
  ASSERT_EQ(db_.save_record("user", record), 4);
  std::string log;
  std::int64_t affected = -1;
  EXPECT_TRUE(
      db_.execute_sql("UPDATE user SET data='e' WHERE id=4", true, &log, nullptr, &affected));
  EXPECT_EQ(affected, 1);
  EXPECT_TRUE(std::regex_match(
      log,
      std::regex(
          R"(\[\d{4}-\d\d-\d\d \d\d:\d\d:\d\d\] #RunSQL \(UPDATE user SET data='e' WHERE id=4\) => ok;\{1\})")))
      << log;
  // With the count-success flag, no affected row is a failure; without it, not.
  EXPECT_FALSE(db_.execute_sql("UPDATE user SET data='e' WHERE id=99", true, &log));
  EXPECT_TRUE(db_.execute_sql("UPDATE user SET data='e' WHERE id=99", false, &log));
  EXPECT_NE(log.find("=> ok;{0}"), std::string::npos);
  EXPECT_FALSE(db_.execute_sql("SELEC nonsense", false, &log));
  EXPECT_NE(log.find("=> err;{0}"), std::string::npos);
  EXPECT_FALSE(db_.last_error().empty());
  // A statement after a change reports its own count, not the earlier one.
  EXPECT_TRUE(db_.execute_count("CREATE TABLE extra (a)", affected));
  EXPECT_EQ(affected, 0);

  RecordSet rows = db_.execute_query("SELECT id, data FROM user");
  EXPECT_TRUE(rows.is_open());
  EXPECT_EQ(rows.record_count(), 1);
  EXPECT_EQ(rows.get_text("data"), "e");
}

TEST_F(DataDbTest, QueryFirstDropsTheFinalSemicolonAndLimitsToOneRow) {
  for (int uid : {1, 2, 3}) {
    JsonDocument record = user_record(uid, "g", "k", "d");
    ASSERT_GT(db_.save_record("user", record), 0);
  }
  StatementTrace trace(db_);
  JsonDocument row;
  EXPECT_TRUE(db_.query_first("SELECT * FROM user ORDER BY id DESC;", row));
  EXPECT_EQ(row.GetInt("uid"), 3);
  EXPECT_EQ(row.ToText(), "{\"id\":6,\"uid\":3,\"group_\":\"g\",\"key_\":\"k\",\"data\":\"d\"}");
  JsonDocument kept;
  EXPECT_TRUE(db_.query_first("SELECT * FROM user WHERE uid=2", kept, true));
  JsonDocument by_id;
  EXPECT_TRUE(db_.get_by_id("user", 5, by_id));
  EXPECT_EQ(by_id.GetInt("uid"), 2);
  JsonDocument none;
  EXPECT_FALSE(db_.query_first("SELECT * FROM user WHERE uid=99", none));
  EXPECT_EQ(none.ToText(), "{}");
  EXPECT_EQ(
      trace.statements(),
      (std::vector<std::string>{
          "SELECT * FROM user ORDER BY id DESC LIMIT 1", "SELECT * FROM user WHERE uid=2",
          "SELECT * FROM user WHERE id=5 LIMIT 1", "SELECT * FROM user WHERE uid=99 LIMIT 1"}));
}

TEST_F(DataDbTest, QueryRowsTurnsEachKindIntoJson) {
  ASSERT_TRUE(db_.execute_sql(
      "CREATE TABLE t (n REAL, i INTEGER, s TEXT, b BOOLEAN, d DATETIME, x BLOB, z);"
      "INSERT INTO t VALUES (2.0000000001, 5000000000, 'a', 1, '2024-05-01 08:09:10', x'00ff', "
      "NULL);"
      "INSERT INTO t VALUES (2.5, -3, 'b', 0, '2024-05-02 00:00:00', x'01', 7);"
      "INSERT INTO t VALUES (NULL, 1, NULL, 1, NULL, NULL, 'late');"))
      << db_.last_error();
  JsonDocument rows(RootKind::array);
  EXPECT_EQ(db_.query_rows("SELECT * FROM t", rows, 0), 3);
  EXPECT_EQ(
      rows.ToText(),
      "[{\"n\":2,\"i\":5000000000,\"s\":\"a\",\"b\":true,\"d\":\"2024-05-01 08:09:10\",\"z\":null},"
      "{\"n\":2.5,\"i\":-3,\"s\":\"b\",\"b\":false,\"d\":\"2024-05-02 00:00:00\",\"z\":7},"
      "{\"n\":null,\"i\":1,\"s\":null,\"b\":true,\"d\":null,\"z\":\"late\"}]");
  JsonDocument two(RootKind::array);
  EXPECT_EQ(db_.query_rows("SELECT i FROM t ORDER BY i", two, 2), 2);
  EXPECT_EQ(two.ToText(), "[{\"i\":-3},{\"i\":1}]");
  JsonDocument failed(RootKind::array);
  EXPECT_EQ(db_.query_rows("SELECT * FROM nosuch", failed), -1);
  EXPECT_FALSE(db_.last_error().empty());
  JsonDocument empty(RootKind::array);
  EXPECT_EQ(db_.query_rows("SELECT * FROM user", empty), 0);
}

TEST_F(DataDbTest, BatchRunsInOneTransaction) {
  std::vector<std::string> none;
  int position = 0;
  EXPECT_FALSE(db_.execute_batch(none, &position));
  EXPECT_EQ(position, -1);

  std::vector<std::string> failing = {
      "INSERT INTO user (uid,group_,key_,data) VALUES (1,'g','k','first');",
      "INSERT INTO nosuch VALUES (1);",
      "INSERT INTO user (uid,group_,key_,data) VALUES (3,'g','k','third');"};
  EXPECT_FALSE(db_.execute_batch(failing, &position));
  EXPECT_EQ(position, 2);
  EXPECT_NE(db_.last_error().find("nosuch"), std::string::npos);
  JsonDocument rows(RootKind::array);
  EXPECT_EQ(db_.query_rows("SELECT * FROM user", rows), 0);
  EXPECT_EQ(db_.transaction_level(), 0);

  std::vector<std::string> good = {failing[0], failing[2]};
  EXPECT_TRUE(db_.execute_batch(good, &position));
  EXPECT_EQ(db_.query_rows("SELECT * FROM user", rows), 2);

  // save_records: one batch over every element; "id" decides insert or update.
  JsonDocument records(RootKind::array);
  JsonDocument a = user_record(7, "g", "k", "a");
  JsonDocument b = user_record(8, "g", "k", "b");
  b.SetInt("id", 4);
  records.AppendDocument("", a);
  records.AppendDocument("", b);
  std::string error;
  EXPECT_TRUE(db_.save_records("user", records, 0, &error)) << error;
  JsonDocument updated;
  ASSERT_TRUE(db_.get_by_id("user", 4, updated));
  EXPECT_EQ(updated.GetText("data"), "b");
  EXPECT_EQ(records.SizeAt("0"), 4u);  // the caller's records keep their members
}

TEST_F(DataDbTest, NestedTransactionsRollBackOnlyTheirOwnPart) {
  EXPECT_EQ(db_.begin_transaction(), 1);
  ASSERT_TRUE(db_.execute_sql("INSERT INTO user (uid) VALUES (1)"));
  EXPECT_EQ(db_.begin_transaction(), 2);
  ASSERT_TRUE(db_.execute_sql("INSERT INTO user (uid) VALUES (2)"));
  EXPECT_TRUE(db_.rollback_transaction());
  EXPECT_TRUE(db_.commit_transaction());
  EXPECT_FALSE(db_.commit_transaction());
  JsonDocument rows(RootKind::array);
  EXPECT_EQ(db_.query_rows("SELECT uid FROM user", rows), 1);
  EXPECT_EQ(rows.ToText(), "[{\"uid\":1}]");
}

TEST_F(DataDbTest, QuotesAndChineseAreStoredUnchangedAndTouchNothingElse) {
  JsonDocument other = user_record(1, "conf", "k", "keep");
  ASSERT_EQ(db_.save_record("user", other), 4);
  const std::string hostile = "x' OR '1'='1";
  const std::string mixed = "他说：\"it's '好'\" \\ ;--"_gbk;
  for (const std::string& value : {hostile, mixed}) {
    JsonDocument record = user_record(2, "conf", value, value);
    std::int64_t id = db_.save_record("user", record);
    ASSERT_GT(id, 0) << db_.last_error();
    JsonDocument back;
    std::string where = "uid=2 and key_='" + escape_sql_text(value) + "' and group_='conf'";
    ASSERT_TRUE(db_.query_first(build_select_sql("user", where), back));
    EXPECT_EQ(back.GetText("data"), value);
    EXPECT_EQ(back.GetInt64("id"), id);
    back.SetText("data", value + value);
    EXPECT_EQ(db_.save_record("user", back), id);
  }
  JsonDocument kept;
  ASSERT_TRUE(db_.get_by_id("user", 4, kept));
  EXPECT_EQ(kept.GetText("data"), "keep");
  JsonDocument all(RootKind::array);
  EXPECT_EQ(db_.query_rows("SELECT * FROM user", all), 3);

  // The file holds UTF-8, readable by any SQLite tool.
  sqlite3* raw = nullptr;
  ASSERT_EQ(sqlite3_open_v2(db_path_.c_str(), &raw, SQLITE_OPEN_READONLY, nullptr), SQLITE_OK);
  sqlite3_stmt* statement = nullptr;
  ASSERT_EQ(sqlite3_prepare_v2(raw, "SELECT key_ FROM user WHERE id=6", -1, &statement, nullptr),
            SQLITE_OK);
  ASSERT_EQ(sqlite3_step(statement), SQLITE_ROW);
  EXPECT_EQ(reinterpret_cast<const char*>(sqlite3_column_text(statement, 0)),
            std::string("他说：\"it's '好'\" \\ ;--"));
  sqlite3_finalize(statement);
  sqlite3_close(raw);
}

TEST_F(DataDbTest, HostileMemberNamesStayColumnNames) {
  JsonDocument record;
  record.SetText("data) VALUES ('x'); DROP TABLE user; --", "v");
  std::string error;
  EXPECT_EQ(db_.save_record("user", record, 1, &error), -1);
  JsonDocument rows(RootKind::array);
  EXPECT_EQ(db_.query_rows("SELECT * FROM user", rows), 0);  // the table is still there
}

TEST_F(DataDbTest, DeleteAndOpenHelpers) {
  for (int uid : {1, 2, 3}) {
    JsonDocument record = user_record(uid, "g", "k", "d");
    ASSERT_GT(db_.save_record("user", record), 0);
  }
  EXPECT_TRUE(db_.delete_by_id("user", 5));
  EXPECT_FALSE(db_.delete_by_id("user", 5));
  RecordSet table;
  EXPECT_TRUE(db_.open_table(table, "user"));
  EXPECT_EQ(table.record_count(), 2);
  RecordSet sql;
  EXPECT_TRUE(db_.open_table(sql, "SELECT uid FROM user WHERE uid=3", 3, 2, 1));
  EXPECT_EQ(sql.get_int("uid"), 3);
  for (long size : {0L, 100000L, -5L}) {
    PagedRecordSet paged;
    EXPECT_TRUE(db_.open_paged(paged, "SELECT * FROM user", size));
    EXPECT_EQ(paged.page_size(), 20);
  }
  PagedRecordSet seven;
  EXPECT_TRUE(db_.open_paged(seven, "SELECT * FROM user", 7));
  EXPECT_EQ(seven.page_size(), 7);
}

TEST_F(DataDbTest, TwoConnectionsInsertingAtOnceEachGetTheirOwnIds) {
  constexpr int kPerThread = 200;
  std::vector<std::vector<std::int64_t>> ids(2);
  std::vector<std::thread> threads;
  for (int t = 0; t < 2; ++t) {
    threads.emplace_back([&, t] {
      DbConnection connection;
      if (!connection.open_sqlite(db_path_)) return;
      for (int i = 0; i < kPerThread; ++i) {
        JsonDocument record = user_record(100 + t, "g", "k", std::to_string(i));
        ids[t].push_back(connection.save_record("user", record));
      }
    });
  }
  for (auto& thread : threads) thread.join();
  std::set<std::int64_t> seen;
  for (int t = 0; t < 2; ++t) {
    ASSERT_EQ(ids[t].size(), static_cast<std::size_t>(kPerThread));
    for (std::int64_t id : ids[t]) {
      ASSERT_GT(id, 0);
      EXPECT_TRUE(seen.insert(id).second) << "id " << id << " handed out twice";
      JsonDocument row;
      ASSERT_TRUE(db_.get_by_id("user", id, row));
      EXPECT_EQ(row.GetInt("uid"), 100 + t) << "id " << id << " is another writer's row";
    }
  }
}

TEST_F(DataDbTest, TenThreadsWritingAtOnceAllSucceed) {
  ConnectionPool pool;
  ASSERT_EQ(pool.pool_init(connection_text(), 10, 10), 10);
  std::atomic<int> failures{0};
  std::atomic<int> saved{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < 10; ++t) {
    threads.emplace_back([&, t] {
      for (int i = 0; i < 50; ++i) {
        DbConnection connection;
        if (!pool.pool_acquire(connection)) {
          ++failures;
          continue;
        }
        JsonDocument record = user_record(t, "g", "k" + std::to_string(i), "v");
        std::string error;
        if (connection.save_record("user", record, 0, &error) > 0) {
          ++saved;
        } else {
          ++failures;
          ADD_FAILURE() << error;
        }
        // An update and a batch, too: every kind of write waits its turn.
        std::vector<std::string> batch = {"UPDATE user SET data='w' WHERE uid=" +
                                          std::to_string(t)};
        if (!connection.execute_batch(batch)) {
          ++failures;
          ADD_FAILURE() << connection.last_error();
        }
        pool.pool_release(connection.pool_slot());
      }
    });
  }
  for (auto& thread : threads) thread.join();
  EXPECT_EQ(failures.load(), 0);
  EXPECT_EQ(saved.load(), 500);
  JsonDocument count;
  ASSERT_TRUE(db_.query_first("SELECT count(*) AS n FROM user", count));
  EXPECT_EQ(count.GetInt("n"), 500);
}

}  // namespace
}  // namespace lumora::db
