#include "chain/state.h"

#include <limits>
#include <optional>
#include <string_view>

#include "chain/accounts.h"
#include "chain/record_text.h"
#include "chain/state_undo.h"
#include "chain/tokenomics.h"

namespace ZezozuRiziv {

namespace {

constexpr uint64_t kMaxAmount = std::numeric_limits<uint64_t>::max();
// The network refuses a non-minting transaction paying less than this fee.
constexpr uint64_t kMinimumFee = 1'000;

constexpr char kIntegrityError[] = "Firma o integrita' della transazione non valida";

uint64_t lookup(const std::map<std::string, uint64_t>& map, const std::string& key) {
  auto it = map.find(key);
  return it == map.end() ? 0 : it->second;
}

// True when `a + b` fits in 64 bits.
bool fits_sum(uint64_t a, uint64_t b) { return a <= kMaxAmount - b; }

uint64_t saturating_add(uint64_t a, uint64_t b) { return fits_sum(a, b) ? a + b : kMaxAmount; }

bool is_minting(TxType type) {
  return type == TxType::COINBASE_REWARD || type == TxType::GENESIS;
}

// Adds `amount` to `map[key]` (creating the entry) unless the sum would wrap;
// on false the map is untouched.
bool checked_credit(std::map<std::string, uint64_t>& map, const std::string& key,
                    uint64_t amount) {
  if (!fits_sum(lookup(map, key), amount)) return false;
  map[key] += amount;
  return true;
}

}  // namespace

bool is_state_key_safe(std::string_view key) {
  return !key.empty() && !has_record_breaking_chars(key);
}

uint64_t State::get_balance(const std::string& address) const { return lookup(balances, address); }

uint64_t State::get_stake(const std::string& address) const { return lookup(staked, address); }

uint64_t State::get_nonce(const std::string& address) const { return lookup(nonces, address); }

uint64_t State::get_total_circulating() const {
  uint64_t total = 0;
  for (const auto& entry : balances) total = saturating_add(total, entry.second);
  return saturating_add(total, get_total_staked());
}

uint64_t State::get_total_staked() const {
  uint64_t total = 0;
  for (const auto& entry : staked) total = saturating_add(total, entry.second);
  return total;
}

bool State::validate_transaction(const Transaction& tx, std::string& error) const {
  // Sender and recipient become state keys and record text, so a character
  // that would break either is refused like a bad signature.
  if (!tx.verify() || has_record_breaking_chars(tx.sender) ||
      has_record_breaking_chars(tx.recipient)) {
    error = kIntegrityError;
    return false;
  }
  if (is_minting(tx.type)) return true;

  if (tx.fee < kMinimumFee) {
    error = "Fee inferiore alla commissione minima richiesta dalla rete";
    return false;
  }
  const uint64_t expected_nonce = get_nonce(tx.sender);
  if (tx.nonce != expected_nonce) {
    error = "Nonce non valido (atteso: " + std::to_string(expected_nonce) +
            ", fornito: " + std::to_string(tx.nonce) + ")";
    return false;
  }

  const uint64_t balance = get_balance(tx.sender);
  // A sum that wraps exceeds every balance.
  const bool covers_amount_and_fee = fits_sum(tx.amount, tx.fee) && balance >= tx.amount + tx.fee;
  switch (tx.type) {
    case TxType::TRANSFER:
      if (tx.amount == 0) {
        error = "Importo di trasferimento deve essere maggiore di zero";
        return false;
      }
      if (!covers_amount_and_fee) {
        error = "Saldo insufficiente per coprire importo e commissione";
        return false;
      }
      break;
    case TxType::STAKE:
      if (tx.amount == 0) {
        error = "Importo di staking deve essere maggiore di zero";
        return false;
      }
      if (!covers_amount_and_fee) {
        error = "Saldo insufficiente per il deposito di stake e fee";
        return false;
      }
      break;
    case TxType::UNSTAKE:
      if (tx.amount == 0) {
        error = "Importo di unstake deve essere maggiore di zero";
        return false;
      }
      if (balance < tx.fee) {
        error = "Saldo insufficiente per pagare la fee di unstake";
        return false;
      }
      if (get_stake(tx.sender) < tx.amount) {
        error = "Stake depositato insufficiente per il ritiro richiesto";
        return false;
      }
      break;
    default:
      break;
  }
  return true;
}

bool State::apply_transaction(const Transaction& tx) {
  std::string ignored;
  if (!validate_transaction(tx, ignored)) return false;

  if (is_minting(tx.type)) return checked_credit(balances, tx.recipient, tx.amount);

  // Every check comes before the first change, so a refusal leaves nothing
  // half-applied.
  const uint64_t balance = get_balance(tx.sender);
  const uint64_t nonce = get_nonce(tx.sender);
  // Validation covers the fee for the known types; a type outside the table
  // pays only the fee and must not wrap either.
  if (balance < tx.fee || nonce == kMaxAmount) return false;
  const uint64_t after_fee = balance - tx.fee;
  switch (tx.type) {
    case TxType::TRANSFER:
      // To oneself the amount leaves and comes back: only the fee is paid.
      if (tx.recipient != tx.sender && !fits_sum(get_balance(tx.recipient), tx.amount)) {
        return false;
      }
      break;
    case TxType::STAKE:
      if (!fits_sum(get_stake(tx.sender), tx.amount)) return false;
      break;
    case TxType::UNSTAKE:
      if (!fits_sum(after_fee, tx.amount)) return false;
      break;
    default:
      break;
  }

  balances[tx.sender] = after_fee;
  nonces[tx.sender] = nonce + 1;
  switch (tx.type) {
    case TxType::TRANSFER:
      balances[tx.sender] -= tx.amount;
      balances[tx.recipient] += tx.amount;
      break;
    case TxType::STAKE:
      balances[tx.sender] -= tx.amount;
      staked[tx.sender] += tx.amount;
      break;
    case TxType::UNSTAKE:
      staked[tx.sender] -= tx.amount;
      balances[tx.sender] += tx.amount;
      break;
    default:
      break;
  }
  return true;
}

bool State::apply_block(const Block& block, uint64_t reward) {
  // Only these accounts can change: the transactions' own, the fee accounts
  // and the validator.
  StateUndo undo(*this);
  undo.remember_block_accounts(block);
  auto fail = [&undo] {
    undo.restore();
    return false;
  };

  uint64_t validator_total = 0;
  for (const Transaction& tx : block.transactions) {
    if (!apply_transaction(tx)) return fail();
    if (is_minting(tx.type)) continue;

    const FeeBreakdown shares = Tokenomics::calculate_fee_breakdown(tx.amount);
    if (!checked_credit(balances, kFeeTreasuryAddress, shares.treasury) ||
        !checked_credit(balances, kIncubatorAddress, shares.incubator) ||
        !fits_sum(validator_total, shares.validator) ||
        !checked_credit(balances, kBurnAddress, shares.burn)) {
      return fail();
    }
    validator_total += shares.validator;
  }

  if (block.index == 0 || block.validator.empty()) return true;
  // The validator becomes a key of the state text like any account.
  if (!is_state_key_safe(block.validator)) return fail();
  if (!fits_sum(validator_total, reward)) return fail();
  // The entry is created even when the credit is 0.
  if (!checked_credit(balances, block.validator, validator_total + reward)) return fail();
  return true;
}

std::vector<std::pair<std::string, uint64_t>> State::get_active_validators() const {
  std::vector<std::pair<std::string, uint64_t>> validators;
  for (const auto& [address, stake] : staked) {
    if (stake >= kMinValidatorStake) validators.emplace_back(address, stake);
  }
  return validators;
}

}  // namespace ZezozuRiziv
