#include "storage/ledger.h"

#include <algorithm>
#include <atomic>
#include <iostream>
#include <mutex>

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

// Batch ids need no lock: a batch is opened before the chain lock is taken.
std::atomic<uint64_t> g_next_batch_id{1};
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

LedgerResult Ledger::settle_unsaved_credits() {
  if (storage_.unsaved_credits.empty()) return LedgerResult::success();
  // A block must never build on credits that a failed save could still take
  // back: they are made durable first.
  if (!storage_.save_state(state_)) return LedgerResult::failure(kStateSaveFailedMessage);
  storage_.unsaved_credits.clear();
  return LedgerResult::success();
}

LedgerResult Ledger::commit_block(BlockKind kind, const Block& block, CommittedBlock& out) {
  if (LedgerResult settled = settle_unsaved_credits(); !settled) return settled;
  RuleContext context{genesis_treasury()};
  if (kind == BlockKind::kGenesis) context.genesis_treasury = block.transactions.front().recipient;
  StateJournal journal(state_);
  if (LedgerResult applied = apply_block_rule(kind, block, state_, journal, context); !applied) {
    return applied;
  }
  uint64_t size_before = 0;
  if (!storage_.save_block(block, &size_before)) {
    journal.restore();
    return LedgerResult::failure(kAppendFailedMessage);
  }
  // The block is durable: the change stands even if the state file lags,
  // since the catch-up at start applies the block again.
  out.state_saved = storage_.save_state(state_);
  if (out.state_saved) {
    storage_.unsaved_credits.clear();
  } else {
    std::cout << "[STORAGE] Attenzione: state.json non aggiornato dopo il blocco #" << block.index
              << "; sara' ricostruito da blocks.dat al prossimo avvio" << std::endl;
  }
  out.block = block;
  out.undo = BlockUndo{size_before, block.block_hash, std::move(journal)};
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
  StateJournal trial(state_);
  const LedgerResult applies =
      apply_block_rule(BlockKind::kGameClaim, block, state_, trial, RuleContext{genesis_treasury()});
  trial.restore();
  if (!applies) return applies;
  out = PreparedClaim{std::move(block), gross, gross - fee.total, fee};
  return LedgerResult::success();
}

