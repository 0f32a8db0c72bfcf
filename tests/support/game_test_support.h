// Test support for the game layer: a scratch data directory, an engine on a
// clock the test sets, and access to the engine's private state with the
// game lock held, the way the engine's own operations reach it.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <memory>
#include <mutex>
#include <regex>
#include <shared_mutex>
#include <sstream>
#include <string>
#include <vector>

#include "game/engine/game_engine.h"
#include "game/model/game_clock.h"
#include "game/model/game_random.h"
#include "game/model/game_records.h"
#include "game/rules/hex_grid.h"
#include "game/store/world_journal.h"
#include "game/store/world_records.h"
#include "platform/phase_fair_mutex.h"
#include "world_file_support.h"

namespace ZezozuRiziv {

class GameEngineTestPeer {
 public:
  using Lock = platform::WriteLock;

  static platform::PhaseFairMutex& game_lock(GameEngine& engine) { return engine.game_mutex; }
  // The source of the engine's random draws (ids, the question offered).
  static void set_random(GameEngine& engine, std::shared_ptr<const GameRandom> random) {
    Lock lock(engine.game_mutex);
    engine.random_ = std::move(random);
  }
  static std::string world_file_path(const GameEngine& engine) { return engine.world_file_path; }
  // The background rewrite of the world file, run now on this thread.
  static void rewrite_in_background(GameEngine& engine) { engine.rewrite_world_in_background(); }
  // While set, every journal write fails as a full disk would make it.
  static void fail_journal(GameEngine& engine, bool fail) { engine.journal_->fail_writes_for_test(fail); }

  // A copy of a record, or of the whole map, read under the lock.
  static PlayerProfile player(GameEngine& engine, const std::string& key) {
    Lock lock(engine.game_mutex);
    const auto it = engine.players.find(key);
    return it == engine.players.end() ? PlayerProfile() : it->second;
  }
  static bool has_player(GameEngine& engine, const std::string& key) {
    Lock lock(engine.game_mutex);
    return engine.players.count(key) != 0;
  }
  static ParcelRecord parcel(GameEngine& engine, const std::string& key) {
    Lock lock(engine.game_mutex);
    const auto it = engine.parcels.find(key);
    return it == engine.parcels.end() ? ParcelRecord() : it->second;
  }
  static bool has_parcel(GameEngine& engine, const std::string& key) {
    Lock lock(engine.game_mutex);
    return engine.parcels.count(key) != 0;
  }
  static std::unordered_map<std::string, PlayerProfile> players(GameEngine& engine) {
    Lock lock(engine.game_mutex);
    return engine.players;
  }
  static ParcelMap parcels(GameEngine& engine) {
    Lock lock(engine.game_mutex);
    return engine.parcels;
  }
  static std::unordered_map<std::string, CERCommunity> cers(GameEngine& engine) {
    Lock lock(engine.game_mutex);
    return engine.cers;
  }
  static std::unordered_map<std::string, QuizQuestion> questions(GameEngine& engine) {
    Lock lock(engine.game_mutex);
    return engine.quiz_questions;
  }
  static std::vector<std::string> categories(GameEngine& engine) {
    Lock lock(engine.game_mutex);
    return engine.quiz_categories;
  }
  static AdminConfig admin(GameEngine& engine) {
    Lock lock(engine.game_mutex);
    return engine.admin;
  }
  // The pending claims, by transaction hash.
  static std::vector<ClaimIntent> pending_claims(GameEngine& engine) {
    Lock lock(engine.game_mutex);
    std::vector<ClaimIntent> claims;
    for (const auto& [hash, intent] : engine.pending_claims_) claims.push_back(intent);
    std::sort(claims.begin(), claims.end(),
              [](const ClaimIntent& a, const ClaimIntent& b) { return a.tx_hash < b.tx_hash; });
    return claims;
  }

  // A login account that plays `wallet`, put in place directly.
  static void add_account(GameEngine& engine, const std::string& id, const std::string& username,
                          const std::string& wallet) {
    Lock lock(engine.game_mutex);
    UserAccount& u = engine.users[id];
    u.id = id;
    u.username = username;
    u.wallet_address = wallet;
  }

  // Runs `change(engine)` with the game lock held exclusively.
  template <typename Change>
  static void with_lock(GameEngine& engine, Change change) {
    Lock lock(engine.game_mutex);
    change(engine);
  }

