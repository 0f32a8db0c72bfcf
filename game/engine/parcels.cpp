// Buying lots, building and upgrading plants, and the parcel helpers every
// lot operation shares (lookup, storing, owner changes, districts).
#include <cmath>
#include <limits>
#include <mutex>

#include "crypto/json_writer.h"
#include "game/engine/game_engine.h"
#include "game/model/text_safety.h"

namespace ZezozuRiziv {

namespace {

constexpr double kEarthRadiusM = 6'371'000.0;
constexpr double kPi = 3.14159265358979323846;

constexpr uint64_t kLotPriceWc = 50;
// A lot is bought where the player stands: within this distance.
constexpr double kBuyRadiusM = 50.0;
// Two fixes less than a second apart may differ by this much at most.
constexpr double kTeleportLimitM = 40.0;
// Faster than this over more than kSpeedMinDistanceM is not a person moving.
constexpr double kSpeedLimitKmh = 120.0;
constexpr double kSpeedMinDistanceM = 200.0;
// Another lot closer than this (in each direction, degrees) occupies the place.
constexpr double kOccupiedLatDegrees = 5.5e-5;
constexpr double kOccupiedLonDegrees = 6.5e-5;

constexpr char kFreeLotName[] = "Micro-Lotto Libero (100 m2)";

double haversine_m(double lat1, double lon1, double lat2, double lon2) {
  const double rad = kPi / 180.0;
  const double dlat = (lat2 - lat1) * rad;
  const double dlon = (lon2 - lon1) * rad;
  const double a = std::sin(dlat / 2) * std::sin(dlat / 2) +
                   std::cos(lat1 * rad) * std::cos(lat2 * rad) * std::sin(dlon / 2) * std::sin(dlon / 2);
  const double rest = 1.0 - a;
  return kEarthRadiusM * 2.0 * std::atan2(std::sqrt(a), std::sqrt(rest > 0.0 ? rest : 0.0));
}

// A plant of `spec`'s level on `lot`; the type is the caller's.
void set_plant(ParcelRecord& lot, const PlantLevelSpec& spec, uint64_t now) {
  lot.plant_level = spec.level;
  lot.plant_name = spec.name;
  lot.power_kw = spec.power_kw;
  lot.storage_boost = spec.storage_boost;
  lot.updated_ms = now;
}

// The answer of a build or an upgrade.
std::string plant_answer(const std::string& message, const PlayerProfile& player) {
  JsonWriter json;
  json.begin_object().field("status", "ok").field("message", message).field("coins", player.coins);
  json.key("power_kw").fixed(player.power_kw, 2).key("storage_boost").fixed(player.storage_boost, 2);
  return json.end_object().take();
}

}  // namespace

ParcelRecord* GameEngine::find_parcel_by_key_or_hex_unlocked(const std::string& key_or_latlon,
                                                             const std::string& preferred_owner) {
  // Unchecked: the lookup calls it within the caller's hold.
  return find_parcel_by_key_or_hex_with(parcels, key_or_latlon, preferred_owner,
                                        [&](HexCell cell, ParcelLookupBest& best) NO_THREAD_SAFETY_ANALYSIS {
                                          for (ParcelRecord* p : parcel_index_.in_hex_cell(cell)) best.offer(*p);
                                        });
}

ParcelRecord* GameEngine::find_owned_lot_unlocked(const std::string& owner, const std::string& lot_key) {
  ParcelRecord* lot = find_parcel_by_key_or_hex_unlocked(lot_key, owner);
  return lot != nullptr && lot->owner == owner ? lot : nullptr;
}

ParcelRecord& GameEngine::put_parcel_unlocked(ParcelRecord parcel) {
  touch_parcel_unlocked(parcel.key);
  auto it = parcels.find(parcel.key);
  if (it != parcels.end()) {
    parcel_index_.remove(it->second);
    it->second = std::move(parcel);
  } else {
    SharedText key = parcel.key;  // shared with the record
    it = parcels.emplace(std::move(key), std::move(parcel)).first;
  }
  parcel_index_.add(it->second);
  return it->second;
}

void GameEngine::set_parcel_owner_unlocked(ParcelRecord& parcel, const std::string& owner) {
  touch_parcel_unlocked(parcel.key);
  parcel_index_.remove(parcel);
  parcel.owner = owner;
  parcel_index_.add(parcel);
}

uint64_t GameEngine::district_size_unlocked(const std::string& owner, HexCell start, uint64_t limit) const {
  uint64_t cells = 0;
  // Only "at least `limit`" matters, so the walk stops there.
  parcel_index_.visit_district(owner, start, [&](HexCell) { return ++cells < limit; });
  return cells;
}

bool GameEngine::buy_parcel(const std::string& address, const std::string& lot_key, double lat, double lon,
                            std::string& out, double user_lat, double user_lon, bool is_mocked) {
  // Refused before anything exists: no player is created for such text.
  if (!keys_usable(address, lot_key, out)) return false;

  return change_for(address, Accrual::kUpToDate, out, [&](PlayerProfile& player, std::string& out) REQUIRES(game_mutex) {
    const std::string& addr = player.address;

    if (is_mocked) {
      return refuse(out,
                    "Rilevata applicazione di Fake GPS / Posizione Fittizia attiva sul dispositivo. "
                    "L'acquisizione e' stata bloccata dal sistema anti-cheat.");
    }
    // A coordinate that is no finite number would pass every distance test.
    if (lot_key.empty() || !std::isfinite(lat) || !std::isfinite(lon) || lat < -90.0 || lat > 90.0 ||
        lon < -180.0 || lon > 180.0 || !std::isfinite(user_lat) || !std::isfinite(user_lon)) {
      return refuse(out, kBadLotKeyMessage);
    }

    const uint64_t now = now_ms();
    // A device at exactly (0, 0) reports no position: no distance tests.
    if (!(user_lat == 0.0 && user_lon == 0.0)) {
      const double d = haversine_m(user_lat, user_lon, lat, lon);
      if (d > kBuyRadiusM) {
        return refuse(out,
                      "Lotto fuori raggio! L'acquisizione e' consentita solo entro 50 metri dalla tua posizione "
                      "reale (distanza attuale: " + fixed_text(d, 1) + " m).");
      }
      if (player.last_gps_ms != 0 && !(player.last_gps_lat == 0.0 && player.last_gps_lon == 0.0)) {
        const double dt = now > player.last_gps_ms ? static_cast<double>(now - player.last_gps_ms) / 1000.0 : 0.001;
        const double moved = haversine_m(player.last_gps_lat, player.last_gps_lon, user_lat, user_lon);
        if (dt < 1.0) {
          if (moved > kTeleportLimitM) {
            return refuse(out,
                          "Anomalia telemetria GPS: teletrasporto istantaneo rilevato. Software di spoofing "
                          "bloccato.");
          }
        } else {
          const double speed = moved / dt * 3.6;
          if (speed > kSpeedLimitKmh && moved > kSpeedMinDistanceM) {
            const double shown = std::fmin(speed, static_cast<double>(std::numeric_limits<int32_t>::max()));
            return refuse(out, "Anomalia telemetria GPS: velocita' di spostamento non plausibile (" +
                                   std::to_string(static_cast<int32_t>(shown)) +
                                   " km/h). Software di spoofing bloccato.");
          }
        }
      }
      // The fix stays also when a later check refuses the purchase.
      player.last_gps_ms = now;
      player.last_gps_lat = user_lat;
      player.last_gps_lon = user_lon;
    }

    const auto exact = parcels.find(lot_key);
    const ParcelRecord* occupant = exact != parcels.end()
                                       ? &exact->second
                                       : parcel_index_.find_near(lat, lon, kOccupiedLatDegrees, kOccupiedLonDegrees);
    if (occupant != nullptr) {
      if (occupant->owner == addr) return refuse(out, "Possiedi gia' questo lotto catastale di 100 m2");
      return refuse(out, "Lotto occupato da un altro giocatore sulla mappa globale!");
    }
    if (player.coins < kLotPriceWc) {
      return refuse(out, "Zava Vovaz insufficienti (richiesti: 50 WC). Guarda uno spot certificato!");
    }
    player.coins -= kLotPriceWc;

    ParcelRecord lot;
    lot.key = lot_key;
    lot.lat = lat;
    lot.lon = lon;
    lot.owner = addr;
    lot.plant_name = kFreeLotName;
    lot.updated_ms = now;
    // A lot touching the player's district billboard joins it at once.
    const HexCell cell = hex_cell_of(lat, lon);
    const ParcelRecord* board = nullptr;
    for (int d = 0; d < static_cast<int>(kHexDirections.size()) && board == nullptr; ++d) {
      for (const ParcelRecord* p : parcel_index_.in_hex_cell(hex_neighbour(cell, d))) {
        if (p->owner == addr && p->billboard_active && p->span_cluster) {
          board = p;
          break;
        }
      }
    }
    if (board != nullptr) {
      lot.group_id = board->group_id;
      lot.title = board->title;
      lot.image_url = board->image_url;
      lot.link_url = board->link_url;
      lot.social_type = board->social_type;
      lot.billboard_active = true;
      lot.span_cluster = true;
    }
    put_parcel_unlocked(std::move(lot));
    recalculate_player_power_unlocked(player);

    JsonWriter json;
    json.begin_object()
        .field("status", "ok")
        .field("message", "Lotto 100 m2 acquistato e registrato sul server!")
        .field("coins", player.coins)
        .field("parcels_count", player.parcels_count)
        .end_object();
    out = json.take();
    return true;
  });
}

bool GameEngine::build_plant(const std::string& address, const std::string& lot_key,
                             const std::string& plant_type, std::string& out) {
  if (!keys_usable(address, lot_key, out)) return false;
  return change_owned_lot(address, lot_key, out, [&](PlayerProfile& player, ParcelRecord* lot, std::string& out) REQUIRES(game_mutex) {
    const PlantLevelSpec* spec = get_plant_spec(plant_type, 1);
    if (spec == nullptr) return refuse(out, "Tipologia di impianto energetico non riconosciuta");
    if (player.coins < spec->cost_wc) {
      return refuse(out, "Zava Vovaz insufficienti sul server per costruire questo impianto");
    }

    player.coins -= spec->cost_wc;
    // A plant already there is replaced without refund.
    touch_parcel_unlocked(lot->key);
    lot->plant_type = plant_type;
    set_plant(*lot, *spec, now_ms());
    recalculate_player_power_unlocked(player);
    out = plant_answer("Impianto Livello 1 installato con successo!", player);
    return true;
  });
}

bool GameEngine::upgrade_plant(const std::string& address, const std::string& lot_key, std::string& out) {
  if (!keys_usable(address, lot_key, out)) return false;
  return change_owned_lot(address, lot_key, out, [&](PlayerProfile& player, ParcelRecord* lot, std::string& out) REQUIRES(game_mutex) {
    const std::string& addr = player.address;
    if (lot->plant_type.empty() || lot->plant_level < 1) {
      return refuse(out, "Nessun impianto presente su questo lotto da potenziare");
    }
    // In 64 bits: a stored level at the top of the 32-bit range has no next.
    const int64_t target = static_cast<int64_t>(lot->plant_level) + 1;
    const PlantLevelSpec* spec =
        target > kMaxPlantLevel ? nullptr : get_plant_spec(lot->plant_type, static_cast<int>(target));
    if (spec == nullptr) return refuse(out, "Impianto gia' al livello massimo assoluto (Livello 100)!");

    const uint64_t district = district_size_unlocked(addr, hex_cell_of(lot->lat, lot->lon),
                                                     static_cast<uint64_t>(target));
    if (district < static_cast<uint64_t>(target)) {
      const std::string level = std::to_string(target);
      return refuse(out, "Relazione Diretta Lotti Contigui: per potenziare al Livello " + level +
                             " servono almeno " + level + " lotti esagonali contigui (il tuo distretto attuale ne ha " +
                             std::to_string(district) + ").");
    }
    if (player.coins < spec->cost_wc) return refuse(out, "Zava Vovaz insufficienti sul server per eseguire l'upgrade");

    player.coins -= spec->cost_wc;
    touch_parcel_unlocked(lot->key);
    set_plant(*lot, *spec, now_ms());  // the type stays
    recalculate_player_power_unlocked(player);
    out = plant_answer("Upgrade Livello " + std::to_string(target) + " completato!", player);
    return true;
  });
}

}  // namespace ZezozuRiziv
