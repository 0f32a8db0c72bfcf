// The group commit of an append-only log, as LevelDB's writer queue does
// it: writers add their change and wait; the first waiter that finds no
// sync under way leads one for every change added so far, while the next
// writers gather behind it for the one after. Each waiter gets its own
// outcome back; nobody reads the log again to learn it.
//
// Changes are numbered by tickets from 1, in the order they are added. What
// a change hands to the leader (its bytes, the files it touched) is gathered
// into a `Batch`, which the leader takes whole. A sync that fails fails the
// changes it covered and every change added after it until recover(): those
// were made on top of the failed ones. The owner undoes them, newest first,
// then calls recover(), and later changes are synced again.
//
// Used by the ledger's logs (storage/log_sync.cpp) and the game world's
// journal (game/store/world_journal.cpp); each keeps its own file format
// and undo.
//
// Thread-safe: one internal mutex, held while `gather` and `when_idle`'s
// callback run, never while the leader syncs.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <utility>
#include <vector>

namespace platform {

enum class CommitOutcome { kDurable, kFailed };

template <typename Batch>
class GroupCommit {
 public:
  GroupCommit() = default;
  GroupCommit(const GroupCommit&) = delete;
  GroupCommit& operator=(const GroupCommit&) = delete;

  // Adds a change and returns its ticket. `gather(batch, ticket)` puts the
  // change's part into the batch the next leader takes; it runs under the
  // lock, so it should be short. While a failure waits for recover() it is
  // not called: the change fails with the others and is never synced.
  template <typename Gather>
  uint64_t add(Gather&& gather) {
    std::lock_guard lock(mu_);
    const uint64_t ticket = ++issued_;
    if (failed_from_ == 0) gather(batch_, ticket);
    return ticket;
  }

  // Returns once change `ticket` is durable or has failed. When no sync is
  // under way the caller leads one: `sync(batch)` runs without the lock on
  // the batch of every change added so far and returns whether it is
  // durable. REQUIRES: `ticket` was returned by add().
  template <typename Sync>
  CommitOutcome wait(uint64_t ticket, Sync&& sync) {
    std::unique_lock lock(mu_);
    for (;;) {
      if (ticket <= settled_) return failed(ticket) ? CommitOutcome::kFailed : CommitOutcome::kDurable;
      if (failed_from_ != 0) return CommitOutcome::kFailed;
      if (leading_) {
        done_.wait(lock);
        continue;
      }
      leading_ = true;
      const uint64_t last = issued_;
      bool synced = false;
      {
        // Freed before the lock is taken again: a large batch costs its
        // free to the leader alone.
        Batch batch = std::exchange(batch_, Batch());
        lock.unlock();
        synced = sync(batch);
      }
      lock.lock();
      leading_ = false;
      if (synced) {
        settled_ = last;
      } else {
        failed_from_ = settled_ + 1;
        ++failures_;
      }
      done_.notify_all();
    }
  }

  // The failed changes have been undone: they and every change added since
  // settle as failed, and the next sync covers only later ones. Does
  // nothing when no failure waits.
  void recover() {
    std::lock_guard lock(mu_);
    if (failed_from_ == 0) return;
    failed_ranges_.emplace_back(failed_from_, issued_);
    settled_ = issued_;
    failed_from_ = 0;
    batch_ = Batch();
  }

  // The next change is numbered `ticket` + 1, those before it durable: for
  // a log that already holds changes up to it. Call before the first add.
  void continue_after(uint64_t ticket) {
    std::lock_guard lock(mu_);
    if (ticket <= issued_) return;
    issued_ = ticket;
    settled_ = ticket;
  }

  // Every change added so far counts as settled as it stands: for a log
  // removed whole. REQUIRES: nobody waits.
  void settle_all() {
    std::lock_guard lock(mu_);
    settled_ = issued_;
  }

  // Runs `fn()` under the lock once no sync is under way; none starts
  // before it returns (to move or cut the log's file).
  template <typename Fn>
  auto when_idle(Fn&& fn) {
    std::unique_lock lock(mu_);
    done_.wait(lock, [this] { return !leading_; });
    return fn();
  }

  // The first failed change while a failure waits for recover(); 0 when
  // none does.
  uint64_t failed_from() const {
    std::lock_guard lock(mu_);
    return failed_from_;
  }
  // Syncs that failed so far.
  uint64_t failures() const {
    std::lock_guard lock(mu_);
    return failures_;
  }
  // The ticket of the last change added.
  uint64_t last_ticket() const {
    std::lock_guard lock(mu_);
    return issued_;
  }
  // Every change up to this ticket is durable or failed.
  uint64_t settled() const {
    std::lock_guard lock(mu_);
    return settled_;
  }

 private:
  // REQUIRES: mu_, `ticket` settled.
  bool failed(uint64_t ticket) const {
    // Ranges are disjoint and ascending; the newest are the likely ones.
    for (auto range = failed_ranges_.rbegin(); range != failed_ranges_.rend() && range->second >= ticket; ++range) {
      if (ticket >= range->first) return true;
    }
    return false;
  }

  mutable std::mutex mu_;
  std::condition_variable done_;  // a sync ended
  Batch batch_;                   // GUARDED_BY(mu_), as is every field below
  uint64_t issued_ = 0;           // the last ticket given
  uint64_t settled_ = 0;
  bool leading_ = false;          // a sync is under way
  uint64_t failed_from_ = 0;
  uint64_t failures_ = 0;
  std::vector<std::pair<uint64_t, uint64_t>> failed_ranges_;  // closed, ascending
};

}  // namespace platform
