// A reader-writer lock that never lets a stream of readers keep a writer
// out: once a writer is waiting, new readers queue behind it, and it gets
// the lock as soon as the readers already inside leave. The standard
// shared_mutex promises no such thing (glibc's prefers readers), so an
// action of the game or a ledger write could wait for as long as views keep
// arriving. Meets the standard's SharedMutex requirements, so that
// std::unique_lock and std::shared_lock work with it.
#pragma once

#include <atomic>
#include <cstdint>
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
    uint32_t seen = state_.load(std::memory_order_acquire);
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
    uint32_t expected = 0;
    return state_.compare_exchange_strong(expected, kWriter, std::memory_order_acquire, std::memory_order_relaxed);
  }

  void unlock() {
    state_.fetch_and(~kWriter, std::memory_order_release);
    state_.notify_all();
  }

  void lock_shared() {
    // A reader behind a writer sleeps at once: yielding would take the CPU
    // from the writer it waits for.
    int waits = kYieldsBeforeSleep;
    uint32_t seen = state_.load(std::memory_order_relaxed);
    for (;;) {
      if ((seen & kWriter) == 0) {
        if (state_.compare_exchange_weak(seen, seen + 1, std::memory_order_acquire, std::memory_order_relaxed)) {
          return;
        }
        continue;
      }
      seen = await_change(seen, waits);
    }
  }

  bool try_lock_shared() {
    uint32_t seen = state_.load(std::memory_order_relaxed);
    while ((seen & kWriter) == 0) {
      if (state_.compare_exchange_weak(seen, seen + 1, std::memory_order_acquire, std::memory_order_relaxed)) {
        return true;
      }
    }
    return false;
  }

  void unlock_shared() {
    const uint32_t before = state_.fetch_sub(1, std::memory_order_release);
    // The last reader out before a waiting writer lets it in.
    if ((before & kWriter) != 0 && (before & kReaders) == 1) state_.notify_all();
  }

 private:
  static constexpr uint32_t kWriter = 1U << 31;   // a writer holds the lock or waits for the readers
  static constexpr uint32_t kReaders = kWriter - 1;  // holders of the shared lock
  // Holds are short (a view, an action): a writer first yields this many
  // times, which costs no wake-up, before it sleeps until the state changes.
  static constexpr int kYieldsBeforeSleep = 64;

  uint32_t await_change(uint32_t seen, int& waits) {
    if (waits < kYieldsBeforeSleep) {
      ++waits;
      std::this_thread::yield();
    } else {
      state_.wait(seen, std::memory_order_acquire);
    }
    return state_.load(std::memory_order_acquire);
  }

  std::atomic<uint32_t> state_{0};
};

}  // namespace platform
