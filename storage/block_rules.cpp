#include "storage/block_rules.h"

#include <algorithm>
#include <map>
#include <optional>

#include "chain/accounts.h"
#include "chain/tokenomics.h"
#include "crypto/text.h"

namespace ZezozuRiziv {
namespace {

constexpr uint64_t kMax = UINT64_MAX;

constexpr char kWalletSignaturePrefix[] = "eth";
constexpr char kMintingRefused[] = "Blocco con transazioni di conio rifiutato";
constexpr char kPeerRefused[] = "Blocco rifiutato: una transazione non e' valida";
constexpr char kMalformed[] = "Blocco non coerente con il suo tipo";
constexpr char kNonceExhausted[] = "Nonce esaurito per questo indirizzo";

bool is_single(const Block& block, TxType type) {
  return block.transactions.size() == 1 && block.transactions.front().type == type;
}

std::string nonce_message(uint64_t expected, uint64_t given) {
  return "Nonce non valido (atteso: " + std::to_string(expected) +
         ", fornito: " + std::to_string(given) + ")";
}

// Balances as they will be after a rule, checked before any is written, so
// that a refusal changes nothing and a sender who is also a recipient (or the
// validator) is counted once.
class BalanceChanges {
 public:
  explicit BalanceChanges(const State& state) : state_(state) {}

  bool debit(const std::string& account, uint64_t amount) {
    uint64_t& balance = entry(account);
    if (balance < amount) return false;
    balance -= amount;
    return true;
  }
  bool credit(const std::string& account, uint64_t amount) {
    uint64_t& balance = entry(account);
    if (balance > kMax - amount) return false;
    balance += amount;
    return true;
  }
  uint64_t balance(const std::string& account) { return entry(account); }

  void apply(State& state, StateUndo& undo) const {
    for (const auto& [account, balance] : changed_) {
      undo.remember(account);
      state.balances[account] = balance;
    }
  }

