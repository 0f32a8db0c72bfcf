#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <future>
#include <iostream>
#include <regex>
#include <sstream>
#include <string>
#include <sys/stat.h>
#include <thread>
#include <vector>

#include "crypto/sha256.h"
#include "game/model/text_safety.h"
#include "game_test_support.h"

namespace ZezozuRiziv {
namespace {

using game_test::json_value;
using Peer = GameEngineTestPeer;
namespace fs = std::filesystem;

constexpr char kDenied[] =
    "{\"status\":\"error\",\"message\":\"Accesso negato: token amministratore non valido o scaduto.\"}";
constexpr uint64_t kDayMs = 86'400'000;
constexpr uint64_t kMinuteMs = 60'000;
constexpr char kPrinted[] = "[ADMIN] Password master amministratore di questo nodo: ";

// What the engine prints to the console while `run` runs.
template <typename Run>
std::string console_of(Run run) {
  std::ostringstream captured;
  std::streambuf* saved = std::cout.rdbuf(captured.rdbuf());
  run();
  std::cout.rdbuf(saved);
  return captured.str();
}

class GameAdmin : public game_test::GameFixture {
 protected:
  void SetUp() override {
    GameFixture::SetUp();
    console_ = console_of([&] { engine_ = make_engine(); });
    const size_t at = console_.find(kPrinted);
    ASSERT_NE(at, std::string::npos) << console_;
    password_ = console_.substr(at + std::strlen(kPrinted), 22);
  }

  std::string password_path() const { return dir() + "/" + kMasterPasswordFileName; }
  std::string login() {
    std::string token;
    EXPECT_TRUE(engine_->admin_authenticate(password_, token, out_)) << out_;
    return token;
  }
  void block_saves() { game_test::GameFixture::block_saves(*engine_); }