  // Direct access for with_lock bodies, which hold the lock: unchecked,
  // since the analysis does not follow the hold into the tests' lambdas.
  static PlayerProfile& get_or_create(GameEngine& e, const std::string& key) NO_THREAD_SAFETY_ANALYSIS {
    return e.get_or_create_player_unlocked(key);
  }
  static std::unordered_map<std::string, PlayerProfile>& players_of(GameEngine& e) NO_THREAD_SAFETY_ANALYSIS { return e.players; }
  static ParcelMap& parcels_of(GameEngine& e) NO_THREAD_SAFETY_ANALYSIS { return e.parcels; }
  static std::unordered_map<std::string, UserAccount>& users_of(GameEngine& e) NO_THREAD_SAFETY_ANALYSIS { return e.users; }
  static std::unordered_map<std::string, std::string>& email_index_of(GameEngine& e) NO_THREAD_SAFETY_ANALYSIS { return e.email_index; }
  static std::unordered_map<std::string, std::string>& username_index_of(GameEngine& e) NO_THREAD_SAFETY_ANALYSIS {
    return e.username_index;
  }
  static std::unordered_map<std::string, std::string>& google_index_of(GameEngine& e) NO_THREAD_SAFETY_ANALYSIS { return e.google_index; }
  static std::unordered_map<std::string, std::string>& sessions_of(GameEngine& e) NO_THREAD_SAFETY_ANALYSIS { return e.sessions; }
  static std::unordered_map<std::string, CERCommunity>& cers_of(GameEngine& e) NO_THREAD_SAFETY_ANALYSIS { return e.cers; }
  static std::unordered_map<std::string, QuizQuestion>& questions_of(GameEngine& e) NO_THREAD_SAFETY_ANALYSIS { return e.quiz_questions; }
  static std::vector<std::string>& categories_of(GameEngine& e) NO_THREAD_SAFETY_ANALYSIS { return e.quiz_categories; }
  static AdminConfig& admin_of(GameEngine& e) NO_THREAD_SAFETY_ANALYSIS { return e.admin; }
  static AdNetworksConfig& ads_config_of(GameEngine& e) NO_THREAD_SAFETY_ANALYSIS { return e.ads_config; }
  static uint64_t& google_impressions_of(GameEngine& e) NO_THREAD_SAFETY_ANALYSIS { return e.google_impressions; }
  static uint64_t& meta_impressions_of(GameEngine& e) NO_THREAD_SAFETY_ANALYSIS { return e.meta_impressions; }
  static uint64_t& amazon_impressions_of(GameEngine& e) NO_THREAD_SAFETY_ANALYSIS { return e.amazon_impressions; }
  static uint64_t& moloco_impressions_of(GameEngine& e) NO_THREAD_SAFETY_ANALYSIS { return e.moloco_impressions; }
  static double& total_revenue_of(GameEngine& e) NO_THREAD_SAFETY_ANALYSIS { return e.total_revenue_eur; }

  static ParcelRecord& put_parcel(GameEngine& e, const ParcelRecord& p) NO_THREAD_SAFETY_ANALYSIS { return e.put_parcel_unlocked(p); }
  static void set_owner(GameEngine& e, ParcelRecord& p, const std::string& owner) NO_THREAD_SAFETY_ANALYSIS {
    e.set_parcel_owner_unlocked(p, owner);
  }
  static ParcelRecord* find_parcel(GameEngine& e, const std::string& key, const std::string& owner) NO_THREAD_SAFETY_ANALYSIS {
    return e.find_parcel_by_key_or_hex_unlocked(key, owner);
  }
  static void sync(GameEngine& e, PlayerProfile& p) NO_THREAD_SAFETY_ANALYSIS { e.sync_player_unlocked(p); }
  static void recalc(GameEngine& e, PlayerProfile& p) NO_THREAD_SAFETY_ANALYSIS { e.recalculate_player_power_unlocked(p); }
  static void book(GameEngine& e, PlayerProfile& p, double kwh, uint64_t now) NO_THREAD_SAFETY_ANALYSIS {
    e.update_player_history_buckets_unlocked(p, kwh, now);
  }
  static const ParcelIndex& index_of(GameEngine& e) NO_THREAD_SAFETY_ANALYSIS { return e.parcel_index_; }
  static bool save_unlocked(GameEngine& e) NO_THREAD_SAFETY_ANALYSIS { return e.save_world_unlocked(); }

