#include "platform/file_system.h"

#include <cerrno>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <unistd.h>

namespace platform {

namespace {

constexpr mode_t kDefaultMode = 0644;
constexpr mode_t kOwnerOnlyMode = 0600;
constexpr char kTmpSuffix[] = ".tmp";

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
  const mode_t mode = access == FileAccess::kOwnerOnly ? kOwnerOnlyMode : kDefaultMode;
  const int fd = ::open(tmp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, mode);
  if (fd < 0) return ReplaceResult::kWriteFailed;

  // An old temporary file keeps its mode through O_CREAT; a secret must not.
  bool ok = access != FileAccess::kOwnerOnly || ::fchmod(fd, kOwnerOnlyMode) == 0;
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

bool write_file_in_place(const std::string& path, std::string_view content) {
  const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, kDefaultMode);
  if (fd < 0) return false;
  bool ok = write_all(fd, content.data(), content.size());
  ok = ok && fsync_fd(fd);
  return close_fd(fd) && ok;
}

bool append_line(const std::string& path, std::string_view line, uint64_t* size_before) {
  // Open without O_CREAT first, to know whether the file is new and its
  // directory entry needs a sync as well.
  bool created = false;
  int fd = ::open(path.c_str(), O_RDWR | O_APPEND | O_CLOEXEC);
  if (fd < 0 && errno == ENOENT) {
    fd = ::open(path.c_str(), O_RDWR | O_APPEND | O_CREAT | O_CLOEXEC, kDefaultMode);
    created = true;
  }
  if (fd < 0) return false;

  struct stat st;
  if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
    close_fd(fd);
    return false;
  }
  if (size_before != nullptr) *size_before = static_cast<uint64_t>(st.st_size);
  bool ok = true;
  std::string buffer;
  if (st.st_size > 0) {
    char last = '\n';
    ssize_t n;
    do {
      n = ::pread(fd, &last, 1, st.st_size - 1);
    } while (n < 0 && errno == EINTR);
    ok = n == 1;
    // A torn tail from a crash: start the new record on its own line.
    if (ok && last != '\n') buffer.push_back('\n');
  }
  bool wrote = false;
  if (ok) {
    buffer.append(line);
    buffer.push_back('\n');
    wrote = true;
    ok = write_all(fd, buffer.data(), buffer.size());
  }
  ok = ok && fsync_fd(fd);
  if (!ok && wrote) {
    // A full disk can take half a line: cut it off, or the next start would
    // read the fragment (or a later append glued to it) as a record.
    while (::ftruncate(fd, st.st_size) != 0 && errno == EINTR) {
    }
    fsync_fd(fd);
  }
  ok = close_fd(fd) && ok;
  if (ok && created) ok = fsync_directory(path);
  return ok;
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

PathKind path_kind(const std::string& path) {
  struct stat st;
  if (::stat(path.c_str(), &st) != 0) {
    return errno == ENOENT || errno == ENOTDIR ? PathKind::kMissing : PathKind::kUnknown;
  }
  return S_ISREG(st.st_mode) ? PathKind::kRegular : PathKind::kOther;
}

bool probe_writable_directory(const std::string& dir) {
  const std::string probe = dir + "/.rozeve_probe" + kTmpSuffix;
  const int fd = ::open(probe.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, kDefaultMode);
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

AppendFile::AppendFile(AppendFile&& other) noexcept : fd_(other.fd_), size_(other.size_) { other.fd_ = -1; }

AppendFile& AppendFile::operator=(AppendFile&& other) noexcept {
  if (this != &other) {
    close();
    fd_ = other.fd_;
    size_ = other.size_;
    other.fd_ = -1;
  }
  return *this;
}

bool AppendFile::open(const std::string& path, bool truncate) {
  close();
  const int flags = O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC | (truncate ? O_TRUNC : 0);
  const int fd = ::open(path.c_str(), flags, kDefaultMode);
  if (fd < 0) return false;
  struct stat st {};
  if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
    ::close(fd);
    return false;
  }
  fd_ = fd;
  size_ = static_cast<uint64_t>(st.st_size);
  return true;
}

bool AppendFile::append(std::string_view bytes) {
  if (fd_ < 0) return false;
  if (!write_all(fd_, bytes.data(), bytes.size())) return false;
  size_ += bytes.size();
  return true;
}

bool AppendFile::sync() {
  if (fd_ < 0) return false;
  while (::fdatasync(fd_) != 0) {
    if (errno != EINTR) return false;
  }
  return true;
}

bool AppendFile::truncate(uint64_t size) {
  if (fd_ < 0) return false;
  int rc;
  do {
    rc = ::ftruncate(fd_, static_cast<off_t>(size));
  } while (rc != 0 && errno == EINTR);
  if (rc != 0 || !fsync_fd(fd_)) return false;
  size_ = size;
  return true;
}

void AppendFile::close() {
  if (fd_ >= 0) ::close(fd_);
  fd_ = -1;
  size_ = 0;
}

bool rename_durably(const std::string& from, const std::string& to) {
  if (::rename(from.c_str(), to.c_str()) != 0) return false;
  return fsync_directory(to);
}

bool remove_durably(const std::string& path) {
  if (::unlink(path.c_str()) != 0 && errno != ENOENT) return false;
  return fsync_directory(path);
}

bool sync_parent_directory(const std::string& path) { return fsync_directory(path); }

}  // namespace platform
