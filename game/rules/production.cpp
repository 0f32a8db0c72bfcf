#include "game/rules/production.h"

#include <algorithm>
#include <vector>

namespace ZezozuRiziv {

namespace {

constexpr double kBillboardFactor = 0.5;
constexpr double kStorageNightFactor = 0.4;
constexpr double kSaharaSolarFactor = 0.9;
constexpr double kSaharaWindFactor = 1.2;

// Source split of every increment, whatever plants the player has.
constexpr double kSolarShare = 0.40;
constexpr double kWindShare = 0.35;
constexpr double kStorageShare = 0.15;
constexpr double kHydrogenShare = 0.10;

// Moves the current bucket into the previous one when the period advanced
// by exactly one, else clears it; returns whether the period changed.
bool roll_period(uint64_t& index, uint64_t period, double& current, double& previous) {
  const bool changed = index != 0 && index != period;
  if (changed) {
    previous = period - index == 1 ? current : 0.0;
    current = 0.0;
  }
  index = period;
  return changed;
}

}  // namespace

double lot_effective_power(const ParcelRecord& parcel, const SolarEnvironment& env) {
  double p = parcel.power_kw;
  if (parcel.billboard_active) p *= kBillboardFactor;
  if (parcel.plant_type == "solar") {
    p *= env.solar_factor;
  } else if (parcel.plant_type == "wind") {
    p *= env.wind_factor;
  } else if (parcel.plant_type == "storage") {
    p = env.is_day ? 0.0 : p * kStorageNightFactor;
  }
  return p;
}

bool card_active(const PlayerProfile& player, uint64_t now_ms) {
  return now_ms < player.card_until_ms && !player.card_type.empty();
}

PowerTally::PowerTally(const PlayerProfile& player, const SolarEnvironment& env, uint64_t now_ms)
    : env_(env),
      card_on_(card_active(player, now_ms)),
      card_type_(player.card_type),
      card_value_(player.card_value) {}

void PowerTally::add(const ParcelRecord& parcel) {
  ++count_;
  if (parcel.plant_type == "storage" && parcel.storage_boost > 0.0) multiplier_ += parcel.storage_boost;
  double p = lot_effective_power(parcel, env_);
  if (card_on_) {
    const std::string_view type = parcel.plant_type;
    if ((card_type_ == "solar_boost" && type == "solar") || (card_type_ == "wind_boost" && type == "wind") ||
        (card_type_ == "storage_boost" && type == "storage") ||
        (card_type_ == "h2_boost" && type == "hydrogen")) {
      p *= 1.0 + card_value_;
    } else if (card_type_ == "sahara_dust") {
      if (type == "solar") p *= kSaharaSolarFactor;
      if (type == "wind") p *= kSaharaWindFactor;
    }
  }
  total_ += p;
}

GlobalBoostState global_boost_state(const AdminConfig& admin, uint64_t now_ms) {
  GlobalBoostState state;
  state.reason = admin.super_boost_reason;
  if (now_ms < admin.super_boost_until_ms) {
    state.active = true;
    state.multiplier = kSuperBoostMultiplier;
    state.remaining_sec = (admin.super_boost_until_ms - now_ms) / 1000;
  }
  for (const ScheduledSuperBoost& boost : admin.scheduled_boosts) {
    if (boost.cancelled || now_ms < boost.start_ms || now_ms >= boost.end_ms) continue;
    state.active = true;
    const uint64_t remaining = (boost.end_ms - now_ms) / 1000;
    if (remaining > state.remaining_sec) state.remaining_sec = remaining;
    if (boost.multiplier > state.multiplier) state.multiplier = boost.multiplier;
    state.reason = boost.title.empty() ? boost.reason : boost.title;
  }
  return state;
}

double accrual_increment(const PlayerProfile& player, const AdminConfig& admin, uint64_t now_ms) {
  if (player.last_sync_ms == 0 || player.last_sync_ms >= now_ms || !(player.power_kw > 0.0)) return 0.0;
  const uint64_t from = now_ms - player.last_sync_ms > kMaxAccrualMs ? now_ms - kMaxAccrualMs : player.last_sync_ms;

  const double ad = now_ms < player.boost_10x_until_ms ? kAdBoostMultiplier : 1.0;
  double card = 1.0;
  if (card_active(player, now_ms)) {
    if (player.card_type == "global_boost" ||
        (player.card_type == "cer_resonance" && !player.cer_id.empty())) {
      card = 1.0 + player.card_value;
    }
  }

  // The global multiplier changes only where a boost begins or ends: cut
  // the interval there and weigh each stretch by what ran during it.
  std::vector<uint64_t> cuts;
  const auto cut_at = [&](uint64_t t) {
    if (from < t && t < now_ms) cuts.push_back(t);
  };
  cut_at(admin.super_boost_until_ms);
  for (const ScheduledSuperBoost& boost : admin.scheduled_boosts) {
    if (boost.cancelled) continue;
    cut_at(boost.start_ms);
    cut_at(boost.end_ms);
  }
  std::sort(cuts.begin(), cuts.end());
  cuts.push_back(now_ms);

  double total = 0.0;
  uint64_t begin = from;
  for (const uint64_t end : cuts) {
    if (end == begin) continue;  // two boosts meeting at one instant
    const double global = static_cast<double>(global_boost_state(admin, begin).multiplier);
    const double dt = static_cast<double>(end - begin) / 1000.0;
    total += ad * player.storage_boost * global * card * (player.power_kw / 3600.0) * dt;
    begin = end;
  }
  return total;
}

void book_production(PlayerProfile& player, double kwh, uint64_t now_ms) {
  if (!(kwh > 0.0)) return;
  roll_period(player.day_index, day_number(now_ms), player.today_kwh, player.yesterday_kwh);
  if (roll_period(player.week_index, week_number(now_ms), player.this_week_kwh, player.last_week_kwh)) {
    player.weekly_quiz_score = 0;
    player.answered_this_week.clear();
  }
  roll_period(player.month_index, month_number(now_ms), player.this_month_kwh, player.last_month_kwh);

  player.today_kwh += kwh;
  player.this_week_kwh += kwh;
  player.this_month_kwh += kwh;
  player.all_time_kwh += kwh;
  player.solar_kwh += kSolarShare * kwh;
  player.wind_kwh += kWindShare * kwh;
  player.storage_kwh += kStorageShare * kwh;
  player.hydrogen_kwh += kHydrogenShare * kwh;
}

}  // namespace ZezozuRiziv
