// The one write path of the ledger. Every change of the State goes through a
// Ledger, which owns its rule and its durability: a block is applied by the
// rule of its kind and appended to "blocks.dat"; a change without a block is
// applied by the rule of its kind and appended to "credits.dat". Either is
// durable before it counts: at once, or inside an open RequestBatch when the
// batch closes (one sync shared by concurrent writers). "state.json" is only
// a checkpoint of the two logs (see Checkpointer). When persisting fails, the
// change is undone exactly (from the entries it saved, never by reloading a file) and
// the caller gets the Italian reason to report. Nothing is acknowledged that
// is not on disk.
//
// A Ledger keeps no state of its own, only references: any holder of the
// chain lock builds one on the spot (`Ledger ledger(storage, state);`).
// Every member function REQUIRES the chain lock held exclusively.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "chain/block.h"
#include "chain/chain_lock.h"
#include "chain/state.h"
#include "chain/state_undo.h"
#include "chain/tokenomics.h"
#include "platform/thread_annotations.h"
#include "storage/block_rules.h"
#include "storage/credits_log.h"
#include "storage/storage.h"

namespace ZezozuRiziv {

// The refusals that come from the disk rather than from the change: the
// operator must hear of them even where a refusal is otherwise silent.
inline constexpr char kAppendFailedMessage[] =
    "Impossibile registrare il blocco su disco: operazione annullata";
inline constexpr char kStateSaveFailedMessage[] =
    "Impossibile salvare lo stato del ledger su disco: operazione annullata";
// A change without a block before any block exists.
inline constexpr char kNoChainMessage[] = "Nessuna catena: il blocco Genesis non esiste ancora";

// What undo_block needs to take a committed block back.
struct BlockUndo {
  uint64_t log_size_before = 0;  // blocks.dat before the append
  std::string block_hash;
  StateUndo saved;  // the entries the block changed, as they were
};

// A block the ledger appended.
struct CommittedBlock {
  Block block;  // as written to blocks.dat
  std::optional<BlockUndo> undo;
};

// A wallet transfer as the JSON-RPC has checked it (sender recovered from
// the signature, chain id, recipient of 20 bytes, amount in atomic units).
struct WalletTransfer {
  std::string sender;     // lower-case "0x" address: the signer
  std::string recipient;  // lower-case "0x" address
  uint64_t amount = 0;    // gross, atomic units: what the sender pays
  uint64_t nonce = 0;     // must equal the sender's next nonce
  std::string validator;  // receives the validator share; named by the block
  std::string tx_hash;    // "0x" + keccak-256 of the raw transaction
  std::string signature;  // "eth<type>:<r><s>:<v>", kept in the record
};

// A game claim's block, built and checked but not yet applied or written.
struct PreparedClaim {
  Block block;         // its one transaction is the payment
  uint64_t gross = 0;  // atomic units the pool pays
  uint64_t net = 0;    // atomic units credited to the claimant
  FeeBreakdown fee;
};

// What a game claim paid (the figures of the claim's answer).
struct ClaimReceipt {
  uint64_t gross = 0;  // atomic units taken from the pool
  uint64_t net = 0;    // atomic units credited to the claimant
  FeeBreakdown fee;
  uint64_t pool_remaining = 0;
  CommittedBlock committed;  // block index, tx hash, undo
};

// What the start-up catch-up did.
struct CatchUpReport {
  uint64_t replayed = 0;          // logged blocks applied again
  uint64_t credits_replayed = 0;  // credit lines applied again
  uint64_t credits_dropped = 0;   // crash traces of credits.dat left aside
  bool state_missing = false;     // no state.json: rebuilt from block 0
  // Where the crash traces of credits.dat begin (the end of the last line
  // applied); none when it has no trace.
  std::optional<uint64_t> credits_cut_at;

  // The state moved past what state.json held.
  bool replayed_any() const { return replayed + credits_replayed > 0; }
};

class Ledger {
 public:
  Ledger(Storage& storage, State& state) : storage_(storage), state_(state) {}

  // --- Blocks -------------------------------------------------------------

  // First start: block 0 credits the supply to `treasury_address`, then
  // 500,000 RUZ go to the reward pool. Refused when a chain exists.
  LedgerResult commit_genesis(const std::string& treasury_address, CommittedBlock& out);

  // A peer's block (already verified with Block::verify) that extends the
  // stored chain: applied with reward 0. Refused, changing nothing: a block
  // that does not follow the last one, that mints (GENESIS,
  // COINBASE_REWARD), that looks like one of the node's own blocks (a
  // wallet signature, a zero-fee stake, a pool payment), that
  // check_peer_block refuses (a spend from a protected account, an account
  // not in its wallet's letter case, a fee other than the fee total),
  // whose validator is not a safe key, or that the state does not validate.
  // An accepted block leaves the sum of balances and stakes as it was.
  LedgerResult commit_peer_block(const Block& block, CommittedBlock& out);

