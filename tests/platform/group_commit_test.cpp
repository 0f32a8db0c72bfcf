#include "platform/group_commit.h"

#include <gtest/gtest.h>

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <map>
#include <mutex>
#include <thread>
#include <vector>

#include "eventually.h"

namespace platform {
namespace {

using rozeve_test::eventually;
using Tickets = std::vector<uint64_t>;
using Commit = GroupCommit<Tickets>;

// Each change hands its own ticket to the leader, so that a sync shows
// exactly the changes it covers.
uint64_t add(Commit& commit) {
  return commit.add([](Tickets& batch, uint64_t ticket) { batch.push_back(ticket); });
}

// A log whose syncs are recorded, fail while `failing`, never overlap, and
// can be held at a gate until released.
class RecordedLog {
 public:
  bool operator()(const Tickets& batch) {
    EXPECT_EQ(++in_sync_, 1) << "two syncs at once";
    std::unique_lock lock(mu_);
    syncs_.push_back(batch);
    threads_.push_back(std::this_thread::get_id());
    entered_.store(true);
    gate_.wait(lock, [this] { return open_; });
    const bool ok = !failing_.load();
    --in_sync_;
    return ok;
  }
  CommitOutcome wait(Commit& commit, uint64_t ticket) {
    return commit.wait(ticket, [this](const Tickets& batch) { return (*this)(batch); });
  }

  void hold() {
    std::lock_guard lock(mu_);
    open_ = false;
    entered_.store(false);
  }
  bool entered() const { return entered_.load(); }
  bool syncing() const { return in_sync_.load() > 0; }
  void release() {
    std::lock_guard lock(mu_);
    open_ = true;
    gate_.notify_all();
  }
  void fail(bool on) { failing_.store(on); }
  std::vector<Tickets> syncs() const {
    std::lock_guard lock(mu_);
    return syncs_;
  }
  std::thread::id thread_of(size_t sync) const {
    std::lock_guard lock(mu_);
    return threads_.at(sync);
  }

