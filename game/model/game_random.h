// The game's random draws: the suffixes of new community, question and
// notice-board message ids, and the quiz question offered to a player.
// Every engine draws only through its source, so a test can make the draws
// known.
#pragma once

#include <cstdint>
#include <memory>
#include <mutex>
#include <random>
#include <vector>

namespace ZezozuRiziv {

// Implementations are safe to call from any thread.
class GameRandom {
 public:
  virtual ~GameRandom() = default;
  // A number in [0, bound). REQUIRES: bound > 0.
  virtual uint64_t below(uint64_t bound) const = 0;
};

// A 64-bit Mersenne Twister seeded once from the system's random device.
class SystemGameRandom final : public GameRandom {
 public:
  SystemGameRandom();
  uint64_t below(uint64_t bound) const override;

 private:
  mutable std::mutex mutex_;
  mutable std::mt19937_64 engine_;
};

// Gives the listed values in turn (each reduced modulo the bound), starting
// over after the last; for tests.
class ScriptedGameRandom final : public GameRandom {
 public:
  explicit ScriptedGameRandom(std::vector<uint64_t> values) : values_(std::move(values)) {}
  uint64_t below(uint64_t bound) const override;
  // How many draws were made so far.
  uint64_t draws() const;

 private:
  mutable std::mutex mutex_;
  std::vector<uint64_t> values_;
  mutable uint64_t next_ = 0;
};

// The process-wide system source, the default of every engine.
std::shared_ptr<const GameRandom> system_game_random();

}  // namespace ZezozuRiziv
