#include "game/model/game_random.h"

namespace ZezozuRiziv {

SystemGameRandom::SystemGameRandom() {
  std::random_device device;
  std::seed_seq seed{device(), device(), device(), device()};
  engine_.seed(seed);
}

uint64_t SystemGameRandom::below(uint64_t bound) const {
  std::uniform_int_distribution<uint64_t> pick(0, bound - 1);
  std::lock_guard<std::mutex> lock(mutex_);
  return pick(engine_);
}

uint64_t ScriptedGameRandom::below(uint64_t bound) const {
  std::lock_guard<std::mutex> lock(mutex_);
  const uint64_t value = values_.empty() ? 0 : values_[next_ % values_.size()];
  ++next_;
  return value % bound;
}

uint64_t ScriptedGameRandom::draws() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return next_;
}

std::shared_ptr<const GameRandom> system_game_random() {
  static const std::shared_ptr<const GameRandom> random = std::make_shared<SystemGameRandom>();
  return random;
}

}  // namespace ZezozuRiziv