  // A wallet transfer: the sender pays `amount`, the recipient gets the net
  // (amount less the fee total), the fee shares go to their accounts (the
  // validator share to `validator`), the sender's nonce + 1. Recorded as a
  // TRANSFER of amount = net and fee = fee total, sealed alone in a block.
  // Refused when the fee total is not below the amount (see
  // min_wallet_transfer), for a wrong nonce, a short balance or an overflow.
  LedgerResult commit_wallet_transfer(const WalletTransfer& transfer, CommittedBlock& out);
  // The smallest amount a wallet transfer may move: the fee total must stay
  // below it (1,001 atomic units, 0.001001 RUZ).
  static uint64_t min_wallet_transfer();
  // "Importo minimo: 0.001001 RUZ (…)": the refusal of a smaller transfer.
  static std::string min_wallet_transfer_message();

  // Staking: `amount` atomic units from the balance of `account` to its
  // stake, nonce + 1, recorded as a STAKE of fee 0 with an empty recipient,
  // sealed alone in a block named for `validator`.
  LedgerResult commit_stake(const std::string& account, uint64_t amount,
                            const std::string& validator, CommittedBlock& out);

  // A game claim of `coins` whole RUZ by `claimant` (the normalised player
  // address): the pool is topped up when short (from the genesis treasury,
  // else minted within the 21,000,000 RUZ supply), pays the gross, the
  // claimant gets the net, the fee shares go to their accounts (the
  // validator share to the game's validator account), the pool's nonce + 1;
  // recorded as a TRANSFER from the pool, sealed alone in a block whose
  // validator is the game's validator account. Timestamps in seconds.
  // Durable on return even inside a RequestBatch (the game's debit is final
  // once the block is). Refused for 0 coins, an amount beyond 64 bits, a claimant
  // key the state text cannot carry, or a pool that cannot pay.
  LedgerResult commit_claim(const std::string& claimant, uint64_t coins, ClaimReceipt& out);
  // The same claim in two steps, for a caller that must record the block's
  // transaction hash before the block is written: prepare_claim builds the
  // block and checks it against the state by the claim's rule (refused as
  // above), changing and writing nothing; commit_claim then commits exactly
  // that block. The state must not change between the two (the chain lock
  // stays held).
  LedgerResult prepare_claim(const std::string& claimant, uint64_t coins, PreparedClaim& out);
  LedgerResult commit_claim(const PreparedClaim& claim, ClaimReceipt& out);

  // Takes back the last committed block, once durable (for a caller whose
  // own save failed after it): cuts blocks.dat back, drops the block from
  // the cache and indexes, puts back the state entries it saved (and the
  // checkpoint, when it included the block). Refused when `undo` is not
  // the last block's.
  LedgerResult undo_block(BlockUndo& undo);

  // --- Changes without a block -------------------------------------------

  // Each change below is one line of credits.dat, refused before any block
  // exists, and undone when its append or sync fails.

  // Mints `amount` atomic units to `account` (faucet, fund command):
  // refused for an unsafe key or an overflow.
  LedgerResult credit(const std::string& account, uint64_t amount);
  // The welcome credit of a new wallet's first balance query: as credit().
  LedgerResult credit_in_request(const std::string& account, uint64_t amount);
  // Stake back to balance; refused when the stake is short or `amount` is 0.
  LedgerResult unstake(const std::string& account, uint64_t amount);
  // An empty reward pool gets 500,000 RUZ from the genesis treasury when it
  // can pay. `refilled` tells whether anything moved.
  LedgerResult refill_reward_pool(bool& refilled);

  // --- Start-up ------------------------------------------------------------
  // A start runs load_and_catch_up, then, in the process that appends,
  // cut_crash_traces, and checkpoint when report.replayed_any(). Before any
  // other thread runs, or REQUIRES: the chain lock held exclusively.

  // Loads state.json into the state and applies, by the same rules and in
  // the order they were made, the logged blocks and credit lines after the
  // place it names (all of them when it is missing). The traces of a crash
  // are left aside, with one console line: a torn last credit line, and
  // credit lines after the last block (never acknowledged: their sync
  // covered that block too). Writes no file. Refused, with the file named
  // and the state unchanged, when blocks.dat does not pass
  // Storage::check_block_log, when credits.dat or state.json exists but
  // cannot be read whole, when credits.dat is damaged before its last
  // line, when state.json names a place the logs lack, or when a logged
  // change does not apply (without state.json: the logs cannot rebuild it,
  // as in a data directory whose credits were kept in state.json alone).
  LedgerResult load_and_catch_up(CatchUpReport& report);
  // Cuts the crash traces the catch-up of `report` left aside from
  // credits.dat, so that appends can follow; nothing when it found none.
  LedgerResult cut_crash_traces(const CatchUpReport& report);
  // Writes the checkpoint state.json now (after the catch-up, or on demand).
  LedgerResult checkpoint();

