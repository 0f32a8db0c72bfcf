// Production arithmetic: a player's power from its lots, the kWh accrued
// since the last sync, the global boosts and the history buckets. Pure
// functions over records; the engine calls them under its lock.
#pragma once

#include <cstdint>
#include <string>

#include "game/model/game_records.h"
#include "game/rules/solar_model.h"

namespace ZezozuRiziv {

inline constexpr uint64_t kDayMs = 86'400'000;
inline constexpr uint64_t kWeekMs = 604'800'000;
// Unix time 0 fell on a Thursday: shifting by three days makes every week
// turn at Monday 00:00 UTC.
inline constexpr uint64_t kWeekShiftMs = 259'200'000;
// Game months are blocks of 30 days from the epoch, not calendar months.
inline constexpr uint64_t kMonthMs = 2'592'000'000;

// At most one day of production is credited, however long a player was
// away: the most recent day before the sync.
inline constexpr uint64_t kMaxAccrualMs = 86'400'000;
// The storage multiplier never exceeds this (base 1 included).
inline constexpr double kMaxStorageBoost = 3.5;
inline constexpr uint64_t kSuperBoostMultiplier = 100;
inline constexpr double kAdBoostMultiplier = 10.0;

// Where a player with no lot and no position fix stands.
inline constexpr double kDefaultReferenceLat = 38.1402;
inline constexpr double kDefaultReferenceLon = 13.3574;

inline uint64_t day_number(uint64_t now_ms) { return now_ms / kDayMs; }
inline uint64_t week_number(uint64_t now_ms) { return (now_ms + kWeekShiftMs) / kWeekMs; }
inline uint64_t month_number(uint64_t now_ms) { return now_ms / kMonthMs; }

// The lot's output as the map shows it: halved under a billboard, then
// solar x sun factor, wind x wind factor, storage 0 by day and x0.4 by
// night, other types unchanged. No cards or boosts.
double lot_effective_power(const ParcelRecord& parcel, const SolarEnvironment& env);

// A daily card acts while now < card_until_ms and its type is set.
bool card_active(const PlayerProfile& player, uint64_t now_ms);

// Adds up a player's lots into power, storage multiplier and lot count.
class PowerTally {
 public:
  PowerTally(const PlayerProfile& player, const SolarEnvironment& env, uint64_t now_ms);
  void add(const ParcelRecord& parcel);
  double power_kw() const { return total_; }
  double storage_boost() const { return multiplier_ > kMaxStorageBoost ? kMaxStorageBoost : multiplier_; }
  uint64_t parcels_count() const { return count_; }

 private:
  const SolarEnvironment& env_;
  bool card_on_;
  const std::string& card_type_;
  double card_value_;
  double total_ = 0.0;
  double multiplier_ = 1.0;
  uint64_t count_ = 0;
};

// The network-wide boost now: the x100 boost, raised by every running
// scheduled boost (in list order, the last one naming the reason).
struct GlobalBoostState {
  bool active = false;
  uint64_t multiplier = 1;
  uint64_t remaining_sec = 0;
  std::string reason;
};
GlobalBoostState global_boost_state(const AdminConfig& admin, uint64_t now_ms);

// kWh produced since player.last_sync_ms (at most the last kMaxAccrualMs
// before now_ms) at the stored power: each stretch between two boost
// boundaries (a scheduled boost's start or end, the x100 boost's end) at the
// global multiplier in force during it, the ad, storage and card
// multipliers as they stand now. The x100 boost counts as running at every
// instant before its end, and a cancelled boost at none: the engine brings
// every player up to date before it triggers or cancels a boost, so no
// player's interval reaches back past such a change.
// 0 when nothing accrues (never synced, clock behind, no power).
double accrual_increment(const PlayerProfile& player, const AdminConfig& admin, uint64_t now_ms);

// Books `kwh` into the day, week and month buckets (rolling them over when
// the period changed), the all-time total and the fixed source split. A
// week change also clears the weekly quiz score. Nothing for kwh <= 0.
void book_production(PlayerProfile& player, double kwh, uint64_t now_ms);

}  // namespace ZezozuRiziv
