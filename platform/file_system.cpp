#include "platform/file_system.h"

#include <algorithm>
#include <cerrno>
#include <new>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <unistd.h>

namespace platform {

namespace {

constexpr mode_t kDefaultMode = 0644;
constexpr mode_t kOwnerOnlyMode = 0600;
constexpr char kTmpSuffix[] = ".tmp";
// A whole-file read asks for at most this much per call.
constexpr size_t kFileReadChunkBytes = 8 << 20;

// Writes all of `data`, resuming after partial writes and signals.
bool write_all(int fd, const char* data, size_t len) {
  while (len > 0) {
    const ssize_t n = ::write(fd, data, len);
    if (n < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    data += n;
    len -= static_cast<size_t>(n);
  }
  return true;
}

bool fsync_fd(int fd) {
  while (::fsync(fd) != 0) {
    if (errno != EINTR) return false;
  }
  return true;
}

mode_t mode_for(FileAccess access) {
  return access == FileAccess::kOwnerOnly ? kOwnerOnlyMode : kDefaultMode;
}

// O_CREAT leaves an existing file's mode as it was; a secret must not keep
// a wider one from an older run.
bool narrow_mode(int fd, FileAccess access) {
  return access != FileAccess::kOwnerOnly || ::fchmod(fd, kOwnerOnlyMode) == 0;
}

// A failed close may report a lost write, so it counts as a failure.
bool close_fd(int fd) { return ::close(fd) == 0; }

std::string directory_of(const std::string& path) {
  const size_t slash = path.find_last_of('/');
  if (slash == std::string::npos) return ".";
  if (slash == 0) return "/";
  return path.substr(0, slash);
}

// Makes a rename or a new directory entry durable.
bool fsync_directory(const std::string& path) {
  const int fd = ::open(directory_of(path).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) return false;
  const bool synced = fsync_fd(fd);
  return close_fd(fd) && synced;
}

}  // namespace

ReplaceResult replace_file(const std::string& path, std::string_view content, FileAccess access) {
  const std::string tmp = path + kTmpSuffix;
  const int fd = ::open(tmp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, mode_for(access));
  if (fd < 0) return ReplaceResult::kWriteFailed;

  bool ok = narrow_mode(fd, access);
  ok = ok && write_all(fd, content.data(), content.size());
  ok = ok && fsync_fd(fd);
  ok = close_fd(fd) && ok;
  if (!ok) {
    ::unlink(tmp.c_str());
    return ReplaceResult::kWriteFailed;
  }

  if (::rename(tmp.c_str(), path.c_str()) != 0) return ReplaceResult::kRenameFailed;
  // The content is already in place; a failed directory sync only weakens
  // durability of the name, which the caller can do nothing about.
  fsync_directory(path);
  return ReplaceResult::kReplaced;
}

bool write_file_in_place(const std::string& path, std::string_view content, FileAccess access) {
  const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, mode_for(access));
  if (fd < 0) return false;
  bool ok = narrow_mode(fd, access);
  ok = ok && write_all(fd, content.data(), content.size());
  ok = ok && fsync_fd(fd);
  return close_fd(fd) && ok;
}

bool append_line(const std::string& path, std::string_view line, uint64_t* size_before,
                 FileAccess access) {
  AppendFile file;
  if (!file.open(path, access)) return false;
  std::string bytes(line);
  bytes.push_back('\n');
  uint64_t before = 0;
  if (!file.append(bytes, &before)) return false;
  if (size_before != nullptr) *size_before = before;
  if (file.sync()) return true;
  // A line that is not durable must not stay to be read as a record.
  (void)file.truncate(before);
  return false;
}

bool truncate_file(const std::string& path, uint64_t size) {
  const int fd = ::open(path.c_str(), O_WRONLY | O_CLOEXEC);
  if (fd < 0) return false;
  int rc;
  do {
    rc = ::ftruncate(fd, static_cast<off_t>(size));
  } while (rc != 0 && errno == EINTR);
  bool ok = rc == 0 && fsync_fd(fd);
  return close_fd(fd) && ok;
}

ReadResult read_whole_file(const std::string& path, std::string& out) {
  out.clear();
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return errno == ENOENT ? ReadResult::kMissing : ReadResult::kFailed;
  struct stat st;
  if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
    close_fd(fd);
    return ReadResult::kFailed;
  }
  try {
    out.reserve(static_cast<size_t>(st.st_size));
  } catch (...) {
    close_fd(fd);
    return ReadResult::kFailed;
  }
  char buffer[1 << 16];
  while (true) {
    const ssize_t n = ::read(fd, buffer, sizeof buffer);
    if (n == 0) break;
    if (n < 0) {
      if (errno == EINTR) continue;
      close_fd(fd);
      return ReadResult::kFailed;
    }
    out.append(buffer, static_cast<size_t>(n));
  }
  close_fd(fd);
  return ReadResult::kRead;
}

