#include "game/rules/market_rules.h"

#include <array>
#include <cmath>

namespace ZezozuRiziv {

namespace {

constexpr std::array<std::string_view, 4> kFixedPriceSellers = {
    "0xsolarking_it_milano_cer01", "0xgreenpower_99_roma_hub02", "0xecoempire_dao_torino_03",
    "0xcer_solidale_napoli_04"};

constexpr double kFixedRuzPerLevel = 0.5;
constexpr double kFixedRuzBase = 1.0;
constexpr double kFixedWcPerLevel = 80.0;
constexpr double kFixedWcBase = 120.0;

// Powers closer than this count as equal on the leaderboard.
constexpr double kPowerToleranceKw = 0.01;

}  // namespace

const char* market_currency(std::string_view requested) {
  return requested == "RUZ" || requested == "ruz" ? kCurrencyRuz : kCurrencyWc;
}

const char* lot_currency(const ParcelRecord& lot) { return is_ruz(lot.sale_currency) ? kCurrencyRuz : kCurrencyWc; }

bool market_amount_in_range(double amount, std::string_view currency) {
  // NaN fails both comparisons, so it is out of range.
  return amount > 0.0 && amount <= (is_ruz(currency) ? kMaxMarketRuz : kMaxMarketWc);
}

std::optional<uint64_t> whole_wc(double amount) {
  if (!(amount >= 0.0)) return std::nullopt;  // NaN included
  const double rounded = std::round(amount);
  // Also refuses +infinity; below 2^53 the cast is exact.
  if (!(rounded <= kMaxMarketWc)) return std::nullopt;
  return static_cast<uint64_t>(rounded);
}

bool is_fixed_price_seller(std::string_view owner) {
  for (const std::string_view seller : kFixedPriceSellers) {
    if (owner == seller) return true;
  }
  return false;
}

double fixed_lot_price(int32_t plant_level, std::string_view currency) {
  const double level = static_cast<double>(plant_level);
  return is_ruz(currency) ? level * kFixedRuzPerLevel + kFixedRuzBase : level * kFixedWcPerLevel + kFixedWcBase;
}

bool ranks_before(const PlayerProfile& a, const PlayerProfile& b) {
  if (std::fabs(a.power_kw - b.power_kw) > kPowerToleranceKw) return a.power_kw > b.power_kw;
  return a.parcels_count > b.parcels_count;
}

void LeaderSelection::offer(const PlayerProfile& player) {
  if (limit_ == 0) return;
  if (leaders_.size() == limit_ && !ranks_before(player, *leaders_.back())) return;
  // Placed after every leader it does not rank before. Each step compares
  // two players and moves one position, so whatever the comparison answers
  // the list stays a list of distinct players within its bounds.
  size_t at = leaders_.size();
  while (at > 0 && ranks_before(player, *leaders_[at - 1])) --at;
  leaders_.insert(leaders_.begin() + static_cast<std::ptrdiff_t>(at), &player);
  if (leaders_.size() > limit_) leaders_.pop_back();
}

}  // namespace ZezozuRiziv
