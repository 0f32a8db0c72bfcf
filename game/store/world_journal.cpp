#include "game/store/world_journal.h"

#include <array>
#include <charconv>

#include "game/store/world_records.h"
#include "platform/blocking_scope.h"

namespace ZezozuRiziv {

namespace {

// '|' and 8 hex digits after every record line.
constexpr size_t kChecksumChars = 9;

constexpr std::array<uint32_t, 256> make_crc_table() {
  std::array<uint32_t, 256> table{};
  for (uint32_t i = 0; i < 256; ++i) {
    uint32_t c = i;
    for (int k = 0; k < 8; ++k) c = (c & 1U) != 0 ? 0xEDB88320U ^ (c >> 1) : c >> 1;
    table[i] = c;
  }
  return table;
}
constexpr std::array<uint32_t, 256> kCrcTable = make_crc_table();

constexpr char kHexDigits[] = "0123456789abcdef";

// The record of a checksummed line (without LF), when the checksum holds.
bool checked_record(std::string_view line, std::string_view& record) {
  if (line.size() < kChecksumChars || line[line.size() - kChecksumChars] != '|') return false;
  record = line.substr(0, line.size() - kChecksumChars);
  const std::string_view digits = line.substr(line.size() - kChecksumChars + 1);
  uint32_t stored = 0;
  const auto [end, ec] = std::from_chars(digits.data(), digits.data() + digits.size(), stored, 16);
  if (ec != std::errc() || end != digits.data() + digits.size()) return false;
  for (char c : digits) {
    if (c >= 'A' && c <= 'F') return false;  // written lower-case only
  }
  return stored == crc32_of(record);
}

// The number of record lines a closing line announces, and the change's
// number (0 when it has none), when it is one.
bool change_end(std::string_view record, uint64_t& count, uint64_t& seq) {
  constexpr std::string_view tag = kChangeEndTag;
  if (!record.starts_with(tag) || record.size() == tag.size() || record[tag.size()] != '|') return false;
  const std::string_view rest = record.substr(tag.size() + 1);
  const size_t bar = rest.find('|');
  const std::string_view digits = rest.substr(0, bar);
  const auto whole_number = [](std::string_view text, uint64_t& value) {
    const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
    return ec == std::errc() && end == text.data() + text.size() && !text.empty();
  };
  seq = 0;
  if (!whole_number(digits, count)) return false;
  return bar == std::string_view::npos || whole_number(rest.substr(bar + 1), seq);
}

}  // namespace

uint32_t crc32_of(std::string_view bytes) {
  uint32_t c = 0xFFFFFFFFU;
  for (unsigned char b : bytes) c = kCrcTable[(c ^ b) & 0xFFU] ^ (c >> 8);
  return c ^ 0xFFFFFFFFU;
}

void append_journal_line(std::string& out, std::string_view record) {
  uint32_t crc = crc32_of(record);
  out.append(record);
  char tail[kChecksumChars + 1];
  tail[0] = '|';
  for (int i = 8; i >= 1; --i) {
    tail[i] = kHexDigits[crc & 0xFU];
    crc >>= 4;
  }
  tail[kChecksumChars] = '\n';
  out.append(tail, sizeof tail);
}

JournalScan scan_journal(std::string_view text) {
  JournalScan scan;
  size_t change_start = 0;  // index in scan.records of the open change
  uint64_t line_number = 0;
  size_t pos = 0;
  while (pos < text.size()) {
    const size_t lf = text.find('\n', pos);
    ++line_number;
    std::string_view record;
    // A last line without its LF was cut by a crash.
    const bool intact = lf != std::string_view::npos && checked_record(text.substr(pos, lf - pos), record);
    if (!intact) {
      // A torn tail is the end of the file: an intact line anywhere after
      // this one means damage in the middle instead.
      size_t next = lf == std::string_view::npos ? text.size() : lf + 1;
      while (next < text.size()) {
        const size_t end = text.find('\n', next);
        if (end == std::string_view::npos) break;
        std::string_view later;
        if (checked_record(text.substr(next, end - next), later)) {
          scan.damaged = true;
          scan.damaged_line = line_number;
          break;
        }
        next = end + 1;
      }
      break;
    }
    pos = lf + 1;
    uint64_t count = 0;
    uint64_t seq = 0;
    if (change_end(record, count, seq)) {
      if (count != scan.records.size() - change_start) {
        // Intact lines that do not add up: nothing a crash leaves.
        scan.damaged = true;
        scan.damaged_line = line_number;
        break;
      }
      scan.record_seqs.resize(scan.records.size(), seq);
      change_start = scan.records.size();
      scan.complete_bytes = pos;
      ++scan.changes;
      continue;
    }
    scan.records.push_back(record);
  }
  // Lines of a change that was never closed are dropped with the tail.
  scan.records.resize(change_start);
  scan.record_seqs.resize(change_start);
  return scan;
}

bool open_world_append_file(platform::AppendFile& file, const std::string& path, bool empty) {
  return platform::prepare_append_file(path, empty, platform::FileAccess::kOwnerOnly) && file.open(path);
}

uint64_t WorldJournal::enqueue(std::string_view records) {
  // A change queued after a failure was computed on top of failed ones: it
  // fails with them and is never written (the commit gathers nothing then).
  return commit_.add([records](std::string& queued, uint64_t seq) {
    uint64_t count = 0;
    size_t pos = 0;
    while (pos < records.size()) {
      size_t lf = records.find('\n', pos);
      if (lf == std::string_view::npos) lf = records.size();
      append_journal_line(queued, records.substr(pos, lf - pos));
      ++count;
      pos = lf + 1;
    }
    append_journal_line(queued, std::string(kChangeEndTag) + "|" + std::to_string(count) + "|" + std::to_string(seq));
  });
}

bool WorldJournal::write_batch(const std::string& batch, bool fail) {
  if (!file_.is_open()) {
    if (!open_world_append_file(file_, path_, false)) return false;
    if (!whole_size_known_) {
      // Checked at start: everything in it is whole.
      whole_size_ = file_.size();
      whole_size_known_ = true;
    }
  }
  // The remains of a failed batch that could not be cut back then.
  if (file_.size() != whole_size_ && !file_.truncate(whole_size_)) {
    file_.close();
    return false;
  }
  if (!fail && file_.append(batch) && file_.sync()) {
    whole_size_ = file_.size();
    return true;
  }
  // Nothing of the batch may stay: a later batch after its remains would
  // read as damage in the middle. A file that cannot even be cut back is
  // cut by the next write before anything else.
  if (!file_.truncate(whole_size_)) file_.close();
  return false;
}

WorldJournal::Outcome WorldJournal::wait(uint64_t seq) {
  // Whether it writes or waits for another caller's write, the caller waits
  // for the disk: its thread pool may give its place to another thread.
  const platform::BlockingScope waiting;
  std::function<void()> grown;
  const Outcome outcome = commit_.wait(seq, [&](const std::string& batch) {
    const bool ok = write_batch(batch, fail_writes_.load());
    if (ok && on_grown_ && file_.size() > grown_bytes_) grown = on_grown_;
    return ok;
  });
  // Once the write is over: the callback may start a rewrite, which waits
  // for it.
  if (grown) grown();
  return outcome;
}

bool WorldJournal::begin_rewrite() {
  return commit_.when_idle([this] {
    if (platform::path_kind(old_path()) != platform::PathKind::kMissing) return true;
    if (platform::path_kind(path_) == platform::PathKind::kMissing) return true;
    file_.close();
    if (!platform::rename_durably(path_, old_path())) return false;
    whole_size_ = 0;
    whole_size_known_ = true;
    // The fresh journal's name is made durable here, so that a change synced
    // into it cannot lose its file.
    if (!open_world_append_file(file_, path_, true) || !platform::sync_parent_directory(path_)) {
      file_.close();
      return false;
    }
    return true;
  });
}

bool WorldJournal::end_rewrite(bool empty_current) {
  return commit_.when_idle([this, empty_current] {
    if (!platform::remove_durably(old_path())) return false;
    if (!empty_current) return true;
    if (!file_.is_open() && platform::path_kind(path_) == platform::PathKind::kMissing) return true;
    if (!file_.is_open() && !open_world_append_file(file_, path_, false)) return false;
    if (!file_.truncate(0)) return false;
    whole_size_ = 0;
    whole_size_known_ = true;
    return true;
  });
}

bool WorldJournal::cut_to(uint64_t size) {
  return commit_.when_idle([this, size] {
    if (!open_world_append_file(file_, path_, false) || !file_.truncate(size)) {
      file_.close();
      return false;
    }
    whole_size_ = size;
    whole_size_known_ = true;
    return true;
  });
}

void WorldJournal::on_grown(uint64_t bytes, std::function<void()> callback) {
  commit_.when_idle([&] {
    grown_bytes_ = bytes;
    on_grown_ = std::move(callback);
  });
}

}  // namespace ZezozuRiziv