FileBytes::Result FileBytes::open(const std::string& path, uint64_t max_bytes) {
  close();
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return errno == ENOENT ? Result::kMissing : Result::kFailed;
  struct stat st;
  if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode) || st.st_size < 0) {
    close_fd(fd);
    return Result::kFailed;
  }
  if (static_cast<uint64_t>(st.st_size) > max_bytes) {
    close_fd(fd);
    return Result::kTooBig;
  }
  const size_t size = static_cast<size_t>(st.st_size);
  std::unique_ptr<char[]> data;
  try {
    // Not zeroed first: every byte is read over.
    data = std::make_unique_for_overwrite<char[]>(size == 0 ? 1 : size);
  } catch (const std::bad_alloc&) {
    close_fd(fd);
    return Result::kFailed;
  }
  size_t done = 0;
  bool ok = true;
  while (ok && done < size) {
    const ssize_t n = ::pread(fd, data.get() + done, std::min(size - done, kFileReadChunkBytes),
                              static_cast<off_t>(done));
    if (n < 0 && errno == EINTR) continue;
    ok = n > 0;  // 0: the file was cut short under us
    if (ok) done += static_cast<size_t>(n);
  }
  // Nothing beyond the size it had at the start: it did not grow either.
  char extra;
  while (ok) {
    const ssize_t n = ::pread(fd, &extra, 1, static_cast<off_t>(size));
    if (n < 0 && errno == EINTR) continue;
    ok = n == 0;
    break;
  }
  close_fd(fd);
  if (!ok) return Result::kFailed;
  data_ = std::move(data);
  size_ = size;
  return Result::kRead;
}

void FileBytes::close() {
  data_.reset();
  size_ = 0;
}

PathKind path_kind(const std::string& path) {
  struct stat st;
  if (::stat(path.c_str(), &st) != 0) {
    return errno == ENOENT || errno == ENOTDIR ? PathKind::kMissing : PathKind::kUnknown;
  }
  return S_ISREG(st.st_mode) ? PathKind::kRegular : PathKind::kOther;
}

bool probe_writable_directory(const std::string& dir) {
  const std::string probe = dir + "/.rozeve_probe" + kTmpSuffix;
  const int fd = ::open(probe.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, kOwnerOnlyMode);
  if (fd < 0) return false;
  const char byte = '\n';
  bool ok = write_all(fd, &byte, 1) && fsync_fd(fd);
  ok = close_fd(fd) && ok;
  ok = ::unlink(probe.c_str()) == 0 && ok;
  return ok;
}

bool stat_file(const std::string& path, FileInfo& info) {
  struct stat st;
  if (::stat(path.c_str(), &st) != 0) return false;
  info.regular = S_ISREG(st.st_mode);
  info.modified_ns = static_cast<int64_t>(st.st_mtim.tv_sec) * 1'000'000'000 + st.st_mtim.tv_nsec;
  info.size = static_cast<uint64_t>(st.st_size);
  return true;
}

}  // namespace platform

