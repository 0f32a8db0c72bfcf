#include <gtest/gtest.h>

#include <regex>
#include <thread>
#include <string>
#include <vector>

#include "game_test_support.h"

namespace ZezozuRiziv {
namespace {

using game_test::count_of;
using game_test::json_value;
using game_test::kSummerMorningMs;
using Peer = GameEngineTestPeer;

// The keys of a JSON text in the order they appear.
std::vector<std::string> keys_of(const std::string& json) {
  std::vector<std::string> keys;
  const std::regex key("\"([A-Za-z_0-9]+)\":");
  for (auto it = std::sregex_iterator(json.begin(), json.end(), key); it != std::sregex_iterator(); ++it) {
    keys.push_back((*it)[1]);
  }
  return keys;
}

class GameViews : public game_test::GameFixture {
 protected:
  void SetUp() override {
    GameFixture::SetUp();
    engine_ = make_engine();
  }
  void put(const ParcelRecord& p) {
    Peer::with_lock(*engine_, [&](GameEngine& e) { Peer::put_parcel(e, p); });
  }
  ParcelRecord lot(const std::string& key, double lat, double lon, const std::string& owner = "",
                   const std::string& type = "", double power = 0.0) {
    ParcelRecord p;
    p.key = key;
    p.lat = lat;
    p.lon = lon;
    p.owner = owner;
    p.plant_type = type;
    p.power_kw = power;
    return p;
  }
  std::unique_ptr<GameEngine> engine_;
};

TEST_F(GameViews, StateOfANewPlayer) {
  const std::string json = engine_->get_player_state_json("0xNEW");
  EXPECT_EQ(json.rfind("{\"status\":\"ok\",\"server_authoritative\":true,\"address\":\"0xnew\",\"coins\":300,"
                       "\"kwh\":25.0000,\"ruz\":5.0000,\"power_kw\":0.0000,\"storage_boost\":1.0000,"
                       "\"parcels_count\":0,\"global_parcels_count\":19,\"global_players_count\":5,"
                       "\"wc_ad_cooldown_remaining_sec\":0,"
                       "\"boost_10x\":{\"is_active\":false,\"until_ms\":0,\"remaining_sec\":0},"
                       "\"super_boost_100x\":{\"is_active\":false,\"multiplier\":1,\"until_ms\":0,"
                       "\"remaining_sec\":0,\"reason\":\"\"},"
                       "\"daily_card\":{\"can_draw\":true,\"cooldown_remaining_sec\":0,\"is_active\":false,\"id\":\"\","
                       "\"name\":\"\",\"desc\":\"\",\"type\":\"\",\"value\":0.0000,\"remaining_sec\":0},"
                       "\"cer\":{\"id\":\"\",\"role\":\"member\"},"
                       "\"quiz\":{\"weekly_score\":0,\"answers_correct\":0,\"author_tricked\":0},"
                       "\"history\":{\"today_kwh\":0.00,\"yesterday_kwh\":0.00,\"this_week_kwh\":0.00,"
                       "\"last_week_kwh\":0.00,\"this_month_kwh\":0.00,\"last_month_kwh\":0.00,"
                       "\"all_time_kwh\":25.00,\"solar_kwh\":0.00,\"wind_kwh\":0.00,\"storage_kwh\":0.00,"
                       "\"hydrogen_kwh\":0.00},\"env\":{\"is_day\":true,",
                       0),
            0u)
      << json;
  EXPECT_EQ(json.substr(json.size() - 13), "\"parcels\":{}}");
  EXPECT_EQ(keys_of(json.substr(json.find("\"env\":"))),
            (std::vector<std::string>{"env", "is_day", "solar_factor", "wind_factor", "solar_elevation",
                                      "solar_declination", "season", "season_name", "sunrise", "sunset",
                                      "weather_desc", "weather_icon", "parcels"}));
  // Two decimals here, four in the weather view; the sun at the default
  // place (38.1402, 13.3574) for a player with no lot and no fix.
  EXPECT_EQ(json_value(json, "solar_factor").size(), 4u);
  const std::string weather = engine_->get_weather_env_json(38.1402, 13.3574, 0);
  EXPECT_EQ(json_value(json, "sunrise"), json_value(weather, "sunrise"));
  EXPECT_NEAR(std::stod(json_value(json, "solar_elevation")), std::stod(json_value(weather, "solar_elevation")),
              0.005);
  // The player exists in memory now, not yet in the world file.
  EXPECT_TRUE(Peer::has_player(*engine_, "0xnew"));
  EXPECT_EQ(saved_world().find("0xnew"), std::string::npos);
}

TEST_F(GameViews, StateShowsBoostsCardCommunityAndOwnLots) {
  const std::string me = "0xme";
  Peer::with_lock(*engine_, [&](GameEngine& e) {
    PlayerProfile& p = Peer::get_or_create(e, me);
    p.card_draw_ms = kSummerMorningMs;
    p.card_until_ms = kSummerMorningMs + 86'400'000;
    p.card_id = "c_h2_25";
    p.card_name = "Catalizzatore Platino";
    p.card_type = "h2_boost";
    p.card_value = 0.25;
    p.boost_10x_until_ms = kSummerMorningMs + 5'000;
    p.last_wc_ad_ms = kSummerMorningMs - 1'000;
    p.cer_id = "cer_gone";
    ScheduledSuperBoost b;
    b.start_ms = kSummerMorningMs - 1;
    b.end_ms = kSummerMorningMs + 60'000;
    b.multiplier = 150;
    b.title = "Festa \"solare\"";
    Peer::admin_of(e).scheduled_boosts.push_back(b);
  });
  put(lot("mine|not|really", 45.0, 9.0, me, "hydrogen", 8.0));  // a key only tests can store
  const std::string json = engine_->get_player_state_json(me);
  EXPECT_NE(json.find("\"wc_ad_cooldown_remaining_sec\":1799,"), std::string::npos) << json;
  EXPECT_NE(json.find("\"boost_10x\":{\"is_active\":true,\"until_ms\":" + std::to_string(kSummerMorningMs + 5000) +
                      ",\"remaining_sec\":5}"),
            std::string::npos);
  EXPECT_NE(json.find("\"super_boost_100x\":{\"is_active\":true,\"multiplier\":150,\"until_ms\":0,"
                      "\"remaining_sec\":60,\"reason\":\"Festa \\\"solare\\\"\"}"),
            std::string::npos)
      << json;
  EXPECT_NE(json.find("\"daily_card\":{\"can_draw\":false,\"cooldown_remaining_sec\":86400,\"is_active\":true,"
                      "\"id\":\"c_h2_25\",\"name\":\"Catalizzatore Platino\",\"desc\":\"\",\"type\":\"h2_boost\","
                      "\"value\":0.2500,\"remaining_sec\":86400}"),
            std::string::npos);
  EXPECT_NE(json.find("\"cer\":{\"id\":\"cer_gone\",\"role\":\"member\"}"), std::string::npos);
  // The card raises the hydrogen lot in the player's power, not in the lot's own view.
  EXPECT_EQ(json_value(json, "power_kw"), "10.0000");
  EXPECT_NE(json.find("\"parcels\":{\"mine|not|really\":{\"key\":\"mine|not|really\",\"lat\":45.000000,"
                      "\"lon\":9.000000,\"owner\":\"0xme\",\"plantType\":\"hydrogen\",\"plantLevel\":0,"
                      "\"plantName\":\"\",\"powerKw\":8.00,\"effectivePowerKw\":8.00,\"isProducing\":true,"
                      "\"boost\":0.00,\"forSale\":false,\"saleCurrency\":\"WC\",\"minBid\":0.00,"
                      "\"buyoutPrice\":0.00,\"highestBid\":0.00,\"highestBidder\":\"\",\"billboardActive\":false,"
                      "\"billboardSpanCluster\":true,\"billboardGroupId\":\"\",\"billboardTitle\":\"\","
                      "\"billboardImageUrl\":\"\",\"billboardLinkUrl\":\"\",\"billboardSocialType\":\"web\"}}}"),
            std::string::npos)
      << json;

  clock_->advance_ms(86'400'000);
  const std::string later = engine_->get_player_state_json(me);
  EXPECT_NE(later.find("\"daily_card\":{\"can_draw\":true,\"cooldown_remaining_sec\":0,\"is_active\":false,"),
            std::string::npos);

  // A member of an existing community sees it.
  Peer::with_lock(*engine_, [&](GameEngine& e) { Peer::players_of(e)[me].cer_id = "cer_solare_italia"; });
  const std::string member = engine_->get_player_state_json(me);
  EXPECT_NE(member.find("\"cer\":{\"id\":\"cer_solare_italia\",\"role\":\"member\",\"name\":\"Comunita Solare "
                        "Italia\",\"tag\":\"SOL\",\"emblem\":\"\xE2\x98\x80\xEF\xB8\x8F\",\"weekly_score\":420,"
                        "\"total_kwh\":12500.0000}"),
            std::string::npos)
      << member;
}

TEST_F(GameViews, ViewsBringThePlayerUpToDateWithoutSaving) {
  Peer::with_lock(*engine_, [&](GameEngine& e) { Peer::get_or_create(e, "0xh"); });
  put(lot("h", 45.0, 9.0, "0xh", "hydrogen", 36.0));
  clock_->advance_ms(3'600'000);
  // Power first (36 kW), then one hour of it.
  const std::string history = engine_->get_production_history_json("0xh");
  EXPECT_EQ(history,
            "{\"status\":\"ok\",\"address\":\"0xh\",\"current_power_kw\":36.00,\"storage_boost\":1.00,"
            "\"periods\":{\"today_kwh\":36.00,\"yesterday_kwh\":0.00,\"this_week_kwh\":36.00,\"last_week_kwh\":0.00,"
            "\"this_month_kwh\":36.00,\"last_month_kwh\":0.00,\"all_time_kwh\":61.00},"
            "\"sources\":{\"solar_kwh\":14.40,\"wind_kwh\":12.60,\"storage_kwh\":5.40,\"hydrogen_kwh\":3.60}}");
  const std::string file = saved_world();
  EXPECT_EQ(file.find("P|0xh|"), std::string::npos);
  clock_->advance_ms(3'600'000);
  EXPECT_EQ(json_value(engine_->get_player_state_json("0xh"), "kwh"), "97.0000");
}

TEST_F(GameViews, ViewportAroundMilanListsTheSolarKingLots) {
  const std::string json = engine_->get_viewport_parcels_json(45.4630, 45.4650, 9.1880, 9.1920, "");
  EXPECT_EQ(count_of(json, "\"owner\":\"0xsolarking_it_milano_cer01\""), 6u) << json;
  EXPECT_EQ(count_of(json, "\"key\":"), 6u);
  EXPECT_EQ(json.rfind("{\"status\":\"ok\",\"env\":{\"is_day\":true,\"solar_factor\":", 0), 0u);
  EXPECT_EQ(json.find("solar_declination"), std::string::npos);
  EXPECT_NE(json.find("\"key\":\"45.46415_9.18999\",\"lat\":45.464148,\"lon\":9.189988,"
                      "\"owner\":\"0xsolarking_it_milano_cer01\",\"is_mine\":false,\"plantType\":\"hydrogen\","
                      "\"plantLevel\":3,\"plantName\":\"Reattore Idrogeno Verde PEM - Polo Energetico di Quartiere "
                      "(Liv. 3)\",\"powerKw\":27.80,\"effectivePowerKw\":27.80,\"isProducing\":true,\"boost\":0.00,"),
            std::string::npos)
      << json;
  EXPECT_EQ(keys_of(json.substr(0, json.find("\"parcels\""))),
            (std::vector<std::string>{"status", "env", "is_day", "solar_factor", "wind_factor", "solar_elevation",
                                      "season", "season_name", "sunrise", "sunset", "weather_desc",
                                      "weather_icon"}));
}

TEST_F(GameViews, ViewportBordersOwnLotsAndTheCap) {
  put(lot("edge", 10.0, 20.0));
  put(lot("inside", 10.5, 20.5));
  put(lot("outside", 11.5, 20.5));
  put(lot("far_mine", -40.0, -70.0, "0xviewer"));
  std::string json = engine_->get_viewport_parcels_json(10.0, 11.0, 20.0, 21.0, "0xVIEWER");
  EXPECT_NE(json.find("\"key\":\"edge\""), std::string::npos);
  EXPECT_NE(json.find("\"key\":\"inside\""), std::string::npos);
  EXPECT_EQ(json.find("\"key\":\"outside\""), std::string::npos);
  EXPECT_NE(json.find("\"key\":\"far_mine\",\"lat\":-40.000000,\"lon\":-70.000000,\"owner\":\"0xviewer\","
                      "\"is_mine\":true"),
            std::string::npos);
  EXPECT_EQ(count_of(json, "\"key\":"), 3u);

  // An upside-down rectangle holds nothing; the viewer's lots still show.
  json = engine_->get_viewport_parcels_json(11.0, 10.0, 20.0, 21.0, "0xviewer");
  EXPECT_EQ(count_of(json, "\"key\":"), 1u);
  json = engine_->get_viewport_parcels_json(11.0, 10.0, 20.0, 21.0, "0xnobody");
  EXPECT_NE(json.find("\"parcels\":[]}"), std::string::npos);

  for (int i = 0; i < 700; ++i) put(lot("many" + std::to_string(i), 30.0 + i * 1e-4, 30.0));
  json = engine_->get_viewport_parcels_json(29.0, 31.0, 29.0, 31.0, "0xviewer");
  EXPECT_EQ(count_of(json, "\"key\":"), 600u);
  // The whole world in one rectangle, bounds of any size.
  const double inf = std::numeric_limits<double>::infinity();
  json = engine_->get_viewport_parcels_json(-inf, inf, -1e300, 1e300, "");
  EXPECT_EQ(count_of(json, "\"key\":"), 600u);
  EXPECT_EQ(json.find("nan"), std::string::npos);
  json = engine_->get_viewport_parcels_json(std::nan(""), 90, -180, 180, "");
  EXPECT_NE(json.find("\"parcels\":[]}"), std::string::npos);
}

TEST_F(GameViews, EffectivePowerByDayAndNight) {
  put(lot("bess", 10.0, 20.0, "0xa", "storage", 10.0));
  put(lot("tiny", 10.0, 20.001, "0xa", "hydrogen", 0.01));
  put(lot("small", 10.0, 20.002, "0xa", "hydrogen", 0.011));
  // 10:00 UTC on 21 June at (10, 20): day.
  std::string json = engine_->get_viewport_parcels_json(9.9, 10.1, 19.9, 20.1, "");
  EXPECT_NE(json.find("\"key\":\"bess\",\"lat\":10.000000,\"lon\":20.000000,\"owner\":\"0xa\",\"is_mine\":false,"
                      "\"plantType\":\"storage\",\"plantLevel\":0,\"plantName\":\"\",\"powerKw\":10.00,"
                      "\"effectivePowerKw\":0.00,\"isProducing\":false"),
            std::string::npos)
      << json;
  EXPECT_NE(json.find("\"powerKw\":0.01,\"effectivePowerKw\":0.01,\"isProducing\":false"), std::string::npos);
  EXPECT_NE(json.find("\"powerKw\":0.01,\"effectivePowerKw\":0.01,\"isProducing\":true"), std::string::npos);
  clock_->advance_ms(12 * 3'600'000);  // 22:00 UTC: night
  json = engine_->get_viewport_parcels_json(9.9, 10.1, 19.9, 20.1, "");
  EXPECT_NE(json.find("\"powerKw\":10.00,\"effectivePowerKw\":4.00,\"isProducing\":true"), std::string::npos)
      << json;
}

TEST_F(GameViews, TextsInAnswersAreEscaped) {
  put(lot("k", 10.0, 20.0, "0xa", "", 0.0));
  Peer::with_lock(*engine_, [](GameEngine& e) {
    ParcelRecord& p = Peer::parcels_of(e).at("k");
    p.title = "Sole \"pieno\" \\ e\ttab";
    p.plant_name = "x\x01y";
  });
  const std::string json = engine_->get_viewport_parcels_json(9.0, 11.0, 19.0, 21.0, "");
  EXPECT_NE(json.find("\"billboardTitle\":\"Sole \\\"pieno\\\" \\\\ e\\ttab\""), std::string::npos) << json;
  EXPECT_NE(json.find("\"plantName\":\"x\\u0001y\""), std::string::npos);
}

}  // namespace
}  // namespace ZezozuRiziv

