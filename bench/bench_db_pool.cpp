// Pooled data-store operations against the raw SQLite API.
//
// Ten threads repeat what the viewer data store does for one request:
// borrow a connection, find the record of (uid, key, group) with query_first,
// save it, give the connection back. Beside it, the same statements through
// the raw SQLite API, one connection per thread with prepared statements.
// The file holds 100,000 rows, in a temporary folder.
#include <sqlite3.h>
#include <stdlib.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "db/connection_pool.h"
#include "db/data_file.h"
#include "db/db_connection.h"
#include "json/json_document.h"
#include "text/format.h"

namespace {

using namespace lumora;
using Clock = std::chrono::steady_clock;

constexpr int kThreads = 10;
constexpr int kRows = 100000;
constexpr int kUids = 20000;
constexpr int kGroups = 5;
constexpr int kKeys = 4;

struct Address {
  int uid;
  std::string group;
  std::string key;
};

Address address_for(std::mt19937& random) {
  int n = static_cast<int>(random() % kRows);
  return {n % kUids + 1, "g" + std::to_string(n % kGroups),
          "k" + std::to_string(n / kUids % kKeys)};
}

bool fill(const std::string& path) {
  sqlite3* db = nullptr;
  if (sqlite3_open(path.c_str(), &db) != SQLITE_OK) return false;
  sqlite3_exec(db, "BEGIN", nullptr, nullptr, nullptr);
  sqlite3_stmt* insert = nullptr;
  sqlite3_prepare_v2(db, "INSERT INTO user (uid,group_,key_,data) VALUES (?,?,?,?)", -1, &insert,
                     nullptr);
  for (int n = 0; n < kRows; ++n) {
    std::string group = "g" + std::to_string(n % kGroups);
    std::string key = "k" + std::to_string(n / kUids % kKeys);
    sqlite3_bind_int(insert, 1, n % kUids + 1);
    sqlite3_bind_text(insert, 2, group.c_str(), -1, SQLITE_TRANSIENT);
    sqlite3_bind_text(insert, 3, key.c_str(), -1, SQLITE_TRANSIENT);
    sqlite3_bind_text(insert, 4, std::to_string(n).c_str(), -1, SQLITE_TRANSIENT);
    sqlite3_step(insert);
    sqlite3_reset(insert);
  }
  sqlite3_finalize(insert);
  bool ok = sqlite3_exec(db, "COMMIT", nullptr, nullptr, nullptr) == SQLITE_OK;
  sqlite3_close(db);
  return ok;
}

struct Result {
  long operations = 0;
  long failures = 0;
  double seconds = 0;
  double per_second() const { return seconds > 0 ? operations / seconds : 0; }
};

template <typename Work>
Result run_threads(double seconds, Work work) {
  std::atomic<bool> stop{false};
  std::atomic<long> operations{0}, failures{0};
  std::vector<std::thread> threads;
  auto start = Clock::now();
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      long ops = 0, bad = 0;
      work(t, stop, ops, bad);
      operations += ops;
      failures += bad;
    });
  }
  std::this_thread::sleep_for(std::chrono::duration<double>(seconds));
  stop = true;
  for (auto& thread : threads) thread.join();
  Result result;
  result.seconds = std::chrono::duration<double>(Clock::now() - start).count();
  result.operations = operations;
  result.failures = failures;
  return result;
}

Result run_layer(const std::string& path, double seconds) {
  db::ConnectionPool pool;
  if (pool.pool_init(db::sqlite_connection_text(path), kThreads, kThreads) != kThreads) return {};
  return run_threads(seconds, [&](int t, std::atomic<bool>& stop, long& ops, long& bad) {
    std::mt19937 random(1000 + t);
    while (!stop) {
      Address a = address_for(random);
      db::DbConnection connection;
      if (!pool.pool_acquire(connection)) {
        ++bad;
        continue;
      }
      json::JsonDocument record;
      std::string where =
          text::format_template("uid={1} and key_='{2}' and group_='{3}'", a.uid,
                                db::escape_sql_text(a.key), db::escape_sql_text(a.group));
      if (!connection.query_first(db::build_select_sql("user", where), record)) {
        record.SetInt("uid", a.uid);
        record.SetText("group_", a.group);
        record.SetText("key_", a.key);
      }
      record.SetText("data", std::to_string(ops));
      if (connection.save_record("user", record) < 0) ++bad;
      pool.pool_release(connection.pool_slot());
      ++ops;
    }
  });
}

