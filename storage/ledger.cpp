#include "storage/ledger.h"

#include <algorithm>
#include <atomic>
#include <iostream>

#include "chain/accounts.h"
#include "chain/tokenomics.h"

namespace ZezozuRiziv {
namespace {

constexpr char kNotNext[] = "Blocco rifiutato: non segue l'ultimo blocco della catena";
constexpr char kChainExists[] = "La catena esiste gia': blocco Genesis non creato";
constexpr char kNotLastBlock[] = "Il blocco da annullare non e' l'ultimo della catena";
constexpr char kUndoCutFailed[] = "Impossibile annullare il blocco su disco";
constexpr char kClaimTooSmall[] = "Quantita' RUZ inferiore al minimo (1 RUZ)";
constexpr char kClaimTooLarge[] = "Quantita' RUZ troppo grande";

thread_local RequestBatch* g_open_batch = nullptr;

}  // namespace

// --- blocks -------------------------------------------------------------------

Block Ledger::next_block(const std::string& validator, const Transaction& tx,
                         uint64_t timestamp) const {
  const std::vector<Block>& chain = storage_.get_blocks_cached();
  Block block(chain.size(), chain.empty() ? std::string(64, '0') : chain.back().block_hash,
              validator, {tx}, timestamp);
  block.seal("");
  return block;
}

LedgerResult Ledger::settle(uint64_t ticket, Durability durability, const char* failure) {
  RequestBatch* batch = RequestBatch::current();
  if (durability == Durability::kWithRequest && batch != nullptr && &batch->storage_ == &storage_ &&
      !batch->closed_) {
    batch->last_ticket_ = ticket;
    ++batch->changes_;
    return LedgerResult::success();
  }
  if (!storage_.wait_durable(ticket, nullptr)) return LedgerResult::failure(failure);
  if (storage_.checkpoint_every_change() && !storage_.save_state(state_)) {
    std::cout << "[STORAGE] Attenzione: checkpoint " << storage_.state_path() << " non scritto"
              << std::endl;
  }
  return LedgerResult::success();
}

LedgerResult Ledger::commit_block(BlockKind kind, const Block& block, CommittedBlock& out,
                                  Durability durability) {
  RuleContext context{genesis_treasury()};
  if (kind == BlockKind::kGenesis) context.genesis_treasury = block.transactions.front().recipient;
  StateUndo undo(state_);
  if (LedgerResult applied = apply_block_rule(kind, block, state_, undo, context); !applied) {
    return applied;
  }
  uint64_t size_before = 0;
  if (!storage_.append_block(block, &size_before)) {
    undo.restore();
    return LedgerResult::failure(kAppendFailedMessage);
  }
  StateUndo kept = undo;
  const uint64_t ticket = storage_.add_pending(true, size_before, std::move(undo));
  if (LedgerResult settled = settle(ticket, durability, kAppendFailedMessage); !settled) {
    return settled;
  }
  out.block = block;
  out.undo = BlockUndo{size_before, block.block_hash, std::move(kept)};
  return LedgerResult::success();
}

LedgerResult Ledger::commit_genesis(const std::string& treasury_address, CommittedBlock& out) {
  if (!storage_.get_blocks_cached().empty()) return LedgerResult::failure(kChainExists);
  return commit_block(BlockKind::kGenesis, Block::create_genesis_block(treasury_address), out);
}

LedgerResult Ledger::commit_peer_block(const Block& block, CommittedBlock& out) {
  const std::vector<Block>& chain = storage_.get_blocks_cached();
  const bool follows = chain.empty() ? block.index == 1
                                     : block.index == chain.back().index + 1 &&
                                           block.prev_hash == chain.back().block_hash;
  if (!follows) return LedgerResult::failure(kNotNext);
  // Classified as a peer block or not at all: a peer cannot have its block
  // applied, now or at a replay, by the rules of the node's own blocks.
  if (classify_block(block) != BlockKind::kPeer) return LedgerResult::failure(kPrivilegedRefused);
  if (LedgerResult admitted = check_peer_block(block, RuleContext{genesis_treasury()}); !admitted) {
    return admitted;
  }
  return commit_block(BlockKind::kPeer, block, out);
}

uint64_t Ledger::min_wallet_transfer() {
  // Worked out from the fee rule itself: the first amount above its fee.
  static const uint64_t minimum = [] {
    uint64_t amount = 1;
    while (Tokenomics::calculate_fee_breakdown(amount).total >= amount) ++amount;
    return amount;
  }();
  return minimum;
}

std::string Ledger::min_wallet_transfer_message() {
  return "Importo minimo: " + Tokenomics::format_amount(min_wallet_transfer()) +
         " (la commissione di rete deve restare sotto l'importo)";
}

LedgerResult Ledger::commit_wallet_transfer(const WalletTransfer& transfer, CommittedBlock& out) {
  if (transfer.amount < min_wallet_transfer()) {
    return LedgerResult::failure(min_wallet_transfer_message());
  }
  const FeeBreakdown fee = Tokenomics::calculate_fee_breakdown(transfer.amount);
  Transaction native(TxType::TRANSFER, transfer.sender, transfer.recipient,
                     transfer.amount - fee.total, fee.total, transfer.nonce, 0);
  native.tx_hash = transfer.tx_hash;
  native.signature = transfer.signature;
  const Block block = next_block(transfer.validator, native, native.timestamp);
  // A record the catch-up would not read back as a wallet transfer.
  if (classify_block(block) != BlockKind::kWalletTransfer) {
    return LedgerResult::failure(kPrivilegedRefused);
  }
  return commit_block(BlockKind::kWalletTransfer, block, out);
}

LedgerResult Ledger::commit_stake(const std::string& account, uint64_t amount,
                                  const std::string& validator, CommittedBlock& out) {
  if (amount == 0) return LedgerResult::failure(kStakeFundsMessage);
  const Transaction stake(TxType::STAKE, account, "", amount, 0, state_.get_nonce(account), 0);
  return commit_block(BlockKind::kStake, next_block(validator, stake, stake.timestamp), out);
}

LedgerResult Ledger::prepare_claim(const std::string& claimant, uint64_t coins, PreparedClaim& out) {
  if (coins == 0) return LedgerResult::failure(kClaimTooSmall);
  const unsigned __int128 wide = static_cast<unsigned __int128>(coins) * kAtomicPerCoin;
  if (wide > UINT64_MAX) return LedgerResult::failure(kClaimTooLarge);
  if (!is_state_key_safe(claimant)) return LedgerResult::failure(kUnsafeKeyMessage);
  const uint64_t gross = static_cast<uint64_t>(wide);
  const FeeBreakdown fee = Tokenomics::calculate_fee_breakdown(gross);
  const Transaction payment(TxType::TRANSFER, kRewardPoolAddress, claimant, gross - fee.total,
                            fee.total, state_.get_nonce(kRewardPoolAddress), 0);
  Block block = next_block(kGameValidatorAddress, payment, payment.timestamp);
  // Applied and undone at once: the rule's refusals (an empty pool that
  // cannot be topped up) come now, before the caller records anything.
  StateUndo trial(state_);
  const LedgerResult applies =
      apply_block_rule(BlockKind::kGameClaim, block, state_, trial, RuleContext{genesis_treasury()});
  trial.restore();
  if (!applies) return applies;
  out = PreparedClaim{std::move(block), gross, gross - fee.total, fee};
  return LedgerResult::success();
}

LedgerResult Ledger::commit_claim(const PreparedClaim& claim, ClaimReceipt& out) {
  if (LedgerResult committed =
          commit_block(BlockKind::kGameClaim, claim.block, out.committed, Durability::kNow);
      !committed) {
    return committed;
  }
  out.gross = claim.gross;
  out.net = claim.net;
  out.fee = claim.fee;
  out.pool_remaining = state_.get_balance(kRewardPoolAddress);
  return LedgerResult::success();
}

LedgerResult Ledger::commit_claim(const std::string& claimant, uint64_t coins, ClaimReceipt& out) {
  PreparedClaim claim;
  if (LedgerResult prepared = prepare_claim(claimant, coins, claim); !prepared) return prepared;
  return commit_claim(claim, out);
}

LedgerResult Ledger::undo_block(BlockUndo& undo) {
  const std::vector<Block>& chain = storage_.get_blocks_cached();
  if (chain.empty() || chain.back().block_hash != undo.block_hash) {
    return LedgerResult::failure(kNotLastBlock);
  }
  const bool checkpointed = storage_.checkpoint_includes_last_block();
  if (!storage_.undo_last_block(undo.log_size_before)) return LedgerResult::failure(kUndoCutFailed);
  undo.saved.restore();
  // A checkpoint naming the block would name a block the log lacks.
  if (checkpointed && !storage_.save_state(state_)) {
    std::cout << "[STORAGE] Attenzione: state.json non aggiornato dopo l'annullamento di un blocco"
              << std::endl;
    return LedgerResult::failure(kStateSaveFailedMessage);
  }
  return LedgerResult::success();
}

// --- changes without a block ------------------------------------------------------

LedgerResult Ledger::commit_credit(CreditKind kind, const std::string& account, uint64_t amount) {
  const std::vector<Block>& chain = storage_.get_blocks_cached();
  if (chain.empty()) return LedgerResult::failure(kNoChainMessage);
  CreditRecord record{0, chain.back().index, kind, account, amount};
  StateUndo undo(state_);
  if (LedgerResult applied = apply_credit_rule(record, state_, undo); !applied) return applied;
  uint64_t size_before = 0;
  if (!storage_.append_credit(record, &size_before)) {
    undo.restore();
    return LedgerResult::failure(kStateSaveFailedMessage);
  }
  const uint64_t ticket = storage_.add_pending(false, size_before, std::move(undo));
  return settle(ticket, Durability::kWithRequest, kStateSaveFailedMessage);
}

LedgerResult Ledger::credit(const std::string& account, uint64_t amount) {
  return commit_credit(CreditKind::kFaucet, account, amount);
}

LedgerResult Ledger::credit_in_request(const std::string& account, uint64_t amount) {
  return commit_credit(CreditKind::kWelcome, account, amount);
}

LedgerResult Ledger::unstake(const std::string& account, uint64_t amount) {
  return commit_credit(CreditKind::kUnstake, account, amount);
}

std::string Ledger::genesis_treasury() const {
  const std::vector<Block>& chain = storage_.get_blocks_cached();
  if (chain.empty() || chain.front().index != 0) return "";
  for (const Transaction& tx : chain.front().transactions) {
    if (tx.type == TxType::GENESIS) return tx.recipient;
  }
  return "";
}

LedgerResult Ledger::refill_reward_pool(bool& refilled) {
  refilled = false;
  // Only the genesis treasury pays, never whichever account sorts first.
  const std::string treasury = genesis_treasury();
  if (state_.get_balance(kRewardPoolAddress) != 0 || treasury.empty() ||
      treasury == kRewardPoolAddress || state_.get_balance(treasury) < kRewardPoolFunding) {
    return LedgerResult::success();
  }
  LedgerResult done = commit_credit(CreditKind::kRefill, treasury, kRewardPoolFunding);
  refilled = done.ok;
  return done;
}

// --- start-up -----------------------------------------------------------------

LedgerResult Ledger::load_and_catch_up(CatchUpReport& report) {
  report = CatchUpReport{};
  StartFiles files;
  if (LedgerResult read = read_start_files(files, report); !read) return read;
  LogPosition next;
  if (LedgerResult found = find_replay_start(files, report.state_missing, next); !found) {
    return found;
  }
  if (LedgerResult replayed = replay_logged_changes(files, next, report); !replayed) {
    return replayed;
  }
  note_crash_traces(files.credits, next.credit, report);
  state_ = std::move(files.state);
  return LedgerResult::success();
}

LedgerResult Ledger::read_start_files(StartFiles& files, CatchUpReport& report) {
  if (std::optional<std::string> log_damage = storage_.check_block_log()) {
    return LedgerResult::failure(*log_damage);
  }
  std::string damage;
  if (storage_.read_credits(files.credits, damage) == CreditsRead::kDamaged) {
    return LedgerResult::failure(damaged_file_message(storage_.credits_path(), damage));
  }
  switch (storage_.load_state(files.state, &files.tip)) {
    case StateLoad::kDamaged:
      return LedgerResult::failure(damaged_file_message(
          storage_.state_path(), "non e' uno stato completo o non si legge"));
    case StateLoad::kMissing:
      report.state_missing = true;
      break;
    case StateLoad::kLoaded:
      break;
  }
  return LedgerResult::success();
}

LedgerResult Ledger::find_replay_start(const StartFiles& files, bool state_missing,
                                       LogPosition& from) const {
  const std::vector<Block>& chain = storage_.get_blocks_cached();
  const std::vector<CreditRecord>& credits = files.credits.records;
  // A state file from before tips were written covers the whole log.
  from.block = state_missing ? 0 : chain.size();
  // Credit lines the state includes: none in a file from before the log.
  from.credit = files.tip ? files.tip->credits : 0;
  if (const std::optional<StateTip>& tip = files.tip) {
    uint64_t position = chain.size();
    if (tip->index < chain.size() && chain[tip->index].block_hash == tip->hash) {
      position = tip->index;
    } else if (const Block* found = storage_.find_block_by_id(tip->hash);
               found != nullptr && found->block_hash == tip->hash) {
      position = static_cast<uint64_t>(found - chain.data());
    }
    if (position >= chain.size()) {
      return LedgerResult::failure(
          "state.json include il blocco #" + std::to_string(tip->index) +
          " che " + storage_.blocks_path() + " non contiene");
    }
    from.block = position + 1;
  }
  if (from.credit > credits.size()) {
    return LedgerResult::failure("state.json include " + std::to_string(from.credit) +
                                 " righe di " + storage_.credits_path() + ", che ne contiene " +
                                 std::to_string(credits.size()));
  }
  // A credit line follows the block at position after_block (indexes are
  // positions in a chain this node wrote). One the state lacks cannot fall
  // before a block the state includes.
  if (from.credit < credits.size() && from.block > 0 &&
      credits[from.credit].after_block + 1 < from.block) {
    return LedgerResult::failure("La riga " + std::to_string(from.credit + 1) + " di " +
                                 storage_.credits_path() +
                                 " precede l'ultimo blocco incluso in state.json");
  }
  return LedgerResult::success();
}

LedgerResult Ledger::replay_logged_changes(StartFiles& files, LogPosition& next,
                                           CatchUpReport& report) const {
  const std::vector<Block>& chain = storage_.get_blocks_cached();
  const std::vector<CreditRecord>& credits = files.credits.records;
  const RuleContext context{genesis_treasury()};
  while (true) {
    if (next.credit < credits.size() && credits[next.credit].after_block < next.block) {
      if (LedgerResult applied = replay_credit(credits[next.credit], files.state); !applied) {
        return applied;
      }
      ++next.credit;
      ++report.credits_replayed;
      continue;
    }
    if (next.block >= chain.size()) return LedgerResult::success();
    if (LedgerResult applied =
            replay_block(chain[next.block], files.state, context, report.state_missing);
        !applied) {
      return applied;
    }
    ++next.block;
    ++report.replayed;
  }
}

LedgerResult Ledger::replay_credit(const CreditRecord& record, State& state) const {
  StateUndo undo(state);
  if (LedgerResult applied = apply_credit_rule(record, state, undo); !applied) {
    return LedgerResult::failure("La riga " + std::to_string(record.seq) + " di " +
                                 storage_.credits_path() +
                                 " non si applica allo stato salvato (" + applied.error + ")");
  }
  return LedgerResult::success();
}

LedgerResult Ledger::replay_block(const Block& logged, State& state, const RuleContext& context,
                                  bool state_missing) const {
  StateUndo undo(state);
  LedgerResult applied = apply_block_rule(classify_block(logged), logged, state, undo, context);
  if (applied) return applied;
  if (state_missing) {
    const std::string& state_path = storage_.state_path();
    // Credits made before credits.dat existed (faucet, wallet welcome,
    // unstake) live only in state.json: the logs cannot give them back.
    return LedgerResult::failure(
        "Manca " + state_path + " e " + storage_.blocks_path() + " con " +
        storage_.credits_path() + " non bastano a ricostruirlo: il blocco #" +
        std::to_string(logged.index) + " non si applica (" + applied.error +
        "), perche' gli accrediti fatti senza blocco (faucet, benvenuto dei wallet, "
        "unstake) prima che esistesse " + storage_.credits_path() + " stavano solo in " +
        state_path + ". Ripristina " + state_path + " da una copia di sicurezza");
  }
  return LedgerResult::failure("Il blocco #" + std::to_string(logged.index) + " di " +
                               storage_.blocks_path() + " non si applica allo stato salvato (" +
                               applied.error + ")");
}

void Ledger::note_crash_traces(const CreditsLogContent& credits, uint64_t next_credit,
                               CatchUpReport& report) const {
  // Lines after the last block were written beside a block whose sync never
  // finished: none of them was acknowledged.
  report.credits_dropped = credits.records.size() - next_credit;
  if (report.credits_dropped == 0 && !credits.torn_tail) return;
  std::cout << "[STORAGE] " << storage_.credits_path() << ": ignorate "
            << report.credits_dropped + (credits.torn_tail ? 1 : 0)
            << " righe finali non registrate per intero (arresto improvviso)" << std::endl;
  report.credits_cut_at = next_credit == 0 ? 0 : credits.ends[next_credit - 1];
}

LedgerResult Ledger::cut_crash_traces(const CatchUpReport& report) {
  if (!report.credits_cut_at) return LedgerResult::success();
  if (!storage_.cut_credits(*report.credits_cut_at)) {
    return LedgerResult::failure("Impossibile ripulire " + storage_.credits_path());
  }
  return LedgerResult::success();
}

LedgerResult Ledger::checkpoint() {
  if (!storage_.save_state(state_)) return LedgerResult::failure(kStateSaveFailedMessage);
  return LedgerResult::success();
}

// --- request batches ------------------------------------------------------------

RequestBatch::RequestBatch(Storage& storage, State& state,
                           ChainLock& chain_lock)
    : storage_(storage), state_(state), chain_lock_(chain_lock), outer_(g_open_batch) {
  g_open_batch = this;
}

RequestBatch::~RequestBatch() {
  if (!closed_) (void)close();
  g_open_batch = outer_;
}

RequestBatch* RequestBatch::current() { return g_open_batch; }

LedgerResult RequestBatch::close() {
  if (closed_) return LedgerResult::success();
  closed_ = true;
  if (changes_ == 0) return LedgerResult::success();
  if (!storage_.wait_durable(last_ticket_, &chain_lock_)) {
    return LedgerResult::failure(kStateSaveFailedMessage);
  }
  if (storage_.checkpoint_every_change()) {
    platform::WriteLock lock(chain_lock_);
    if (!storage_.save_state(state_)) {
      std::cout << "[STORAGE] Attenzione: checkpoint " << storage_.state_path() << " non scritto"
                << std::endl;
    }
  }
  return LedgerResult::success();
}

}  // namespace ZezozuRiziv