 private:
  mutable std::mutex mu_;
  std::condition_variable gate_;
  bool open_ = true;
  std::atomic<bool> entered_{false};
  std::atomic<bool> failing_{false};
  std::atomic<int> in_sync_{0};
  std::vector<Tickets> syncs_;
  std::vector<std::thread::id> threads_;
};

TEST(PlatformGroupCommit, OneSyncCoversEveryChangeAddedBeforeItStarts) {
  Commit commit;
  RecordedLog log;
  log.hold();
  const uint64_t first = add(commit);
  std::thread leader([&] { EXPECT_EQ(log.wait(commit, first), CommitOutcome::kDurable); });
  ASSERT_TRUE(eventually([&] { return log.entered(); }));
  // Added while the first sync runs: they wait for the next one.
  const uint64_t second = add(commit);
  const uint64_t third = add(commit);
  std::thread a([&] { EXPECT_EQ(log.wait(commit, second), CommitOutcome::kDurable); });
  std::thread b([&] { EXPECT_EQ(log.wait(commit, third), CommitOutcome::kDurable); });
  log.release();
  leader.join();
  a.join();
  b.join();
  EXPECT_EQ(log.syncs(), (std::vector<Tickets>{{1}, {2, 3}}));
  // The first leader went back to its caller; a waiter led the next sync.
  EXPECT_NE(log.thread_of(1), log.thread_of(0));
  EXPECT_EQ(commit.settled(), 3u);
  EXPECT_EQ(log.wait(commit, second), CommitOutcome::kDurable);
  EXPECT_EQ(log.syncs().size(), 2u);  // a settled change syncs nothing
}

TEST(PlatformGroupCommit, AFailedSyncFailsWhatItCoveredAndWhatCameUntilRecovery) {
  Commit commit;
  RecordedLog log;
  const uint64_t durable = add(commit);
  ASSERT_EQ(log.wait(commit, durable), CommitOutcome::kDurable);
  const uint64_t second = add(commit);
  const uint64_t third = add(commit);
  log.fail(true);
  EXPECT_EQ(log.wait(commit, third), CommitOutcome::kFailed);
  EXPECT_EQ(commit.failed_from(), second);
  EXPECT_EQ(commit.failures(), 1u);
  // Every waiter of the failed range learns it without another sync.
  EXPECT_EQ(log.wait(commit, second), CommitOutcome::kFailed);
  // A change added on top of the failed ones fails with them, unsynced.
  const uint64_t on_top = add(commit);
  EXPECT_EQ(log.wait(commit, on_top), CommitOutcome::kFailed);
  EXPECT_EQ(log.syncs(), (std::vector<Tickets>{{1}, {2, 3}}));
  EXPECT_EQ(log.wait(commit, durable), CommitOutcome::kDurable);

  // The owner undid them: later changes are synced alone, and succeed.
  log.fail(false);
  commit.recover();
  EXPECT_EQ(commit.failed_from(), 0u);
  const uint64_t later = add(commit);
  EXPECT_EQ(log.wait(commit, later), CommitOutcome::kDurable);
  EXPECT_EQ(log.syncs().back(), Tickets{later});
  for (uint64_t ticket : {second, third, on_top}) EXPECT_EQ(log.wait(commit, ticket), CommitOutcome::kFailed) << ticket;
  EXPECT_EQ(log.wait(commit, durable), CommitOutcome::kDurable);
  commit.recover();  // nothing waits: nothing changes
  EXPECT_EQ(log.wait(commit, later), CommitOutcome::kDurable);
  EXPECT_EQ(commit.failures(), 1u);
}

TEST(PlatformGroupCommit, ManyWritersEachGetTheOutcomeOfTheSyncThatCarriedThem) {
  constexpr int kWriters = 16;
  constexpr int kChanges = 200;
  Commit commit;
  std::mutex mu;
  std::map<uint64_t, bool> synced;  // ticket -> its sync succeeded
  uint64_t syncs = 0;
  const auto sync = [&](const Tickets& batch) {
    std::lock_guard lock(mu);
    const bool ok = ++syncs % 3 != 0;  // every third sync fails
    for (uint64_t ticket : batch) EXPECT_TRUE(synced.emplace(ticket, ok).second) << ticket << " synced twice";
    return ok;
  };
  std::mutex outcomes_mu;
  std::map<uint64_t, CommitOutcome> outcomes;
  std::vector<std::thread> writers;
  for (int w = 0; w < kWriters; ++w) {
    writers.emplace_back([&] {
      for (int n = 0; n < kChanges; ++n) {
        const uint64_t ticket = add(commit);
        const CommitOutcome outcome = commit.wait(ticket, sync);
        // Its owner undoes what failed, then lets writes go on.
        if (outcome == CommitOutcome::kFailed) commit.recover();
        std::lock_guard lock(outcomes_mu);
        outcomes.emplace(ticket, outcome);
      }
    });
  }
  for (std::thread& t : writers) t.join();
  ASSERT_EQ(outcomes.size(), static_cast<size_t>(kWriters * kChanges));
  EXPECT_EQ(commit.last_ticket(), static_cast<uint64_t>(kWriters * kChanges));
  EXPECT_EQ(commit.settled(), commit.last_ticket());
  // Durable exactly when a sync that succeeded carried it; a change added
  // while a failure waited was carried by none.
  for (const auto& [ticket, outcome] : outcomes) {
    const auto it = synced.find(ticket);
    const bool durable = it != synced.end() && it->second;
    EXPECT_EQ(outcome == CommitOutcome::kDurable, durable) << ticket;
  }
  EXPECT_GT(commit.failures(), 0u);
}

TEST(PlatformGroupCommit, WorkWhenIdleWaitsForTheSyncUnderWay) {
  Commit commit;
  RecordedLog log;
  log.hold();
  const uint64_t ticket = add(commit);
  std::atomic<bool> synced{false};
  std::thread leader([&] {
    EXPECT_EQ(log.wait(commit, ticket), CommitOutcome::kDurable);
    synced = true;
  });
  ASSERT_TRUE(eventually([&] { return log.entered(); }));
  std::atomic<bool> ran{false};
  // Moving the log's file while the leader writes it would lose the batch.
  std::thread mover([&] {
    EXPECT_FALSE(commit.when_idle([&] { return log.syncing(); }));
    ran = true;
  });
  EXPECT_FALSE(ran.load());
  log.release();
  leader.join();
  mover.join();
  EXPECT_TRUE(ran.load());
  EXPECT_TRUE(synced.load());
}

TEST(PlatformGroupCommit, ALogThatHoldsChangesContinuesAfterThem) {
  Commit commit;
  RecordedLog log;
  commit.continue_after(41);
  EXPECT_EQ(log.wait(commit, 41), CommitOutcome::kDurable);
  EXPECT_EQ(add(commit), 42u);
  commit.continue_after(7);  // never backwards
  EXPECT_EQ(commit.last_ticket(), 42u);
  EXPECT_EQ(log.wait(commit, 42), CommitOutcome::kDurable);
  EXPECT_EQ(log.syncs(), std::vector<Tickets>{{42}});
}

}  // namespace
}  // namespace platform
