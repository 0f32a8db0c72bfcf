#include "game/engine/game_engine.h"

#include <filesystem>
#include <iostream>
#include <mutex>
#include <system_error>

#include "crypto/crypto_keys.h"
#include "game/rules/ad_networks.h"

namespace ZezozuRiziv {

GameEngine::GameEngine(const std::string& data_dir, std::shared_ptr<const GameClock> clock)
    : clock_(clock ? std::move(clock) : system_game_clock()) {
  // A directory that cannot be created is not fatal here: every save then
  // fails, is reported, and the change it carried is undone.
  std::error_code ec;
  std::filesystem::create_directories(data_dir, ec);

  world_file_path = data_dir + "/game_world.dat";
  journal_ = std::make_unique<WorldJournal>(data_dir + "/" + kJournalFileName);
  load_world();

  // Nothing else can reach the engine yet; the lock only keeps the
  // REQUIRES of the helper true.
  {
    platform::WriteLock lock(game_mutex);
    if (!load_failed_) load_master_password_unlocked(data_dir);
  }
  if (admin.admin_password_hash.empty()) admin.admin_password_hash = master_password_hash_;
  if (!load_failed_ && (quiz_categories.empty() || quiz_questions.empty() || cers.empty())) {
    seed_default_quiz_and_cer_unlocked();
    // A failure is on the console already; the next change saves again.
    static_cast<void>(save_world_unlocked());
  }
  // Last, over the defaults and the identifiers the world file stored; the
  // world file then carries the identifiers in use, as any change does.
  if (load_failed_) return;
  std::string out;
  bool changed = false;
  const bool saved = change(out, [&](std::string&) REQUIRES(game_mutex) {
    std::string before;
    append_ads_line(before, ads_line_state());
    touch_ads_unlocked();
    read_ads_publisher_conf_unlocked(kAdsPublisherConfPath);
    std::string after;
    append_ads_line(after, ads_line_state());
    // Journaled only when the file changed something.
    changed = after != before;
    return changed;
  });
  if (changed && !saved) {
    std::cout << "[GIOCO] Identificativi pubblicitari non salvati in " << journal_->path() << std::endl;
  }
  journal_->on_grown(rewrite_threshold_, [this] {
    platform::MutexLock lock(rewriter_mu_);
    rewrite_wanted_ = true;
    rewriter_cv_.notify_one();
  });
  rewriter_ = std::thread([this] { rewriter_loop(); });
}

GameEngine::~GameEngine() {
  {
    platform::MutexLock lock(rewriter_mu_);
    stopping_ = true;
    rewriter_cv_.notify_one();
  }
  if (rewriter_.joinable()) rewriter_.join();
}

void GameEngine::rewriter_loop() {
  platform::MutexLock lock(rewriter_mu_);
  for (;;) {
    while (!rewrite_wanted_ && !stopping_.load()) lock.wait(rewriter_cv_);
    if (stopping_.load()) return;
    rewrite_wanted_ = false;
    lock.unlock();
    rewrite_world_in_background();
    lock.lock();
  }
}

std::string GameEngine::normalize_addr(const std::string& addr) const {
  if (addr.empty()) return kDefaultPlayerAddress;
  // The ledger's own spelling, so that a player key is the state key its
  // claims credit. ASCII only: UTF-8 bytes of other letters stay as received.
  return RozeveCrypto::CryptoKeys::address_key(addr);
}

PlayerProfile& GameEngine::get_or_create_player_unlocked(const std::string& key) {
  touch_player_unlocked(key);
  auto [it, inserted] = players.try_emplace(key);
  if (inserted) {
    it->second.address = key;
    it->second.last_sync_ms = now_ms();
  }
  return it->second;
}

uint64_t GameEngine::get_total_parcels_count() const {
  platform::ReadLock lock(game_mutex);
  return parcels.size();
}

uint64_t GameEngine::get_total_players_count() const {
  platform::ReadLock lock(game_mutex);
  return players.size();
}

bool GameEngine::save_world() {
  std::lock_guard<std::mutex> rewriting(rewrite_mutex_);
  platform::WriteLock lock(game_mutex);
  if (load_failed_) return save_world_unlocked();
  return write_world_file_unlocked();
}

SolarEnvironment GameEngine::compute_solar_environment(double lat, double lon,
                                                       unsigned long long unix_seconds) const {
  return solar_environment_at(lat, lon, unix_seconds, now_ms() / 1000);
}

std::string GameEngine::get_weather_env_json(double lat, double lon, unsigned long long unix_seconds) const {
  return weather_env_json(compute_solar_environment(lat, lon, unix_seconds));
}

}  // namespace ZezozuRiziv
