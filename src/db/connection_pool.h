#pragma once
// ConnectionPool: open DbConnections on one connection text, lent to one
// borrower at a time. A lent connection is a copy sharing the pooled one's
// open database and carrying its slot (pool_slot(), 1-based); give the slot
// back with pool_release. Thread-safe.
#include <condition_variable>
#include <cstddef>
#include <deque>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

#include "db/db_connection.h"

namespace lumora::db {

inline constexpr int kDefaultPoolSize = 20;
inline constexpr int kDefaultPoolMaximum = 50;
inline constexpr int kDefaultCheckIntervalSeconds = 7200;

// The process-wide check interval the framework's maintenance loop reads
// (set by pool_init).
int pool_check_interval_s();

class ConnectionPool {
 public:
  ConnectionPool() = default;
  ~ConnectionPool();
  ConnectionPool(const ConnectionPool&) = delete;
  ConnectionPool& operator=(const ConnectionPool&) = delete;

  // 0 for size, maximum or check interval means its default (20, 50, 7200).
  // Returns how many connections opened.
  int pool_init(std::string_view connection_text, int size = kDefaultPoolSize,
                int maximum = kDefaultPoolMaximum,
                int check_interval_s = kDefaultCheckIntervalSeconds,
                int cursor_location = kClientCursor);
  // Waits for a free slot (tries × interval, 10 × 500 ms by default), then
  // grows the pool up to its maximum. True when target now holds a pooled
  // connection.
  bool pool_acquire(DbConnection& target);
  // Puts the slot back; a slot outside 1..connection count is ignored.
  void pool_release(int slot);
  // Probes every free connection (a lent one is its borrower's) and re-opens
  // those that fail or whose file was moved or removed.
  void pool_check();
  void pool_close();

  // The wait of pool_acquire; tests shorten it.
  void set_acquire_wait(int tries, int interval_ms);

  std::size_t connection_count() const;
  std::size_t free_count() const;
  int maximum() const;
  int last_opened_slot() const;
  const std::string& connection_text() const { return connection_text_; }

 private:
  // Probe of one connection: true when it is sound.
  static bool probe(DbConnection& connection);

  mutable std::mutex lock_;
  std::condition_variable slot_freed_;
  std::vector<DbConnection> connections_;
  std::deque<int> free_slots_;
  std::vector<bool> lent_;
  int maximum_ = kDefaultPoolMaximum;
  std::string connection_text_;
  int cursor_location_ = kClientCursor;
  int last_opened_slot_ = 0;
  int wait_tries_ = 10;
  int wait_interval_ms_ = 500;
};

}  // namespace lumora::db
