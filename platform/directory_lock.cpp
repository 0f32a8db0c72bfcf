#include "platform/directory_lock.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <sys/file.h>
#include <sys/stat.h>
#include <system_error>
#include <unistd.h>

namespace platform {

namespace {

constexpr mode_t kLockFileMode = 0600;

}  // namespace

DirectoryLock::~DirectoryLock() { release(); }

void DirectoryLock::release() {
  if (fd_ < 0) return;
  // Closing the only descriptor of the open file drops the lock with it.
  ::close(fd_);
  fd_ = -1;
}

LockResult DirectoryLock::acquire(const std::string& dir, std::string& error) {
  release();
  std::error_code ec;
  std::filesystem::create_directories(dir, ec);
  const std::string path = dir + "/" + kLockFileName;
  int fd;
  do {
    fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, kLockFileMode);
  } while (fd < 0 && errno == EINTR);
  if (fd < 0) {
    error = std::strerror(errno);
    return LockResult::kFailed;
  }
  // flock, not fcntl: an fcntl lock belongs to the process and would be
  // dropped by any close of the same file elsewhere in it, and would not
  // keep a second lock object of this process out.
  int rc;
  do {
    rc = ::flock(fd, LOCK_EX | LOCK_NB);
  } while (rc != 0 && errno == EINTR);
  if (rc != 0) {
    const int cause = errno;
    ::close(fd);
    if (cause == EWOULDBLOCK) return LockResult::kBusy;
    error = std::strerror(cause);
    return LockResult::kFailed;
  }
  fd_ = fd;
  return LockResult::kLocked;
}

}  // namespace platform
