// Fixed ledger accounts and thresholds shared by the ledger, the game claim
// and the server.
#pragma once

#include <cstdint>

namespace ZezozuRiziv {

// Receives the treasury share of every fee: "ruz" + 40 lower-case hex digits.
inline constexpr char kFeeTreasuryAddress[] = "ruz7a3f0c1e5b9d24681ace0bdf13579e2468ac0f1e";
inline constexpr char kIncubatorAddress[] = "0x1000000000000000000000000000000000000002";
inline constexpr char kBurnAddress[] = "0x000000000000000000000000000000000000dead";
inline constexpr char kGameValidatorAddress[] = "0x2000000000000000000000000000000000000003";
// Pays the game's claims; deliberately not a valid address.
inline constexpr char kRewardPoolAddress[] = "0xzerirorivi_reward_pool_vault";

inline constexpr uint64_t kAtomicPerCoin = 1'000'000;
// A stake counts for validation when it reaches 1,000 RUZ.
inline constexpr uint64_t kMinValidatorStake = 1'000 * kAtomicPerCoin;

}  // namespace ZezozuRiziv
