// The game's one source of time. Every engine reads the time only through
// its clock, so a test can move time forward without sleeping.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>

namespace ZezozuRiziv {

// Time in whole Unix milliseconds. Implementations are safe to read from
// any thread.
class GameClock {
 public:
  virtual ~GameClock() = default;
  virtual uint64_t now_ms() const = 0;
};

// The system clock: nanoseconds since the epoch divided by 1,000,000.
class SystemGameClock final : public GameClock {
 public:
  uint64_t now_ms() const override;
};

// A clock that stands still until it is set or advanced; for tests and
// benchmarks. Setting it while engines read it is safe.
class ManualGameClock final : public GameClock {
 public:
  explicit ManualGameClock(uint64_t start_ms) : ms_(start_ms) {}
  uint64_t now_ms() const override { return ms_.load(std::memory_order_relaxed); }
  void set_ms(uint64_t ms) { ms_.store(ms, std::memory_order_relaxed); }
  void advance_ms(uint64_t delta_ms) { ms_.fetch_add(delta_ms, std::memory_order_relaxed); }

 private:
  std::atomic<uint64_t> ms_;
};

// The process-wide system clock, the default of every engine.
std::shared_ptr<const GameClock> system_game_clock();

}  // namespace ZezozuRiziv
