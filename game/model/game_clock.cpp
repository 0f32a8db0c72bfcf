#include "game/model/game_clock.h"

#include <chrono>

namespace ZezozuRiziv {

uint64_t SystemGameClock::now_ms() const {
  const auto since_epoch = std::chrono::system_clock::now().time_since_epoch();
  const auto ns = std::chrono::duration_cast<std::chrono::nanoseconds>(since_epoch).count();
  return static_cast<uint64_t>(ns) / 1'000'000;
}

std::shared_ptr<const GameClock> system_game_clock() {
  static const std::shared_ptr<const GameClock> clock = std::make_shared<SystemGameClock>();
  return clock;
}

}  // namespace ZezozuRiziv
