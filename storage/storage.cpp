#include "storage/storage.h"

#include <algorithm>
#include <cstring>
#include <exception>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <optional>
#include <string_view>
#include <system_error>

#include "crypto/text.h"
#include "platform/file_system.h"

namespace fs = std::filesystem;

namespace ZezozuRiziv {
namespace {

// The ledger's files are the operator's alone, as the game world beside them is.
constexpr platform::FileAccess kDataFileAccess = platform::FileAccess::kOwnerOnly;

// Read buffer of the block log; large reads keep the one-time load fast.
constexpr std::size_t kReadBufferBytes = 1 << 20;
// Shortest line that can hold a block: {"block_hash":"x"]}.
constexpr std::size_t kMinBlockLineBytes = 19;

bool file_exists(const std::string& path) {
  std::error_code ec;
  return fs::exists(path, ec) && !ec;
}

// A line that can be a whole block record; a torn fragment of a crashed
// append fails this and is skipped instead of becoming a phantom block.
bool has_block_shape(std::string_view line) {
  return line.size() >= kMinBlockLineBytes && line.front() == '{' && line.ends_with("]}");
}

// Tracks one line across read chunks, keeping only what has_block_shape needs.
class LineShape {
 public:
  void add(const char* data, std::size_t n) {
    if (n == 0) return;
    if (length_ == 0) first_ = data[0];
    length_ += n;
    for (std::size_t i = n > 3 ? n - 3 : 0; i < n; ++i) {
      tail_[0] = tail_[1];
      tail_[1] = tail_[2];
      tail_[2] = data[i];
    }
  }
  // Ends the line: true when it has the shape of a block record.
  bool finish() {
    std::size_t length = length_;
    char a = tail_[1], b = tail_[2];
    if (length > 0 && b == '\r') {
      --length;
      a = tail_[0];
      b = tail_[1];
    }
    const bool shaped = length >= kMinBlockLineBytes && first_ == '{' && a == ']' && b == '}';
    *this = LineShape();
    return shaped;
  }