  std::unique_ptr<GameEngine> engine_;
  std::string console_;
  std::string password_;
  std::string out_;
};

TEST_F(GameAdmin, TheMasterPasswordIsTheNodesOwn) {
  // Printed once with where it is kept; stored for its owner alone.
  EXPECT_TRUE(std::regex_match(password_, std::regex("[A-Za-z0-9]{22}"))) << console_;
  EXPECT_NE(console_.find("[ADMIN] Conservata in " + password_path()), std::string::npos) << console_;
  EXPECT_EQ(game_test::read_file(password_path()), password_ + "\n");
  struct stat st {};
  ASSERT_EQ(::stat(password_path().c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0600u);

  // The next start reads it: nothing printed, nothing rewritten.
  const std::string console = console_of([&] { engine_ = make_engine(); });
  EXPECT_EQ(console.find("[ADMIN]"), std::string::npos) << console;
  EXPECT_FALSE(engine_->load_failed());
  EXPECT_EQ(game_test::read_file(password_path()), password_ + "\n");
  EXPECT_FALSE(login().empty());

  // Another node has another password.
  std::string other;
  console_of([&] { GameEngine second(dir("other"), clock_); });
  other = game_test::read_file(dir("other") + "/" + kMasterPasswordFileName);
  EXPECT_EQ(other.size(), 23u);
  EXPECT_NE(other, password_ + "\n");
}

TEST_F(GameAdmin, ADamagedPasswordFileStopsTheStart) {
  engine_.reset();
  for (const std::string& content : {std::string("corta\n"), std::string(23, 'a'), password_ + "!", std::string()}) {
    game_test::write_file(password_path(), content);
    const std::string console = console_of([&] { engine_ = make_engine(); });
    EXPECT_TRUE(engine_->load_failed()) << content;
    EXPECT_NE(engine_->load_error().find(password_path()), std::string::npos) << engine_->load_error();
    EXPECT_NE(console.find(engine_->load_error()), std::string::npos);
    // Left as it was, and nothing is saved over the world.
    EXPECT_EQ(game_test::read_file(password_path()), content);
    std::string token;
    EXPECT_FALSE(engine_->admin_authenticate(content, token, out_));
  }
  fs::remove(password_path());
  fs::create_directories(password_path());
  console_of([&] { engine_ = make_engine(); });
  EXPECT_TRUE(engine_->load_failed());
}

TEST_F(GameAdmin, LoginAcceptsTheStoredHashBesideTheMasterPassword) {
  std::string token;
  EXPECT_FALSE(engine_->admin_authenticate("sbagliata", token, out_));
  EXPECT_EQ(out_, "{\"status\":\"error\",\"message\":\"Password Master Amministratore non corretta.\"}");
  EXPECT_TRUE(token.empty());
  EXPECT_FALSE(engine_->admin_authenticate("", token, out_));

  EXPECT_TRUE(engine_->admin_authenticate(password_, token, out_));
  EXPECT_TRUE(std::regex_match(token, std::regex("adm_tok_[0-9a-f]{64}"))) << token;
  EXPECT_EQ(out_, "{\"status\":\"ok\",\"message\":\"Accesso Amministratore Superiore autorizzato con successo.\","
                  "\"token\":\"" + token + "\",\"expires_in_sec\":86400}");

  Peer::with_lock(*engine_, [](GameEngine& e) {
    Peer::admin_of(e).admin_password_hash = RozeveCrypto::SHA256::hash_string("una password scelta");
  });
  std::string second;
  EXPECT_TRUE(engine_->admin_authenticate("una password scelta", second, out_));
  EXPECT_TRUE(engine_->admin_authenticate(password_, second, out_));
  EXPECT_NE(second, token);
}

TEST_F(GameAdmin, TokensExpireAfterADayAndAtRestart) {
  const std::string token = login();
  EXPECT_TRUE(engine_->admin_verify_token(token));
  EXPECT_FALSE(engine_->admin_verify_token(""));
  EXPECT_FALSE(engine_->admin_verify_token("adm_tok_" + std::string(64, '0')));
  clock_->advance_ms(kDayMs - 1);
  EXPECT_TRUE(engine_->admin_verify_token(token));
  EXPECT_NE(engine_->admin_get_full_telemetry_json(token), kDenied);
  clock_->advance_ms(1);
  EXPECT_FALSE(engine_->admin_verify_token(token));
  EXPECT_EQ(engine_->admin_get_full_telemetry_json(token), kDenied);

  const std::string fresh = login();
  console_of([&] { engine_ = make_engine(); });
  EXPECT_FALSE(engine_->admin_verify_token(fresh));
}

TEST_F(GameAdmin, EveryOperationRefusesABadTokenAndChangesNothing) {
  const std::string token = login();
  std::string ignored;
  ASSERT_TRUE(engine_->admin_trigger_super_boost(token, 10, "", ignored));
  ASSERT_TRUE(engine_->admin_schedule_super_boost(token, 0, 0, 0, "", "", ignored));
  const std::string before = game_test::dump_world(*engine_);
  const std::string file = saved_world();
  clock_->advance_ms(kDayMs);  // now expired
  for (const std::string& bad : {std::string(), std::string("adm_tok_nope"), token}) {
    EXPECT_EQ(engine_->admin_get_full_telemetry_json(bad), kDenied);
    EXPECT_EQ(engine_->admin_get_scheduled_boosts_json(bad), "{\"status\":\"error\",\"message\":\"Accesso negato.\"}");
    EXPECT_FALSE(engine_->admin_trigger_super_boost(bad, 30, "x", out_));
    EXPECT_EQ(out_, kDenied);
    EXPECT_FALSE(engine_->admin_cancel_super_boost(bad, out_));
    EXPECT_EQ(out_, kDenied);
    EXPECT_FALSE(engine_->admin_schedule_super_boost(bad, 0, 0, 5, "t", "r", out_));
    EXPECT_EQ(out_, kDenied);
    EXPECT_FALSE(engine_->admin_cancel_scheduled_boost(bad, "ALL", out_));
    EXPECT_EQ(out_, "{\"status\":\"error\",\"message\":\"Accesso negato: token non valido.\"}");
  }
  EXPECT_EQ(game_test::dump_world(*engine_), before);
  EXPECT_EQ(saved_world(), file);
}

TEST_F(GameAdmin, TriggerAndCancelTheSuperBoost) {
  const std::string token = login();
  const uint64_t now = game_test::kSummerMorningMs;
  struct Case {
    uint64_t minutes;
    uint64_t applied;
  };
  for (const Case c : {Case{0, 30}, Case{1, 1}, Case{180, 180}, Case{500, 180}, Case{UINT64_MAX, 180}}) {
    EXPECT_TRUE(engine_->admin_trigger_super_boost(token, c.minutes, "", out_)) << out_;
    const uint64_t until = now + c.applied * kMinuteMs;
    EXPECT_EQ(out_, "{\"status\":\"ok\",\"message\":\"Super Spinta Energetica x100 attivata per " +
                        std::to_string(c.applied) + " minuti su tutta la rete!\",\"super_boost_until_ms\":" +
                        std::to_string(until) + ",\"duration_minutes\":" + std::to_string(c.applied) + "}");
    EXPECT_EQ(Peer::admin(*engine_).super_boost_until_ms, until);
  }
  EXPECT_EQ(Peer::admin(*engine_).super_boost_reason, "Super Spinta Energetica di Rete Nazionale x100 programmata");
  // Triggering again replaces the end; the reason is cleaned for the file.
  EXPECT_TRUE(engine_->admin_trigger_super_boost(token, 5, "Picco|di\r\nsole", out_));
  const std::string adm = "ADM|" + Peer::admin(*engine_).admin_password_hash + "|" +
                          std::to_string(now + 5 * kMinuteMs) + "|Piccodisole|0\n";
  EXPECT_NE(saved_world().find(adm), std::string::npos);

  EXPECT_TRUE(engine_->admin_cancel_super_boost(token, out_));
  EXPECT_EQ(out_, "{\"status\":\"ok\",\"message\":\"Super Spinta Energetica x100 disattivata con successo.\"}");
  EXPECT_EQ(Peer::admin(*engine_).super_boost_until_ms, 0u);
  EXPECT_TRUE(Peer::admin(*engine_).super_boost_reason.empty());
  console_of([&] { engine_ = make_engine(); });
  EXPECT_EQ(Peer::admin(*engine_).super_boost_until_ms, 0u);
}

TEST_F(GameAdmin, ScheduleBoosts) {
  const std::string token = login();
  const uint64_t now = game_test::kSummerMorningMs;
  // Zeros: now, 30 minutes, x100, a title of its own.
  EXPECT_TRUE(engine_->admin_schedule_super_boost(token, 0, 0, 0, "", "", out_));
  EXPECT_EQ(out_, "{\"status\":\"ok\",\"message\":\"Super Boost programmato con successo per l orario selezionato!\","
                  "\"id\":\"sb_" + std::to_string(now) + "_1\",\"start_ms\":" + std::to_string(now) +
                      ",\"end_ms\":" + std::to_string(now + 1'800'000) + ",\"multiplier\":100,"
                      "\"title\":\"Super Boost x100\"}");
  // A start in the past is now; an end not after the start is 30 minutes on.
  EXPECT_TRUE(engine_->admin_schedule_super_boost(token, now - 5, now - 1, 7, "Ti|tolo", "Mo\ntivo", out_));
  EXPECT_EQ(json_value(out_, "start_ms"), std::to_string(now));
  EXPECT_EQ(json_value(out_, "end_ms"), std::to_string(now + 1'800'000));
  EXPECT_EQ(json_value(out_, "title"), "Titolo");
  // The third boost ends in "_3", whatever came before.
  clock_->advance_ms(1'000);
  EXPECT_TRUE(engine_->admin_schedule_super_boost(token, now + 60'000, UINT64_MAX, 4'000'000'000u, "\"Q\"", "", out_));
  EXPECT_EQ(json_value(out_, "id"), "sb_" + std::to_string(now + 1'000) + "_3");
  EXPECT_NE(out_.find("\"title\":\"\\\"Q\\\"\""), std::string::npos) << out_;
  // Far in the future, the default end does not wrap around.
  EXPECT_TRUE(engine_->admin_schedule_super_boost(token, UINT64_MAX - 10, 0, 2, "", "", out_));
  EXPECT_EQ(json_value(out_, "end_ms"), std::to_string(UINT64_MAX));

  const auto boosts = Peer::admin(*engine_).scheduled_boosts;
  ASSERT_EQ(boosts.size(), 4u);
  EXPECT_EQ(boosts[1].reason, "Motivo");
  EXPECT_EQ(boosts[1].multiplier, 7u);
  EXPECT_EQ(boosts[2].multiplier, 4'000'000'000u);
  EXPECT_EQ(boosts[2].created_ms, now + 1'000);
  EXPECT_FALSE(boosts[0].cancelled);
  // Stored as listed.
  console_of([&] { engine_ = make_engine(); });
  const auto loaded = Peer::admin(*engine_).scheduled_boosts;
  ASSERT_EQ(loaded.size(), 4u);
  EXPECT_EQ(loaded[1].title, "Titolo");
  EXPECT_EQ(loaded[1].reason, "Motivo");
  EXPECT_EQ(loaded[2].end_ms, UINT64_MAX);
}

TEST_F(GameAdmin, CancelScheduledBoosts) {
  const std::string token = login();
  const char kNotFound[] = "{\"status\":\"error\",\"message\":\"ID programmazione non trovato.\"}";
  const char kCancelled[] = "{\"status\":\"ok\",\"message\":\"Programmazione Super Boost annullata.\"}";
  // An empty list: nothing found, the running boost ends all the same.
  ASSERT_TRUE(engine_->admin_trigger_super_boost(token, 30, "", out_));
  EXPECT_FALSE(engine_->admin_cancel_scheduled_boost(token, "ALL", out_));
  EXPECT_EQ(out_, kNotFound);
  EXPECT_EQ(Peer::admin(*engine_).super_boost_until_ms, 0u);

  std::vector<std::string> ids;
  for (int i = 0; i < 3; ++i) {
    ASSERT_TRUE(engine_->admin_schedule_super_boost(token, 0, 0, 0, "", "", out_));
    ids.push_back(json_value(out_, "id"));
  }
  ASSERT_TRUE(engine_->admin_trigger_super_boost(token, 30, "", out_));
  EXPECT_FALSE(engine_->admin_cancel_scheduled_boost(token, "sb_nope", out_));
  EXPECT_EQ(out_, kNotFound);
  EXPECT_EQ(Peer::admin(*engine_).super_boost_until_ms, 0u);
  // Saved even when nothing was found.
  console_of([&] { engine_ = make_engine(); });
  EXPECT_EQ(Peer::admin(*engine_).super_boost_until_ms, 0u);
  const std::string fresh = login();

  EXPECT_TRUE(engine_->admin_cancel_scheduled_boost(fresh, ids[1], out_));
  EXPECT_EQ(out_, kCancelled);
  auto boosts = Peer::admin(*engine_).scheduled_boosts;
  EXPECT_FALSE(boosts[0].cancelled);
  EXPECT_TRUE(boosts[1].cancelled);
  EXPECT_FALSE(boosts[2].cancelled);
  for (const std::string all : {"", "ALL"}) {
    EXPECT_TRUE(engine_->admin_cancel_scheduled_boost(fresh, all, out_));
    EXPECT_EQ(out_, kCancelled);
    boosts = Peer::admin(*engine_).scheduled_boosts;
    ASSERT_EQ(boosts.size(), 3u);  // cancelled boosts stay listed
    for (const auto& b : boosts) EXPECT_TRUE(b.cancelled);
  }
}

TEST_F(GameAdmin, FailedSavesUndoTheBoosts) {
  const std::string token = login();
  ASSERT_TRUE(engine_->admin_schedule_super_boost(token, 0, 0, 0, "", "", out_));
  block_saves();
  const std::string before = game_test::dump_world(*engine_);
  const std::string failed = error_json(kSaveFailedMessage);
  EXPECT_FALSE(engine_->admin_trigger_super_boost(token, 30, "r", out_));
  EXPECT_EQ(out_, failed);
  EXPECT_FALSE(engine_->admin_schedule_super_boost(token, 0, 0, 0, "", "", out_));
  EXPECT_EQ(out_, failed);
  EXPECT_FALSE(engine_->admin_cancel_scheduled_boost(token, "ALL", out_));
  EXPECT_EQ(out_, failed);
  EXPECT_FALSE(engine_->admin_cancel_super_boost(token, out_));
  EXPECT_EQ(out_, failed);
  EXPECT_EQ(game_test::dump_world(*engine_), before);
}

// A world whose sums are known: two players, three lots (two hydrogen lots
// of 0xa, whose power the sun does not change, and a free one), the ad
// counters, and the seeded quiz and communities.
class GameTelemetry : public GameAdmin {
 protected:
  void SetUp() override {
    GameAdmin::SetUp();
    engine_.reset();
    const std::string now = std::to_string(game_test::kSummerMorningMs);
    game_test::write_file(world_path(),
                          "A|g|m|p|a|s|7|8|9|10.000000\n"
                          "P|0xa|100|10.500000|2.250000|" + now + "|0\n"
                          "P|0xb|50|4.250000|1.500000|" + now + "|0\n"
                          "L|k1|41.000000|12.000000|0xa|hydrogen|1|12.500000|0.000000|H\n"
                          "L|k2|41.010000|12.000000|0xa|hydrogen|1|12.500000|0.000000|H\n"
                          "L|k3|41.020000|12.000000|||0|0.000000|0.000000|Libero\n"
                          "ADM||0||0\n");
    console_of([&] { engine_ = make_engine(); });
    token_ = login();
  }
  std::string telemetry() { return engine_->admin_get_full_telemetry_json(token_); }
  // The "super_boost_100x" object of the telemetry.
  std::string boost_state() {
    const std::string t = telemetry();
    const size_t at = t.find("\"super_boost_100x\":");
    return t.substr(at, t.find('}', at) - at + 1);
  }

  std::string token_;
};

TEST_F(GameTelemetry, SumsOverEveryPlayer) {
  const std::string now = std::to_string(game_test::kSummerMorningMs);
  EXPECT_EQ(telemetry(),
            "{\"status\":\"ok\",\"server_time_ms\":" + now +
                ",\"metrics\":{\"total_players\":2,\"total_parcels\":3,\"total_power_kw\":25.00,"
                "\"total_accumulated_kwh\":14.75,\"total_watt_coins\":150,\"total_ruz\":3.75},"
                "\"super_boost_100x\":{\"is_active\":false,\"multiplier\":1,\"until_ms\":0,\"remaining_sec\":0,"
                "\"reason\":\"\"},\"scheduled_boosts\":[],"
                "\"ads_telemetry\":{\"google_impressions\":7,\"meta_impressions\":8,\"amazon_impressions\":9,"
                "\"moloco_impressions\":0,\"total_revenue_eur\":10.00,\"srl_revenue_eur\":6.00,"
                "\"coop_revenue_eur\":3.00,\"node_revenue_eur\":1.00},\"cers_count\":3,\"quiz_questions_count\":6}");
}

TEST_F(GameTelemetry, BoostStatesAndTheirObjects) {
  const uint64_t now = game_test::kSummerMorningMs;
  std::string ignored;
  // Scheduled x5 from +60 s to +120 s, titled; x7 untitled with a reason.
  ASSERT_TRUE(engine_->admin_schedule_super_boost(token_, now + 60'000, now + 120'000, 5, "Cinque", "", ignored));
  ASSERT_TRUE(engine_->admin_schedule_super_boost(token_, now + 90'000, now + 100'500, 7, "", "Sette", ignored));
  // The second was titled "Super Boost x7" by default; give it none.
  Peer::with_lock(*engine_, [](GameEngine& e) { Peer::admin_of(e).scheduled_boosts[1].title.clear(); });
  const std::string first_id = Peer::admin(*engine_).scheduled_boosts[0].id;

  EXPECT_EQ(boost_state(), "\"super_boost_100x\":{\"is_active\":false,\"multiplier\":1,\"until_ms\":0,"
                           "\"remaining_sec\":0,\"reason\":\"\"}");
  EXPECT_NE(telemetry().find("{\"id\":\"" + first_id + "\",\"title\":\"Cinque\",\"reason\":\"\",\"start_ms\":" +
                             std::to_string(now + 60'000) + ",\"end_ms\":" + std::to_string(now + 120'000) +
                             ",\"multiplier\":5,\"status\":\"scheduled\",\"remaining_sec\":0,"
                             "\"starts_in_sec\":60,\"cancelled\":false}"),
            std::string::npos)
      << telemetry();

  // Only the x5 runs: its title is the reason, until_ms stays 0.
  clock_->set_ms(now + 60'500);
  EXPECT_EQ(boost_state(), "\"super_boost_100x\":{\"is_active\":true,\"multiplier\":5,\"until_ms\":0,"
                           "\"remaining_sec\":59,\"reason\":\"Cinque\"}");
  // Both run: the larger multiplier, the longer remainder, the later reason.
  clock_->set_ms(now + 95'000);
  EXPECT_EQ(boost_state(), "\"super_boost_100x\":{\"is_active\":true,\"multiplier\":7,\"until_ms\":0,"
                           "\"remaining_sec\":25,\"reason\":\"Sette\"}");
  const std::string list = engine_->admin_get_scheduled_boosts_json(token_);
  EXPECT_EQ(list.rfind("{\"status\":\"ok\",\"server_time_ms\":" + std::to_string(now + 95'000) +
                           ",\"scheduled_boosts\":[{",
                       0),
            0u)
      << list;
  EXPECT_NE(list.find("\"status\":\"active\",\"remaining_sec\":25,\"starts_in_sec\":0"), std::string::npos);
  EXPECT_NE(list.find("\"status\":\"active\",\"remaining_sec\":5,\"starts_in_sec\":0"), std::string::npos);

  // The x100 on top: 100 beats 7; until_ms is its own.
  ASSERT_TRUE(engine_->admin_trigger_super_boost(token_, 1, "Cento", ignored));
  EXPECT_EQ(boost_state(), "\"super_boost_100x\":{\"is_active\":true,\"multiplier\":100,\"until_ms\":" +
                               std::to_string(now + 155'000) + ",\"remaining_sec\":60,\"reason\":\"Sette\"}");

  // Completed and cancelled boosts count for nothing.
  clock_->set_ms(now + 200'000);
  ASSERT_TRUE(engine_->admin_cancel_scheduled_boost(token_, first_id, ignored));
  const std::string after = telemetry();
  EXPECT_NE(after.find("\"status\":\"cancelled\",\"remaining_sec\":0,\"starts_in_sec\":0,\"cancelled\":true"),
            std::string::npos);
  EXPECT_NE(after.find("\"status\":\"completed\",\"remaining_sec\":0,\"starts_in_sec\":0,\"cancelled\":false"),
            std::string::npos);
  EXPECT_EQ(boost_state(), "\"super_boost_100x\":{\"is_active\":false,\"multiplier\":1,\"until_ms\":0,"
                           "\"remaining_sec\":0,\"reason\":\"Cento\"}");
}

TEST_F(GameTelemetry, BoostsShowInAPlayersProduction) {
  // 0xa makes 25 kW: a minute is 25/60 kWh without a boost.
  const double minute_kwh = 25.0 / 60.0;
  const auto kwh_after_a_minute = [&]() {
    const double before = Peer::player(*engine_, "0xa").kwh;
    clock_->advance_ms(kMinuteMs);
    engine_->get_production_history_json("0xa");
    return Peer::player(*engine_, "0xa").kwh - before;
  };
  engine_->get_production_history_json("0xa");  // up to date now
  EXPECT_NEAR(kwh_after_a_minute(), minute_kwh, 1e-9);

  std::string ignored;
  ASSERT_TRUE(engine_->admin_trigger_super_boost(token_, 30, "", ignored));
  EXPECT_NEAR(kwh_after_a_minute(), 100 * minute_kwh, 1e-9);
  ASSERT_TRUE(engine_->admin_cancel_super_boost(token_, ignored));
  EXPECT_NEAR(kwh_after_a_minute(), minute_kwh, 1e-9);

  // A scheduled x5 counts only from its start, and not once cancelled.
  // (A sync weighs each part of the minute by the boost running then.)
  const uint64_t start = clock_->now_ms() + kMinuteMs + kMinuteMs / 2;
  ASSERT_TRUE(engine_->admin_schedule_super_boost(token_, start, start + 10 * kMinuteMs, 5, "", "", ignored));
  const std::string id = json_value(ignored, "id");
  EXPECT_NEAR(kwh_after_a_minute(), minute_kwh, 1e-9);
  EXPECT_NEAR(kwh_after_a_minute(), (0.5 + 0.5 * 5) * minute_kwh, 1e-9);
  EXPECT_NEAR(kwh_after_a_minute(), 5 * minute_kwh, 1e-9);
  ASSERT_TRUE(engine_->admin_cancel_scheduled_boost(token_, id, ignored));
  EXPECT_NEAR(kwh_after_a_minute(), minute_kwh, 1e-9);
}

// The operations check their token while they hold the game lock; none may
// wait for itself, and the outside check shares the lock with readers.
TEST_F(GameAdmin, TokenChecksNeverWaitForTheirOwnLock) {
  const std::string token = login();
  auto* engine = engine_.get();
  auto all_operations = std::async(std::launch::async, [engine, token] {
    std::string out;
    bool ok = engine->admin_verify_token(token);
    ok = engine->admin_get_full_telemetry_json(token).starts_with("{\"status\":\"ok\"") && ok;
    ok = engine->admin_get_scheduled_boosts_json(token).starts_with("{\"status\":\"ok\"") && ok;
    ok = engine->admin_trigger_super_boost(token, 1, "", out) && ok;
    ok = engine->admin_schedule_super_boost(token, 0, 0, 0, "", "", out) && ok;
    ok = engine->admin_cancel_scheduled_boost(token, "ALL", out) && ok;
    ok = engine->admin_cancel_super_boost(token, out) && ok;
    return ok;
  });
  ASSERT_EQ(all_operations.wait_for(std::chrono::seconds(20)), std::future_status::ready);
  EXPECT_TRUE(all_operations.get());

  // While a reader holds the lock, the outside check still answers.
  std::shared_lock reader(Peer::game_lock(*engine_));
  auto verify = std::async(std::launch::async, [engine, token] { return engine->admin_verify_token(token); });
  ASSERT_EQ(verify.wait_for(std::chrono::seconds(20)), std::future_status::ready);
  EXPECT_TRUE(verify.get());
}

}  // namespace
}  // namespace ZezozuRiziv