  // The touch_* calls, for tests of the undo journal.
  static void touch_player(GameEngine& e, const std::string& k) NO_THREAD_SAFETY_ANALYSIS { e.touch_player_unlocked(k); }
  static void touch_parcel(GameEngine& e, std::string_view k) NO_THREAD_SAFETY_ANALYSIS { e.touch_parcel_unlocked(k); }
  static void touch_user(GameEngine& e, const std::string& k) NO_THREAD_SAFETY_ANALYSIS { e.touch_user_unlocked(k); }
  static void touch_email(GameEngine& e, const std::string& k) NO_THREAD_SAFETY_ANALYSIS { e.touch_email_index_unlocked(k); }
  static void touch_username(GameEngine& e, const std::string& k) NO_THREAD_SAFETY_ANALYSIS { e.touch_username_index_unlocked(k); }
  static void touch_google(GameEngine& e, const std::string& k) NO_THREAD_SAFETY_ANALYSIS { e.touch_google_index_unlocked(k); }
  static void touch_session(GameEngine& e, const std::string& k) NO_THREAD_SAFETY_ANALYSIS { e.touch_session_unlocked(k); }
  static void touch_cer(GameEngine& e, const std::string& k) NO_THREAD_SAFETY_ANALYSIS { e.touch_cer_unlocked(k); }
  static void touch_question(GameEngine& e, const std::string& k) NO_THREAD_SAFETY_ANALYSIS { e.touch_quiz_question_unlocked(k); }
  static void touch_categories(GameEngine& e) NO_THREAD_SAFETY_ANALYSIS { e.touch_quiz_categories_unlocked(); }
  static void touch_admin(GameEngine& e) NO_THREAD_SAFETY_ANALYSIS { e.touch_admin_unlocked(); }
  static void touch_ads(GameEngine& e) NO_THREAD_SAFETY_ANALYSIS { e.touch_ads_unlocked(); }

  // Runs `change(engine)` as the part of an action, through the engine's
  // one road of a change; returns what it answered in `out`.
  template <typename Change>
  static bool change_and_save(GameEngine& engine, Change change, std::string& out) {
    return engine.change(out, [&](std::string&) {
      change(engine);
      return true;
    });
  }
};

}  // namespace ZezozuRiziv

namespace game_test {

namespace fs = std::filesystem;

// 2024-06-21 10:00:00 UTC, a Friday morning: the sun is up over Italy.
inline constexpr uint64_t kSummerMorningMs = 1'718'964'000'000ULL;

inline std::string read_file(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

inline void write_file(const std::string& path, const std::string& content) {
  std::ofstream(path, std::ios::binary | std::ios::trunc) << content;
}

inline std::vector<std::string> lines_of(const std::string& text) {
  std::vector<std::string> lines;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  return lines;
}

// Lines of `text` whose tag (the text before the first '|') is `tag`.
inline std::vector<std::string> lines_tagged(const std::string& text, const std::string& tag) {
  std::vector<std::string> out;
  for (const std::string& line : lines_of(text)) {
    if (line.compare(0, tag.size() + 1, tag + "|") == 0) out.push_back(line);
  }
  return out;
}

// The raw value of "key": in a JSON text (first occurrence): a quoted text
// without its quotes, or a bare number/literal.
inline std::string json_value(const std::string& json, const std::string& key) {
  const std::string needle = "\"" + key + "\":";
  const size_t at = json.find(needle);
  if (at == std::string::npos) return "<missing " + key + ">";
  size_t i = at + needle.size();
  if (json[i] == '"') {
    std::string value;
    for (++i; i < json.size() && json[i] != '"'; ++i) {
      if (json[i] == '\\') ++i;
      value += json[i];
    }
    return value;
  }
  const size_t end = json.find_first_of(",}]", i);
  return json.substr(i, end - i);
}

inline size_t count_of(const std::string& text, const std::string& what) {
  size_t n = 0;
  for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + what.size())) ++n;
  return n;
}

// A point of hex cell (q, r) on a grid laid from (40, 10): lots placed by
// cell away from the seeded ones.
inline void cell_centre(int64_t q, int64_t r, double& lat, double& lon) {
  const double y = 1.5 * static_cast<double>(r);
  const double x = (static_cast<double>(q) + static_cast<double>(r) / 2.0) * std::sqrt(3.0);
  lat = 40.0 + y * ZezozuRiziv::kHexLatStep;
  lon = 10.0 + x * ZezozuRiziv::kHexLonStep;
}

