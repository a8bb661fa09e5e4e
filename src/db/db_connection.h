#pragma once
// DbConnection: the program's one way into a database, over the SQLite C API.
// Copies are shallow: every copy uses the same open connection (the pool lends
// copies); the connection closes when the last copy goes. Each copy keeps its
// own last error text and pool slot. A connection is used by one thread at a
// time.
//
// Texts (SQL, values, paths, messages) are GBK like every text of the
// program; the file stores UTF-8, and db/ converts at its edge.
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "db/db_value.h"
#include "db/record_set.h"
#include "json/json_document.h"

namespace lumora::db {

inline constexpr int kServerCursor = 2;
inline constexpr int kClientCursor = 3;

enum class TimeoutKind { command = 0, connection = 1 };

// ---- connection texts of the database kinds we know ----
std::string excel8_connection_text(std::string_view file);
std::string excel12_connection_text(std::string_view file);
std::string sqlite_connection_text(std::string_view file, std::string_view password = {});
struct MysqlOptions {
  std::string server = "localhost";
  std::string database = "mysql";
  std::string user = "root";
  std::string password;
  int port = 3306;
  std::string driver_version = "3.51";
  std::string charset = "GBK";
  bool provider_form = false;
};
std::string mysql_connection_text(const MysqlOptions& options);
std::string sql_server_connection_text(std::string_view server = "localhost",
                                       std::string_view database = "master",
                                       std::string_view user = "sa",
                                       std::string_view password = "sa", int port = 1433);
std::string text_folder_connection_text(std::string_view folder);
std::string access_connection_text(std::string_view file, std::string_view password = {});
std::string access_ace_connection_text(std::string_view file, std::string_view password = {});

// ---- SQL texts ----
// "SELECT " + (columns or "*") + " FROM " + table [+ " WHERE " + condition] [+ " " + tail]
std::string build_select_sql(std::string_view table, std::string_view condition = {},
                             std::string_view tail = {}, std::string_view columns = {});
// "DELETE FROM " + table [+ " WHERE " + condition] + ";"
std::string build_delete_sql(std::string_view table, std::string_view condition = {});
// The record's members as an INSERT; removes the member "id" from the record.
// Quotes inside text values are doubled, so a value never ends its quotes.
std::string build_insert_sql(std::string_view table, json::JsonDocument& record,
                             std::string* error = nullptr);
// The record's members other than "id" as an UPDATE ... WHERE id=<id>; empty
// with "编辑对象的id不能为0" when the id is 0.
std::string build_update_sql(std::string_view table, const json::JsonDocument& record,
                             std::string* error = nullptr);
// A text with every single quote doubled, for placing between single quotes
// of a statement ("uid={1} and key_='{2}'", escape_sql_text(key)).
std::string escape_sql_text(std::string_view text);

class DbConnection {
 public:
  DbConnection();
  ~DbConnection();
  DbConnection(const DbConnection&) = default;
  DbConnection& operator=(const DbConnection&) = default;
  // (No moves: a moved-from connection would have no handle; copies are cheap.)

  // ---- connection ----
  // Closes any open connection, then opens the text's database. Only SQLite
  // texts (open_sqlite's) are offered; the other kinds fail with a message
  // that says so. True when no error.
  bool open_connection(std::string_view connection_text, int cursor_location = kClientCursor);
  // False at once, touching nothing, when the file does not exist.
  bool open_sqlite(std::string_view file, std::string_view password = {},
                   int cursor_location = kClientCursor);
  bool open_excel8(std::string_view file, int cursor_location = kClientCursor);
  bool open_excel12(std::string_view file, int cursor_location = kClientCursor);
  bool open_mysql(const MysqlOptions& options = {}, int cursor_location = kClientCursor);
  bool open_sql_server(std::string_view server = "localhost", std::string_view database = "master",
                       std::string_view user = "sa", std::string_view password = "sa",
                       int port = 1433, int cursor_location = kClientCursor);
  bool open_text_folder(std::string_view folder, int cursor_location = kClientCursor);
  bool open_access(std::string_view file, std::string_view password = {},
                   int cursor_location = kClientCursor);
  bool open_access_ace(std::string_view file, std::string_view password = {},
                       int cursor_location = kClientCursor);
  bool close_connection();
  bool is_open() const;
  // 1 open, 0 closed.
  int connection_state() const;
  // Copies the error of the connection's last call into last_error(); true
  // when there was none.
  bool refresh_error();
  const std::string& last_error() const { return error_; }
  std::string connection_text() const;
  int cursor_location() const;

  // In milliseconds; kept in whole seconds. The command time-out is how long
  // a statement waits for a lock held by another connection (0: no limit);
  // the connection time-out bounds the waits while opening.
  long get_timeout(TimeoutKind which) const;
  void set_timeout(long milliseconds, TimeoutKind which);

  int pool_slot() const { return pool_slot_; }
  void set_pool_slot(int slot) { pool_slot_ = slot; }

  // ---- statements ----
  // Runs every statement of the text. True when no error, or with
  // count_success when more than 0 rows were affected. The log line is
  // "[date time] #RunSQL (sql) => ok;{rows}".
  bool execute_sql(std::string_view sql, bool count_success = false,
                   std::string* log_line = nullptr, RecordSet* record_set = nullptr,
                   std::int64_t* affected_rows = nullptr);
  RecordSet execute_query(std::string_view sql);
  bool execute_count(std::string_view sql, std::int64_t& affected_rows);
  // One transaction over every statement; at the first failure it is rolled
  // back, failing_position is its 1-based position and the result false. An
  // empty list: false and -1.
  bool execute_batch(std::vector<std::string>& statements, int* failing_position = nullptr);
  // The nesting level reached (1 for the outermost), 0 on failure. The
  // outermost level takes the write lock at once, so a transaction never
  // fails half-way for a lock another connection holds.
  int begin_transaction();
  bool commit_transaction();
  bool rollback_transaction();
  int transaction_level() const;

  // ---- records as JSON ----
  // Appends one object per row to the array root; the row count, -1 when the
  // query failed. max_rows 0: all.
  long query_rows(std::string_view sql, json::JsonDocument& rows, long max_rows = 0);
  // The first row's columns as members of the root object. Unless keep_sql,
  // a final ";" is removed and " LIMIT 1" appended. True when a row was found.
  bool query_first(std::string_view sql, json::JsonDocument& record, bool keep_sql = false);
  // mode 0 automatic (update when "id" is not 0), 1 insert, 2 update. The
  // record's id (an insert's own new row id), or -1 with the error text.
  std::int64_t save_record(std::string_view table, json::JsonDocument& record, int mode = 0,
                           std::string* error = nullptr);
  bool save_records(std::string_view table, const json::JsonDocument& records, int mode = 0,
                    std::string* error = nullptr, int* failing_position = nullptr);
  bool delete_by_id(std::string_view table, std::int64_t id);
  bool get_by_id(std::string_view table, std::int64_t id, json::JsonDocument& record);
  // command_option 0 or 1: the text is SQL; otherwise a table name.
  bool open_table(RecordSet& record_set, std::string_view table_or_sql, int cursor_type = 3,
                  int lock_type = 2, int command_option = 2);
  // Page sizes outside 1..99999 mean 20.
  bool open_paged(PagedRecordSet& record_set, std::string_view sql, long page_size);

  // The shared handle (record sets attach to it).
  const std::shared_ptr<detail::DbHandle>& handle() const { return handle_; }

 private:
  bool finish(bool ok);

  std::shared_ptr<detail::DbHandle> handle_;
  std::string error_;
  int pool_slot_ = 0;
};

}  // namespace lumora::db
