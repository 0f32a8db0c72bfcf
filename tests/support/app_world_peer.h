// The process tests' door into a game engine built on a node's data
// directory after the node stopped: copies of its maps, read under the
// shared game lock.
#pragma once

#include <mutex>
#include <shared_mutex>
#include <string>
#include <unordered_map>

#include "game/engine/game_engine.h"

namespace ZezozuRiziv {

class GameEngineTestPeer {
 public:
  static std::unordered_map<std::string, PlayerProfile> players(GameEngine& e) {
    platform::ReadLock lock(e.game_mutex);
    return e.players;
  }
  static ParcelMap parcels(GameEngine& e) {
    platform::ReadLock lock(e.game_mutex);
    return e.parcels;
  }
  static std::unordered_map<std::string, UserAccount> users(GameEngine& e) {
    platform::ReadLock lock(e.game_mutex);
    return e.users;
  }
  static std::unordered_map<std::string, CERCommunity> cers(GameEngine& e) {
    platform::ReadLock lock(e.game_mutex);
    return e.cers;
  }
};

}  // namespace ZezozuRiziv
