// std::mutex as clang's thread-safety analysis sees it: Mutex is one, and
// MutexLock holds it for a scope (the standard lock_guard and unique_lock
// are invisible to the analysis). MutexLock also waits on a condition
// variable, which lets the mutex go while it waits, as unique_lock does.
#pragma once

#include <chrono>
#include <condition_variable>
#include <mutex>

#include "platform/thread_annotations.h"

namespace platform {

class CAPABILITY("mutex") Mutex {
 public:
  Mutex() = default;
  Mutex(const Mutex&) = delete;
  Mutex& operator=(const Mutex&) = delete;

  void lock() ACQUIRE() { mutex_.lock(); }
  void unlock() RELEASE() { mutex_.unlock(); }

 private:
  friend class MutexLock;
  std::mutex mutex_;
};

// Holds `mutex` for its scope. unlock() lets it go early and lock() takes it
// again.
class SCOPED_CAPABILITY MutexLock {
 public:
  explicit MutexLock(Mutex& mutex) ACQUIRE(mutex) : lock_(mutex.mutex_) {}
  ~MutexLock() RELEASE() {}
  MutexLock(const MutexLock&) = delete;
  MutexLock& operator=(const MutexLock&) = delete;

  void unlock() RELEASE() { lock_.unlock(); }
  void lock() ACQUIRE() { lock_.lock(); }
  // Lets the mutex go until `condition` is notified, then holds it again;
  // the caller looks again at what it waits for.
  void wait(std::condition_variable& condition) { condition.wait(lock_); }
  // The same until `done()` (called with the mutex held) or `timeout`
  // passes; returns done().
  template <typename Rep, typename Period, typename Done>
  bool wait_for(std::condition_variable& condition, std::chrono::duration<Rep, Period> timeout,
                Done done) {
    return condition.wait_for(lock_, timeout, done);
  }

 private:
  std::unique_lock<std::mutex> lock_;
};

}  // namespace platform
