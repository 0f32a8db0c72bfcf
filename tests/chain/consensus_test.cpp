#include "chain/consensus.h"

#include <gtest/gtest.h>

#include <string>

#include "chain/block.h"
#include "chain/state.h"

namespace ZezozuRiziv {
namespace {

constexpr uint64_t kThousandCoins = 1'000'000'000;
const std::string kZeroHash(64, '0');

// The lottery's draw, taken straight from the hash text.
uint64_t prefix_value(const std::string& slot_hash) {
  return std::stoull(slot_hash.substr(0, 16), nullptr, 16);
}

TEST(SlotHash, KnownAnswer) {
  // SHA-256 of the SHA-256 digest of "abc:RUZx:42", computed independently.
  EXPECT_EQ(ProofOfStakeEngine::calculate_slot_hash("abc", "RUZx", 42),
            "dfd8a4f2a94ecbf5c58afae3b2aa697c76412ec3fef317a2b6d0f9e5ef9303a9");
}

TEST(ProposerLottery, StakeThreshold) {
  ProofOfStakeEngine engine;
  State state;
  state.staked["RUZa"] = kThousandCoins;
  state.staked["RUZb"] = kThousandCoins - 1;
  for (uint64_t slot = 0; slot < 20; ++slot) {
    EXPECT_TRUE(engine.is_proposer_eligible("RUZa", state, kZeroHash, slot));
    EXPECT_FALSE(engine.is_proposer_eligible("RUZb", state, kZeroHash, slot));
  }
  // Below the threshold alone: no active validator at all.
  State small;
  small.staked["RUZb"] = kThousandCoins - 1;
  EXPECT_FALSE(engine.is_proposer_eligible("RUZb", small, kZeroHash, 0));
  EXPECT_FALSE(engine.is_proposer_eligible("RUZnobody", State(), kZeroHash, 0));
}

TEST(ProposerLottery, SoleValidatorAlwaysEligible) {
  ProofOfStakeEngine engine;
  State state;
  state.staked["RUZa"] = kThousandCoins;
  state.staked["RUZsmall"] = 900'000'000;  // counts in the total, cannot win
  for (uint64_t slot = 0; slot < 50; ++slot) {
    const std::string prev = ProofOfStakeEngine::calculate_slot_hash("p", "q", slot);
    EXPECT_TRUE(engine.is_proposer_eligible("RUZa", state, prev, slot));
    EXPECT_FALSE(engine.is_proposer_eligible("RUZsmall", state, prev, slot));
  }
}

TEST(ProposerLottery, TwoEqualValidatorsKnownDraws) {
  ProofOfStakeEngine engine;
  State state;
  state.staked["RUZalice"] = kThousandCoins;
  state.staked["RUZbob"] = kThousandCoins;
  // Slots 0..7 after the all-zero hash, worked out independently.
  const bool alice[] = {true, true, true, false, true, true, false, false};
  const bool bob[] = {true, true, false, false, false, false, true, false};
  for (uint64_t slot = 0; slot < 8; ++slot) {
    EXPECT_EQ(engine.is_proposer_eligible("RUZalice", state, kZeroHash, slot), alice[slot])
        << slot;
    EXPECT_EQ(engine.is_proposer_eligible("RUZbob", state, kZeroHash, slot), bob[slot]) << slot;
  }
}

TEST(ProposerLottery, TwoEqualValidatorsFollowHashPrefix) {
  ProofOfStakeEngine engine;
  State state;
  state.staked["RUZalice"] = kThousandCoins;
  state.staked["RUZbob"] = kThousandCoins;
  int wins = 0;
  for (uint64_t slot = 0; slot < 200; ++slot) {
    const std::string prev = ProofOfStakeEngine::calculate_slot_hash("chain", "tip", slot);
    for (const std::string address : {"RUZalice", "RUZbob"}) {
      const uint64_t v =
          prefix_value(ProofOfStakeEngine::calculate_slot_hash(prev, address, slot));
      const bool expected = v % 2'000'000'000 < kThousandCoins;
      EXPECT_EQ(engine.is_proposer_eligible(address, state, prev, slot), expected) << slot;
      wins += expected;
    }
  }
  // Roughly half of the 400 draws win.
  EXPECT_GT(wins, 120);
  EXPECT_LT(wins, 280);
}

TEST(ProposerLottery, SmallStakesDiluteTheTotal) {
  ProofOfStakeEngine engine;
  State state;
  state.staked["RUZa"] = 3 * kThousandCoins;
  state.staked["RUZb"] = kThousandCoins;
  state.staked["RUZc"] = 500'000'000;
  const uint64_t total = 4 * kThousandCoins + 500'000'000;
  for (uint64_t slot = 0; slot < 100; ++slot) {
    const uint64_t v = prefix_value(ProofOfStakeEngine::calculate_slot_hash(kZeroHash, "RUZa", slot));
    EXPECT_EQ(engine.is_proposer_eligible("RUZa", state, kZeroHash, slot),
              v % total < 3 * kThousandCoins)
        << slot;
  }
}

Block block_by(uint64_t index, const std::string& validator, const std::string& prev) {
  return Block(index, prev, validator, {}, 1'700'000'100);
}

TEST(BlockProposer, GenesisAlwaysPasses) {
  ProofOfStakeEngine engine;
  EXPECT_TRUE(engine.validate_block_proposer(Block::create_genesis_block("RUZt"), State(), 0));
  EXPECT_TRUE(engine.validate_block_proposer(block_by(0, "nobody", kZeroHash), State(), 3));
}

TEST(BlockProposer, NeedsStakeAndEligibility) {
  ProofOfStakeEngine engine;
  State state;
  state.staked["RUZsmall"] = kThousandCoins - 1;
  state.staked["RUZalice"] = kThousandCoins;
  EXPECT_FALSE(engine.validate_block_proposer(block_by(1, "RUZsmall", kZeroHash), state, 0));
  EXPECT_TRUE(engine.validate_block_proposer(block_by(1, "RUZalice", kZeroHash), state, 0));

  state.staked["RUZbob"] = kThousandCoins;
  for (uint64_t slot = 0; slot < 30; ++slot) {
    const std::string prev = ProofOfStakeEngine::calculate_slot_hash("x", "y", slot);
    EXPECT_EQ(engine.validate_block_proposer(block_by(5, "RUZbob", prev), state, slot),
              engine.is_proposer_eligible("RUZbob", state, prev, slot))
        << slot;
  }
}

// The proposer check goes through the virtual eligibility rule.
class NeverEligible : public ProofOfStakeEngine {
 public:
  bool is_proposer_eligible(const std::string&, const State&, const std::string&,
                            uint64_t) const override {
    return false;
  }
};

TEST(BlockProposer, UsesOverriddenEligibility) {
  NeverEligible engine;
  State state;
  state.staked["RUZalice"] = kThousandCoins;
  const IConsensusEngine& base = engine;
  EXPECT_FALSE(base.validate_block_proposer(block_by(1, "RUZalice", kZeroHash), state, 0));
  EXPECT_TRUE(base.validate_block_proposer(block_by(0, "RUZalice", kZeroHash), state, 0));
}

}  // namespace
}  // namespace ZezozuRiziv
