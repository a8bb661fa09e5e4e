#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <filesystem>
#include <mutex>
#include <set>
#include <thread>
#include <vector>

#include "db/connection_pool.h"
#include "db_test_support.h"
#include "json/json_document.h"

namespace lumora::db {
namespace {

using json::JsonDocument;
using json::RootKind;
using testing::DataDbTest;

TEST_F(DataDbTest, PoolDefaultsForZero) {
  ConnectionPool pool;
  EXPECT_EQ(pool.pool_init(connection_text(), 0, 0, 0), 20);
  EXPECT_EQ(pool.connection_count(), 20u);
  EXPECT_EQ(pool.free_count(), 20u);
  EXPECT_EQ(pool.maximum(), 50);
  EXPECT_EQ(pool.last_opened_slot(), 20);
  EXPECT_EQ(pool_check_interval_s(), 7200);

  ConnectionPool broken;
  EXPECT_EQ(broken.pool_init(sqlite_connection_text((folder_.path() / "gone.db").string()), 3), 0);
  EXPECT_EQ(broken.free_count(), 0u);
}

TEST_F(DataDbTest, LentConnectionsCarryTheirSlotAndReleaseIsChecked) {
  ConnectionPool pool;
  ASSERT_EQ(pool.pool_init(connection_text(), 2, 2), 2);
  pool.set_acquire_wait(2, 10);
  DbConnection first, second, third;
  ASSERT_TRUE(pool.pool_acquire(first));
  ASSERT_TRUE(pool.pool_acquire(second));
  EXPECT_EQ(first.pool_slot(), 1);
  EXPECT_EQ(second.pool_slot(), 2);
  EXPECT_TRUE(first.execute_sql("SELECT 1"));
  EXPECT_FALSE(pool.pool_acquire(third));  // none free and no room to grow

  for (int bad : {0, -1, 3, 99}) pool.pool_release(bad);
  EXPECT_EQ(pool.free_count(), 0u);
  pool.pool_release(2);
  pool.pool_release(2);  // a second release of the same slot is ignored
  EXPECT_EQ(pool.free_count(), 1u);
  ASSERT_TRUE(pool.pool_acquire(third));
  EXPECT_EQ(third.pool_slot(), 2);
  EXPECT_FALSE(pool.pool_acquire(third));
}

TEST_F(DataDbTest, TheTwentyFirstBorrowerWaitsThenGetsANewConnection) {
  ConnectionPool pool;
  ASSERT_EQ(pool.pool_init(connection_text(), 20, 50), 20);
  constexpr int kTries = 10, kIntervalMs = 30;
  pool.set_acquire_wait(kTries, kIntervalMs);

  std::mutex mutex;
  std::condition_variable all_done;
  int finished = 0;
  std::vector<int> slots(21, 0);
  std::vector<std::chrono::milliseconds> waited(21);
  std::vector<std::thread> threads;
  for (int i = 0; i < 21; ++i) {
    threads.emplace_back([&, i] {
      DbConnection connection;
      auto start = std::chrono::steady_clock::now();
      bool ok = pool.pool_acquire(connection);
      waited[i] = std::chrono::duration_cast<std::chrono::milliseconds>(
          std::chrono::steady_clock::now() - start);
      if (ok && connection.execute_sql("SELECT count(*) FROM user"))
        slots[i] = connection.pool_slot();
      // Every borrower holds its connection until all 21 have one.
      std::unique_lock lock(mutex);
      ++finished;
      all_done.notify_all();
      all_done.wait(lock, [&] { return finished == 21; });
    });
  }
  for (auto& thread : threads) thread.join();
  std::set<int> distinct(slots.begin(), slots.end());
  EXPECT_EQ(distinct.size(), 21u);
  EXPECT_EQ(distinct.count(0), 0u);
  EXPECT_EQ(*distinct.rbegin(), 21);
  EXPECT_EQ(pool.connection_count(), 21u);
  int index_of_21 = static_cast<int>(std::find(slots.begin(), slots.end(), 21) - slots.begin());
  EXPECT_GE(waited[index_of_21].count(), kTries * kIntervalMs * 8 / 10);
}

TEST_F(DataDbTest, AReleaseWakesAWaitingBorrower) {
  ConnectionPool pool;
  ASSERT_EQ(pool.pool_init(connection_text(), 1, 1), 1);
  pool.set_acquire_wait(10, 500);
  DbConnection held;
  ASSERT_TRUE(pool.pool_acquire(held));
  std::thread releaser([&] {
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    pool.pool_release(held.pool_slot());
  });
  DbConnection waiting;
  EXPECT_TRUE(pool.pool_acquire(waiting));
  EXPECT_EQ(waiting.pool_slot(), 1);
  releaser.join();
}

TEST_F(DataDbTest, PoolCheckReopensAfterTheFileCameBack) {
  ConnectionPool pool;
  ASSERT_EQ(pool.pool_init(connection_text(), 2, 2), 2);
  pool.set_acquire_wait(1, 1);
  {
    DbConnection c;
    ASSERT_TRUE(pool.pool_acquire(c));
    JsonDocument record;
    record.SetInt("uid", 1);
    ASSERT_EQ(c.save_record("user", record), 4);
    pool.pool_release(c.pool_slot());
  }
  db_.close_connection();

  auto away = folder_.path() / "data.db.away";
  std::filesystem::rename(db_path_, away);
  pool.pool_check();  // the file is gone: the connections cannot open again
  {
    DbConnection c;
    ASSERT_TRUE(pool.pool_acquire(c));
    EXPECT_FALSE(c.execute_sql("SELECT * FROM user"));
    pool.pool_release(c.pool_slot());
  }
  EXPECT_FALSE(std::filesystem::exists(db_path_));  // nothing was created in its place

  std::filesystem::rename(away, db_path_);
  pool.pool_check();
  for (int i = 0; i < 2; ++i) {
    DbConnection a, b;
    ASSERT_TRUE(pool.pool_acquire(a));
    ASSERT_TRUE(pool.pool_acquire(b));
    JsonDocument rows(RootKind::array);
    EXPECT_EQ(a.query_rows("SELECT * FROM user", rows), 1) << a.last_error();
    EXPECT_EQ(b.query_rows("SELECT * FROM user", rows), 1) << b.last_error();
    pool.pool_release(a.pool_slot());
    pool.pool_release(b.pool_slot());
  }
}

TEST_F(DataDbTest, PoolCheckLeavesSoundConnectionsOpen) {
  ConnectionPool pool;
  ASSERT_EQ(pool.pool_init(connection_text(), 3, 3), 3);
  DbConnection c;
  ASSERT_TRUE(pool.pool_acquire(c));
  ASSERT_TRUE(c.begin_transaction());
  pool.pool_check();
  EXPECT_EQ(c.transaction_level(), 1);  // a lent connection is not re-opened under its borrower
  EXPECT_TRUE(c.commit_transaction());
  pool.pool_release(c.pool_slot());
  EXPECT_EQ(pool.free_count(), 3u);
  pool.pool_close();
  EXPECT_EQ(pool.connection_count(), 0u);
  EXPECT_FALSE(c.is_open());
}

}  // namespace
}  // namespace lumora::db