 private:
  std::size_t length_ = 0;
  char first_ = 0;
  char tail_[3] = {0, 0, 0};
};

// Lines that can be blocks, counted without holding the file, so that the
// cache and the indexes are sized once instead of regrown.
uint64_t count_block_lines(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return 0;
  std::vector<char> buffer(kReadBufferBytes);
  LineShape shape;
  uint64_t count = 0;
  while (in) {
    in.read(buffer.data(), static_cast<std::streamsize>(buffer.size()));
    const std::size_t got = static_cast<std::size_t>(in.gcount());
    const char* p = buffer.data();
    const char* end = p + got;
    while (p < end) {
      const char* nl = static_cast<const char*>(std::memchr(p, '\n', static_cast<std::size_t>(end - p)));
      if (nl == nullptr) {
        shape.add(p, static_cast<std::size_t>(end - p));
        break;
      }
      shape.add(p, static_cast<std::size_t>(nl - p));
      if (shape.finish()) ++count;
      p = nl + 1;
    }
  }
  if (shape.finish()) ++count;
  return count;
}

// All digits, as an unsigned 64-bit number; nullopt when it does not fit.
std::optional<uint64_t> parse_height(const std::string& id) {
  uint64_t n = 0;
  for (char c : id) {
    const uint64_t digit = static_cast<uint64_t>(c - '0');
    if (n > (UINT64_MAX - digit) / 10) return std::nullopt;
    n = n * 10 + digit;
  }
  return n;
}

}  // namespace

std::string damaged_file_message(const std::string& path, const std::string& why) {
  return "File danneggiato: " + path + " (" + why + ")";
}

Storage::Storage(const std::string& data_dir)
    : data_dir_(data_dir),
      blocks_path_(data_dir + "/blocks.dat"),
      state_path_(data_dir + "/state.json"),
      credits_path_(data_dir + "/credits.dat") {
  ensure_directory_exists();
}

Storage::~Storage() = default;

void Storage::ensure_directory_exists() {
  std::error_code ec;
  if (!fs::exists(data_dir_, ec)) fs::create_directories(data_dir_, ec);
}

bool Storage::has_persisted_chain() const {
  // A file-system error reads as "no chain": the caller then starts afresh.
  std::error_code ec;
  if (!fs::exists(blocks_path_, ec) || ec) return false;
  const auto size = fs::file_size(blocks_path_, ec);
  return !ec && size != 0;
}

void Storage::reset_all_data() {
  cache_.clear();
  block_index_.clear();
  tx_index_.clear();
  address_index_.clear();
  total_txs_ = 0;
  cache_loaded_ = false;
  unreadable_line_.reset();
  torn_tail_at_.reset();
  blocks_file_.close();
  credits_file_.close();
  credit_lines_.reset();
  pending_.clear();
  commit_.settle_all();

  // remove() of a missing file is no error; any other error ends the reset,
  // so a block log that could not go keeps its state beside it.
  std::error_code ec;
  fs::remove(blocks_path_, ec);
  if (ec) return;
  fs::remove(credits_path_, ec);
  if (ec) return;
  fs::remove(state_path_, ec);
}

Storage::Checkpoint Storage::take_checkpoint(const State& state) {
  Checkpoint checkpoint;
  std::optional<StateTip> tip = chain_tip();
  if (tip) tip->credits = credit_lines();
  checkpoint.text = state.serialize_with_tip(tip);
  checkpoint.ticket = last_ticket();
  checkpoint.blocks = cache_.size();
  return checkpoint;
}

bool Storage::save_state(const State& state) {
  // The checkpoint must never name a change that a crash could still take
  // from the logs.
  if (!wait_durable(last_ticket(), nullptr)) return false;
  const Checkpoint checkpoint = take_checkpoint(state);
  platform::MutexLock lock(checkpoint_mutex_);
  return replace_state_file(checkpoint);
}

bool Storage::write_checkpoint(const Checkpoint& checkpoint, ChainLock& chain_lock) {
  if (!wait_durable(checkpoint.ticket, &chain_lock)) return false;
  platform::MutexLock lock(checkpoint_mutex_);
  if (checkpoint.ticket < checkpoint_ticket_.load()) return true;
  return replace_state_file(checkpoint);
}

uint64_t Storage::changes_since_checkpoint() const {
  return last_ticket() - checkpoint_ticket_.load();
}

bool Storage::checkpoint_includes_last_block() const {
  platform::MutexLock lock(checkpoint_mutex_);
  return !cache_.empty() && checkpoint_blocks_ >= cache_.size();
}

bool Storage::replace_state_file(const Checkpoint& checkpoint) {
  ensure_directory_exists();
  const std::string& text = checkpoint.text;
  bool written = false;
  switch (platform::replace_file(state_path_, text, kDataFileAccess)) {
    case platform::ReplaceResult::kReplaced:
      written = true;
      break;
    case platform::ReplaceResult::kRenameFailed:
      // The temporary file stays behind; writing in place is the only way
      // left to keep the state.
      written = platform::write_file_in_place(state_path_, text, kDataFileAccess);
      break;
    case platform::ReplaceResult::kWriteFailed:
      break;
  }
  state_saves_ += written;
  if (written) {
    checkpoint_ticket_.store(checkpoint.ticket);
    checkpoint_blocks_ = checkpoint.blocks;
  }
  return written;
}

StateLoad Storage::load_state(State& state, std::optional<StateTip>* tip) {
  try {
    std::string text;
    switch (platform::read_whole_file(state_path_, text)) {
      case platform::ReadResult::kMissing:
        return StateLoad::kMissing;
      case platform::ReadResult::kFailed:
        return StateLoad::kDamaged;
      case platform::ReadResult::kRead:
        break;
    }
    // A cut or garbled file must not read as a smaller ledger: only a whole
    // state text counts.
    std::optional<StateTip> named;
    std::optional<State> loaded = State::parse_saved(text, named);
    if (!loaded) return StateLoad::kDamaged;
    state.balances = std::move(loaded->balances);
    state.staked = std::move(loaded->staked);
    state.nonces = std::move(loaded->nonces);
    if (tip != nullptr) *tip = std::move(named);
    return StateLoad::kLoaded;
  } catch (const std::exception&) {
    return StateLoad::kDamaged;
  }
}

namespace {

FileHealth health_of(const std::string& path) {
  switch (platform::path_kind(path)) {
    case platform::PathKind::kMissing:
      return FileHealth::kMissing;
    case platform::PathKind::kRegular: {
      std::ifstream in(path, std::ios::binary);
      return in ? FileHealth::kOk : FileHealth::kDamaged;
    }
    case platform::PathKind::kOther:
    case platform::PathKind::kUnknown:
      break;
  }
  return FileHealth::kDamaged;
}

}  // namespace

FileHealth Storage::state_file_health() const { return health_of(state_path_); }

FileHealth Storage::blocks_file_health() const { return health_of(blocks_path_); }

bool Storage::open_log(platform::AppendFile& file, const std::string& path) {
  if (logs_broken_) return false;
  if (file.is_open()) return true;
  ensure_directory_exists();
  return file.open(path, kDataFileAccess);
}

bool Storage::append_block(const Block& block, uint64_t* size_before) {
  std::string text = block.serialize();
  // A line break inside the record would split it into two unreadable lines.
  if (text.find_first_of("\r\n") != std::string::npos) return false;
  ensure_cache_loaded();
  if (!open_log(blocks_file_, blocks_path_)) return false;
  if (torn_tail_at_) {
    // Left in place, the fragment would end up between two blocks, where it
    // is damage rather than the trace of a crash.
    if (!blocks_file_.truncate(*torn_tail_at_)) return false;
    torn_tail_at_.reset();
  }
  text.push_back('\n');
  if (!blocks_file_.append(text, size_before)) return false;
  cache_.push_back(block);
  index_block_in_ram(cache_.size() - 1);
  return true;
}

bool Storage::save_block(const Block& block, uint64_t* size_before) {
  uint64_t before = 0;
  if (!append_block(block, &before)) return false;
  if (size_before != nullptr) *size_before = before;
  if (wait_durable(last_ticket(), nullptr) && !fail_syncs_.load() && blocks_file_.sync()) {
    return true;
  }
  (void)undo_last_block(before);
  return false;
}

bool Storage::append_credit(CreditRecord& record, uint64_t* size_before) {
  if (!credits_file_.is_open()) {
    // Unlike a block line, a torn credit line must go: only the last line
    // of this log may be bad.
    CreditsLogContent content;
    std::string damage;
    if (read_credits(content, damage) == CreditsRead::kDamaged) return false;
    if (!open_log(credits_file_, credits_path_)) return false;
    const uint64_t good_end = content.ends.empty() ? 0 : content.ends.back();
    if (credits_file_.size() != good_end && !credits_file_.truncate(good_end)) return false;
    credit_lines_ = content.records.size();
  }
  const uint64_t lines = credit_lines();
  record.seq = lines + 1;
  if (!credits_file_.append(format_credit_line(record) + "\n", size_before)) return false;
  credit_lines_ = lines + 1;
  return true;
}

uint64_t Storage::credit_lines() {
  if (!credit_lines_) {
    CreditsLogContent content;
    std::string damage;
    credit_lines_ = read_credits(content, damage) == CreditsRead::kRead ? content.records.size() : 0;
  }
  return *credit_lines_;
}

CreditsRead Storage::read_credits(CreditsLogContent& out, std::string& damage) const {
  return read_credits_log(credits_path_, out, damage);
}

bool Storage::cut_credits(uint64_t size) {
  credits_file_.close();
  credit_lines_.reset();
  return platform::truncate_file(credits_path_, size);
}

bool Storage::undo_last_block(uint64_t size_before) {
  ensure_cache_loaded();
  if (cache_.empty()) return false;
  const bool cut = blocks_file_.is_open() ? blocks_file_.truncate(size_before)
                                          : platform::truncate_file(blocks_path_, size_before);
  if (!cut) return false;
  const uint64_t position = cache_.size() - 1;
  const Block& block = cache_.back();
  const auto drop = [position](auto& index, const std::string& key) {
    const auto it = index.find(key);
    if (it != index.end() && it->second == position) index.erase(it);
  };
  drop(block_index_, normalize_hex(block.block_hash));
  for (uint64_t j = block.transactions.size(); j-- > 0;) {
    const Transaction& tx = block.transactions[j];
    const std::string hash = normalize_hex(tx.tx_hash);
    const auto it = tx_index_.find(hash);
    if (it != tx_index_.end() && it->second.first == position) {
      tx_index_.erase(it);
      // An earlier block may carry the same hash: it is found again.
      for (uint64_t b = position; b-- > 0;) {
        const auto& txs = cache_[b].transactions;
        const auto found = std::find_if(txs.rbegin(), txs.rend(), [&hash](const Transaction& t) {
          return normalize_hex(t.tx_hash) == hash;
        });
        if (found != txs.rend()) {
          tx_index_[hash] = Position{b, static_cast<uint64_t>(txs.rend() - found - 1)};
          break;
        }
      }
    }
    for (const std::string& address :
         {RozeveCrypto::ascii_lower(tx.sender), RozeveCrypto::ascii_lower(tx.recipient)}) {
      const auto list = address_index_.find(address);
      if (list == address_index_.end()) continue;
      auto& positions = list->second;
      while (!positions.empty() && positions.back().first == position) positions.pop_back();
      if (positions.empty()) address_index_.erase(list);
    }
  }
  total_txs_ -= block.transactions.size();
  cache_.pop_back();
  return true;
}

std::optional<StateTip> Storage::chain_tip() const {
  ensure_cache_loaded();
  if (cache_.empty()) return std::nullopt;
  return StateTip{cache_.back().index, cache_.back().block_hash};
}

void Storage::ensure_cache_loaded() const {
  if (cache_loaded_) return;
  cache_.clear();
  block_index_.clear();
  tx_index_.clear();
  address_index_.clear();
  total_txs_ = 0;
  unreadable_line_.reset();
  torn_tail_at_.reset();

  if (!file_exists(blocks_path_)) {
    cache_loaded_ = true;
    return;
  }

  const uint64_t expected = count_block_lines(blocks_path_);
  cache_.reserve(static_cast<std::size_t>(expected));
  block_index_.reserve(static_cast<std::size_t>(expected));
  tx_index_.reserve(static_cast<std::size_t>(expected));

  std::vector<char> buffer(kReadBufferBytes);
  std::ifstream in;
  in.rdbuf()->pubsetbuf(buffer.data(), static_cast<std::streamsize>(buffer.size()));
  in.open(blocks_path_, std::ios::binary);

  uint64_t skipped = 0;
  uint64_t line_number = 0;
  uint64_t offset = 0;
  // The latest unreadable line: torn when nothing follows it, damage when a
  // line does.
  std::optional<UnreadableLine> pending;
  std::string line;
  while (std::getline(in, line)) {
    const uint64_t line_start = offset;
    offset += line.size() + (in.eof() ? 0 : 1);
    ++line_number;
    if (!line.empty() && line.back() == '\r') line.pop_back();
    if (line.empty()) continue;
    if (pending && !unreadable_line_) unreadable_line_ = pending;
    pending.reset();
    std::optional<Block> block;
    if (has_block_shape(line)) {
      try {
        block = Block::deserialize(line);
      } catch (const std::exception&) {
        block.reset();
      }
    }
    if (!block || block->block_hash.empty()) {
      ++skipped;
      pending = UnreadableLine{line_number, cache_.size(), line_start};
      continue;
    }
    cache_.push_back(std::move(*block));
    index_block_in_ram(cache_.size() - 1);
  }
  if (pending) torn_tail_at_ = pending->offset;
  in.close();
  if (skipped > 0) {
    // Standard error: the chain commands print exactly their own lines.
    std::cerr << "[STORAGE] Ignorate " << skipped << " righe illeggibili in " << blocks_path_
              << std::endl;
  }
  cache_loaded_ = true;
}

void Storage::index_block_in_ram(uint64_t position) const {
  if (position >= cache_.size()) return;
  const Block& block = cache_[position];
  block_index_.insert_or_assign(normalize_hex(block.block_hash), position);
  total_txs_ += block.transactions.size();
  for (uint64_t j = 0; j < block.transactions.size(); ++j) {
    const Transaction& tx = block.transactions[j];
    std::string hash = normalize_hex(tx.tx_hash);
    if (!hash.empty()) tx_index_.insert_or_assign(std::move(hash), Position{position, j});
    const std::string sender = RozeveCrypto::ascii_lower(tx.sender);
    if (!sender.empty()) address_index_[sender].emplace_back(position, j);
    std::string recipient = RozeveCrypto::ascii_lower(tx.recipient);
    if (!recipient.empty() && recipient != sender) {
      address_index_[std::move(recipient)].emplace_back(position, j);
    }
  }
}

const std::vector<Block>& Storage::get_blocks_cached() const {
  ensure_cache_loaded();
  return cache_;
}

uint64_t Storage::get_total_txs_cached() const {
  ensure_cache_loaded();
  return total_txs_;
}

std::vector<Block> Storage::load_all_blocks() {
  ensure_cache_loaded();
  return cache_;
}

const Block* Storage::find_block_by_id(const std::string& id) const {
  ensure_cache_loaded();
  if (id.empty()) return nullptr;
  const bool decimal =
      std::all_of(id.begin(), id.end(), [](char c) { return c >= '0' && c <= '9'; });
  if (decimal) {
    // A height too large for 64 bits can still be a hash made of digits.
    if (const std::optional<uint64_t> height = parse_height(id)) {
      const uint64_t n = *height;
      if (n < cache_.size() && cache_[n].index == n) return &cache_[n];
      for (const Block& block : cache_) {
        if (block.index == n) return &block;
      }
    }
  }
  const auto it = block_index_.find(normalize_hex(id));
  if (it == block_index_.end() || it->second >= cache_.size()) return nullptr;
  return &cache_[it->second];
}

bool Storage::find_tx_by_hash(const std::string& hash, const Block*& block,
                              const Transaction*& tx) const {
  ensure_cache_loaded();
  const auto it = tx_index_.find(normalize_hex(hash));
  if (it == tx_index_.end()) return false;
  const auto [block_pos, tx_pos] = it->second;
  if (block_pos >= cache_.size() || tx_pos >= cache_[block_pos].transactions.size()) return false;
  block = &cache_[block_pos];
  tx = &cache_[block_pos].transactions[tx_pos];
  return true;
}

std::vector<std::pair<const Block*, const Transaction*>> Storage::get_address_txs(
    const std::string& address, uint64_t limit) const {
  ensure_cache_loaded();
  std::vector<std::pair<const Block*, const Transaction*>> out;
  const auto it = address_index_.find(RozeveCrypto::ascii_lower(address));
  if (it == address_index_.end()) return out;
  const std::vector<Position>& positions = it->second;
  out.reserve(static_cast<std::size_t>(std::min<uint64_t>(limit, positions.size())));
  for (auto pos = positions.rbegin(); pos != positions.rend(); ++pos) {
    if (out.size() >= limit) break;
    const auto [block_pos, tx_pos] = *pos;
    if (block_pos >= cache_.size() || tx_pos >= cache_[block_pos].transactions.size()) continue;
    out.emplace_back(&cache_[block_pos], &cache_[block_pos].transactions[tx_pos]);
  }
  return out;
}

std::string Storage::normalize_hex(const std::string& hex) {
  std::string out = RozeveCrypto::ascii_lower(hex);
  if (out.starts_with("0x")) out.erase(0, 2);
  return out;
}

}  // namespace ZezozuRiziv
