// The chain on disk and in RAM: the append-only block log "blocks.dat", the
// account snapshot "state.json", and a cache of every block indexed by hash,
// transaction hash and address.
//
// Holds no lock: callers hold the chain lock (shared for the reads, exclusive
// for save_block, save_state, load_state and reset_all_data). The first read
// may load the cache, so the owner loads it before readers run concurrently.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <unordered_map>
#include <utility>
#include <vector>

#include "chain/block.h"
#include "chain/state.h"
#include "chain/transaction.h"

namespace ZezozuRiziv {

enum class StateLoad {
  kLoaded,   // the state (and its tip, when named) replaced the caller's
  kMissing,  // no "state.json": the caller's state is untouched
  kDamaged,  // it exists but is not one whole state text, or cannot be read
};

// "File danneggiato: <path> (<why>)": how a file that cannot be trusted is
// named to the operator.
std::string damaged_file_message(const std::string& path, const std::string& why);

enum class FileHealth {
  kMissing,  // nothing there: an empty chain
  kOk,       // a plain file that can be opened for reading
  kDamaged,  // something that cannot be read as the file (a directory, unreadable)
};

class Storage {
 public:
  // Creates the directory when it is missing.
  explicit Storage(const std::string& data_dir);

  void ensure_directory_exists();
  // "blocks.dat" exists and is not empty.
  bool has_persisted_chain() const;
  // Empties the cache and deletes "blocks.dat", then "state.json".
  void reset_all_data();

  // Replaces "state.json" crash-safely; false when nothing could be written
  // (the old file then stays as it was). The text names the last cached
  // block as the last block it includes. REQUIRES: `state` includes every
  // cached block and no other.
  [[nodiscard]] bool save_state(const State& state);
  // How many times save_state has written "state.json" through this object.
  uint64_t state_saves() const { return state_saves_; }
  // Reads "state.json" whole and strictly; `state` (and `tip`) change only
  // on kLoaded. `tip` is reset when the file names no last block (a file
  // from before the member: it covers the whole log).
  [[nodiscard]] StateLoad load_state(State& state, std::optional<StateTip>* tip = nullptr);
  // What "state.json" and "blocks.dat" are: missing, fine, or damaged.
  [[nodiscard]] FileHealth state_file_health() const;
  [[nodiscard]] FileHealth blocks_file_health() const;

  // Appends one line to "blocks.dat", synced before returning true, and adds
  // the block to the cache. Refuses a record text holding CR or LF. A torn
  // last line found at load is cut off first; otherwise a failed append
  // leaves the file as it was. `size_before` receives the log's size before
  // the append (for undo_last_block).
  [[nodiscard]] bool save_block(const Block& block, uint64_t* size_before = nullptr);
  // Undoes the last save_block: cuts the log back to `size_before` and drops
  // the block from the cache and the indexes. False when the file could not
  // be cut (the cache is then unchanged).
  [[nodiscard]] bool undo_last_block(uint64_t size_before);

  // Reads "blocks.dat" into the cache once. Lines that do not hold a whole
  // block record are skipped (and counted on standard error); check_block_log
  // tells whether that was only a torn last line.
  void ensure_cache_loaded() const;
  // Whether "blocks.dat" can be trusted, loading the cache if needed. Sound:
  // every line but a torn last one (a crash mid-append) is a block, block n
  // sits at position n with index n, its prev_hash is the hash of block n-1
  // (64 '0' for block 0), and its Merkle root, its hash and the hashes of
  // its native transactions are those its content gives. Nullopt when
  // sound; otherwise damaged_file_message naming the first bad block.
  [[nodiscard]] std::optional<std::string> check_block_log() const;
  // The cached chain in file order; invalidated by save_block and reset_all_data.
  const std::vector<Block>& get_blocks_cached() const;
  uint64_t get_total_txs_cached() const;
  std::vector<Block> load_all_blocks();

  // A decimal id is a height (then a hash lookup); otherwise a block hash,
  // any case, with or without "0x". Null when not found. Pointers into the
  // cache live until the next save_block or reset_all_data.
  const Block* find_block_by_id(const std::string& id) const;
  // The last stored occurrence of the hash; outputs untouched on false.
  bool find_tx_by_hash(const std::string& hash, const Block*& block,
                       const Transaction*& tx) const;
  // Transactions with the address (lower-cased, "0x" kept) as sender or
  // recipient, newest first, at most `limit`.
  std::vector<std::pair<const Block*, const Transaction*>> get_address_txs(
      const std::string& address, uint64_t limit) const;

  // The last cached block as a state tip; nullopt for an empty chain.
  std::optional<StateTip> chain_tip() const;

  // Lower-cased, without a leading "0x".
  static std::string normalize_hex(const std::string& hex);

  // Credits applied to the state but not yet saved: those of the request
  // batches still open (see Ledger::RequestBatch). Only the Ledger touches
  // them, under the chain lock held exclusively.
  struct UnsavedCredit {
    uint64_t batch = 0;
    std::string account;
    std::optional<uint64_t> before;  // nullopt: the balance entry did not exist
  };
  std::vector<UnsavedCredit> unsaved_credits;

  const std::string& data_dir() const { return data_dir_; }
  const std::string& blocks_path() const { return blocks_path_; }
  const std::string& state_path() const { return state_path_; }

 private:
  using Position = std::pair<uint64_t, uint64_t>;  // (block, transaction) in the cache

  void index_block_in_ram(uint64_t position) const;

  // A line of "blocks.dat" that held no block.
  struct UnreadableLine {
    uint64_t line = 0;      // 1-based
    uint64_t position = 0;  // blocks read before it
    uint64_t offset = 0;    // its first byte in the file
  };

  std::string data_dir_;
  std::string blocks_path_;
  std::string state_path_;
  uint64_t state_saves_ = 0;

  mutable bool cache_loaded_ = false;
  mutable std::vector<Block> cache_;
  mutable uint64_t total_txs_ = 0;
  mutable std::unordered_map<std::string, uint64_t> block_index_;
  mutable std::unordered_map<std::string, Position> tx_index_;
  mutable std::unordered_map<std::string, std::vector<Position>> address_index_;
  // The first unreadable line that another line follows: damage.
  mutable std::optional<UnreadableLine> unreadable_line_;
  // Where an unreadable last line starts: the trace of a crashed append,
  // cut off before the next one.
  mutable std::optional<uint64_t> torn_tail_at_;
};

}  // namespace ZezozuRiziv
