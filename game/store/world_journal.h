// The world's journal, "game_world.journal" beside game_world.dat: every
// change appends the record lines of what it touched, in the world file's
// own record format, and is answered only once they are synced.
//
// Lines: a record line, then '|' and the CRC-32 of the record line as 8
// lower-case hex digits, then LF. A change is its record lines followed by
// its closing line "K|<number of record lines>|<change number>"
// (checksummed the same way; a journal written before change numbers has
// "K|<number of record lines>"); a change without its closing line never
// happened. Change numbers grow across restarts and rewrites, so that a
// world file can say up to which change it holds ("J" line).
//
// Group commit (platform/group_commit.h): changes are queued in memory
// (enqueue, under the game lock) and written by whichever waiting caller
// finds no write under way; that caller writes everything queued so far
// with one write and one sync, so concurrent changes share a sync. No game
// lock is needed to wait or write.
//
// A failed write or sync cuts the file back to where the batch began and
// fails every change from the batch's first one on, including those queued
// later (they were computed on top of it), until clear_failure() says their
// undo is done.
//
// Thread-safe: the group commit's mutex; never calls back into the engine
// but through on_grown's callback.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "platform/file_system.h"
#include "platform/group_commit.h"

namespace ZezozuRiziv {

// The journal's file name in the data directory, and the name a journal
// takes while a rewrite of the world file folds it in.
inline constexpr char kJournalFileName[] = "game_world.journal";
inline constexpr char kOldJournalSuffix[] = ".old";

// CRC-32 (IEEE 802.3, as zlib computes it) of `bytes`.
uint32_t crc32_of(std::string_view bytes);

// Appends `record` (one record line without LF) as a checksummed journal
// line.
void append_journal_line(std::string& out, std::string_view record);

// What a journal's bytes hold.
struct JournalScan {
  // Record lines (checksums stripped) of the complete changes, in order,
  // and the number of the change each belongs to (0 when its closing line
  // carries none).
  std::vector<std::string_view> records;
  std::vector<uint64_t> record_seqs;
  uint64_t changes = 0;
  // Bytes up to the end of the last complete change; what follows is a torn
  // tail (a crash during a write) and is dropped.
  uint64_t complete_bytes = 0;
  // Set when a damaged line has intact lines after it: not a torn tail but
  // damage in the middle. `damaged_line` is its 1-based number.
  bool damaged = false;
  uint64_t damaged_line = 0;
};

// Reads a journal's text. The views point into `text`.
JournalScan scan_journal(std::string_view text);

// Opens `path` in `file` for appending, created owner-only (0600: the world
// holds session tokens and password hashes) and emptied first when `empty`.
[[nodiscard]] bool open_world_append_file(platform::AppendFile& file, const std::string& path, bool empty);

class WorldJournal {
 public:
  using Outcome = platform::CommitOutcome;

  explicit WorldJournal(std::string path) : path_(std::move(path)) {}

  const std::string& path() const { return path_; }
  // Where the journal is moved while a rewrite folds it in.
  std::string old_path() const { return path_ + kOldJournalSuffix; }

  // The next change is numbered `seq` + 1: after a start that read changes
  // up to `seq`. Call before the first enqueue.
  void continue_after(uint64_t seq) { commit_.continue_after(seq); }
  // Queues one change: `records` holds whole record lines, each ending in
  // LF. Returns the change's number (increasing). Does no I/O.
  uint64_t enqueue(std::string_view records);
  // Returns once change `seq` is durable or has failed, writing and syncing
  // the queued changes itself when no other caller is writing. The caller's
  // thread counts as waiting meanwhile (platform/blocking_scope.h).
  Outcome wait(uint64_t seq);

  // The first failed change while a failure waits for clear_failure(); 0
  // when none does.
  uint64_t failed_from() const { return commit_.failed_from(); }
  // The failed changes have been undone: forgets them and every change
  // queued after them, and lets writes go on.
  void clear_failure() { commit_.recover(); }
  // Number of failed writes so far.
  uint64_t failures() const { return commit_.failures(); }
  // The number of the last change queued, and the change up to which every
  // one is durable or failed.
  uint64_t last_seq() const { return commit_.last_ticket(); }
  uint64_t durable_seq() const { return commit_.settled(); }

  // Starts a rewrite: when no journal waits at old_path(), the journal is
  // renamed there and later changes go to a fresh file; otherwise (an
  // earlier rewrite did not finish) the journal stays as it is. Waits for a
  // write under way to end. False when the files could not be moved.
  [[nodiscard]] bool begin_rewrite();
  // After the world file was replaced by a snapshot holding every change in
  // the journals: removes old_path() and, when `empty_current` (no change
  // can have come since the snapshot), empties the journal too.
  [[nodiscard]] bool end_rewrite(bool empty_current);

  // The journal becomes this many bytes: after start-up dropped a torn tail.
  [[nodiscard]] bool cut_to(uint64_t size);

  // Called (without any lock of the journal held) after a write that left
  // the journal larger than `bytes`.
  void on_grown(uint64_t bytes, std::function<void()> callback);

  // Tests: makes every write fail while set.
  void fail_writes_for_test(bool fail) { fail_writes_.store(fail); }

 private:
  // Writes and syncs `batch` (or fails at once when `fail`); on failure
  // cuts the file back.
  bool write_batch(const std::string& batch, bool fail);

  const std::string path_;
  // Its batch: the checksummed lines of the changes not yet written.
  platform::GroupCommit<std::string> commit_;
  // The fields below are touched by the caller leading a write, or under
  // commit_.when_idle() (a rewrite moving files, start-up).
  platform::AppendFile file_;
  // Bytes of whole changes in the file; known once the file was opened.
  uint64_t whole_size_ = 0;
  bool whole_size_known_ = false;
  uint64_t grown_bytes_ = 0;
  std::function<void()> on_grown_;
  std::atomic<bool> fail_writes_{false};
};

}  // namespace ZezozuRiziv
