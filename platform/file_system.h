// Durable file writes over the operating system. Everything above this layer
// sees only these functions; only platform/ includes POSIX headers.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

namespace platform {

enum class FileAccess {
  kDefault,    // the process's usual permissions (umask applies)
  kOwnerOnly,  // readable and writable by the owner only (0600): secrets
};

enum class ReplaceResult {
  kReplaced,      // the new content is in place and durable
  kWriteFailed,   // the temporary file could not be written; the old file is untouched
  kRenameFailed,  // the temporary file is complete but could not be moved over the old one
};

// Replaces `path` with `content` crash-safely: writes `path` + ".tmp" whole,
// fsyncs it, renames it over `path`, then fsyncs the directory. A failed
// write removes nothing and leaves the old file as it was.
[[nodiscard]] ReplaceResult replace_file(const std::string& path, std::string_view content,
                           FileAccess access = FileAccess::kDefault);

// Truncates `path` and writes `content` into it directly, then fsyncs it.
// Only a fallback for when a rename is impossible: a crash midway tears it.
// kOwnerOnly also narrows an existing file to 0600.
[[nodiscard]] bool write_file_in_place(const std::string& path, std::string_view content,
                                       FileAccess access = FileAccess::kDefault);

// Appends `line` and a line feed to `path` (created when missing) and fsyncs
// before returning true. When the file does not end with a line feed (the
// torn tail of a crash) the line starts on a fresh line, so the fragment
// cannot swallow it. `size_before`, when given, receives the file's size
// before the append (for truncate_file to undo it). A write or sync that
// fails cuts the file back to that size, so a half-written line never stays.
// kOwnerOnly creates the file with 0600 and narrows an existing one to it.
[[nodiscard]] bool append_line(const std::string& path, std::string_view line,
                               uint64_t* size_before = nullptr,
                               FileAccess access = FileAccess::kDefault);

// Cuts `path` back to `size` bytes and fsyncs it.
[[nodiscard]] bool truncate_file(const std::string& path, uint64_t size);

enum class ReadResult {
  kRead,     // `out` holds the whole file
  kMissing,  // no such file
  kFailed,   // it exists but is not a plain file, or could not be read whole
};
// Reads the whole file into `out` (cleared first).
[[nodiscard]] ReadResult read_whole_file(const std::string& path, std::string& out);

// The bytes of a plain file, read whole into memory in pieces. Not mapped:
// a mapped file cut short while it is read (by another process, or a full
// disk) would end the process with SIGBUS. A file that changes size while
// it is read is a failed read, never a short one.
class FileBytes {
 public:
  enum class Result { kRead, kMissing, kTooBig, kFailed };

  FileBytes() = default;
  FileBytes(const FileBytes&) = delete;
  FileBytes& operator=(const FileBytes&) = delete;

  // Reads `path` whole unless it is larger than `max_bytes`. No memory for
  // it is kFailed, not a throw.
  Result open(const std::string& path, uint64_t max_bytes);
  void close();
  std::string_view bytes() const { return {data_.get(), size_}; }

 private:
  std::unique_ptr<char[]> data_;
  size_t size_ = 0;
};

enum class PathKind { kMissing, kRegular, kOther, kUnknown };
// What is at `path`: nothing, a plain file, something else (a directory, a
// device), or it cannot be examined.
[[nodiscard]] PathKind path_kind(const std::string& path);

// Creates, writes one byte into, syncs and removes a scratch file in `dir`:
// false when the directory cannot take a write (read-only, full, missing).
[[nodiscard]] bool probe_writable_directory(const std::string& dir);

struct FileInfo {
  bool regular = false;         // a plain file (not a directory, device, ...)
  int64_t modified_ns = 0;      // last modification, nanoseconds since the epoch
  uint64_t size = 0;
};
// One status query; false when the path does not exist or cannot be examined.
[[nodiscard]] bool stat_file(const std::string& path, FileInfo& info);

}  // namespace platform

namespace platform {

// A log file kept open for appending: records are written by append() and
// made durable together by sync(), so that one sync can cover the records
// of many writers. Holds no lock: the caller serialises append, truncate
// and close; sync may run concurrently with them.
class AppendFile {
 public:
  AppendFile() = default;
  ~AppendFile();
  AppendFile(const AppendFile&) = delete;
  AppendFile& operator=(const AppendFile&) = delete;

  // Opens `path` for appending, creating it (and syncing its directory)
  // when missing. False when it cannot be opened as a plain file.
  // kOwnerOnly creates the file with 0600 and narrows an existing one to it.
  [[nodiscard]] bool open(const std::string& path, FileAccess access = FileAccess::kDefault);
  bool is_open() const { return fd_ >= 0; }
  void close();
  // The file's size as this object last wrote or cut it.
  uint64_t size() const { return size_; }
  // Writes `lines` (whole lines, each ending in a line feed) at the end,
  // unsynced. When the file does not end with a line feed (the torn tail of
  // a crash) they start on a fresh line. `size_before`, when given,
  // receives the size before the write (for truncate to undo it). A failed
  // write cuts the file back, so that no half record stays.
  [[nodiscard]] bool append(std::string_view lines, uint64_t* size_before = nullptr);
  // Makes every byte appended so far durable.
  [[nodiscard]] bool sync() const;
  // Cuts the file back to `size` bytes and syncs it.
  [[nodiscard]] bool truncate(uint64_t size);

 private:
  int fd_ = -1;
  uint64_t size_ = 0;
};

}  // namespace platform

namespace platform {

// Renames `from` over `to` and syncs their directory. False when the rename
// fails (nothing moved).
[[nodiscard]] bool rename_durably(const std::string& from, const std::string& to);

// Removes `path` (a missing file counts as removed) and syncs its directory.
[[nodiscard]] bool remove_durably(const std::string& path);

// Syncs the directory that holds `path`, so that a file created there
// survives a crash.
[[nodiscard]] bool sync_parent_directory(const std::string& path);

// Makes `path` a plain file for an AppendFile to open: created when missing
// (its directory synced) with `access`, which also narrows an existing file
// (kOwnerOnly: 0600); emptied and synced when `empty`. False when it cannot
// be created, is not a plain file, or cannot be narrowed or emptied.
[[nodiscard]] bool prepare_append_file(const std::string& path, bool empty, FileAccess access);

}  // namespace platform
