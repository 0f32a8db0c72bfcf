// The stake-weighted proposer lottery.
#pragma once

#include <cstdint>
#include <string>

#include "chain/block.h"
#include "chain/state.h"

namespace ZezozuRiziv {

class IConsensusEngine {
 public:
  virtual ~IConsensusEngine() = default;
  virtual bool validate_block_proposer(const Block& block, const State& state,
                                       uint64_t slot) const = 0;
  virtual bool is_proposer_eligible(const std::string& address, const State& state,
                                    const std::string& prev_hash, uint64_t slot) const = 0;
};

class ProofOfStakeEngine : public IConsensusEngine {
 public:
  ProofOfStakeEngine() = default;

  // double_hash_string(prev_hash + ":" + address + ":" + slot).
  static std::string calculate_slot_hash(const std::string& prev_hash,
                                         const std::string& address, uint64_t slot);

  // A validator's chance is its stake over all stakes; the sole active
  // validator is always eligible.
  bool is_proposer_eligible(const std::string& address, const State& state,
                            const std::string& prev_hash, uint64_t slot) const override;
  // Genesis always passes; otherwise the block's validator must be eligible.
  bool validate_block_proposer(const Block& block, const State& state,
                               uint64_t slot) const override;
};

}  // namespace ZezozuRiziv
