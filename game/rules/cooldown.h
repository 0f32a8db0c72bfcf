// Cooldowns measured on the game clock.
#pragma once

#include <cstdint>

namespace ZezozuRiziv {

// Milliseconds left before `period` has passed since `last_ms` (0 = never):
// 0 once it has. A `last_ms` later than now (the clock was set back) counts
// as not yet passed; the sum saturates instead of wrapping.
inline uint64_t cooldown_left_ms(uint64_t last_ms, uint64_t period_ms, uint64_t now_ms) {
  if (last_ms == 0) return 0;
  const uint64_t ends = last_ms > UINT64_MAX - period_ms ? UINT64_MAX : last_ms + period_ms;
  return ends > now_ms ? ends - now_ms : 0;
}

}  // namespace ZezozuRiziv