// Everything the engine holds, as sorted text: the world file's own lines
// plus the fields and indexes that live only in memory.
inline std::string dump_world(ZezozuRiziv::GameEngine& engine) {
  using namespace ZezozuRiziv;
  using Peer = GameEngineTestPeer;
  std::vector<std::string> lines;
  Peer::with_lock(engine, [&](GameEngine& e) {
    for (const auto& [k, p] : Peer::players_of(e)) {
      std::string line = "key=" + k + " ";
      append_player_line(line, p);
      line += " power=" + std::to_string(p.power_kw) + " boost=" + std::to_string(p.storage_boost) +
              " count=" + std::to_string(p.parcels_count) + " gps=" + std::to_string(p.last_gps_ms) +
              " day=" + std::to_string(p.day_index) + " answered=" + std::to_string(p.answered_this_week.size());
      lines.push_back(line);
    }
    for (const auto& [k, l] : Peer::parcels_of(e)) {
      std::string line = "key=" + k.str() + " ";
      append_parcel_line(line, l);
      lines.push_back(line + " updated=" + std::to_string(l.updated_ms));
    }
    for (const auto& [k, u] : Peer::users_of(e)) {
      std::string line = "key=" + k + " ";
      append_user_line(line, u);
      lines.push_back(line);
    }
    for (const auto& [k, v] : Peer::email_index_of(e)) lines.push_back("email " + k + "=" + v);
    for (const auto& [k, v] : Peer::username_index_of(e)) lines.push_back("username " + k + "=" + v);
    for (const auto& [k, v] : Peer::google_index_of(e)) lines.push_back("google " + k + "=" + v);
    for (const auto& [k, v] : Peer::sessions_of(e)) lines.push_back("session " + k + "=" + v);
    for (const auto& [k, c] : Peer::cers_of(e)) {
      std::string line = "key=" + k + " ";
      append_community_lines(line, c);
      lines.push_back(line);
    }
    for (const auto& [k, q] : Peer::questions_of(e)) {
      std::string line = "key=" + k + " ";
      append_question_line(line, q);
      lines.push_back(line);
    }
    std::string rest;
    for (const std::string& c : Peer::categories_of(e)) append_category_line(rest, c);
    append_admin_lines(rest, Peer::admin_of(e));
    append_ads_line(rest, {&Peer::ads_config_of(e), &Peer::google_impressions_of(e), &Peer::meta_impressions_of(e),
                           &Peer::amazon_impressions_of(e), &Peer::total_revenue_of(e)});
    const AdNetworksConfig& ads = Peer::ads_config_of(e);
    rest += ads.google_publisher_id + ads.moloco_app_key + std::to_string(Peer::moloco_impressions_of(e));
    lines.push_back(rest);
    // The indexes: who owns what, in which order, and what each cell holds.
    for (const auto& [k, p] : Peer::players_of(e)) {
      std::string owned = "owned " + k + ":";
      for (const ParcelRecord* l : Peer::index_of(e).owned_by(k)) (owned += ' ') += l->key.view();
      lines.push_back(owned);
    }
    for (const auto& [k, l] : Peer::parcels_of(e)) {
      std::string cell = "cell " + k.str() + ":";
      for (const ParcelRecord* o : Peer::index_of(e).in_hex_cell(hex_cell_of(l.lat, l.lon))) {
        (cell += ' ') += o->key.view();
      }
      lines.push_back(cell);
    }
  });
  std::sort(lines.begin(), lines.end());
  std::string out;
  for (const std::string& line : lines) out += line + "\n";
  return out;
}

// A scratch directory per test, and engines on a manual clock in it.
class GameFixture : public ::testing::Test {
 protected:
  void SetUp() override {
    const auto* info = ::testing::UnitTest::GetInstance()->current_test_info();
    root_ = fs::temp_directory_path() /
            ("rozeve_game_" + std::string(info->test_suite_name()) + "_" + info->name() + "_" +
             std::to_string(std::chrono::steady_clock::now().time_since_epoch().count()));
    clock_ = std::make_shared<ZezozuRiziv::ManualGameClock>(kSummerMorningMs);
  }
  void TearDown() override {
    std::error_code ec;
    fs::remove_all(root_, ec);
  }

  std::string dir(const std::string& sub = "data") const { return (root_ / sub).string(); }
  std::string world_path() const { return dir() + "/game_world.dat"; }
  std::string journal_path() const { return dir() + "/" + ZezozuRiziv::kJournalFileName; }
  // The world file and then the journal's records, as a start reads them.
  std::string saved_world() const { return rozeve_test::saved_world_text(dir()); }
  // Writes `content` as the world file of a fresh data directory.
  void plant_world(const std::string& content) {
    fs::create_directories(dir());
    write_file(world_path(), content);
  }
  std::unique_ptr<ZezozuRiziv::GameEngine> make_engine() {
    return std::make_unique<ZezozuRiziv::GameEngine>(dir(), clock_);
  }
  // Until allow_saves: every change fails to reach the journal, and a
  // rewrite of the whole file cannot create its temporary file.
  void block_saves(ZezozuRiziv::GameEngine& engine) {
    fs::create_directories(world_path() + ".tmp");
    ZezozuRiziv::GameEngineTestPeer::fail_journal(engine, true);
  }
  void allow_saves(ZezozuRiziv::GameEngine& engine) {
    fs::remove_all(world_path() + ".tmp");
    ZezozuRiziv::GameEngineTestPeer::fail_journal(engine, false);
  }

  fs::path root_;
  std::shared_ptr<ZezozuRiziv::ManualGameClock> clock_;
};

}  // namespace game_test
