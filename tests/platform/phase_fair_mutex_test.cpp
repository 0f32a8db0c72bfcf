#include "platform/phase_fair_mutex.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <mutex>
#include <shared_mutex>
#include <thread>
#include <vector>

#include "eventually.h"

namespace platform {
namespace {

using Clock = std::chrono::steady_clock;

using rozeve_test::eventually;

TEST(PlatformPhaseFairMutex, TryVariantsFollowTheHolders) {
  PhaseFairMutex mutex;
  ASSERT_TRUE(mutex.try_lock_shared());
  ASSERT_TRUE(mutex.try_lock_shared());  // readers share
  EXPECT_FALSE(mutex.try_lock());
  mutex.unlock_shared();
  mutex.unlock_shared();
  ASSERT_TRUE(mutex.try_lock());
  EXPECT_FALSE(mutex.try_lock());
  EXPECT_FALSE(mutex.try_lock_shared());
  mutex.unlock();
  {
    std::shared_lock reader(mutex);
    EXPECT_TRUE(reader.owns_lock());
  }
  std::unique_lock writer(mutex);
  EXPECT_TRUE(writer.owns_lock());
}

TEST(PlatformPhaseFairMutex, AWaitingWriterShutsOutNewReaders) {
  PhaseFairMutex mutex;
  mutex.lock_shared();
  std::atomic<bool> writer_in{false};
  std::thread writer([&] {
    std::unique_lock lock(mutex);
    writer_in = true;
  });
  // Once the writer waits, no new reader gets in, though a reader holds.
  ASSERT_TRUE(eventually([&] {
    if (!mutex.try_lock_shared()) return true;
    mutex.unlock_shared();
    return false;
  }));
  EXPECT_FALSE(writer_in);
  mutex.unlock_shared();  // the last reader out lets the writer in
  EXPECT_TRUE(eventually([&] { return writer_in.load(); }));
  writer.join();
  EXPECT_TRUE(mutex.try_lock_shared());
  mutex.unlock_shared();
}

// Readers that overlap all the time, so that the lock is never free of them:
// a reader-preferring lock would keep the writer out for as long as they run.
TEST(PlatformPhaseFairMutex, WriterGetsInWhileReadersKeepArriving) {
  constexpr int kReaders = 4;
  PhaseFairMutex mutex;
  std::atomic<bool> stop{false};
  std::atomic<int> inside{0};
  std::atomic<uint64_t> reads{0};
  std::vector<std::thread> readers;
  for (int i = 0; i < kReaders; ++i) {
    readers.emplace_back([&] {
      while (!stop) {
        std::shared_lock lock(mutex);
        ++inside;
        // Hold until another reader is in too, or briefly when none comes.
        const auto until = Clock::now() + std::chrono::microseconds(200);
        while (inside < 2 && Clock::now() < until && !stop) std::this_thread::yield();
        ++reads;
        --inside;
      }
    });
  }
  ASSERT_TRUE(eventually([&] { return reads.load() > 100; }));

  std::atomic<bool> writer_in{false};
  std::thread writer([&] {
    std::unique_lock lock(mutex);
    writer_in = true;
  });
  // Well within the deadline: the readers inside leave at once.
  const bool got_in = eventually([&] { return writer_in.load(); }, std::chrono::seconds(5));
  stop = true;
  writer.join();
  for (std::thread& t : readers) t.join();
  EXPECT_TRUE(got_in);
  EXPECT_GT(reads.load(), 100u);
}

// The mirror image: writers that queue up all the time, so that some writer
// always waits. A writer-preferring lock would keep the reader out for as
// long as they run; here the reader goes in after the writer inside.
TEST(PlatformPhaseFairMutex, ReaderGetsInWhileWritersKeepArriving) {
  constexpr int kWriters = 4;
  PhaseFairMutex mutex;
  std::atomic<bool> stop{false};
  std::atomic<int> queued{0};  // writers that have asked for the lock
  std::atomic<uint64_t> writes{0};
  std::vector<std::thread> writers;
  for (int i = 0; i < kWriters; ++i) {
    writers.emplace_back([&] {
      while (!stop) {
        ++queued;
        std::unique_lock lock(mutex);
        --queued;
        // Hold until another writer has asked, or briefly when none does.
        const auto until = Clock::now() + std::chrono::microseconds(200);
        while (queued < 1 && Clock::now() < until && !stop) std::this_thread::yield();
        ++writes;
      }
    });
  }
  ASSERT_TRUE(eventually([&] { return writes.load() > 100; }));

  std::atomic<int> reads{0};
  std::thread reader([&] {
    for (int n = 0; n < 20; ++n) {
      std::shared_lock lock(mutex);
      ++reads;
    }
  });
  const bool got_in = eventually([&] { return reads.load() == 20; }, std::chrono::seconds(5));
  stop = true;
  reader.join();
  for (std::thread& t : writers) t.join();
  EXPECT_TRUE(got_in);
}

TEST(PlatformPhaseFairMutex, WritersExcludeEachOtherAndReaders) {
  PhaseFairMutex mutex;
  int64_t counter = 0;
  std::atomic<bool> torn{false};
  std::vector<std::thread> threads;
  for (int i = 0; i < 4; ++i) {
    threads.emplace_back([&] {
      for (int n = 0; n < 2000; ++n) {
        std::unique_lock lock(mutex);
        ++counter;
        ++counter;
      }
    });
    threads.emplace_back([&] {
      for (int n = 0; n < 2000; ++n) {
        std::shared_lock lock(mutex);
        if (counter % 2 != 0) torn = true;
      }
    });
  }
  for (std::thread& t : threads) t.join();
  EXPECT_EQ(counter, 4 * 2000 * 2);
  EXPECT_FALSE(torn);
}

}  // namespace
}  // namespace platform
