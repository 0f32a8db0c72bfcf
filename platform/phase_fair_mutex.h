// A reader-writer lock under which neither side can keep the other out:
// readers and writers take turns in phases. A writer waits only for the
// readers already inside; readers that arrive meanwhile go in right after
// that one writer, before the next one, so a stream of game actions cannot
// keep the map and the views waiting either (a writer-preferring lock lets
// queued writers pass them one after the other). The standard shared_mutex
// promises no such thing (glibc's prefers readers). Meets the standard's
// SharedMutex requirements, so that std::unique_lock and std::shared_lock
// work with it; WriteLock and ReadLock below hold it so that clang's
// thread-safety analysis sees the hold (the standard ones it cannot see).
#pragma once

#include <atomic>
#include <cstdint>
#include <mutex>
#include <thread>

#include "platform/thread_annotations.h"

namespace platform {

class CAPABILITY("mutex") PhaseFairMutex {
 public:
  PhaseFairMutex() = default;
  PhaseFairMutex(const PhaseFairMutex&) = delete;
  PhaseFairMutex& operator=(const PhaseFairMutex&) = delete;

  void lock() ACQUIRE() {
    // One writer at a time. Holds are short (an action, a state view), and
    // a sleep and a wake-up cost more than most holds: a writer first yields
    // a few times, then sleeps until the writer inside leaves.
    bool in = writers_.try_lock();
    for (int i = 0; !in && i < kYieldsBeforeSleep; ++i) {
      std::this_thread::yield();
      in = writers_.try_lock();
    }
    if (!in) writers_.lock();
    enter_writer();
  }

  bool try_lock() TRY_ACQUIRE(true) {
    if (!writers_.try_lock()) return false;
    uint32_t in = readers_in_.load();
    // Free only when every reader that came in has gone out.
    if (in != readers_out_.load() || !readers_in_.compare_exchange_strong(in, in | writer_bits())) {
      writers_.unlock();
      return false;
    }
    return true;
  }

  void unlock() RELEASE() {
    // The readers who queued behind this writer go in now; a writer that
    // comes next waits for them.
    readers_in_.fetch_and(~kWriterBits);
    phase_.fetch_add(1);
    phase_.notify_all();
    ++writer_turns_;
    writers_.unlock();
  }

  void lock_shared() ACQUIRE_SHARED() {
    const uint32_t writer = readers_in_.fetch_add(kReader) & kWriterBits;
    if (writer == 0) return;
    // Counted already: the writer inside lets this reader in as it leaves,
    // and the writer after it waits for this reader to leave.
    for (;;) {
      const uint32_t phase = phase_.load();
      if ((readers_in_.load() & kWriterBits) != writer) return;
      phase_.wait(phase);
    }
  }

  bool try_lock_shared() TRY_ACQUIRE_SHARED(true) {
    uint32_t in = readers_in_.load();
    while ((in & kWriterBits) == 0) {
      if (readers_in_.compare_exchange_weak(in, in + kReader)) return true;
    }
    return false;
  }

  void unlock_shared() RELEASE_SHARED() {
    const uint32_t out = readers_out_.fetch_add(kReader) + kReader;
    // Only the last reader a writer waits for wakes it.
    if ((readers_in_.load() & kWriterPresent) != 0 && out == drained_at_.load()) readers_out_.notify_one();
  }

 private:
  // readers_in_ counts readers in units of kReader; its low bits tell that
  // a writer holds or waits for the readers, and which writer it is (two
  // writers in a row differ, so a reader waiting for the first one is not
  // held back by the second). Counts wrap; only equality is compared.
  static constexpr uint32_t kReader = 1U << 8;
  static constexpr uint32_t kWriterPresent = 2;
  static constexpr uint32_t kWriterTurn = 1;
  static constexpr uint32_t kWriterBits = kWriterPresent | kWriterTurn;
  static constexpr int kYieldsBeforeSleep = 64;

  uint32_t writer_bits() const { return kWriterPresent | (writer_turns_ & kWriterTurn); }

  void enter_writer() {
    // Sequentially consistent, like every access here: the drain target is
    // published before the count is read, and a leaving reader counts before
    // it reads the target, so one of them sees the other.
    const uint32_t readers = readers_in_.fetch_add(writer_bits()) & ~kWriterBits;
    drained_at_.store(readers);
    int waits = 0;
    for (uint32_t out = readers_out_.load(); out != readers; out = readers_out_.load()) {
      if (waits++ < kYieldsBeforeSleep) {
        std::this_thread::yield();
      } else {
        readers_out_.wait(out);
      }
    }
  }

  std::mutex writers_;
  uint32_t writer_turns_ = 0;  // guarded by writers_
  std::atomic<uint32_t> readers_in_{0};
  std::atomic<uint32_t> readers_out_{0};
  std::atomic<uint32_t> drained_at_{0};  // readers_out_ once the readers a writer waits for are out
  std::atomic<uint32_t> phase_{0};       // moves on as each writer leaves
};

// Holds `mutex` exclusively for its scope. unlock() lets it go early (for a
// wait that must not hold it) and lock() takes it again.
class SCOPED_CAPABILITY WriteLock {
 public:
  explicit WriteLock(PhaseFairMutex& mutex) ACQUIRE(mutex) : mutex_(mutex) { mutex_.lock(); }
  ~WriteLock() RELEASE() {
    if (held_) mutex_.unlock();
  }
  WriteLock(const WriteLock&) = delete;
  WriteLock& operator=(const WriteLock&) = delete;

  void unlock() RELEASE() {
    mutex_.unlock();
    held_ = false;
  }
  void lock() ACQUIRE() {
    mutex_.lock();
    held_ = true;
  }

 private:
  PhaseFairMutex& mutex_;
  bool held_ = true;
};

// Holds `mutex` shared for its scope.
class SCOPED_CAPABILITY ReadLock {
 public:
  explicit ReadLock(PhaseFairMutex& mutex) ACQUIRE_SHARED(mutex) : mutex_(mutex) {
    mutex_.lock_shared();
  }
  ~ReadLock() RELEASE() { mutex_.unlock_shared(); }
  ReadLock(const ReadLock&) = delete;
  ReadLock& operator=(const ReadLock&) = delete;

 private:
  PhaseFairMutex& mutex_;
};

}  // namespace platform
