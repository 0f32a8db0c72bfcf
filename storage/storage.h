// The chain on disk and in RAM: the append-only block log "blocks.dat", the
// account snapshot "state.json", and a cache of every block indexed by hash,
// transaction hash and address.
//
// Holds no lock: callers hold the chain lock (shared for the reads, exclusive
// for save_block, save_state, load_state and reset_all_data). The first read
// may load the cache, so the owner loads it before readers run concurrently.
#pragma once

#include <cstdint>
#include <string>
#include <unordered_map>
#include <utility>
#include <vector>

#include "chain/block.h"
#include "chain/state.h"
#include "chain/transaction.h"

namespace ZezozuRiziv {

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
  // (the old file then stays as it was).
  bool save_state(const State& state);
  // False, with `state` unchanged, when "state.json" is missing or unreadable.
  bool load_state(State& state);

  // Appends one line to "blocks.dat", synced before returning true, and adds
  // the block to the cache. Refuses a record text holding CR or LF.
  bool save_block(const Block& block);

  // Reads "blocks.dat" into the cache once. Lines that do not hold a whole
  // block record are skipped.
  void ensure_cache_loaded() const;
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

  // Lower-cased, without a leading "0x".
  static std::string normalize_hex(const std::string& hex);

  const std::string& data_dir() const { return data_dir_; }
  const std::string& blocks_path() const { return blocks_path_; }
  const std::string& state_path() const { return state_path_; }

 private:
  using Position = std::pair<uint64_t, uint64_t>;  // (block, transaction) in the cache

  void index_block_in_ram(uint64_t position) const;

  std::string data_dir_;
  std::string blocks_path_;
  std::string state_path_;

  mutable bool cache_loaded_ = false;
  mutable std::vector<Block> cache_;
  mutable uint64_t total_txs_ = 0;
  mutable std::unordered_map<std::string, uint64_t> block_index_;
  mutable std::unordered_map<std::string, Position> tx_index_;
  mutable std::unordered_map<std::string, std::vector<Position>> address_index_;
};

}  // namespace ZezozuRiziv
