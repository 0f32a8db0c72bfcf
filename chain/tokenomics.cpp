#include "chain/tokenomics.h"

#include <charconv>

#include "chain/record_text.h"

namespace ZezozuRiziv {

namespace {

// Atomic units per RUZ, and the digits of the fraction they make.
constexpr uint64_t kUnitsPerCoin = 1'000'000;
constexpr size_t kFractionDigits = 6;

// Reward of the first era, halved every era.
constexpr uint64_t kInitialReward = 2'000'000;
constexpr uint64_t kHalvingInterval = 2'100'000;
// From this height the shift would reach 64 bits: the reward stops.
constexpr uint64_t kRewardEndHeight = 134'400'000;

// Fee rates in basis points of the transferred amount.
constexpr uint64_t kBasisPoints = 10'000;
constexpr uint64_t kTotalRate = 200;
constexpr uint64_t kTreasuryRate = 80;
constexpr uint64_t kIncubatorRate = 60;
constexpr uint64_t kValidatorRate = 40;
// Smallest fee total; it applies while amount x 200 stays at or below this.
constexpr uint64_t kMinFeeTotal = 1'000;
constexpr uint64_t kMinFeeProductLimit = 9'999'999;

// amount x rate / 10,000 in 128 bits: exact for every 64-bit amount, and
// the quotient (at most 2% of the amount) always fits back in 64 bits.
uint64_t share_of(uint64_t amount, uint64_t rate) {
  const unsigned __int128 product = static_cast<unsigned __int128>(amount) * rate;
  return static_cast<uint64_t>(product / kBasisPoints);
}

bool is_digit(char c) { return c >= '0' && c <= '9'; }

// whole x 1,000,000 + fraction, or nullopt when it does not fit in 64 bits.
std::optional<uint64_t> to_units(uint64_t whole, uint64_t fraction) {
  if (whole > (UINT64_MAX - fraction) / kUnitsPerCoin) return std::nullopt;
  return whole * kUnitsPerCoin + fraction;
}

}  // namespace

uint64_t Tokenomics::get_block_reward(uint64_t height) {
  if (height == 0 || height >= kRewardEndHeight) return 0;
  return kInitialReward >> (height / kHalvingInterval);
}

FeeBreakdown Tokenomics::calculate_fee_breakdown(uint64_t amount) {
  FeeBreakdown fees;
  const unsigned __int128 total_product = static_cast<unsigned __int128>(amount) * kTotalRate;
  fees.total = total_product > kMinFeeProductLimit ? share_of(amount, kTotalRate) : kMinFeeTotal;
  fees.treasury = share_of(amount, kTreasuryRate);
  fees.incubator = share_of(amount, kIncubatorRate);
  fees.validator = share_of(amount, kValidatorRate);
  const uint64_t shares = fees.treasury + fees.incubator + fees.validator;
  fees.burn = shares < fees.total ? fees.total - shares : 0;
  return fees;
}

std::string Tokenomics::format_amount(uint64_t amount) {
  // 20 digits, '.', 6 digits, " RUZ".
  char buffer[32];
  char* end = std::to_chars(buffer, buffer + sizeof(buffer), amount / kUnitsPerCoin).ptr;
  *end++ = '.';
  uint64_t fraction = amount % kUnitsPerCoin;
  for (size_t i = kFractionDigits; i > 0; --i) {
    end[i - 1] = static_cast<char>('0' + fraction % 10);
    fraction /= 10;
  }
  end += kFractionDigits;
  std::string text(buffer, end);
  text += " RUZ";
  return text;
}

uint64_t Tokenomics::parse_amount(const std::string& text) {
  const size_t dot = text.find('.');
  if (dot == std::string::npos) {
    const auto whole = read_decimal_u64(text);
    if (!whole) return 0;
    return to_units(*whole, 0).value_or(0);
  }

  const std::string_view integer_text = std::string_view(text).substr(0, dot);
  uint64_t whole = 0;
  if (!integer_text.empty()) {
    const auto value = read_decimal_u64(integer_text);
    if (!value) return 0;
    whole = *value;
  }

  // Only the digits at the start of the fraction count ("1.5 RUZ" is 1.5);
  // they are padded or cut to six places, never rounded. A fraction that
  // starts with something else is not a number.
  const std::string_view fraction_text = std::string_view(text).substr(dot + 1);
  if (!fraction_text.empty() && !is_digit(fraction_text.front())) return 0;
  uint64_t fraction = 0;
  size_t taken = 0;
  for (; taken < kFractionDigits && taken < fraction_text.size() && is_digit(fraction_text[taken]);
       ++taken) {
    fraction = fraction * 10 + static_cast<uint64_t>(fraction_text[taken] - '0');
  }
  for (; taken < kFractionDigits; ++taken) fraction *= 10;

  return to_units(whole, fraction).value_or(0);
}

}  // namespace ZezozuRiziv
