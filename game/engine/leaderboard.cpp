// The global ranking of players by installed power.
#include <mutex>

#include "crypto/json_writer.h"
#include "game/engine/game_engine.h"
#include "game/rules/market_rules.h"

namespace ZezozuRiziv {

namespace {

// Players written in the ranking.
constexpr size_t kLeaderboardSize = 20;

}  // namespace

std::string GameEngine::get_leaderboard_json() const {
  platform::ReadLock lock(game_mutex);
  // Only the first few are written, so they are picked in one pass over the
  // players instead of copying and sorting them all; the pick holds each
  // player once even where the comparison is not a strict order.
  LeaderSelection selection(kLeaderboardSize);
  for (const auto& [key, player] : players) selection.offer(player);

  JsonWriter json;
  json.begin_object().field("status", "ok");
  json.field("total_players", static_cast<uint64_t>(players.size()));
  json.field("total_parcels", static_cast<uint64_t>(parcels.size()));
  json.key("leaders").begin_array();
  uint64_t rank = 0;
  for (const PlayerProfile* p : selection.leaders()) {
    json.begin_object().field("rank", ++rank).field("address", p->address);
    json.key("power_kw").fixed(p->power_kw, 2).key("storage_boost").fixed(p->storage_boost, 2);
    json.field("parcels_count", p->parcels_count).key("kwh").fixed(p->kwh, 2).key("ruz").fixed(p->ruz, 2);
    json.end_object();
  }
  json.end_array().end_object();
  return json.take();
}

}  // namespace ZezozuRiziv
