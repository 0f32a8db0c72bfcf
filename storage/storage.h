// The chain on disk and in RAM: the two append-only logs "blocks.dat" and
// "credits.dat" (storage/credits_log.h), the checkpoint "state.json" of the
// state they make, and a cache of every block indexed by hash, transaction
// hash and address.
//
// Callers hold the chain lock (shared for the reads, exclusive for every
// append, save_state, load_state and reset_all_data). The first read may
// load the cache, so the owner loads it before readers run concurrently.
// The group commit (wait_durable, platform/group_commit.h) has a lock of
// its own, taken inside the chain lock.
#pragma once

#include <atomic>
#include <cstdint>
#include <deque>
#include <optional>
#include <string>
#include <unordered_map>
#include <utility>
#include <vector>

#include "chain/block.h"
#include "chain/chain_lock.h"
#include "chain/state.h"
#include "chain/state_undo.h"
#include "chain/transaction.h"
#include "platform/file_system.h"
#include "platform/group_commit.h"
#include "platform/mutex.h"
#include "platform/thread_annotations.h"
#include "storage/credits_log.h"

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
  ~Storage();
  Storage(const Storage&) = delete;
  Storage& operator=(const Storage&) = delete;

  void ensure_directory_exists();
  // "blocks.dat" exists and is not empty.
  bool has_persisted_chain() const;
  // Empties the cache and deletes "blocks.dat", "credits.dat", then
  // "state.json". REQUIRES: nothing waits in wait_durable.
  void reset_all_data();

  // Writes the checkpoint: makes every appended change durable first, then
  // replaces "state.json" crash-safely with the state text naming the last
  // cached block and the credit lines it includes. False when nothing could
  // be written (the old file then stays as it was). REQUIRES: the chain
  // lock held exclusively; `state` includes every cached block and credit
  // line and no other.
  [[nodiscard]] bool save_state(const State& state) EXCLUDES(checkpoint_mutex_);
  // A checkpoint taken but not yet written.
  struct Checkpoint {
    std::string text;     // the state text with its place in the logs
    uint64_t ticket = 0;  // the last change it includes
    uint64_t blocks = 0;  // the cached blocks it includes
  };
  // The checkpoint of `state` as save_state would write it now.
  // REQUIRES: the chain lock held (shared is enough), as for save_state.
  Checkpoint take_checkpoint(const State& state);
  // Writes a checkpoint once every change it includes is durable; one
  // older than the last written is skipped (true). False when a change it
  // includes was undone or the file could not be written.
  // REQUIRES: the chain lock NOT held.
  [[nodiscard]] bool write_checkpoint(const Checkpoint& checkpoint, ChainLock& chain_lock)
      EXCLUDES(chain_lock, checkpoint_mutex_);
  // Changes appended since the last checkpoint was written.
  uint64_t changes_since_checkpoint() const;
  // When set, every change writes the checkpoint before it is answered (as
  // if state.json were rewritten on every change).
  void set_checkpoint_every_change(bool on) { checkpoint_every_change_ = on; }
  bool checkpoint_every_change() const { return checkpoint_every_change_; }
  // True when the last written checkpoint includes the last cached block.
  bool checkpoint_includes_last_block() const EXCLUDES(checkpoint_mutex_);
  // How many times save_state has written "state.json" through this object.
  uint64_t state_saves() const { return state_saves_; }
  // Reads "state.json" whole and strictly; `state` (and `tip`) change only
  // on kLoaded. `tip` is reset when the file names no last block (a file
  // from before the member: it covers the whole log).
  [[nodiscard]] StateLoad load_state(State& state, std::optional<StateTip>* tip = nullptr);
  // What "state.json" and "blocks.dat" are: missing, fine, or damaged.
  [[nodiscard]] FileHealth state_file_health() const;
  [[nodiscard]] FileHealth blocks_file_health() const;

  // Appends one line to "blocks.dat" and adds the block to the cache, not
  // yet synced (see wait_durable). Refuses a record text holding CR or LF.
  // A torn last line found at load is cut off first; otherwise a failed
  // append leaves the file as it was. `size_before` receives the log's size
  // before the append (for undo_last_block).
  [[nodiscard]] bool append_block(const Block& block, uint64_t* size_before = nullptr);
  // append_block, then every appended change made durable.
  [[nodiscard]] bool save_block(const Block& block, uint64_t* size_before = nullptr);
  // Undoes the last append_block: cuts the log back to `size_before` and
  // drops the block from the cache and the indexes. False when the file
  // could not be cut (the cache is then unchanged).
  [[nodiscard]] bool undo_last_block(uint64_t size_before);

  // Appends one line to "credits.dat", not yet synced; `record.seq` is set
  // to the line's number. `size_before` as for append_block.
  [[nodiscard]] bool append_credit(CreditRecord& record, uint64_t* size_before);
  // Lines in "credits.dat" (read once, then counted as they are appended).
  uint64_t credit_lines();
  // Reads "credits.dat" whole; see read_credits_log.
  [[nodiscard]] CreditsRead read_credits(CreditsLogContent& out, std::string& damage) const;
  // Cuts "credits.dat" back to `size` bytes: drops the trace of a crash
  // (a torn line, lines after the last block) before the first append.
  [[nodiscard]] bool cut_credits(uint64_t size);

  // --- Group commit ------------------------------------------------------
  // A change is appended (block or credit line) under the chain lock, then
  // registered here with the StateUndo that undoes it; its ticket is waited
  // for before it is answered. One sync of the logs serves every waiting
  // writer. When a sync fails, every change not yet durable is undone,
  // newest first (logs cut back, blocks dropped from the cache, state
  // entries put back), and its waiters learn it.

  // How many syncs of the logs the group commit has run.
  uint64_t log_syncs() const { return log_syncs_.load(); }
  // For tests: while set, every sync of the logs fails as a failing disk's.
  void fail_syncs(bool on) { fail_syncs_.store(on); }

  // REQUIRES: the chain lock held exclusively, the change just appended.
  uint64_t add_pending(bool is_block, uint64_t size_before, StateUndo undo);
  // The ticket of the last change registered.
  uint64_t last_ticket() const { return commit_.last_ticket(); }
  // True once the change of `ticket` (and every earlier one) is durable;
  // false when it was undone. With `chain_lock` null the caller holds the
  // chain lock exclusively; otherwise it must not hold it at all (a choice
  // made at run time, which the annotation cannot say).
  [[nodiscard]] bool wait_durable(uint64_t ticket, ChainLock* chain_lock);

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

  const std::string& data_dir() const { return data_dir_; }
  const std::string& blocks_path() const { return blocks_path_; }
  const std::string& state_path() const { return state_path_; }
  const std::string& credits_path() const { return credits_path_; }

 private:
  using Position = std::pair<uint64_t, uint64_t>;  // (block, transaction) in the cache

  struct PendingChange {
    uint64_t ticket = 0;
    bool is_block = false;
    uint64_t size_before = 0;
    StateUndo undo;
  };

  void index_block_in_ram(uint64_t position) const;
  // Opens a log for appending once; a torn tail gets a line feed first.
  bool open_log(platform::AppendFile& file, const std::string& path);
  // Undoes the changes of a failed sync, if no other waiter did.
  // REQUIRES: the chain lock held exclusively.
  void undo_failed();
  bool replace_state_file(const Checkpoint& checkpoint) REQUIRES(checkpoint_mutex_);

  // A line of "blocks.dat" that held no block.
  struct UnreadableLine {
    uint64_t line = 0;      // 1-based
    uint64_t position = 0;  // blocks read before it
    uint64_t offset = 0;    // its first byte in the file
  };

  std::string data_dir_;
  std::string blocks_path_;
  std::string state_path_;
  std::string credits_path_;
  std::atomic<uint64_t> state_saves_{0};
  bool checkpoint_every_change_ = false;

  platform::AppendFile blocks_file_;
  platform::AppendFile credits_file_;
  std::optional<uint64_t> credit_lines_;  // unknown until first needed
  // Set when undone changes could not be cut from a log: no more appends.
  bool logs_broken_ = false;

  // The logs a sync must cover.
  struct LogsToSync {
    bool blocks = false;
    bool credits = false;
  };
  platform::GroupCommit<LogsToSync> commit_;
  std::atomic<bool> fail_syncs_{false};
  std::atomic<uint64_t> log_syncs_{0};
  // Changes not yet known to be durable, oldest first (durable ones go at
  // the next add_pending). GUARDED_BY the chain lock.
  std::deque<PendingChange> pending_;

  // Taken inside the chain lock, never around it.
  mutable platform::Mutex checkpoint_mutex_;
  uint64_t checkpoint_blocks_ GUARDED_BY(checkpoint_mutex_) = 0;
  std::atomic<uint64_t> checkpoint_ticket_{0};  // the last change the file includes

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