 private:
  uint64_t& entry(const std::string& account) {
    const auto [it, inserted] = changed_.try_emplace(account, 0);
    if (inserted) it->second = state_.get_balance(account);
    return it->second;
  }
  const State& state_;
  std::map<std::string, uint64_t> changed_;
};

// The four fee shares of `gross` to their accounts; the validator share to
// `validator`.
bool credit_fee_shares(BalanceChanges& changes, const FeeBreakdown& fee,
                       const std::string& validator) {
  return changes.credit(kFeeTreasuryAddress, fee.treasury) &&
         changes.credit(kIncubatorAddress, fee.incubator) &&
         changes.credit(kBurnAddress, fee.burn) && changes.credit(validator, fee.validator);
}

// The gross amount behind a record that carries the net amount and the fee
// total; nullopt when the two do not come from the fee rule.
std::optional<uint64_t> gross_of(const Transaction& tx) {
  if (tx.amount <= kMax - tx.fee) {
    const uint64_t gross = tx.amount + tx.fee;
    if (tx.fee < gross && Tokenomics::calculate_fee_breakdown(gross).total == tx.fee) return gross;
  }
  // Written before transfers under the minimum were refused: the fee was not
  // below the amount, and the recipient got the whole amount.
  if (tx.fee >= tx.amount && Tokenomics::calculate_fee_breakdown(tx.amount).total == tx.fee) {
    return tx.amount;
  }
  return std::nullopt;
}

void bump_nonce(State& state, StateUndo& undo, const std::string& account) {
  undo.remember(account);
  ++state.nonces[account];
}

LedgerResult genesis_rule(const Block& block, State& state, StateUndo& undo) {
  if (block.index != 0 || !is_single(block, TxType::GENESIS)) return LedgerResult::failure(kMalformed);
  const std::string& treasury = block.transactions.front().recipient;
  if (!is_state_key_safe(treasury)) return LedgerResult::failure(kUnsafeKeyMessage);
  undo.remember_block_accounts(block);
  undo.remember(kRewardPoolAddress);
  if (!state.apply_block(block, 0)) return LedgerResult::failure(kOverflowMessage);
  // The game's reward pool starts with its share of the supply.
  BalanceChanges changes(state);
  if (changes.balance(treasury) >= kRewardPoolFunding && treasury != kRewardPoolAddress) {
    if (!changes.debit(treasury, kRewardPoolFunding) ||
        !changes.credit(kRewardPoolAddress, kRewardPoolFunding)) {
      undo.restore();
      return LedgerResult::failure(kOverflowMessage);
    }
    changes.apply(state, undo);
  }
  return LedgerResult::success();
}

LedgerResult peer_rule(const Block& block, State& state, StateUndo& undo) {
  const bool mints = std::any_of(block.transactions.begin(), block.transactions.end(),
                                 [](const Transaction& tx) {
                                   return tx.type == TxType::GENESIS ||
                                          tx.type == TxType::COINBASE_REWARD;
                                 });
  // A block's own validity rule waves minting through unchecked: a peer
  // could create any amount.
  if (mints) return LedgerResult::failure(kMintingRefused);
  const bool wallet_signed = std::any_of(
      block.transactions.begin(), block.transactions.end(),
      [](const Transaction& tx) { return tx.signature.starts_with(kWalletSignaturePrefix); });
  // Only the JSON-RPC writes wallet signatures; a peer's block carrying one
  // would replay as a wallet transfer.
  if (wallet_signed) return LedgerResult::failure(kPrivilegedRefused);
  if (!block.validator.empty() && !is_state_key_safe(block.validator)) {
    return LedgerResult::failure(kUnsafeKeyMessage);
  }
  undo.remember_block_accounts(block);
  // apply_block undoes itself when it refuses.
  if (!state.apply_block(block, 0)) return LedgerResult::failure(kPeerRefused);
  return LedgerResult::success();
}

LedgerResult wallet_rule(const Block& block, State& state, StateUndo& undo) {
  const Transaction& tx = block.transactions.front();
  const std::optional<uint64_t> gross = gross_of(tx);
  if (!gross) return LedgerResult::failure(kMalformed);
  if (!is_state_key_safe(tx.sender) || !is_state_key_safe(tx.recipient) ||
      !is_state_key_safe(block.validator)) {
    return LedgerResult::failure(kUnsafeKeyMessage);
  }
  const uint64_t nonce = state.get_nonce(tx.sender);
  if (tx.nonce != nonce) return LedgerResult::failure(nonce_message(nonce, tx.nonce));
  if (nonce == kMax) return LedgerResult::failure(kNonceExhausted);

  const FeeBreakdown fee = Tokenomics::calculate_fee_breakdown(*gross);
  BalanceChanges changes(state);
  if (!changes.debit(tx.sender, *gross)) return LedgerResult::failure(kWalletFundsMessage);
  if (!changes.credit(tx.recipient, tx.amount) ||
      !credit_fee_shares(changes, fee, block.validator)) {
    return LedgerResult::failure(kOverflowMessage);
  }
  changes.apply(state, undo);
  bump_nonce(state, undo, tx.sender);
  return LedgerResult::success();
}

LedgerResult stake_rule(const Block& block, State& state, StateUndo& undo) {
  const Transaction& tx = block.transactions.front();
  if (!is_state_key_safe(tx.sender) || !is_state_key_safe(block.validator)) {
    return LedgerResult::failure(kUnsafeKeyMessage);
  }
  const uint64_t nonce = state.get_nonce(tx.sender);
  if (tx.nonce != nonce) return LedgerResult::failure(nonce_message(nonce, tx.nonce));
  if (nonce == kMax) return LedgerResult::failure(kNonceExhausted);
  if (tx.amount == 0 || state.get_balance(tx.sender) < tx.amount) {
    return LedgerResult::failure(kStakeFundsMessage);
  }
  if (state.get_stake(tx.sender) > kMax - tx.amount) return LedgerResult::failure(kOverflowMessage);
  undo.remember(tx.sender);
  state.balances[tx.sender] -= tx.amount;
  state.staked[tx.sender] += tx.amount;
  ++state.nonces[tx.sender];
  return LedgerResult::success();
}

// When the pool holds less than `gross`: the larger of `gross` and the
// funding comes from the genesis treasury when it can pay the claim, and is
// otherwise minted within the supply cap. No other account is ever touched.
void top_up_pool(BalanceChanges& changes, const State& state, uint64_t gross,
                 const std::string& claimant, const RuleContext& context) {
  if (changes.balance(kRewardPoolAddress) >= gross) return;
  const uint64_t top_up = std::max(gross, kRewardPoolFunding);
  const std::string& treasury = context.genesis_treasury;
  if (!treasury.empty() && treasury != kRewardPoolAddress && treasury != claimant &&
      changes.balance(treasury) >= gross) {
    const uint64_t moved = std::min(changes.balance(treasury), top_up);
    if (changes.debit(treasury, moved)) (void)changes.credit(kRewardPoolAddress, moved);
    return;
  }
  const unsigned __int128 after =
      static_cast<unsigned __int128>(state.get_total_circulating()) + top_up;
  if (after <= kMaxSupply) (void)changes.credit(kRewardPoolAddress, top_up);
}

LedgerResult claim_rule(const Block& block, State& state, StateUndo& undo,
                        const RuleContext& context) {
  const Transaction& tx = block.transactions.front();
  const std::string& claimant = tx.recipient;
  if (!is_state_key_safe(claimant) || claimant == kRewardPoolAddress) {
    return LedgerResult::failure(kUnsafeKeyMessage);
  }
  if (tx.amount > kMax - tx.fee) return LedgerResult::failure(kMalformed);
  const uint64_t gross = tx.amount + tx.fee;
  const FeeBreakdown fee = Tokenomics::calculate_fee_breakdown(gross);
  if (fee.total != tx.fee || fee.total >= gross) return LedgerResult::failure(kMalformed);
  const uint64_t nonce = state.get_nonce(kRewardPoolAddress);
  if (tx.nonce != nonce) return LedgerResult::failure(nonce_message(nonce, tx.nonce));
  if (nonce == kMax) return LedgerResult::failure(kNonceExhausted);

  BalanceChanges changes(state);
  top_up_pool(changes, state, gross, claimant, context);
  if (!changes.debit(kRewardPoolAddress, gross)) return LedgerResult::failure(kPoolExhaustedMessage);
  if (!changes.credit(claimant, tx.amount) ||
      !credit_fee_shares(changes, fee, kGameValidatorAddress)) {
    return LedgerResult::failure(kOverflowMessage);
  }
  changes.apply(state, undo);
  bump_nonce(state, undo, kRewardPoolAddress);
  return LedgerResult::success();
}

// The text under which a wallet reads the account: lower case, except the
// "RUZ" prefix of a native address.
bool is_canonical_account(const std::string& account) {
  if (account.empty()) return false;
  const size_t kept = account.starts_with("RUZ") ? 3 : 0;
  return std::none_of(account.begin() + static_cast<std::ptrdiff_t>(kept), account.end(),
                      [](char c) { return c >= 'A' && c <= 'Z'; });
}

}  // namespace

bool is_peer_protected_account(const std::string& account, const RuleContext& context) {
  const std::string lower = RozeveCrypto::ascii_lower(account);
  if (lower.starts_with("0x")) return true;
  if (lower == RozeveCrypto::ascii_lower(kFeeTreasuryAddress)) return true;
  return !context.genesis_treasury.empty() &&
         lower == RozeveCrypto::ascii_lower(context.genesis_treasury);
}

LedgerResult check_peer_transaction(const Transaction& tx, const RuleContext& context) {
  if (tx.type == TxType::GENESIS || tx.type == TxType::COINBASE_REWARD) {
    return LedgerResult::failure(kMintingRefused);
  }
  if (is_peer_protected_account(tx.sender, context)) {
    return LedgerResult::failure(kPeerProtectedSpendMessage);
  }
  // Only a transfer credits its recipient; a stake's or unstake's is not a key.
  if (!is_canonical_account(tx.sender) ||
      (tx.type == TxType::TRANSFER && !is_canonical_account(tx.recipient))) {
    return LedgerResult::failure(kPeerAccountCaseMessage);
  }
  // The split credits exactly the fee total, so the sender pays exactly it.
  if (tx.fee != Tokenomics::calculate_fee_breakdown(tx.amount).total) {
    return LedgerResult::failure(kPeerFeeMessage);
  }
  return LedgerResult::success();
}

LedgerResult check_peer_block(const Block& block, const RuleContext& context) {
  if (!is_canonical_account(block.validator)) return LedgerResult::failure(kPeerAccountCaseMessage);
  for (const Transaction& tx : block.transactions) {
    if (LedgerResult admitted = check_peer_transaction(tx, context); !admitted) return admitted;
  }
  return LedgerResult::success();
}

bool is_peer_admission_refusal(const std::string& error) {
  return error == kPeerProtectedSpendMessage || error == kPeerAccountCaseMessage ||
         error == kPeerFeeMessage;
}

BlockKind classify_block(const Block& block) {
  if (block.index == 0 && is_single(block, TxType::GENESIS)) return BlockKind::kGenesis;
  if (block.transactions.size() != 1) return BlockKind::kPeer;
  const Transaction& tx = block.transactions.front();
  if (tx.type == TxType::TRANSFER && tx.sender == kRewardPoolAddress &&
      block.validator == kGameValidatorAddress) {
    return BlockKind::kGameClaim;
  }
  if (tx.type == TxType::TRANSFER && tx.signature.starts_with(kWalletSignaturePrefix)) {
    return BlockKind::kWalletTransfer;
  }
  if (tx.type == TxType::STAKE && tx.fee == 0 && tx.recipient.empty()) return BlockKind::kStake;
  return BlockKind::kPeer;
}

LedgerResult apply_block_rule(BlockKind kind, const Block& block, State& state,
                              StateUndo& undo, const RuleContext& context) {
  if (block.transactions.size() > kMaxBlockTransactions) return LedgerResult::failure(kMalformed);
  if (kind != classify_block(block)) return LedgerResult::failure(kMalformed);
  LedgerResult result;
  switch (kind) {
    case BlockKind::kGenesis:
      result = genesis_rule(block, state, undo);
      break;
    case BlockKind::kWalletTransfer:
      result = wallet_rule(block, state, undo);
      break;
    case BlockKind::kStake:
      result = stake_rule(block, state, undo);
      break;
    case BlockKind::kGameClaim:
      result = claim_rule(block, state, undo, context);
      break;
    case BlockKind::kPeer:
      result = peer_rule(block, state, undo);
      break;
  }
  // Every rule changes the state only once all its checks pass; restoring
  // covers any path that failed after a change.
  if (!result) undo.restore();
  return result;
}

}  // namespace ZezozuRiziv