namespace ZezozuRiziv {
namespace {

class GameConcurrency : public game_test::GameFixture {};

TEST_F(GameConcurrency, BuyersAndViewersShareTheWorld) {
  auto engine = make_engine();
  constexpr int kBuyers = 4;
  constexpr int kLotsEach = 6;  // 300 WC buys six lots
  std::vector<std::thread> threads;
  for (int b = 0; b < kBuyers; ++b) {
    threads.emplace_back([&, b] {
      std::string out;
      for (int i = 0; i < kLotsEach; ++i) {
        const double lat = 20.0 + b;
        const double lon = 20.0 + i * 1e-3;
        const std::string key = std::to_string(b) + "_" + std::to_string(i);
        EXPECT_TRUE(engine->buy_parcel("0xbuyer" + std::to_string(b), key, lat, lon, out, 0, 0, false)) << out;
      }
    });
    threads.emplace_back([&, b] {
      for (int i = 0; i < kLotsEach; ++i) {
        const std::string view = engine->get_viewport_parcels_json(19.0, 25.0, 19.0, 21.0, "0xbuyer" + std::to_string(b));
        EXPECT_EQ(view.rfind("{\"status\":\"ok\"", 0), 0u);
        EXPECT_NE(engine->get_player_state_json("0xviewer" + std::to_string(b)).find("\"status\":\"ok\""),
                  std::string::npos);
        EXPECT_GE(engine->get_total_parcels_count(), 19u);
      }
    });
  }
  for (std::thread& t : threads) t.join();
  EXPECT_EQ(engine->get_total_parcels_count(), 19u + kBuyers * kLotsEach);
  for (int b = 0; b < kBuyers; ++b) {
    const PlayerProfile p = GameEngineTestPeer::player(*engine, "0xbuyer" + std::to_string(b));
    EXPECT_EQ(p.coins, 0u);
    EXPECT_EQ(p.parcels_count, static_cast<uint64_t>(kLotsEach));
  }
  EXPECT_EQ(game_test::lines_tagged(saved_world(), "L").size(), 19u + kBuyers * kLotsEach);
}

}  // namespace
}  // namespace ZezozuRiziv