Result run_raw(const std::string& path, double seconds) {
  return run_threads(seconds, [&](int t, std::atomic<bool>& stop, long& ops, long& bad) {
    sqlite3* db = nullptr;
    if (sqlite3_open_v2(path.c_str(), &db, SQLITE_OPEN_READWRITE, nullptr) != SQLITE_OK) {
      ++bad;
      return;
    }
    sqlite3_busy_timeout(db, 30000);
    sqlite3_exec(db, "PRAGMA journal_mode=WAL; PRAGMA synchronous=NORMAL", nullptr, nullptr,
                 nullptr);
    sqlite3_stmt *select = nullptr, *update = nullptr, *insert = nullptr;
    sqlite3_prepare_v2(db, "SELECT * FROM user WHERE uid=? and key_=? and group_=? LIMIT 1", -1,
                       &select, nullptr);
    sqlite3_prepare_v2(db, "UPDATE user SET uid=?,group_=?,key_=?,data=? WHERE id=?", -1, &update,
                       nullptr);
    sqlite3_prepare_v2(db, "INSERT INTO user (uid,group_,key_,data) VALUES (?,?,?,?)", -1, &insert,
                       nullptr);
    std::mt19937 random(1000 + t);
    while (!stop) {
      Address a = address_for(random);
      sqlite3_bind_int(select, 1, a.uid);
      sqlite3_bind_text(select, 2, a.key.c_str(), -1, SQLITE_TRANSIENT);
      sqlite3_bind_text(select, 3, a.group.c_str(), -1, SQLITE_TRANSIENT);
      std::int64_t id = 0;
      if (sqlite3_step(select) == SQLITE_ROW) id = sqlite3_column_int64(select, 0);
      sqlite3_reset(select);
      std::string data = std::to_string(ops);
      sqlite3_stmt* write = id ? update : insert;
      sqlite3_bind_int(write, 1, a.uid);
      sqlite3_bind_text(write, 2, a.group.c_str(), -1, SQLITE_TRANSIENT);
      sqlite3_bind_text(write, 3, a.key.c_str(), -1, SQLITE_TRANSIENT);
      sqlite3_bind_text(write, 4, data.c_str(), -1, SQLITE_TRANSIENT);
      if (id) sqlite3_bind_int64(write, 5, id);
      if (sqlite3_step(write) != SQLITE_DONE) ++bad;
      sqlite3_reset(write);
      ++ops;
    }
    sqlite3_finalize(select);
    sqlite3_finalize(update);
    sqlite3_finalize(insert);
    sqlite3_close(db);
  });
}

}  // namespace

int main(int argc, char** argv) {
  double seconds = argc > 1 ? std::atof(argv[1]) : 5.0;
  if (seconds <= 0) seconds = 5.0;
  std::string pattern = (std::filesystem::temp_directory_path() / "lumora-bench-XXXXXX").string();
  if (!mkdtemp(pattern.data())) return 1;
  std::filesystem::path folder = pattern;
  std::string path = (folder / "data.db").string();
  if (!db::ensure_data_db(path) || !fill(path)) {
    std::fprintf(stderr, "cannot build %s\n", path.c_str());
    return 1;
  }
  std::printf("data.db with %d rows, %d threads, %.1f s per run\n", kRows, kThreads, seconds);
  // Alternate the two, twice, so neither profits from a warmer cache alone.
  Result layer{}, raw{};
  for (int round = 0; round < 2; ++round) {
    Result r = run_raw(path, seconds / 2);
    Result l = run_layer(path, seconds / 2);
    raw.operations += r.operations, raw.failures += r.failures, raw.seconds += r.seconds;
    layer.operations += l.operations, layer.failures += l.failures, layer.seconds += l.seconds;
  }
  std::printf("pool + DbConnection: %10.1f ops/s  (%ld ops, %ld failed)\n", layer.per_second(),
              layer.operations, layer.failures);
  std::printf("raw SQLite API:      %10.1f ops/s  (%ld ops, %ld failed)\n", raw.per_second(),
              raw.operations, raw.failures);
  std::printf("ratio layer/raw:     %10.2f  (goal >= 0.70)\n",
              raw.per_second() > 0 ? layer.per_second() / raw.per_second() : 0.0);
  std::error_code ec;
  std::filesystem::remove_all(folder, ec);
  return 0;
}
