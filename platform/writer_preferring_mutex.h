// A reader-writer lock that never lets a stream of readers keep a writer
// out: once a writer is waiting, new readers queue behind it, and it gets
// the lock as soon as the readers already inside leave. The standard
// shared_mutex promises no such thing (glibc's prefers readers), so an
// action of the game or a ledger write could wait for as long as views keep
// arriving. Meets the standard's SharedMutex requirements, so that
// std::unique_lock and std::shared_lock work with it.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <mutex>

namespace platform {

class WriterPreferringMutex {
 public:
  WriterPreferringMutex() = default;
  WriterPreferringMutex(const WriterPreferringMutex&) = delete;
  WriterPreferringMutex& operator=(const WriterPreferringMutex&) = delete;

  void lock() {
    std::unique_lock<std::mutex> guard(state_mutex_);
    // One writer at a time claims the gate; from then on no reader enters.
    entry_gate_.wait(guard, [this] { return !writer_entered_; });
    writer_entered_ = true;
    readers_gone_.wait(guard, [this] { return readers_ == 0; });
  }

  bool try_lock() {
    std::lock_guard<std::mutex> guard(state_mutex_);
    if (writer_entered_ || readers_ != 0) return false;
    writer_entered_ = true;
    return true;
  }

  void unlock() {
    {
      std::lock_guard<std::mutex> guard(state_mutex_);
      writer_entered_ = false;
    }
    // Readers and writers queued at the gate compete again.
    entry_gate_.notify_all();
  }

  void lock_shared() {
    std::unique_lock<std::mutex> guard(state_mutex_);
    entry_gate_.wait(guard, [this] { return !writer_entered_; });
    ++readers_;
  }

  bool try_lock_shared() {
    std::lock_guard<std::mutex> guard(state_mutex_);
    if (writer_entered_) return false;
    ++readers_;
    return true;
  }

  void unlock_shared() {
    bool last_before_writer = false;
    {
      std::lock_guard<std::mutex> guard(state_mutex_);
      --readers_;
      last_before_writer = writer_entered_ && readers_ == 0;
    }
    if (last_before_writer) readers_gone_.notify_one();
  }

 private:
  std::mutex state_mutex_;
  std::condition_variable entry_gate_;    // writer_entered_ cleared
  std::condition_variable readers_gone_;  // readers_ reached 0 with a writer in
  uint64_t readers_ = 0;                  // holders of the shared lock
  bool writer_entered_ = false;           // a writer holds the lock or waits for the readers
};

}  // namespace platform
