#include "chain/consensus.h"

#include "chain/accounts.h"
#include "crypto/sha256.h"

namespace ZezozuRiziv {

namespace {

// The lottery draws from this many leading hex digits of the slot hash.
constexpr size_t kDrawHexDigits = 16;

uint64_t hex_digit_value(char c) {
  if (c >= '0' && c <= '9') return static_cast<uint64_t>(c - '0');
  if (c >= 'a' && c <= 'f') return static_cast<uint64_t>(c - 'a' + 10);
  if (c >= 'A' && c <= 'F') return static_cast<uint64_t>(c - 'A' + 10);
  return 0;
}

// The leading digits of the hash as a big-endian 64-bit number.
uint64_t draw_value(const std::string& slot_hash) {
  uint64_t value = 0;
  for (size_t i = 0; i < kDrawHexDigits && i < slot_hash.size(); ++i) {
    value = (value << 4) | hex_digit_value(slot_hash[i]);
  }
  return value;
}

}  // namespace

std::string ProofOfStakeEngine::calculate_slot_hash(const std::string& prev_hash,
                                                    const std::string& address, uint64_t slot) {
  return RozeveCrypto::SHA256::double_hash_string(prev_hash + ":" + address + ":" +
                                                  std::to_string(slot));
}

bool ProofOfStakeEngine::is_proposer_eligible(const std::string& address, const State& state,
                                              const std::string& prev_hash,
                                              uint64_t slot) const {
  const uint64_t stake = state.get_stake(address);
  if (stake < kMinValidatorStake) return false;
  // Small stakes count in the total, so they dilute everyone's chance.
  const uint64_t total = state.get_total_staked();
  if (total == 0) return false;
  const auto validators = state.get_active_validators();
  if (validators.empty()) return false;
  if (validators.size() == 1 && validators.front().first == address) return true;
  return draw_value(calculate_slot_hash(prev_hash, address, slot)) % total < stake;
}

bool ProofOfStakeEngine::validate_block_proposer(const Block& block, const State& state,
                                                 uint64_t slot) const {
  if (block.index == 0) return true;
  if (state.get_stake(block.validator) < kMinValidatorStake) return false;
  return is_proposer_eligible(block.validator, state, block.prev_hash, slot);
}

}  // namespace ZezozuRiziv
