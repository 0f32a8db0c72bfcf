// The player state view and the viewport view.
#include <mutex>
#include <optional>
#include <vector>

#include "crypto/json_writer.h"
#include "game/engine/game_engine.h"
#include "game/model/lot_json.h"
#include "game/model/text_safety.h"
#include "game/rules/production.h"

namespace ZezozuRiziv {

namespace {

constexpr uint64_t kWcAdCooldownMs = 1'800'000;
constexpr uint64_t kCardCooldownMs = 86'400'000;
// The map never receives more parcels than this in one answer.
constexpr int kViewportMaxParcels = 600;
// Below this output a lot counts as idle.
constexpr double kProducingThresholdKw = 0.01;

// One parcel as the map and the state view show it; `is_mine` is written
// after the owner when given (the map's form).
void write_parcel(JsonWriter& json, const ParcelRecord& p, const SolarEnvironment& env, const bool* is_mine) {
  const double effective = lot_effective_power(p, env);
  json.begin_object();
  json.field("key", p.key).key("lat").fixed(p.lat, 6).key("lon").fixed(p.lon, 6).field("owner", p.owner);
  if (is_mine != nullptr) json.field("is_mine", *is_mine);
  json.field("plantType", p.plant_type).field("plantLevel", static_cast<int64_t>(p.plant_level));
  json.field("plantName", p.plant_name);
  json.key("powerKw").fixed(p.power_kw, 2).key("effectivePowerKw").fixed(effective, 2);
  json.field("isProducing", effective > kProducingThresholdKw).key("boost").fixed(p.storage_boost, 2);
  write_lot_market_and_billboard(json, p);
  json.end_object();
}

// Seconds left until `until`, 0 when it is not ahead of now.
uint64_t seconds_until(uint64_t until, uint64_t now) { return now < until ? (until - now) / 1000 : 0; }

// Cooldown left after an event at `at` (0 = never); an event in the
// future counts as over.
uint64_t cooldown_sec(uint64_t at, uint64_t now, uint64_t cooldown_ms) {
  if (at == 0 || now < at || now - at >= cooldown_ms) return 0;
  return (at + cooldown_ms - now) / 1000;
}

}  // namespace

std::string GameEngine::get_player_state_json(const std::string& address) {
  if (!is_safe_record_key(address)) return error_json(kBadAddressMessage);
  // Bringing the player up to date changes it, so the lock is exclusive:
  // it is held only to do that and to copy what the answer shows, and the
  // sun and the text are worked out after it, beside other views.
  platform::WriteLock lock(game_mutex);
  const std::string addr = normalize_addr(address);
  const PlayerProfile p = bring_up_to_date_unlocked(addr);
  const uint64_t now = now_ms();
  double lat = 0.0;
  double lon = 0.0;
  reference_position_unlocked(p, lat, lon);
  const GlobalBoostState boost = global_boost_state(admin, now);
  const uint64_t super_boost_until_ms = admin.super_boost_until_ms;
  const uint64_t global_parcels = parcels.size();
  const uint64_t global_players = players.size();
  struct Community {
    std::string name, tag, emblem;
    uint64_t weekly_score;
    double total_kwh;
  };
  std::optional<Community> community;
  if (const auto it = p.cer_id.empty() ? cers.end() : cers.find(p.cer_id); it != cers.end()) {
    const CERCommunity& c = it->second;
    community = Community{c.name, c.tag, c.emblem, c.weekly_score, c.total_kwh};
  }
  std::vector<ParcelRecord> lots;
  const ParcelSpan owned = parcel_index_.owned_by(addr);
  lots.reserve(owned.size());
  for (const ParcelRecord* parcel : owned) lots.push_back(*parcel);
  lock.unlock();

  const SolarEnvironment env = compute_solar_environment(lat, lon, 0);
  const bool can_draw = p.card_draw_ms == 0 || now < p.card_draw_ms || now - p.card_draw_ms >= kCardCooldownMs;
  const bool card_on = card_active(p, now);

  JsonWriter json;
  json.begin_object().field("status", "ok").field("server_authoritative", true).field("address", addr);
  json.field("coins", p.coins).key("kwh").fixed(p.kwh, 4).key("ruz").fixed(p.ruz, 4);
  json.key("power_kw").fixed(p.power_kw, 4).key("storage_boost").fixed(p.storage_boost, 4);
  json.field("parcels_count", p.parcels_count);
  json.field("global_parcels_count", global_parcels).field("global_players_count", global_players);
  json.field("wc_ad_cooldown_remaining_sec", cooldown_sec(p.last_wc_ad_ms, now, kWcAdCooldownMs));

  json.key("boost_10x").begin_object();
  json.field("is_active", now < p.boost_10x_until_ms).field("until_ms", p.boost_10x_until_ms);
  json.field("remaining_sec", seconds_until(p.boost_10x_until_ms, now)).end_object();

  json.key("super_boost_100x").begin_object();
  json.field("is_active", boost.active).field("multiplier", boost.multiplier);
  json.field("until_ms", super_boost_until_ms).field("remaining_sec", boost.remaining_sec);
  json.field("reason", boost.reason).end_object();

  json.key("daily_card").begin_object();
  json.field("can_draw", can_draw).field("cooldown_remaining_sec", can_draw ? 0 : cooldown_sec(p.card_draw_ms, now, kCardCooldownMs));
  json.field("is_active", card_on).field("id", p.card_id).field("name", p.card_name);
  json.field("desc", p.card_desc).field("type", p.card_type).key("value").fixed(p.card_value, 4);
  json.field("remaining_sec", card_on ? seconds_until(p.card_until_ms, now) : 0).end_object();

  json.key("cer").begin_object().field("id", p.cer_id).field("role", p.cer_role);
  if (community) {
    json.field("name", community->name).field("tag", community->tag).field("emblem", community->emblem);
    json.field("weekly_score", community->weekly_score).key("total_kwh").fixed(community->total_kwh, 4);
  }
  json.end_object();

  json.key("quiz").begin_object().field("weekly_score", p.weekly_quiz_score);
  json.field("answers_correct", p.answers_correct).field("author_tricked", p.author_tricked).end_object();

  json.key("history").begin_object();
  json.key("today_kwh").fixed(p.today_kwh, 2).key("yesterday_kwh").fixed(p.yesterday_kwh, 2);
  json.key("this_week_kwh").fixed(p.this_week_kwh, 2).key("last_week_kwh").fixed(p.last_week_kwh, 2);
  json.key("this_month_kwh").fixed(p.this_month_kwh, 2).key("last_month_kwh").fixed(p.last_month_kwh, 2);
  json.key("all_time_kwh").fixed(p.all_time_kwh, 2).key("solar_kwh").fixed(p.solar_kwh, 2);
  json.key("wind_kwh").fixed(p.wind_kwh, 2).key("storage_kwh").fixed(p.storage_kwh, 2);
  json.key("hydrogen_kwh").fixed(p.hydrogen_kwh, 2).end_object();

  json.key("env").begin_object().field("is_day", env.is_day);
  json.key("solar_factor").fixed(env.solar_factor, 2).key("wind_factor").fixed(env.wind_factor, 2);
  json.key("solar_elevation").fixed(env.solar_elevation, 2);
  json.key("solar_declination").fixed(env.solar_declination, 2);
  json.field("season", env.season).field("season_name", env.season_name);
  json.field("sunrise", env.sunrise).field("sunset", env.sunset);
  json.field("weather_desc", env.weather_desc).field("weather_icon", env.weather_icon).end_object();

  json.key("parcels").begin_object();
  for (const ParcelRecord& parcel : lots) {
    json.key(parcel.key);
    write_parcel(json, parcel, env, nullptr);
  }
  json.end_object().end_object();
  return json.take();
}

std::string GameEngine::get_viewport_parcels_json(double lat_min, double lat_max, double lon_min, double lon_max,
                                                  const std::string& viewer) const {
  if (!is_safe_record_key(viewer)) return error_json(kBadAddressMessage);
  // The sun reads no game data: it is computed before the lock, which the
  // view then holds only while it reads the lots.
  const std::string me = normalize_addr(viewer);
  const SolarEnvironment env =
      compute_solar_environment((lat_min + lat_max) * 0.5, (lon_min + lon_max) * 0.5, 0);

  JsonWriter json;
  json.begin_object().field("status", "ok");
  json.key("env").begin_object().field("is_day", env.is_day);
  json.key("solar_factor").fixed(env.solar_factor, 4).key("wind_factor").fixed(env.wind_factor, 4);
  json.key("solar_elevation").fixed(env.solar_elevation, 4);
  json.field("season", env.season).field("season_name", env.season_name);
  json.field("sunrise", env.sunrise).field("sunset", env.sunset);
  json.field("weather_desc", env.weather_desc).field("weather_icon", env.weather_icon).end_object();

  platform::ReadLock lock(game_mutex);
  json.key("parcels").begin_array();
  int written = 0;
  const auto write = [&](const ParcelRecord& p) {
    const bool mine = p.owner == me;
    write_parcel(json, p, env, &mine);
    return ++written < kViewportMaxParcels;
  };
  // The lots in view, then the viewer's own lots elsewhere.
  parcel_index_.visit_rect(lat_min, lat_max, lon_min, lon_max, write);
  if (written < kViewportMaxParcels) {
    for (const ParcelRecord* p : parcel_index_.owned_by(me)) {
      const bool in_view = p->lat >= lat_min && p->lat <= lat_max && p->lon >= lon_min && p->lon <= lon_max;
      if (!in_view && !write(*p)) break;
    }
  }
  json.end_array().end_object();
  return json.take();
}

}  // namespace ZezozuRiziv
