#include "db/connection_pool.h"

#include <atomic>
#include <chrono>

#include "db/db_handle.h"

namespace lumora::db {

namespace {
std::atomic<int> check_interval_s{kDefaultCheckIntervalSeconds};
}

int pool_check_interval_s() {
  return check_interval_s.load();
}

ConnectionPool::~ConnectionPool() {
  pool_close();
}

int ConnectionPool::pool_init(std::string_view connection_text, int size, int maximum,
                              int check_interval, int cursor_location) {
  if (size <= 0) size = kDefaultPoolSize;
  if (maximum <= 0) maximum = kDefaultPoolMaximum;
  if (check_interval <= 0) check_interval = kDefaultCheckIntervalSeconds;
  std::lock_guard guard(lock_);
  maximum_ = maximum;
  connection_text_ = std::string(connection_text);
  cursor_location_ = cursor_location;
  check_interval_s.store(check_interval);
  int opened = 0;
  for (int slot = 1; slot <= size; ++slot) {
    DbConnection connection;
    connection.set_pool_slot(slot);
    if (connection.open_connection(connection_text_, cursor_location_)) {
      free_slots_.push_back(slot);
      last_opened_slot_ = slot;
      ++opened;
    }
    connections_.push_back(connection);
    lent_.push_back(false);
  }
  return opened;
}

void ConnectionPool::set_acquire_wait(int tries, int interval_ms) {
  std::lock_guard guard(lock_);
  wait_tries_ = tries < 1 ? 1 : tries;
  wait_interval_ms_ = interval_ms < 0 ? 0 : interval_ms;
}

bool ConnectionPool::pool_acquire(DbConnection& target) {
  std::unique_lock guard(lock_);
  int slot = 0;
  // Up to tries tests, interval apart; a release wakes the waiter at once.
  for (int attempt = 0; attempt < wait_tries_; ++attempt) {
    if (!free_slots_.empty()) break;
    slot_freed_.wait_for(guard, std::chrono::milliseconds(wait_interval_ms_),
                         [this] { return !free_slots_.empty(); });
  }
  if (!free_slots_.empty()) {
    slot = free_slots_.front();
    free_slots_.pop_front();
  }
  if (slot < 1 || slot > static_cast<int>(connections_.size())) {
    // Grow by one connection, lent at once.
    if (static_cast<int>(connections_.size()) >= maximum_ || connection_text_.empty()) return false;
    DbConnection connection;
    if (!connection.open_connection(connection_text_, kClientCursor)) return false;
    slot = static_cast<int>(connections_.size()) + 1;
    connection.set_pool_slot(slot);
    connections_.push_back(connection);
    lent_.push_back(false);
    last_opened_slot_ = slot;
  }
  lent_[static_cast<std::size_t>(slot - 1)] = true;
  target = connections_[static_cast<std::size_t>(slot - 1)];
  target.set_pool_slot(slot);
  return true;
}

void ConnectionPool::pool_release(int slot) {
  {
    std::lock_guard guard(lock_);
    if (slot < 1 || slot > static_cast<int>(connections_.size())) return;
    // A slot that is not lent (released twice) must not be lent twice later.
    if (!lent_[static_cast<std::size_t>(slot - 1)]) return;
    lent_[static_cast<std::size_t>(slot - 1)] = false;
    free_slots_.push_back(slot);
  }
  slot_freed_.notify_one();
}

bool ConnectionPool::probe(DbConnection& connection) {
  if (!connection.is_open()) return false;
  const auto& handle = connection.handle();
  {
    std::lock_guard guard(handle->mutex);
    // A file renamed or deleted under an open connection still answers
    // queries from the old file; ask SQLite whether that happened.
    int moved = 0;
    if (handle->db &&
        sqlite3_file_control(handle->db, "main", SQLITE_FCNTL_HAS_MOVED, &moved) == SQLITE_OK &&
        moved)
      return false;
  }
  return connection.execute_sql("SELECT name FROM sqlite_master WHERE type='table' ORDER BY name;");
}

void ConnectionPool::pool_check() {
  std::lock_guard guard(lock_);
  for (std::size_t i = 0; i < connections_.size(); ++i) {
    if (lent_[i]) continue;
    DbConnection& connection = connections_[i];
    if (probe(connection)) continue;
    bool was_free = false;
    for (int slot : free_slots_) was_free = was_free || slot == static_cast<int>(i + 1);
    bool opened = connection.open_connection(connection_text_, cursor_location_);
    // A connection that never opened at start joins the free list once it does.
    if (opened && !was_free) free_slots_.push_back(static_cast<int>(i + 1));
  }
  slot_freed_.notify_all();
}

void ConnectionPool::pool_close() {
  std::lock_guard guard(lock_);
  for (auto& connection : connections_) connection.close_connection();
  connections_.clear();
  free_slots_.clear();
  lent_.clear();
}

std::size_t ConnectionPool::connection_count() const {
  std::lock_guard guard(lock_);
  return connections_.size();
}

std::size_t ConnectionPool::free_count() const {
  std::lock_guard guard(lock_);
  return free_slots_.size();
}

int ConnectionPool::maximum() const {
  std::lock_guard guard(lock_);
  return maximum_;
}

int ConnectionPool::last_opened_slot() const {
  std::lock_guard guard(lock_);
  return last_opened_slot_;
}

}  // namespace lumora::db
