#include "db/db_handle.h"

#include <algorithm>
#include <climits>
#include <string>

#include "text/gbk.h"

namespace lumora::db::detail {

DbHandle::~DbHandle() {
  close_handle(*this);
}

std::string sqlite_error_text(sqlite3* db) {
  if (!db) return "database not open";
  return text::utf8_to_gbk(sqlite3_errmsg(db));
}

void apply_timeouts(DbHandle& handle) {
  if (!handle.db) return;
  long ms = handle.command_timeout_s <= 0               ? INT_MAX
            : handle.command_timeout_s > INT_MAX / 1000 ? INT_MAX
                                                        : handle.command_timeout_s * 1000;
  sqlite3_busy_timeout(handle.db, static_cast<int>(ms));
}

void close_handle(DbHandle& handle) {
  std::lock_guard lock(handle.mutex);
  if (handle.db) {
    // close_v2 defers the close until unfinalised statements go: never blocks.
    sqlite3_close_v2(handle.db);
    handle.db = nullptr;
  }
  handle.transaction_level = 0;
}

namespace {

bool exec_plain(sqlite3* db, const char* sql) {
  return sqlite3_exec(db, sql, nullptr, nullptr, nullptr) == SQLITE_OK;
}

}  // namespace

bool open_handle(DbHandle& handle, const std::string& path_utf8) {
  std::lock_guard lock(handle.mutex);
  close_handle(handle);
  handle.path_utf8 = path_utf8;
  sqlite3* db = nullptr;
  // No CREATE flag: a missing file is an error, never a new empty database.
  int rc = sqlite3_open_v2(path_utf8.c_str(), &db, SQLITE_OPEN_READWRITE | SQLITE_OPEN_FULLMUTEX,
                           nullptr);
  if (rc != SQLITE_OK) {
    handle.last_error = sqlite_error_text(db);
    if (handle.last_error.empty()) handle.last_error = "unable to open database file";
    sqlite3_close_v2(db);
    return false;
  }
  sqlite3_extended_result_codes(db, 1);
  // While opening, waits are bounded by the connection time-out.
  long open_ms = handle.connection_timeout_s <= 0
                     ? INT_MAX / 2
                     : std::min<long>(handle.connection_timeout_s, INT_MAX / 1000) * 1000;
  sqlite3_busy_timeout(db, static_cast<int>(open_ms));
  // WAL lets readers run beside the one writer; NORMAL sync is durable
  // across a process crash in WAL mode and costs no fsync per commit.
  bool ok =
      exec_plain(db, "PRAGMA journal_mode=WAL") && exec_plain(db, "PRAGMA synchronous=NORMAL");
  if (!ok) {
    handle.last_error = sqlite_error_text(db);
    sqlite3_close_v2(db);
    return false;
  }
  handle.db = db;
  apply_timeouts(handle);
  handle.transaction_level = 0;
  handle.last_error.clear();
  return true;
}

namespace {

DbValue read_column(sqlite3_stmt* statement, int column) {
  switch (sqlite3_column_type(statement, column)) {
    case SQLITE_INTEGER:
      return DbValue::of_int(sqlite3_column_int64(statement, column));
    case SQLITE_FLOAT:
      return DbValue::of_real(sqlite3_column_double(statement, column));
    case SQLITE_TEXT: {
      const unsigned char* text = sqlite3_column_text(statement, column);
      int size = sqlite3_column_bytes(statement, column);
      DbValue value;
      value.type = ValueType::text;
      value.bytes = text::utf8_to_gbk(
          std::string_view(reinterpret_cast<const char*>(text), static_cast<std::size_t>(size)));
      return value;
    }
    case SQLITE_BLOB: {
      const void* data = sqlite3_column_blob(statement, column);
      int size = sqlite3_column_bytes(statement, column);
      return DbValue::of_blob(
          std::string_view(static_cast<const char*>(data), static_cast<std::size_t>(size)));
    }
    default:
      return DbValue{};
  }
}

}  // namespace

bool run_sql(DbHandle& handle, std::string_view sql_gbk, ResultTable* out, std::int64_t* changes,
             std::size_t max_rows) {
  std::lock_guard lock(handle.mutex);
  if (changes) *changes = 0;
  if (!handle.db) {
    handle.last_error = "database not open";
    return false;
  }
  std::string sql = text::gbk_to_utf8(sql_gbk);
  const char* tail = sql.c_str();
  const char* end = tail + sql.size();
  std::int64_t total = 0;
  bool collected = false;
  while (tail < end) {
    sqlite3_stmt* statement = nullptr;
    const char* next = nullptr;
    int rc = sqlite3_prepare_v2(handle.db, tail, static_cast<int>(end - tail), &statement, &next);
    if (rc != SQLITE_OK) {
      handle.last_error = sqlite_error_text(handle.db);
      sqlite3_finalize(statement);
      return false;
    }
    tail = next;
    if (!statement) continue;  // only blanks or a comment
    int columns = sqlite3_column_count(statement);
    bool collect = out && !collected && columns > 0;
    if (collect) {
      collected = true;
      out->has_columns = true;
      out->names.clear();
      out->declared_types.clear();
      out->rows.clear();
      for (int c = 0; c < columns; ++c) {
        const char* name = sqlite3_column_name(statement, c);
        const char* declared = sqlite3_column_decltype(statement, c);
        out->names.push_back(name ? text::utf8_to_gbk(name) : std::string());
        out->declared_types.push_back(declared ? declared : "");
      }
    }
    std::int64_t before = sqlite3_total_changes64(handle.db);
    while (true) {
      rc = sqlite3_step(statement);
      if (rc == SQLITE_ROW) {
        if (!collect) continue;
        if (max_rows && out->rows.size() >= max_rows) break;
        std::vector<DbValue> row;
        row.reserve(static_cast<std::size_t>(columns));
        for (int c = 0; c < columns; ++c) row.push_back(read_column(statement, c));
        out->rows.push_back(std::move(row));
        continue;
      }
      break;
    }
    if (rc != SQLITE_ROW && rc != SQLITE_DONE) {
      handle.last_error = sqlite_error_text(handle.db);
      sqlite3_finalize(statement);
      if (sqlite3_get_autocommit(handle.db)) handle.transaction_level = 0;
      return false;
    }
    // DDL and transaction statements leave sqlite3_changes at the previous
    // statement's count: count only when this statement itself changed rows.
    if (!sqlite3_stmt_readonly(statement) && sqlite3_total_changes64(handle.db) != before)
      total += sqlite3_changes64(handle.db);
    sqlite3_finalize(statement);
  }
  if (changes) *changes = total;
  handle.last_error.clear();
  return true;
}

}  // namespace lumora::db::detail