namespace platform {

AppendFile::~AppendFile() { close(); }

bool AppendFile::open(const std::string& path, FileAccess access) {
  close();
  // Open without O_CREAT first, to know whether the file is new and its
  // directory entry needs a sync as well.
  bool created = false;
  int fd = ::open(path.c_str(), O_RDWR | O_APPEND | O_CLOEXEC);
  if (fd < 0 && errno == ENOENT) {
    fd = ::open(path.c_str(), O_RDWR | O_APPEND | O_CREAT | O_CLOEXEC, mode_for(access));
    created = true;
  }
  if (fd < 0) return false;
  struct stat st;
  if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode) || (created && !fsync_directory(path))) {
    close_fd(fd);
    return false;
  }
  // A log from an older run may be readable by all; narrowing it is worth
  // a try, but not the loss of the record when the owner is someone else.
  if ((st.st_mode & 077) != 0) (void)narrow_mode(fd, access);
  fd_ = fd;
  size_ = static_cast<uint64_t>(st.st_size);
  return true;
}

void AppendFile::close() {
  if (fd_ >= 0) close_fd(fd_);
  fd_ = -1;
  size_ = 0;
}

bool AppendFile::append(std::string_view lines, uint64_t* size_before) {
  if (fd_ < 0) return false;
  // The size is read again: whatever reached the file, it is what follows.
  struct stat st;
  if (::fstat(fd_, &st) != 0) return false;
  size_ = static_cast<uint64_t>(st.st_size);
  if (size_before != nullptr) *size_before = size_;
  char last = '\n';
  if (size_ > 0) {
    ssize_t n;
    do {
      n = ::pread(fd_, &last, 1, static_cast<off_t>(size_ - 1));
    } while (n < 0 && errno == EINTR);
    if (n != 1) return false;
  }
  std::string buffer;
  if (last != '\n') buffer.push_back('\n');
  buffer.append(lines);
  if (write_all(fd_, buffer.data(), buffer.size())) {
    size_ += buffer.size();
    return true;
  }
  // A full disk can take half a record: cut it off.
  while (::ftruncate(fd_, static_cast<off_t>(size_)) != 0 && errno == EINTR) {
  }
  return false;
}

bool AppendFile::sync() const { return fd_ >= 0 && fsync_fd(fd_); }

bool AppendFile::truncate(uint64_t size) {
  if (fd_ < 0) return false;
  int rc;
  do {
    rc = ::ftruncate(fd_, static_cast<off_t>(size));
  } while (rc != 0 && errno == EINTR);
  if (rc != 0) return false;
  size_ = size;
  return fsync_fd(fd_);
}

}  // namespace platform

namespace platform {

bool rename_durably(const std::string& from, const std::string& to) {
  if (::rename(from.c_str(), to.c_str()) != 0) return false;
  return fsync_directory(to);
}

bool remove_durably(const std::string& path) {
  if (::unlink(path.c_str()) != 0 && errno != ENOENT) return false;
  return fsync_directory(path);
}

bool sync_parent_directory(const std::string& path) { return fsync_directory(path); }

bool prepare_append_file(const std::string& path, bool empty, FileAccess access) {
  bool created = false;
  int fd = ::open(path.c_str(), O_WRONLY | O_CLOEXEC);
  if (fd < 0 && errno == ENOENT) {
    fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, mode_for(access));
    created = true;
  }
  if (fd < 0) return false;
  struct stat st;
  bool ok = ::fstat(fd, &st) == 0 && S_ISREG(st.st_mode) && narrow_mode(fd, access);
  if (ok && empty && st.st_size > 0) {
    int rc;
    do {
      rc = ::ftruncate(fd, 0);
    } while (rc != 0 && errno == EINTR);
    ok = rc == 0 && fsync_fd(fd);
  }
  ok = close_fd(fd) && ok;
  return ok && (!created || fsync_directory(path));
}

}  // namespace platform
