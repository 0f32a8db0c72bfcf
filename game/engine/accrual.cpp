// Production: a player's power, the accrual since the last sync, the
// history buckets and the history view.
#include <algorithm>
#include <mutex>

#include "crypto/json_writer.h"
#include "game/engine/game_engine.h"
#include "game/model/text_safety.h"
#include "game/rules/production.h"
#include "game/rules/solar_model.h"
#include "platform/parallel.h"

namespace ZezozuRiziv {

void GameEngine::reference_position_unlocked(const PlayerProfile& player, double& lat, double& lon) const {
  const ParcelSpan owned = parcel_index_.owned_by(player.address);
  if (!owned.empty()) {
    lat = owned.front()->lat;
    lon = owned.front()->lon;
    return;
  }
  // Each coordinate on its own: an exact 0 means "no fix".
  lat = player.last_gps_lat == 0.0 ? kDefaultReferenceLat : player.last_gps_lat;
  lon = player.last_gps_lon == 0.0 ? kDefaultReferenceLon : player.last_gps_lon;
}

namespace {

// Players per thread, at least, when every player's power is worked out at
// once: a small world is done on one.
constexpr size_t kMinPlayersPerThread = 20'000;
constexpr size_t kMaxPowerThreads = 8;

}  // namespace

void GameEngine::recalculate_player_power_at_unlocked(PlayerProfile& player, uint64_t now,
                                                      int64_t utc_offset_seconds) const {
  double lat = 0.0;
  double lon = 0.0;
  reference_position_unlocked(player, lat, lon);
  const SolarEnvironment env = ZezozuRiziv::compute_solar_environment(lat, lon, now / 1000, utc_offset_seconds);
  PowerTally tally(player, env, now);
  for (const ParcelRecord* parcel : parcel_index_.owned_by(player.address)) tally.add(*parcel);
  player.power_kw = tally.power_kw();
  player.storage_boost = tally.storage_boost();
  player.parcels_count = tally.parcels_count();
}

void GameEngine::recalculate_player_power_unlocked(PlayerProfile& player) {
  touch_player_unlocked(player.address);
  const uint64_t now = now_ms();
  recalculate_player_power_at_unlocked(player, now, local_utc_offset_seconds(now / 1000).value_or(0));
}

void GameEngine::recalculate_all_players_power_unlocked() {
  // One instant and one time zone offset for all: the calendar lookup
  // behind the offset takes a process-wide lock.
  const uint64_t now = now_ms();
  const int64_t offset = local_utc_offset_seconds(now / 1000).value_or(0);
  const size_t threads =
      std::min(platform::bulk_threads(kMaxPowerThreads), players.size() / kMinPlayersPerThread + 1);
  // Unchecked: the workers run within the hold of the caller, which waits for them.
  platform::visit_in_parallel(players, threads, [&](PlayerProfile& player) NO_THREAD_SAFETY_ANALYSIS {
    recalculate_player_power_at_unlocked(player, now, offset);
  });
}

void GameEngine::sync_player_unlocked(PlayerProfile& player) {
  touch_player_unlocked(player.address);
  const uint64_t now = now_ms();
  const double increment = accrual_increment(player, admin, now);
  if (increment > 0.0) {
    player.kwh += increment;
    update_player_history_buckets_unlocked(player, increment, now);
    const auto community = player.cer_id.empty() ? cers.end() : cers.find(player.cer_id);
    if (community != cers.end()) credit_production_unlocked(community->second, player, increment);
  }
  player.last_sync_ms = now;
}

void GameEngine::sync_all_players_unlocked() {
  for (auto& [key, player] : players) sync_player_unlocked(player);
}

void GameEngine::update_player_history_buckets_unlocked(PlayerProfile& player, double kwh, uint64_t now_ms) {
  touch_player_unlocked(player.address);
  book_production(player, kwh, now_ms);
}

PlayerProfile& GameEngine::bring_up_to_date_unlocked(const std::string& address) {
  PlayerProfile& p = get_or_create_player_unlocked(address);
  // Power first, then the accrual at that power.
  recalculate_player_power_unlocked(p);
  sync_player_unlocked(p);
  return p;
}

PlayerProfile& GameEngine::acting_player_unlocked(const std::string& address) {
  PlayerProfile& p = get_or_create_player_unlocked(normalize_addr(address));
  sync_player_unlocked(p);
  return p;
}

std::string GameEngine::get_production_history_json(const std::string& address) {
  if (!is_safe_record_key(address)) return error_json(kBadAddressMessage);
  platform::WriteLock lock(game_mutex);
  const std::string addr = normalize_addr(address);
  const PlayerProfile& p = bring_up_to_date_unlocked(addr);

  JsonWriter json;
  json.begin_object().field("status", "ok").field("address", addr);
  json.key("current_power_kw").fixed(p.power_kw, 2).key("storage_boost").fixed(p.storage_boost, 2);
  json.key("periods").begin_object();
  json.key("today_kwh").fixed(p.today_kwh, 2).key("yesterday_kwh").fixed(p.yesterday_kwh, 2);
  json.key("this_week_kwh").fixed(p.this_week_kwh, 2).key("last_week_kwh").fixed(p.last_week_kwh, 2);
  json.key("this_month_kwh").fixed(p.this_month_kwh, 2).key("last_month_kwh").fixed(p.last_month_kwh, 2);
  json.key("all_time_kwh").fixed(p.all_time_kwh, 2);
  json.end_object();
  json.key("sources").begin_object();
  json.key("solar_kwh").fixed(p.solar_kwh, 2).key("wind_kwh").fixed(p.wind_kwh, 2);
  json.key("storage_kwh").fixed(p.storage_kwh, 2).key("hydrogen_kwh").fixed(p.hydrogen_kwh, 2);
  json.end_object().end_object();
  return json.take();
}

}  // namespace ZezozuRiziv
