// Number forms and small ledger reads shared by the route groups.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "chain/accounts.h"
#include "chain/block.h"
#include "crypto/crypto_keys.h"
#include "crypto/json_writer.h"
#include "crypto/text.h"
#include "server/account_keys.h"
#include "server/router.h"
#include "storage/storage.h"

namespace ZezozuRiziv::routes {

// The supply the node reports, in whole coins.
inline constexpr uint64_t kTotalSupplyCoins = kGenesisSupply / kAtomicPerCoin;

// Coins as an integer: the atomic amount divided by 1,000,000, truncated.
inline uint64_t coins_int(uint64_t atomic) { return atomic / kAtomicPerCoin; }
// Coins as a double, for JsonWriter::number or JsonWriter::fixed.
inline double coins_double(uint64_t atomic) {
  return static_cast<double>(atomic) / static_cast<double>(kAtomicPerCoin);
}

// The state key a route reads for an address (server/account_keys.h).
using ZezozuRiziv::account_key;

inline bool is_validator_stake(uint64_t staked) { return staked >= kMinValidatorStake; }

// The index of the newest cached block, 0 for an empty chain.
// REQUIRES: chain lock held (shared or exclusive).
inline uint64_t last_block_index(const Storage& storage) {
  const auto& chain = storage.get_blocks_cached();
  return chain.empty() ? 0 : chain.back().index;
}

// {"status":"error","message":"<message>"}
inline std::string error_json(std::string_view message) {
  JsonWriter json;
  json.begin_object().field("status", "error").field("message", message).end_object();
  return json.take();
}

}  // namespace ZezozuRiziv::routes
