// A reader-writer lock that lets neither side starve the other. A stream of
// readers never keeps a writer out: once a writer is waiting, new readers
// queue behind it, and it gets the lock as soon as the readers already
// inside leave. A stream of writers never keeps readers out either: the
// readers that queued behind a writer all enter when it leaves, before any
// later writer, so reads and writes take turns. The standard shared_mutex
// promises neither (glibc's prefers readers), so an action of the game or a
// ledger write could wait for as long as views keep arriving. Meets the
// standard's SharedMutex requirements, so that std::unique_lock and
// std::shared_lock work with it.
#pragma once

#include <atomic>
#include <cstdint>
#include <mutex>
#include <shared_mutex>
#include <thread>

namespace platform {

class WriterPreferringMutex {
 public:
  WriterPreferringMutex() = default;
  WriterPreferringMutex(const WriterPreferringMutex&) = delete;
  WriterPreferringMutex& operator=(const WriterPreferringMutex&) = delete;

  void lock() {
    // One writer at a time claims the writer bit; from then on no reader
    // enters, and the writer waits only for the readers already inside.
    int waits = 0;
    uint64_t seen = state_.load(std::memory_order_acquire);
    for (;;) {
      if ((seen & kWriter) == 0) {
        if (state_.compare_exchange_weak(seen, seen | kWriter, std::memory_order_acquire,
                                         std::memory_order_acquire)) {
          seen |= kWriter;
          break;
        }
        continue;
      }
      seen = await_change(seen, waits);
    }
    waits = 0;
    while ((seen & kReaders) != 0) seen = await_change(seen, waits);
  }

  bool try_lock() {
    uint64_t seen = state_.load(std::memory_order_relaxed);
    while ((seen & (kWriter | kReaders)) == 0) {
      if (state_.compare_exchange_weak(seen, seen | kWriter, std::memory_order_acquire, std::memory_order_relaxed)) {
        return true;
      }
    }
    return false;
  }

  void unlock() {
    uint64_t seen = state_.load(std::memory_order_relaxed);
    while (!state_.compare_exchange_weak(seen, admit_waiting_readers(seen & ~kWriter, 0), std::memory_order_release,
                                         std::memory_order_relaxed)) {
    }
    state_.notify_all();
  }

  // Turns the exclusive hold into a shared one without letting a writer in
  // between: what the holder wrote is still what it reads. The readers that
  // queued behind it enter with it.
  void unlock_and_lock_shared() {
    uint64_t seen = state_.load(std::memory_order_relaxed);
    while (!state_.compare_exchange_weak(seen, admit_waiting_readers(seen & ~kWriter, 1), std::memory_order_release,
                                         std::memory_order_relaxed)) {
    }
    state_.notify_all();
  }

  void lock_shared() {
    uint64_t seen = state_.load(std::memory_order_relaxed);
    for (;;) {
      if ((seen & kWriter) == 0) {
        if (state_.compare_exchange_weak(seen, seen + 1, std::memory_order_acquire, std::memory_order_relaxed)) {
          return;
        }
        continue;
      }
      // Behind a writer: queue, and sleep at once (yielding would take the
      // CPU from the writer). The writer that leaves counts this reader in
      // and flips the phase.
      if (state_.compare_exchange_weak(seen, seen + kOneWaiting, std::memory_order_relaxed,
                                       std::memory_order_relaxed)) {
        const uint64_t phase = seen & kPhase;
        seen += kOneWaiting;
        for (;;) {
          state_.wait(seen, std::memory_order_relaxed);
          seen = state_.load(std::memory_order_acquire);
          if ((seen & kPhase) != phase) return;
        }
      }
    }
  }

  bool try_lock_shared() {
    uint64_t seen = state_.load(std::memory_order_relaxed);
    while ((seen & kWriter) == 0) {
      if (state_.compare_exchange_weak(seen, seen + 1, std::memory_order_acquire, std::memory_order_relaxed)) {
        return true;
      }
    }
    return false;
  }

  // Readers queued behind a writer at this moment.
  uint64_t queued_readers() const { return (state_.load(std::memory_order_relaxed) & kWaiting) / kOneWaiting; }

  void unlock_shared() {
    const uint64_t before = state_.fetch_sub(1, std::memory_order_release);
    // The last reader out before a waiting writer lets it in.
    if ((before & kWriter) != 0 && (before & kReaders) == 1) state_.notify_all();
  }

 private:
  // The state word: the writer bit, the phase, the readers queued behind the
  // writer, and the readers inside.
  static constexpr uint64_t kWriter = 1ULL << 63;  // a writer holds the lock or waits for the readers
  // Flips each time a writer lets queued readers in: a queued reader that
  // sees it change holds the lock (no writer can come in between, since the
  // reader is counted inside until it leaves).
  static constexpr uint64_t kPhase = 1ULL << 62;
  static constexpr uint64_t kOneWaiting = 1ULL << 32;
  static constexpr uint64_t kWaiting = kPhase - kOneWaiting;  // readers queued behind the writer
  static constexpr uint64_t kReaders = kOneWaiting - 1;        // holders of the shared lock
  // Holds are short (a view, an action): a writer first yields this many
  // times, which costs no wake-up, before it sleeps until the state changes.
  static constexpr int kYieldsBeforeSleep = 64;

  // `state` (no writer bit) with `holders` plus its queued readers inside, and
  // the phase flipped when there were any.
  static uint64_t admit_waiting_readers(uint64_t state, uint64_t holders) {
    const uint64_t waiting = (state & kWaiting) / kOneWaiting;
    if (waiting == 0) return state + holders;
    return ((state & ~kWaiting) ^ kPhase) + waiting + holders;
  }

  uint64_t await_change(uint64_t seen, int& waits) {
    if (waits < kYieldsBeforeSleep) {
      ++waits;
      std::this_thread::yield();
    } else {
      state_.wait(seen, std::memory_order_acquire);
    }
    return state_.load(std::memory_order_acquire);
  }

  std::atomic<uint64_t> state_{0};
};

// Turns the exclusive hold of `lock` into a shared one (see
// unlock_and_lock_shared); `lock` no longer owns the mutex after.
inline std::shared_lock<WriterPreferringMutex> downgrade(std::unique_lock<WriterPreferringMutex>& lock) {
  lock.mutex()->unlock_and_lock_shared();
  return std::shared_lock<WriterPreferringMutex>(*lock.release(), std::adopt_lock);
}

}  // namespace platform
