// The account book: balances, stakes and next nonces, with the validation
// and application rules and the state text stored as "state.json".
//
// Holds no lock: callers hold the chain lock (shared to read, exclusive to
// change). Keys are kept exactly as passed (case-sensitive).
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <utility>
#include <vector>

#include "chain/block.h"
#include "chain/transaction.h"

namespace ZezozuRiziv {

class State {
 public:
  std::map<std::string, uint64_t> balances;  // spendable, atomic units
  std::map<std::string, uint64_t> staked;    // atomic units
  std::map<std::string, uint64_t> nonces;    // next nonce expected

  State() = default;

  // Getters never create an entry; an absent key reads as 0.
  uint64_t get_balance(const std::string& address) const;
  uint64_t get_stake(const std::string& address) const;
  uint64_t get_nonce(const std::string& address) const;
  // Saturates at the 64-bit maximum rather than wrapping.
  uint64_t get_total_circulating() const;
  uint64_t get_total_staked() const;

  // On false, `error` holds the Italian reason; on true it is left alone.
  bool validate_transaction(const Transaction& tx, std::string& error) const;
  // Validates, then applies; false (nothing changed) when validation fails
  // or a credit would overflow.
  bool apply_transaction(const Transaction& tx);
  // All or nothing: applies every transaction with its fee split, then
  // credits the validator the validator shares plus `reward` (not at index 0
  // or with an empty validator). On false the state is exactly as before.
  bool apply_block(const Block& block, uint64_t reward);

  // (address, stake) of every stake of at least 1,000 RUZ, in address order.
  std::vector<std::pair<std::string, uint64_t>> get_active_validators() const;

  // {"balances":{"a":N,…},"staked":{…},"nonces":{…}} on one line.
  std::string serialize() const;
  // Keeps the pairs that read; never fails.
  static State deserialize(const std::string& text);
};

}  // namespace ZezozuRiziv
