// The account book: balances, stakes and next nonces, with the validation
// and application rules and the state text stored as "state.json".
//
// Holds no lock: callers hold the chain lock (shared to read, exclusive to
// change). Keys are kept exactly as passed (case-sensitive).
#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "chain/block.h"
#include "chain/transaction.h"

namespace ZezozuRiziv {

// A text the state text can carry as a key: not empty, and no '"', '{',
// '}', ',', ':' or control byte. Every credit that could create a key
// checks it first.
[[nodiscard]] bool is_state_key_safe(std::string_view key);

// Where a saved state stands in the logs: the last block it includes (its
// index and hash) and how many lines of the credits log it includes.
struct StateTip {
  uint64_t index = 0;
  std::string hash;
  uint64_t credits = 0;  // 0 in a file from before the credits log
  bool operator==(const StateTip&) const = default;
};

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
  [[nodiscard]] bool validate_transaction(const Transaction& tx, std::string& error) const;
  // Validates, then applies; false (nothing changed) when validation fails
  // or a credit would overflow.
  [[nodiscard]] bool apply_transaction(const Transaction& tx);
  // All or nothing: applies every transaction with its fee split, then
  // credits the validator the validator shares plus `reward` (not at index 0
  // or with an empty validator, which must then be a safe key). On false
  // the state is exactly as before.
  [[nodiscard]] bool apply_block(const Block& block, uint64_t reward);

  // (address, stake) of every stake of at least 1,000 RUZ, in address order.
  std::vector<std::pair<std::string, uint64_t>> get_active_validators() const;

  // {"balances":{"a":N,…},"staked":{…},"nonces":{…}} on one line.
  std::string serialize() const;
  // The same text with two more members naming its place in the logs:
  // …,"nonces":{…},"last_block":{"index":N,"hash":"H"},"last_credit":C}.
  // Readers that look for the three sections by name read it unchanged.
  std::string serialize_with_tip(const std::optional<StateTip>& tip) const;
  // Keeps the pairs that read; never fails.
  static State deserialize(const std::string& text);
  // The reader of a saved state: nullopt unless the whole text is one state
  // text as serialize_with_tip writes it (trailing blanks allowed), so that
  // a truncated or damaged file is never taken for a smaller ledger. `tip`
  // is set when the text names its last block, else reset.
  [[nodiscard]] static std::optional<State> parse_saved(std::string_view text,
                                                        std::optional<StateTip>& tip);
};

}  // namespace ZezozuRiziv
