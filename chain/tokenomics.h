// Amounts in atomic units (1 RUZ = 1,000,000), the block reward and the fee split.
#pragma once

#include <cstdint>
#include <string>

namespace ZezozuRiziv {

struct FeeBreakdown {
  uint64_t total = 0;      // 2% of the amount, at least 1,000 units
  uint64_t treasury = 0;   // 0.8%
  uint64_t incubator = 0;  // 0.6%
  uint64_t validator = 0;  // 0.4%
  uint64_t burn = 0;       // what is left of total
};

class Tokenomics {
 public:
  // 2 RUZ, halving every 2,100,000 heights; 0 at height 0 and from 134,400,000.
  static uint64_t get_block_reward(uint64_t height);
  // Shares of the transferred amount (not of a fee field), each rounded
  // down on its own; exact for every 64-bit amount.
  static FeeBreakdown calculate_fee_breakdown(uint64_t amount);
  // "<whole>.<6 digits> RUZ".
  static std::string format_amount(uint64_t amount);
  // "12", "1.5", ".25" (extra decimals cut, not rounded); 0 for a text that
  // does not begin with a digit or whose value does not fit in 64 bits.
  static uint64_t parse_amount(const std::string& text);
};

}  // namespace ZezozuRiziv
