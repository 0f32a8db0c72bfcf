// The arithmetic of the parcel market: currencies, the range of amounts it
// accepts, the conversion of an amount into whole Zava Vovaz, the fixed
// prices of the seeded sellers, and the order of the leaderboard. Pure
// functions over records; the engine calls them under its lock.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "game/model/game_records.h"

namespace ZezozuRiziv {

inline constexpr char kCurrencyWc[] = "WC";
inline constexpr char kCurrencyRuz[] = "RUZ";

// 1 game RUZ = 100 WC = 100 kWh, to compare bids and to buy a RUZ shortfall.
inline constexpr double kWcPerRuz = 100.0;
inline constexpr double kKwhPerRuz = 100.0;

// The largest amount of Zava Vovaz the market moves: 2^53, the largest whole
// number a double holds exactly, so that an escrow held on a lot (a double)
// always converts back into the exact count of coins it was taken from.
inline constexpr double kMaxMarketWc = 9'007'199'254'740'992.0;
// The largest amount of game RUZ: worth kMaxMarketWc when compared in WC.
inline constexpr double kMaxMarketRuz = kMaxMarketWc / kWcPerRuz;

// The currency a caller names: "RUZ" or "ruz" is game RUZ, anything else
// (the empty text included) Zava Vovaz.
const char* market_currency(std::string_view requested);
// The currency of a lot's listing and escrow: "RUZ" when it says exactly
// that, else "WC" (an empty one included), as refunds read it.
const char* lot_currency(const ParcelRecord& lot);
inline bool is_ruz(std::string_view currency) { return currency == kCurrencyRuz; }

// True for an amount the market can hold in `currency`: a finite number
// above 0 and at most the currency's maximum.
bool market_amount_in_range(double amount, std::string_view currency);
// `amount` in Zava Vovaz terms (RUZ counts x100).
inline double wc_worth(double amount, std::string_view currency) {
  return is_ruz(currency) ? amount * kWcPerRuz : amount;
}

// `amount` rounded to whole Zava Vovaz (halves away from zero); nullopt for
// an amount that is not finite, is negative, or rounds above kMaxMarketWc.
std::optional<uint64_t> whole_wc(double amount);

// True for the seeded sellers whose lots have a fixed price.
bool is_fixed_price_seller(std::string_view owner);
// The fixed price of a seeded seller's lot with a plant of `plant_level`:
// level x 0.5 + 1 RUZ, or level x 80 + 120 WC.
double fixed_lot_price(int32_t plant_level, std::string_view currency);

// The leaderboard's comparison: `a` ranks before `b` when its power is
// more than 0.01 kW above; within 0.01 kW, when it owns more parcels. Not a
// strict weak order (the tolerance is not transitive).
bool ranks_before(const PlayerProfile& a, const PlayerProfile& b);

// At most `limit` players, best first by ranks_before, each at most once
// whatever the comparison answers. Where ranks_before orders `players`
// consistently, the result is the first `limit` of a sorted order.
// Feed every player with offer(), then read leaders().
class LeaderSelection {
 public:
  explicit LeaderSelection(size_t limit) : limit_(limit) { leaders_.reserve(limit + 1); }
  void offer(const PlayerProfile& player);
  const std::vector<const PlayerProfile*>& leaders() const { return leaders_; }

 private:
  size_t limit_;
  std::vector<const PlayerProfile*> leaders_;
};

}  // namespace ZezozuRiziv
