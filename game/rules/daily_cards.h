// The table of daily bonus cards and how a draw picks one. Built once, read
// by any thread.
#pragma once

#include <cstdint>

namespace ZezozuRiziv {

struct DailyCardDef {
  const char* id;
  const char* name;
  const char* desc;
  const char* type;  // the effect production applies (production.h)
  double value;      // as a fraction: 0.30 is +30%
  const char* icon;  // UTF-8
};

inline constexpr uint64_t kDailyCardCount = 7;
extern const DailyCardDef kDailyCards[kDailyCardCount];

// A card lasts as long as the wait before the next draw: 24 hours.
inline constexpr uint64_t kDailyCardPeriodMs = 86'400'000;
// A draw's random number is below this, the range of the C library's rand().
inline constexpr uint64_t kCardDrawBound = uint64_t{1} << 31;

// The row a draw gives: (coins + now in seconds + draw) mod 7, in unsigned
// 64-bit arithmetic (wrapping as the C library's unsigned sum does).
inline uint64_t daily_card_index(uint64_t coins, uint64_t now_ms, uint64_t draw) {
  return (coins + now_ms / 1000 + draw) % kDailyCardCount;
}

}  // namespace ZezozuRiziv
