#include "db/db_connection.h"

#include <sys/stat.h>

#include <cctype>
#include <chrono>
#include <climits>
#include <ctime>

#include "db/db_handle.h"
#include "text/gbk.h"
#include "text/literal.h"

namespace lumora::db {

using namespace text::literals;

namespace {

// Every occurrence, case-sensitively.
std::string replace_all(std::string text, std::string_view marker, std::string_view value) {
  std::size_t pos = 0;
  while ((pos = text.find(marker, pos)) != std::string::npos) {
    text.replace(pos, marker.size(), value);
    pos += value.size();
  }
  return text;
}

std::size_t find_nocase(std::string_view haystack, std::string_view needle) {
  if (needle.size() > haystack.size()) return std::string_view::npos;
  for (std::size_t i = 0; i + needle.size() <= haystack.size(); ++i) {
    bool same = true;
    for (std::size_t j = 0; j < needle.size() && same; ++j) {
      same = std::tolower(static_cast<unsigned char>(haystack[i + j])) ==
             std::tolower(static_cast<unsigned char>(needle[j]));
    }
    if (same) return i;
  }
  return std::string_view::npos;
}

// The value of "key=" in a connection text, up to the next ";".
std::string connection_value(std::string_view text, std::string_view key) {
  std::size_t pos = find_nocase(text, key);
  // The key must start a part of the text, not end another key.
  while (pos != std::string_view::npos && pos > 0 && text[pos - 1] != ';') {
    std::size_t next = find_nocase(text.substr(pos + 1), key);
    pos = next == std::string_view::npos ? next : pos + 1 + next;
  }
  if (pos == std::string_view::npos) return {};
  std::size_t start = pos + key.size();
  std::size_t end = text.find(';', start);
  return std::string(text.substr(start, end == std::string_view::npos ? end : end - start));
}

bool file_exists(const std::string& path_utf8) {
  struct stat info {};
  return ::stat(path_utf8.c_str(), &info) == 0 && S_ISREG(info.st_mode);
}

std::string now_text() {
  std::time_t now = std::chrono::system_clock::to_time_t(std::chrono::system_clock::now());
  std::tm parts{};
  localtime_r(&now, &parts);
  char buffer[32];
  std::strftime(buffer, sizeof(buffer), "%Y-%m-%d %H:%M:%S", &parts);
  return buffer;
}

// A member name as a column: plain names stay as written; any other is
// quoted, so a hostile name cannot change the statement.
std::string column_name(std::string_view name) {
  bool plain = !name.empty() && !(name[0] >= '0' && name[0] <= '9');
  for (char c : name) {
    unsigned char b = static_cast<unsigned char>(c);
    if (!(std::isalnum(b) || b == '_' || b >= 0x80)) plain = false;
  }
  if (plain) return std::string(name);
  std::string quoted = "\"";
  for (char c : name) {
    if (c == '"') quoted.push_back('"');
    quoted.push_back(c);
  }
  quoted.push_back('"');
  return quoted;
}

std::string path_token(std::string_view name) {
  std::string token;
  for (char c : name) {
    if (c == '~') {
      token += "~0";
    } else if (c == '/') {
      token += "~1";
    } else {
      token.push_back(c);
    }
  }
  return token;
}

std::string quoted(std::string_view text) {
  return "'" + escape_sql_text(text) + "'";
}

// The SQL form of one member's value (insert and update share it).
std::string value_sql(const json::JsonDocument& record, std::string_view path) {
  switch (record.TypeAt(path)) {
    case json::JsonValueType::string:
      return quoted(record.GetText(path));
    case json::JsonValueType::number:
      if (record.NumberKindAt(path) == json::NumberKind::integer) return record.GetText(path);
      {
        // NaN and infinity have no SQL literal.
        std::string real = real_text(record.GetNumber(path));
        return real.empty() ? "NULL" : real;
      }
    case json::JsonValueType::boolean:
      return record.GetBool(path) ? "1" : "0";
    case json::JsonValueType::array:
    case json::JsonValueType::object:
      return quoted(record.GetText(path));
    default:
      return quoted(record.GetText(path));
  }
}

const std::string& not_offered_message() {
  return "不提供这种数据库：只能打开SQLite数据库文件（open_sqlite的连接文本）。连接文本："_gbk;
}

}  // namespace

// ---------------------------------------------------------------------------
// Connection texts

std::string excel8_connection_text(std::string_view file) {
  return "Provider=Microsoft.Jet.OLEDB.4.0;Extended Properties=Excel 8.0;Data Source=" +
         std::string(file);
}

std::string excel12_connection_text(std::string_view file) {
  return "Provider=Microsoft.ace.OLEDB.12.0;Extended Properties=Excel 12.0;Data Source=" +
         std::string(file);
}

std::string sqlite_connection_text(std::string_view file, std::string_view password) {
  std::string text =
      "Provider=MSDASQL.1;Extended Properties=Driver={SQLite3 ODBC "
      "Driver};Password='%PW';Database=%DB;";
  text = replace_all(text, "%PW", password);
  return replace_all(text, "%DB", file);
}

std::string mysql_connection_text(const MysqlOptions& o) {
  std::string head = "Driver={MySQL ODBC " + o.driver_version + " Driver};Server=" + o.server +
                     ";Port=" + std::to_string(o.port) + ";DataBase=" + o.database +
                     ";UID=" + o.user;
  std::string stmt = ";Stmt=Set Names '" + o.charset + "'";
  if (!o.provider_form) return head + ";Password=" + o.password + stmt;
  return "Provider=MSDASQL.1;Password=" + o.password +
         ";Persist Security Info=False;Extended Properties=\"" + head + stmt + "'\"";
}

std::string sql_server_connection_text(std::string_view server, std::string_view database,
                                       std::string_view user, std::string_view password, int port) {
  std::string text =
      "Provider=SQLOLEDB;Persist Security Info=True;User ID=%uid;Password=%pwd;Initial "
      "Catalog=%db;Data Source=%url";
  text = replace_all(text, "%url", std::string(server) + "," + std::to_string(port));
  text = replace_all(text, "%db", database);
  text = replace_all(text, "%uid", user);
  return replace_all(text, "%pwd", password);
}

std::string text_folder_connection_text(std::string_view folder) {
  return replace_all(
      "Driver={Microsoft Text Driver (*.txt; *.csv)};Data Source=%DS;Extensions=asc,csv,tab,txt;",
      "%DS", folder);
}

std::string access_connection_text(std::string_view file, std::string_view password) {
  std::string text =
      "Provider=Microsoft.Jet.OLEDB.4.0;Jet OLEDB:Database Password=%DP;Data Source=%DS";
  text = replace_all(text, "%DS", file);
  return replace_all(text, "%DP", password);
}

std::string access_ace_connection_text(std::string_view file, std::string_view password) {
  std::string text =
      "Provider=Microsoft.ace.OLEDB.12.0;Data Source=%DS;Jet OLEDB:Database Password=%DP;";
  text = replace_all(text, "%DS", file);
  return replace_all(text, "%DP", password);
}

// ---------------------------------------------------------------------------
// SQL texts

std::string escape_sql_text(std::string_view text) {
  std::string out;
  out.reserve(text.size() + 2);
  for (char c : text) {
    if (c == '\'') out.push_back('\'');
    out.push_back(c);
  }
  return out;
}

std::string build_select_sql(std::string_view table, std::string_view condition,
                             std::string_view tail, std::string_view columns) {
  std::string sql = "SELECT ";
  sql += columns.empty() ? std::string_view("*") : columns;
  sql += " FROM ";
  sql += table;
  if (!condition.empty()) {
    sql += " WHERE ";
    sql += condition;
  }
  if (!tail.empty()) {
    sql += " ";
    sql += tail;
  }
  return sql;
}

std::string build_delete_sql(std::string_view table, std::string_view condition) {
  std::string sql = "DELETE FROM ";
  sql += table;
  if (!condition.empty()) {
    sql += " WHERE ";
    sql += condition;
  }
  sql += ";";
  return sql;
}

std::string build_insert_sql(std::string_view table, json::JsonDocument& record,
                             std::string* error) {
  if (error) error->clear();
  // Every member named "id" goes (yyjson keeps duplicates apart).
  json::JsonValue root = record.ValueAt("");
  if (yyjson_mut_is_obj(root)) yyjson_mut_obj_remove_keyn(root, "id", 2);
  std::string columns, values;
  for (const std::string& name : record.KeysAt("")) {
    if (!columns.empty()) {
      columns += ",";
      values += ",";
    }
    columns += column_name(name);
    values += value_sql(record, path_token(name));
  }
  std::string sql = "INSERT INTO " + std::string(table);
  if (!columns.empty()) sql += " (" + columns + ")";
  sql += " VALUES (" + values + ");";
  return sql;
}

std::string build_update_sql(std::string_view table, const json::JsonDocument& record,
                             std::string* error) {
  if (error) error->clear();
  std::int64_t id = record.GetInt64("id");
  if (id == 0) {
    if (error) *error = "编辑对象的id不能为0"_gbk;
    return {};
  }
  std::string assignments;
  for (const std::string& name : record.KeysAt("")) {
    if (name == "id") continue;
    if (!assignments.empty()) assignments += ",";
    assignments += column_name(name) + "=" + value_sql(record, path_token(name));
  }
  // The condition is the id as read (an integer), so an id text such as
  // "5 or 1=1" cannot widen the update to other rows.
  std::string condition = "id=" + std::to_string(id);
  return "UPDATE " + std::string(table) + " SET " + assignments + " WHERE " + condition + ";";
}

// ---------------------------------------------------------------------------
// DbConnection

DbConnection::DbConnection() : handle_(std::make_shared<detail::DbHandle>()) {}

DbConnection::~DbConnection() = default;

bool DbConnection::finish(bool ok) {
  (void)ok;
  return refresh_error();
}

bool DbConnection::refresh_error() {
  std::lock_guard lock(handle_->mutex);
  error_ = handle_->last_error;
  return error_.empty();
}

bool DbConnection::open_connection(std::string_view connection_text, int cursor_location) {
  {
    std::lock_guard lock(handle_->mutex);
    detail::close_handle(*handle_);
    handle_->cursor_location = cursor_location;
    handle_->connection_text = std::string(connection_text);
    if (find_nocase(connection_text, "SQLite3 ODBC Driver") == std::string_view::npos) {
      handle_->last_error = not_offered_message() + std::string(connection_text);
    } else {
      std::string file = connection_value(connection_text, "Database=");
      if (file.empty()) {
        handle_->last_error = "连接文本中没有数据库文件（Database=）"_gbk;
      } else {
        detail::open_handle(*handle_, text::gbk_to_utf8(file));
      }
    }
  }
  return refresh_error();
}

bool DbConnection::open_sqlite(std::string_view file, std::string_view password,
                               int cursor_location) {
  if (!file_exists(text::gbk_to_utf8(file))) {
    error_ = "数据库文件不存在："_gbk + std::string(file);
    return false;
  }
  return open_connection(sqlite_connection_text(file, password), cursor_location);
}

bool DbConnection::open_excel8(std::string_view file, int cursor_location) {
  return open_connection(excel8_connection_text(file), cursor_location);
}
bool DbConnection::open_excel12(std::string_view file, int cursor_location) {
  return open_connection(excel12_connection_text(file), cursor_location);
}
bool DbConnection::open_mysql(const MysqlOptions& options, int cursor_location) {
  return open_connection(mysql_connection_text(options), cursor_location);
}
bool DbConnection::open_sql_server(std::string_view server, std::string_view database,
                                   std::string_view user, std::string_view password, int port,
                                   int cursor_location) {
  return open_connection(sql_server_connection_text(server, database, user, password, port),
                         cursor_location);
}
bool DbConnection::open_text_folder(std::string_view folder, int cursor_location) {
  return open_connection(text_folder_connection_text(folder), cursor_location);
}
bool DbConnection::open_access(std::string_view file, std::string_view password,
                               int cursor_location) {
  return open_connection(access_connection_text(file, password), cursor_location);
}
bool DbConnection::open_access_ace(std::string_view file, std::string_view password,
                                   int cursor_location) {
  return open_connection(access_ace_connection_text(file, password), cursor_location);
}

bool DbConnection::close_connection() {
  {
    std::lock_guard lock(handle_->mutex);
    detail::close_handle(*handle_);
    handle_->last_error.clear();
  }
  return refresh_error();
}

bool DbConnection::is_open() const {
  return (connection_state() & 1) != 0;
}

int DbConnection::connection_state() const {
  std::lock_guard lock(handle_->mutex);
  return handle_->db ? 1 : 0;
}

std::string DbConnection::connection_text() const {
  std::lock_guard lock(handle_->mutex);
  return handle_->connection_text;
}

int DbConnection::cursor_location() const {
  std::lock_guard lock(handle_->mutex);
  return handle_->cursor_location;
}

long DbConnection::get_timeout(TimeoutKind which) const {
  std::lock_guard lock(handle_->mutex);
  long seconds =
      which == TimeoutKind::command ? handle_->command_timeout_s : handle_->connection_timeout_s;
  return seconds * 1000;
}

void DbConnection::set_timeout(long milliseconds, TimeoutKind which) {
  std::lock_guard lock(handle_->mutex);
  long seconds = milliseconds / 1000;
  if (seconds < 0) seconds = 0;
  if (seconds > INT_MAX / 1000) seconds = INT_MAX / 1000;
  if (which == TimeoutKind::command) {
    handle_->command_timeout_s = seconds;
    detail::apply_timeouts(*handle_);
  } else {
    handle_->connection_timeout_s = seconds;
  }
}

// ---------------------------------------------------------------------------
// Statements

bool DbConnection::execute_sql(std::string_view sql, bool count_success, std::string* log_line,
                               RecordSet* record_set, std::int64_t* affected_rows) {
  std::int64_t affected = 0;
  ResultTable table;
  bool ran = detail::run_sql(*handle_, sql, record_set ? &table : nullptr, &affected);
  bool no_error = refresh_error();
  (void)ran;
  if (record_set) {
    record_set->rs_close();
    record_set->rs_attach(*this);
    if (no_error && table.has_columns) record_set->open_from_table(std::move(table));
  }
  if (affected_rows) *affected_rows = affected;
  if (log_line) {
    *log_line = "[" + now_text() + "] #RunSQL (" + std::string(sql) + ") => " +
                (no_error ? "ok" : "err") + ";{" + std::to_string(affected) + "}";
  }
  return count_success ? (no_error && affected > 0) : no_error;
}

RecordSet DbConnection::execute_query(std::string_view sql) {
  RecordSet record_set;
  execute_sql(sql, false, nullptr, &record_set, nullptr);
  return record_set;
}

bool DbConnection::execute_count(std::string_view sql, std::int64_t& affected_rows) {
  return execute_sql(sql, false, nullptr, nullptr, &affected_rows);
}

int DbConnection::transaction_level() const {
  std::lock_guard lock(handle_->mutex);
  return handle_->transaction_level;
}

int DbConnection::begin_transaction() {
  std::lock_guard lock(handle_->mutex);
  int level = handle_->transaction_level;
  // Nested levels are savepoints inside the one SQLite transaction.
  std::string sql =
      level == 0 ? std::string("BEGIN IMMEDIATE") : "SAVEPOINT lumora_" + std::to_string(level + 1);
  bool ok = detail::run_sql(*handle_, sql, nullptr, nullptr);
  if (ok) handle_->transaction_level = level + 1;
  refresh_error();
  return ok ? handle_->transaction_level : 0;
}

bool DbConnection::commit_transaction() {
  std::lock_guard lock(handle_->mutex);
  int level = handle_->transaction_level;
  if (level <= 0) {
    handle_->last_error = "没有活动的事务"_gbk;
    return refresh_error();
  }
  std::string sql = level == 1 ? std::string("COMMIT") : "RELEASE lumora_" + std::to_string(level);
  if (detail::run_sql(*handle_, sql, nullptr, nullptr)) handle_->transaction_level = level - 1;
  return refresh_error();
}

bool DbConnection::rollback_transaction() {
  std::lock_guard lock(handle_->mutex);
  int level = handle_->transaction_level;
  if (level <= 0) {
    handle_->last_error = "没有活动的事务"_gbk;
    return refresh_error();
  }
  std::string name = "lumora_" + std::to_string(level);
  std::string sql =
      level == 1 ? std::string("ROLLBACK") : "ROLLBACK TO " + name + "; RELEASE " + name;
  if (detail::run_sql(*handle_, sql, nullptr, nullptr)) handle_->transaction_level = level - 1;
  if (handle_->db && sqlite3_get_autocommit(handle_->db)) handle_->transaction_level = 0;
  return refresh_error();
}

bool DbConnection::execute_batch(std::vector<std::string>& statements, int* failing_position) {
  if (statements.empty()) {
    statements.clear();
    if (failing_position) *failing_position = -1;
    return false;
  }
  if (failing_position) *failing_position = 0;
  if (begin_transaction() == 0) return false;
  for (std::size_t i = 0; i < statements.size(); ++i) {
    if (!execute_sql(statements[i])) {
      std::string reason = error_;
      if (failing_position) *failing_position = static_cast<int>(i + 1);
      rollback_transaction();
      // The statement's error, not the rollback's, is what the caller needs.
      error_ = reason;
      return false;
    }
  }
  return commit_transaction();
}

// ---------------------------------------------------------------------------
// Records

long DbConnection::query_rows(std::string_view sql, json::JsonDocument& rows, long max_rows) {
  ResultTable table;
  bool ok = detail::run_sql(*handle_, sql, &table, nullptr,
                            max_rows > 0 ? static_cast<std::size_t>(max_rows) : 0);
  if (!refresh_error() || !ok || !table.has_columns) {
    if (ok && !table.has_columns && error_.empty()) error_ = "语句没有返回记录集"_gbk;
    return -1;
  }
  std::vector<ColumnKind> kinds = column_kinds(table, 0);
  json::JsonValue array = rows.ValueAt("");
  for (const auto& row : table.rows) {
    if (!rows.AppendNewObject("")) break;
    row_to_json(rows, yyjson_mut_arr_get_last(array), table.names, kinds, row);
  }
  return static_cast<long>(table.rows.size());
}

bool DbConnection::query_first(std::string_view sql, json::JsonDocument& record, bool keep_sql) {
  std::string text(sql);
  if (!keep_sql) {
    while (!text.empty() && std::isspace(static_cast<unsigned char>(text.back()))) text.pop_back();
    if (!text.empty() && text.back() == ';') text.pop_back();
    text += " LIMIT 1";
  }
  ResultTable table;
  bool ok = detail::run_sql(*handle_, text, &table, nullptr, 1);
  if (!refresh_error() || !ok || table.rows.empty()) return false;
  row_to_json(record, record.ValueAt(""), table.names, column_kinds(table, 0), table.rows[0]);
  return true;
}

std::int64_t DbConnection::save_record(std::string_view table, json::JsonDocument& record, int mode,
                                       std::string* error) {
  std::string local_error;
  std::string& err = error ? *error : local_error;
  err.clear();
  std::int64_t id = record.GetInt64("id");
  if (mode != 1 && mode != 2) mode = id != 0 ? 2 : 1;
  std::string builder_error;
  std::string sql = mode == 1 ? build_insert_sql(table, record, &builder_error)
                              : build_update_sql(table, record, &builder_error);
  if (sql.empty()) {
    err = "SQL语句创建错误："_gbk + builder_error;
    return -1;
  }
  std::lock_guard lock(handle_->mutex);  // the new row id belongs to this statement
  std::string log;
  std::int64_t affected = 0;
  if (!execute_sql(sql, false, &log, nullptr, &affected)) {
    err = "SQL执行失败："_gbk + log;
    return -1;
  }
  if (affected == 0) {
    err = "数据未发生改变"_gbk;
    return -1;
  }
  if (mode == 2) return id;
  // This connection's own new row: max(id) would hand out another writer's row.
  std::int64_t new_id = handle_->db ? sqlite3_last_insert_rowid(handle_->db) : 0;
  if (new_id <= 0) {
    err = "未找到主键"_gbk;
    return -1;
  }
  return new_id;
}

bool DbConnection::save_records(std::string_view table, const json::JsonDocument& records, int mode,
                                std::string* error, int* failing_position) {
  if (error) error->clear();
  std::vector<std::string> statements;
  std::size_t count = records.SizeAt("");
  for (std::size_t i = 0; i < count; ++i) {
    json::JsonDocument record = records.CopyAt(std::to_string(i));
    int record_mode = mode;
    if (record_mode != 1 && record_mode != 2) record_mode = record.GetInt64("id") != 0 ? 2 : 1;
    std::string sql =
        record_mode == 1 ? build_insert_sql(table, record) : build_update_sql(table, record);
    if (!sql.empty()) statements.push_back(std::move(sql));
  }
  int position = 0;
  bool ok = execute_batch(statements, &position);
  if (failing_position) *failing_position = position;
  if (!ok && error) {
    *error = position > 0 ? "SQL执行失败："_gbk + statements[position - 1] + " " + error_ : error_;
  }
  return ok;
}

bool DbConnection::delete_by_id(std::string_view table, std::int64_t id) {
  std::string sql = "DELETE FROM " + std::string(table) + " WHERE id=" + std::to_string(id) + ";";
  std::int64_t affected = 0;
  bool ok = execute_sql(sql, false, nullptr, nullptr, &affected);
  return ok && affected >= 1;
}

bool DbConnection::get_by_id(std::string_view table, std::int64_t id, json::JsonDocument& record) {
  return query_first(
      "SELECT * FROM " + std::string(table) + " WHERE id=" + std::to_string(id) + ";", record,
      false);
}

bool DbConnection::open_table(RecordSet& record_set, std::string_view table_or_sql, int cursor_type,
                              int lock_type, int command_option) {
  record_set.rs_attach(*this);
  bool ok = record_set.rs_open(table_or_sql, cursor_type, lock_type, command_option);
  refresh_error();
  if (!ok && error_.empty()) error_ = record_set.last_error();
  return ok;
}

bool DbConnection::open_paged(PagedRecordSet& record_set, std::string_view sql, long page_size) {
  if (page_size < 1 || page_size > 99999) page_size = 20;
  bool ok = record_set.open_for_paging(*this, sql, page_size);
  refresh_error();
  if (!ok && error_.empty()) error_ = record_set.last_error();
  return ok;
}

}  // namespace lumora::db
