// One writer per data directory: an exclusive lock on "<dir>/LOCK", held
// for as long as its owner runs (LevelDB's LOCK file, Bitcoin Core's .lock).
#pragma once

#include <string>

namespace platform {

inline constexpr char kLockFileName[] = "LOCK";

enum class LockResult {
  kLocked,  // this object now holds the lock
  kBusy,    // someone else holds it: another process, or another lock object
  kFailed,  // the directory or the lock file could not be made or opened
};

// An advisory flock() on "<dir>/LOCK", released when the object is destroyed
// (or the process ends, however it ends). The file is created with mode 0600
// and never deleted: a writer that deleted it would let the next one lock a
// fresh file while a third still held the old. The descriptor is
// close-on-exec, so a child process never keeps the lock after its parent.
class DirectoryLock {
 public:
  DirectoryLock() = default;
  ~DirectoryLock();
  DirectoryLock(const DirectoryLock&) = delete;
  DirectoryLock& operator=(const DirectoryLock&) = delete;

  // Creates `dir` (with its parents) when missing, then takes the lock
  // without waiting. On kFailed, `error` holds the system's reason. Writes
  // nothing else: a refused writer leaves the directory as it found it.
  [[nodiscard]] LockResult acquire(const std::string& dir, std::string& error);
  bool held() const { return fd_ >= 0; }
  void release();

 private:
  int fd_ = -1;
};

}  // namespace platform