LedgerResult Ledger::commit_claim(const PreparedClaim& claim, ClaimReceipt& out) {
  if (LedgerResult committed = commit_block(BlockKind::kGameClaim, claim.block, out.committed);
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
  if (!storage_.undo_last_block(undo.log_size_before)) return LedgerResult::failure(kUndoCutFailed);
  undo.journal.restore();
  if (!storage_.save_state(state_)) {
    std::cout << "[STORAGE] Attenzione: state.json non aggiornato dopo l'annullamento di un blocco"
              << std::endl;
    return LedgerResult::failure(kStateSaveFailedMessage);
  }
  storage_.unsaved_credits.clear();
  return LedgerResult::success();
}

// --- changes without a block ------------------------------------------------------

LedgerResult Ledger::save_or_undo(StateJournal& journal) {
  if (!storage_.save_state(state_)) {
    journal.restore();
    return LedgerResult::failure(kStateSaveFailedMessage);
  }
  // That save held every credit still waiting for its batch.
  storage_.unsaved_credits.clear();
  return LedgerResult::success();
}

LedgerResult Ledger::credit(const std::string& account, uint64_t amount) {
  if (!is_state_key_safe(account)) return LedgerResult::failure(kUnsafeKeyMessage);
  if (state_.get_balance(account) > UINT64_MAX - amount) {
    return LedgerResult::failure(kOverflowMessage);
  }
  StateJournal journal(state_);
  journal.remember(account);
  state_.balances[account] += amount;
  return save_or_undo(journal);
}

LedgerResult Ledger::credit_in_request(const std::string& account, uint64_t amount) {
  RequestBatch* batch = RequestBatch::current();
  if (batch == nullptr || &batch->storage_ != &storage_ || batch->closed_) {
    return credit(account, amount);
  }
  if (!is_state_key_safe(account)) return LedgerResult::failure(kUnsafeKeyMessage);
  if (state_.get_balance(account) > UINT64_MAX - amount) {
    return LedgerResult::failure(kOverflowMessage);
  }
  const auto it = state_.balances.find(account);
  storage_.unsaved_credits.push_back(
      {batch->id_, account,
       it == state_.balances.end() ? std::nullopt : std::optional<uint64_t>(it->second)});
  state_.balances[account] += amount;
  ++batch->credits_;
  return LedgerResult::success();
}

LedgerResult Ledger::unstake(const std::string& account, uint64_t amount) {
  if (amount == 0 || state_.get_stake(account) < amount) {
    return LedgerResult::failure(kUnstakeFundsMessage);
  }
  if (state_.get_balance(account) > UINT64_MAX - amount) {
    return LedgerResult::failure(kOverflowMessage);
  }
  StateJournal journal(state_);
  journal.remember(account);
  state_.staked[account] -= amount;
  state_.balances[account] += amount;
  return save_or_undo(journal);
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
  StateJournal journal(state_);
  journal.remember(treasury);
  journal.remember(kRewardPoolAddress);
  state_.balances[treasury] -= kRewardPoolFunding;
  state_.balances[kRewardPoolAddress] = kRewardPoolFunding;
  LedgerResult saved = save_or_undo(journal);
  refilled = saved.ok;
  return saved;
}

// --- start-up -----------------------------------------------------------------

LedgerResult Ledger::load_and_catch_up(CatchUpReport& report, bool save) {
  report = CatchUpReport{};
  if (std::optional<std::string> damage = storage_.check_block_log()) {
    return LedgerResult::failure(*damage);
  }
  State loaded;
  std::optional<StateTip> tip;
  switch (storage_.load_state(loaded, &tip)) {
    case StateLoad::kDamaged:
      return LedgerResult::failure(damaged_file_message(
          storage_.state_path(), "non e' uno stato completo o non si legge"));
    case StateLoad::kMissing:
      report.state_missing = true;
      break;
    case StateLoad::kLoaded:
      break;
  }
  const std::vector<Block>& chain = storage_.get_blocks_cached();
  // Position of the first block the state does not include. A state file
  // from before tips were written covers the whole log.
  uint64_t from = report.state_missing ? 0 : chain.size();
  if (tip) {
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
    from = position + 1;
  }

  RuleContext context{genesis_treasury()};
  for (uint64_t i = from; i < chain.size(); ++i) {
    StateJournal journal(loaded);
    const Block& block = chain[i];
    if (LedgerResult applied =
            apply_block_rule(classify_block(block), block, loaded, journal, context);
        !applied) {
      if (report.state_missing) {
        const std::string& state_path = storage_.state_path();
        // Credits without a block (faucet, wallet welcome, unstake) live
        // only in state.json: the log alone cannot give them back.
        return LedgerResult::failure(
            "Manca " + state_path + " e " + storage_.blocks_path() +
            " non basta a ricostruirlo: il blocco #" + std::to_string(block.index) +
            " non si applica (" + applied.error +
            "), perche' gli accrediti fatti senza blocco (faucet, benvenuto dei wallet, "
            "unstake) stavano solo in " + state_path + ". Ripristina " + state_path +
            " da una copia di sicurezza");
      }
      return LedgerResult::failure("Il blocco #" + std::to_string(block.index) + " di " +
                                   storage_.blocks_path() + " non si applica allo stato salvato (" +
                                   applied.error + ")");
    }
    ++report.replayed;
  }
  state_ = std::move(loaded);
  if (save && report.replayed > 0 && !storage_.save_state(state_)) {
    return LedgerResult::failure(kStateSaveFailedMessage);
  }
  return LedgerResult::success();
}

// --- request batches ------------------------------------------------------------

RequestBatch::RequestBatch(Storage& storage, State& state, platform::WriterPreferringMutex& chain_lock)
    : storage_(storage),
      state_(state),
      chain_lock_(chain_lock),
      id_(g_next_batch_id.fetch_add(1)),
      outer_(g_open_batch) {
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
  // Nothing of this batch can be waiting: no credit was made in it.
  if (credits_ == 0) return LedgerResult::success();
  std::unique_lock lock(chain_lock_);
  auto& unsaved = storage_.unsaved_credits;
  const auto mine = [this](const Storage::UnsavedCredit& c) { return c.batch == id_; };
  // Already saved by another writer's save: nothing is left of this batch.
  if (std::none_of(unsaved.begin(), unsaved.end(), mine)) return LedgerResult::success();
  if (storage_.save_state(state_)) {
    unsaved.clear();
    return LedgerResult::success();
  }
  // Newest first, so that an account credited twice gets its first value back.
  for (auto it = unsaved.rbegin(); it != unsaved.rend(); ++it) {
    if (!mine(*it)) continue;
    if (it->before) {
      state_.balances[it->account] = *it->before;
    } else {
      state_.balances.erase(it->account);
    }
  }
  unsaved.erase(std::remove_if(unsaved.begin(), unsaved.end(), mine), unsaved.end());
  return LedgerResult::failure(kStateSaveFailedMessage);
}

}  // namespace ZezozuRiziv