  // The recipient of block 0's GENESIS transaction; empty when unknown.
  std::string genesis_treasury() const;

 private:
  enum class Durability {
    kWithRequest,  // at once, or when the open RequestBatch closes
    kNow,          // before returning, batch or not
  };

  // Builds the next block (index and previous hash from the cache) around
  // one transaction and seals it with the empty key.
  Block next_block(const std::string& validator, const Transaction& tx, uint64_t timestamp) const;
  // Applies `block` by the rule of `kind` and appends it.
  LedgerResult commit_block(BlockKind kind, const Block& block, CommittedBlock& out,
                            Durability durability = Durability::kWithRequest);
  // Applies one change without a block and appends its credit line.
  LedgerResult commit_credit(CreditKind kind, const std::string& account, uint64_t amount);
  // Makes the change of `ticket` durable as `durability` asks; on failure
  // it was undone. `failure` is the message then.
  LedgerResult settle(uint64_t ticket, Durability durability, const char* failure);

  // The steps of load_and_catch_up, in its order. Like it, each runs before
  // any other thread, or REQUIRES: the chain lock held exclusively (the
  // first two may load the block cache; the others read it and change only
  // the state they are given).

  // What a start reads before it applies anything.
  struct StartFiles {
    CreditsLogContent credits;
    State state;                  // state.json's; empty when it is missing
    std::optional<StateTip> tip;  // the place it names; none: the whole block log
  };
  // The first block (its position in the cache) and credit line not applied.
  struct LogPosition {
    uint64_t block = 0;
    uint64_t credit = 0;
  };
  // blocks.dat checked (its cache loaded), credits.dat and state.json read
  // whole; refused naming the first that cannot be trusted.
  LedgerResult read_start_files(StartFiles& files, CatchUpReport& report);
  // The first change state.json lacks, checked against both logs.
  LedgerResult find_replay_start(const StartFiles& files, bool state_missing,
                                 LogPosition& from) const;
  // Applies to files.state every logged change from `next` on, in the order
  // they were made, moving `next` past each; stops at the first that does
  // not apply.
  LedgerResult replay_logged_changes(StartFiles& files, LogPosition& next,
                                     CatchUpReport& report) const;
  // One logged change applied by its rule, or the refusal naming it.
  LedgerResult replay_credit(const CreditRecord& record, State& state) const;
  LedgerResult replay_block(const Block& logged, State& state, const RuleContext& context,
                            bool state_missing) const;
  // Counts and reports the credit lines from `next_credit` on, and a torn
  // tail, as crash traces, and where cut_crash_traces cuts them.
  void note_crash_traces(const CreditsLogContent& credits, uint64_t next_credit,
                         CatchUpReport& report) const;

  Storage& storage_;
  State& state_;
};

// The ledger changes made while answering one request (a route, or a
// JSON-RPC batch of up to 1,000 calls), made durable together before the
// answer is sent, with one sync shared with every concurrent request.
//
// Open one on the request's thread before answering, WITHOUT holding the
// chain lock. While it is open, the Ledger's changes on this thread are
// appended and applied but not waited for. close() waits, without the chain
// lock, until they are durable; when the sync fails every change not yet
// durable has been undone, and it returns the reason: the caller answers
// with an error instead. The destructor closes a batch that was not closed.
// Batches do not nest. A batch that changed nothing closes at once.
class RequestBatch {
 public:
  RequestBatch(Storage& storage, State& state, ChainLock& chain_lock) EXCLUDES(chain_lock);
  ~RequestBatch();
  RequestBatch(const RequestBatch&) = delete;
  RequestBatch& operator=(const RequestBatch&) = delete;

  LedgerResult close() EXCLUDES(chain_lock_);
  // How many changes were made in this batch so far; read on the batch's
  // own thread.
  uint64_t changes() const { return changes_; }
  // The batch open on the calling thread, or null.
  static RequestBatch* current();

 private:
  friend class Ledger;
  Storage& storage_;
  State& state_ GUARDED_BY(chain_lock_);
  ChainLock& chain_lock_;
  uint64_t last_ticket_ = 0;
  uint64_t changes_ = 0;  // touched only on the batch's own thread
  bool closed_ = false;
  RequestBatch* outer_;
};

}  // namespace ZezozuRiziv
