#pragma once
// The open SQLite connection that every copy of a DbConnection (and every
// record set attached to one) shares. Internal to db/.
#include <sqlite3.h>

#include <cstddef>
#include <cstdint>
#include <mutex>
#include <string>
#include <string_view>

#include "db/record_set.h"

namespace lumora::db::detail {

struct DbHandle {
  DbHandle() = default;
  DbHandle(const DbHandle&) = delete;
  DbHandle& operator=(const DbHandle&) = delete;
  ~DbHandle();

  // Held for every call into SQLite on this handle: copies on two threads
  // (a borrower and the pool's maintenance) never interleave inside SQLite.
  std::recursive_mutex mutex;
  sqlite3* db = nullptr;
  std::string connection_text;
  std::string path_utf8;
  int cursor_location = 3;
  long command_timeout_s = 30;
  long connection_timeout_s = 15;
  int transaction_level = 0;
  // The error of the last call (GBK); empty when it succeeded.
  std::string last_error;
};

// Opens the SQLite file (which must exist) with WAL journal and the busy
// time-out; false with last_error set otherwise. Closes any open database first.
bool open_handle(DbHandle& handle, const std::string& path_utf8);
void close_handle(DbHandle& handle);
// The busy time-out for the handle's command time-out (0: no limit).
void apply_timeouts(DbHandle& handle);

// Runs every statement of the GBK text in order. The rows of the first
// statement that yields columns go to out (at most max_rows, 0: all);
// changes receives the rows inserted, updated or deleted. last_error is set.
bool run_sql(DbHandle& handle, std::string_view sql_gbk, ResultTable* out, std::int64_t* changes,
             std::size_t max_rows = 0);

// The SQLite error of the handle as GBK text, with the statement it came from.
std::string sqlite_error_text(sqlite3* db);

}  // namespace lumora::db::detail
