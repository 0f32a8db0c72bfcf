// The whole game world in memory, behind one reader-writer lock: players,
// parcels, login accounts and sessions, communities, the quiz, ad-network
// settings and counters, and the administration block.
//
// Locking: the game lock guards every data member and the writing of the
// world file. Public operations take it themselves (shared for read-only
// views, exclusive for changes and for views that first accrue a player's
// production). Functions ending in `_unlocked` take no lock; their REQUIRES:
// line says how the caller must hold it. The lock is not recursive, so a
// public operation never calls another public one while holding it.
//
// The engine holds no reference to the ledger and starts no thread.
#pragma once

#include <cstdint>
#include <shared_mutex>
#include <string>
#include <unordered_map>
#include <vector>

#include "game/game_records.h"

namespace ZezozuRiziv {

// The player an empty address stands for; also the JSON-RPC's sender while
// no wallet address is known. Lower-case, so normalize_addr keeps it as is.
inline constexpr char kDefaultPlayerAddress[] = "0x7a657269726f72697669000000000000000000a1";

// The built-in master administrator password (22 characters): its hash is
// the administrator password until the world file stores another.
inline constexpr char kMasterAdminPassword[] = "ZeriroRivi#Admin!2026x";

class GameEngine {
 public:
  // Creates `data_dir` (with missing parents) when it does not exist, loads
  // the world from "<data_dir>/game_world.dat" and sets the administrator
  // password hash from kMasterAdminPassword when none is stored. Takes no
  // lock: nothing else can reach the engine yet. Never throws for a
  // directory that cannot be created; the world then simply stays in memory.
  explicit GameEngine(const std::string& data_dir);
  // Destroys the members only; nothing is saved.
  ~GameEngine() = default;

  GameEngine(const GameEngine&) = delete;
  GameEngine& operator=(const GameEngine&) = delete;

  // The system clock in whole Unix milliseconds.
  static uint64_t now_ms();

  // `addr` with every ASCII capital lower-cased and every other byte kept;
  // nothing is trimmed. An empty address yields kDefaultPlayerAddress.
  // Takes no lock (touches no member).
  std::string normalize_addr(const std::string& addr) const;

  // Number of parcels / players. Takes the game lock shared.
  uint64_t get_total_parcels_count() const;
  uint64_t get_total_players_count() const;

 private:
  friend class GameEngineTestPeer;

  // The profile stored under `key` (compared byte for byte); when there is
  // none, inserts one with the creation defaults, `address` = key and
  // `last_sync_ms` = now_ms(). Does not save. The reference lives until the
  // lock is released or the player map changes.
  // REQUIRES: game lock held exclusively.
  PlayerProfile& get_or_create_player_unlocked(const std::string& key);

  // Replaces the in-memory world by the world file's content. True when the
  // world is usable. Takes the game lock exclusively; called once, by the
  // constructor.
  bool load_world();

  std::string world_file_path;  // data directory + "/game_world.dat"
  mutable std::shared_mutex game_mutex;  // the game lock; guards everything below

  AdNetworksConfig ads_config;
  // Claimed ad views per network.
  uint64_t google_impressions = 0;
  uint64_t meta_impressions = 0;
  uint64_t amazon_impressions = 0;
  uint64_t moloco_impressions = 0;
  double total_revenue_eur = 0.0;  // ad revenue in euro

  std::unordered_map<std::string, PlayerProfile> players;  // by player key
  std::unordered_map<std::string, ParcelRecord> parcels;   // by parcel key
  std::unordered_map<std::string, UserAccount> users;      // by account id
  std::unordered_map<std::string, std::string> email_index;     // lower-cased e-mail -> id
  std::unordered_map<std::string, std::string> username_index;  // lower-cased username -> id
  std::unordered_map<std::string, std::string> google_index;    // Google id -> id
  std::unordered_map<std::string, std::string> sessions;        // session token -> id
  std::unordered_map<std::string, CERCommunity> cers;           // by community id
  std::unordered_map<std::string, QuizQuestion> quiz_questions;  // by question id
  std::vector<std::string> quiz_categories;                     // in insertion order
  std::unordered_map<std::string, uint64_t> admin_tokens;  // token -> expiry ms; memory only
  AdminConfig admin;
};

}  // namespace ZezozuRiziv
