#include <gtest/gtest.h>

#include <regex>
#include <string>

#include "crypto/sha256.h"
#include "game/model/text_safety.h"
#include "game/rules/ad_networks.h"
#include "game_test_support.h"

namespace ZezozuRiziv {
namespace {

using game_test::json_value;
using game_test::kSummerMorningMs;
using Peer = GameEngineTestPeer;
namespace fs = std::filesystem;

constexpr char kTooSoon[] = "Anti-Cheat Server SSV: riproduzione dello spot non ancora completata!";
constexpr char kSpent[] = "Token Anti-Cheat SSV non valido o gia' riscattato";

// The identifiers every answer carries while nothing overrides the defaults.
const std::string kDefaultSdkConfig =
    "{\"google_ad_unit_id\":\"/22914365087/zerirorivi_rewarded_video\",\"google_publisher_id\":"
    "\"pub-7301946285510347\",\"google_client_id\":\"ca-pub-7301946285510347\",\"google_vast_tag\":"
    "\"https://pubads.g.doubleclick.net/gampad/ads?iu=/22914365087/zerirorivi_rewarded_video&sz=640x480"
    "&gdfp_req=1&output=vast&unviewed_position_start=1&env=vp\",\"meta_placement_id\":"
    "\"618204937251846_REWARDED_VIDEO\",\"meta_pixel_id\":\"618204937251846\",\"amazon_pub_id\":"
    "\"5390274816\",\"amazon_slot_id\":\"zr_rewarded_slot\",\"moloco_app_key\":\"zr_moloco_app\","
    "\"moloco_ad_unit_id\":\"zr_rewarded_unit\"}";

class GameAds : public game_test::GameFixture {
 protected:
  void SetUp() override {
    GameFixture::SetUp();
    engine_ = make_engine();
  }

  // Opens a session; returns its token ("" when refused, answer in start_).
  std::string start(const std::string& who, const std::string& sponsor = "", const std::string& type = "wc") {
    start_ = engine_->start_ad_session(who, sponsor, type);
    return json_value(start_, "status") == "ok" ? json_value(start_, "ad_token") : "";
  }
  bool claim(const std::string& who, const std::string& token) { return engine_->claim_ad_session(who, token, out_); }
  // A whole view: start, watch 13.5 s, claim.
  void watch(const std::string& who, const std::string& type = "wc") {
    const std::string token = start(who, "", type);
    ASSERT_FALSE(token.empty()) << start_;
    clock_->advance_ms(13'500);
    ASSERT_TRUE(claim(who, token)) << out_;
  }
  PlayerProfile player(const std::string& who) { return Peer::player(*engine_, who); }
  void edit(const std::string& who, const std::function<void(PlayerProfile&)>& change) {
    Peer::with_lock(*engine_, [&](GameEngine& e) { change(Peer::get_or_create(e, who)); });
  }

  std::unique_ptr<GameEngine> engine_;
  std::string start_;
  std::string out_;
};

TEST(AdNetworks, PreferenceOrWaterfall) {
  struct Case {
    std::string preference;
    uint64_t now_ms;
    uint64_t ads_watched;
    std::string network;
  };
  const Case cases[] = {
      {"Amazon Ads", 0, 0, "amazon"},
      {"amazon", 1, 0, "amazon"},
      {"Moloco", 2, 0, "moloco"},
      {"Meta moloco", 0, 0, "moloco"},  // Moloco is searched first
      {"Meta Audience Network", 0, 0, "meta"},
      {"AdMob", 0, 0, "google"},
      {"AMAZON", 0, 0, "google"},  // neither spelling
      {"", 1'718'964'000'000, 0, "moloco"},
      {"", 1'718'964'000'001, 0, "amazon"},
      {"auto", 1'718'964'000'000, 2, "meta"},
      {"AUTOMATIC_WATERFALL", 1'718'964'000'001, 2, "google"},
      {"AUTOMATIC_WATERFALL", UINT64_MAX, 3, "meta"},  // the sum wraps: 2^64 + 2
  };
  for (const Case& c : cases) {
    EXPECT_EQ(pick_ad_network(c.preference, c.now_ms, c.ads_watched).name, c.network) << c.preference;
  }
  EXPECT_STREQ(ad_network_named("").name, "google");
  EXPECT_STREQ(ad_network_named("unknown").name, "google");
  EXPECT_STREQ(ad_network_named("meta").name, "meta");
}

TEST(AdNetworks, DefaultIdentifiersHaveTheirForms) {
  const AdNetworksConfig d;
  EXPECT_TRUE(std::regex_match(d.google_ad_unit_id, std::regex("/[0-9]+/[A-Za-z0-9_]+")));
  std::smatch digits;
  ASSERT_TRUE(std::regex_match(d.google_publisher_id, digits, std::regex("pub-([0-9]{16})")));
  EXPECT_EQ(d.google_client_id, "ca-pub-" + digits[1].str());
  EXPECT_TRUE(d.google_vast_tag.starts_with("https://"));
  EXPECT_NE(d.google_vast_tag.find("output=vast"), std::string::npos);
  EXPECT_TRUE(std::regex_match(d.meta_placement_id, std::regex("[0-9]+_REWARDED_VIDEO")));
  EXPECT_TRUE(std::regex_match(d.meta_pixel_id, std::regex("[0-9]+")));
  EXPECT_TRUE(std::regex_match(d.amazon_pub_id, std::regex("[0-9]+")));
  for (const std::string& name : {d.amazon_slot_id, d.moloco_app_key, d.moloco_ad_unit_id}) {
    EXPECT_TRUE(std::regex_match(name, std::regex("[a-z_]{1,24}"))) << name;
  }
}

TEST(AdNetworks, ConfigurationLines) {
  AdNetworksConfig config;
  const AdNetworksConfig defaults;
  const uint64_t applied = apply_ads_publisher_conf(
      "# identifiers\n"
      "\n"
      "GOOGLE_AD_UNIT_ID=/1/first\r\n"
      "GOOGLE_AD_UNIT_ID=/2/second=kept\n"  // a later line wins; further '=' stay
      "META_PIXEL_ID=\n"                    // an empty value changes nothing
      "  AMAZON_PUB_ID=999\n"               // a key after blanks is no key
      "amazon_slot_id=lower\n"              // keys are case-sensitive
      "GOOGLE_VAST_TAG=https://elsewhere\n" // no key for the VAST tag
      "MOLOCO_APP_KEY\n"                    // no '='
      "\r\n"
      "META_PLACEMENT_ID= spaced \n"
      "MOLOCO_AD_UNIT_ID=last",  // no final line feed
      config);
  EXPECT_EQ(applied, 4u);
  EXPECT_EQ(config.google_ad_unit_id, "/2/second=kept");
  EXPECT_EQ(config.meta_pixel_id, defaults.meta_pixel_id);
  EXPECT_EQ(config.amazon_pub_id, defaults.amazon_pub_id);
  EXPECT_EQ(config.amazon_slot_id, defaults.amazon_slot_id);
  EXPECT_EQ(config.google_vast_tag, defaults.google_vast_tag);
  EXPECT_EQ(config.moloco_app_key, defaults.moloco_app_key);
  EXPECT_EQ(config.meta_placement_id, " spaced ");
  EXPECT_EQ(config.moloco_ad_unit_id, "last");
}

TEST_F(GameAds, ConfigurationFileIdentifiersCannotSplitTheWorldFile) {
  // A '|' or a CR inside a value would have given the "A" line fields of its own.
  AdNetworksConfig config;
  apply_ads_publisher_conf("GOOGLE_AD_UNIT_ID=/1/unit|extra\rA|0|0\r\nAMAZON_SLOT_ID=\r\r\nMETA_PIXEL_ID=12|34\n",
                           config);
  EXPECT_EQ(config.google_ad_unit_id, "/1/unit_extraA_0_0");
  EXPECT_EQ(config.meta_pixel_id, "12_34");
  EXPECT_EQ(config.amazon_slot_id, AdNetworksConfig().amazon_slot_id);  // nothing left once cleaned

  // Read by the engine from the working directory, after the world file.
  const fs::path before = fs::current_path();
  fs::create_directories(root_ / "config");
  game_test::write_file((root_ / "config" / "ads_publisher.conf").string(),
                        "GOOGLE_AD_UNIT_ID=/1/unit|extra\rA|0|0\r\nMETA_PIXEL_ID=12|34\nAMAZON_PUB_ID=777\n");
  // The world file names other identifiers: the configuration file wins.
  std::string out;
  ASSERT_TRUE(engine_->update_ads_config("/9/from_world", "", "", "555", "slot_w", out)) << out;
  engine_.reset();
  fs::current_path(root_);
  engine_ = make_engine();
  fs::current_path(before);

  const std::string status = engine_->get_ads_status_json();
  EXPECT_EQ(json_value(status, "google_ad_unit_id"), "/1/unit_extraA_0_0");
  EXPECT_EQ(json_value(status, "meta_pixel_id"), "12_34");
  EXPECT_EQ(json_value(status, "amazon_pub_id"), "777");
  EXPECT_EQ(json_value(status, "amazon_slot_id"), "slot_w");  // from the world file
  watch("0xsaver");  // a save
  const auto lines = game_test::lines_tagged(saved_world(), "A");
  ASSERT_FALSE(lines.empty());
  EXPECT_EQ(lines.back(), "A|/1/unit_extraA_0_0|618204937251846_REWARDED_VIDEO|12_34|777|slot_w|0|0|0|0.024000");
}

TEST_F(GameAds, ANetworkPaysItsRewardAndBooksItsRevenue) {
  struct Case {
    std::string sponsor;
    std::string network;
    uint64_t reward;
    std::string ecpm;
    std::string revenue;
  };
  const Case cases[] = {
      {"Moloco", "moloco", 100, "24.00", "0.024"},
      {"Amazon Ads", "amazon", 90, "21.00", "0.021"},
      {"Meta", "meta", 75, "18.00", "0.018"},
      {"AdMob", "google", 60, "15.00", "0.015"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.network);
    const std::string who = "0x" + c.network;
    const std::string token = start(who, c.sponsor);
    ASSERT_EQ(token.size(), 32u) << start_;
    EXPECT_EQ(json_value(start_, "network"), c.network);
    EXPECT_EQ(json_value(start_, "reward"), std::to_string(c.reward));
    EXPECT_EQ(json_value(start_, "ecpm_eur"), c.ecpm);
    clock_->advance_ms(13'500);
    ASSERT_TRUE(claim(who, token)) << out_;
    EXPECT_EQ(json_value(out_, "reward_coins"), std::to_string(c.reward));
    EXPECT_EQ(json_value(out_, "revenue_eur"), c.revenue);
    EXPECT_EQ(player(who).coins, 300 + c.reward);
    EXPECT_DOUBLE_EQ(player(who).kwh, 40.0);  // 25 + 15
    EXPECT_EQ(player(who).ads_watched, 1u);
  }
  // 0.078 EUR in all, split 0.6 / 0.3 / 0.1; Moloco's view is not counted
  // among the shown impressions.
  const std::string status = engine_->get_ads_status_json();
  EXPECT_NE(status.find("\"telemetry\":{\"google_impressions\":1,\"meta_impressions\":1,\"amazon_impressions\":1,"
                        "\"total_impressions\":3,\"total_revenue_eur\":0.078,\"srl_photovoltaic_fund_eur\":0.047,"
                        "\"coop_animal_oasis_fund_eur\":0.023,\"node_pool_fund_eur\":0.008}}"),
            std::string::npos)
      << status;
  Peer::with_lock(*engine_, [](GameEngine& e) { EXPECT_EQ(Peer::moloco_impressions_of(e), 1u); });
  // Saved with the view: the counters on the "A" line, the player's on its "P" line.
  const std::string world = saved_world();
  EXPECT_TRUE(game_test::lines_tagged(world, "A").back().ends_with("|1|1|1|0.078000"));
}

TEST_F(GameAds, StartAndClaimAnswers) {
  // At this time (mod 4 = 0) the waterfall opens with moloco.
  const std::string token = start("0xAB");
  EXPECT_EQ(start_, "{\"status\":\"ok\",\"network\":\"moloco\",\"ad_type\":\"wc\",\"ad_token\":\"" + token +
                        "\",\"duration_sec\":15,\"reward\":100,\"boost_grant_sec\":0,\"bonus_kwh\":15.00,"
                        "\"ecpm_eur\":24.00,\"sdk_config\":" + kDefaultSdkConfig + "}");
  EXPECT_TRUE(std::regex_match(token, std::regex("[0-9a-f]{32}")));
  clock_->advance_ms(20'000);
  const uint64_t now = clock_->now_ms();
  ASSERT_TRUE(claim("0xab", token)) << out_;
  const std::string signature =
      RozeveCrypto::SHA256::hash_string(token + "_VERIFIED_" + std::to_string(now)).substr(0, 24);
  EXPECT_EQ(out_, "{\"status\":\"ok\",\"network\":\"moloco\",\"ad_type\":\"wc\",\"ssv_signature\":\"" + signature +
                      "\",\"reward_coins\":100,\"bonus_kwh\":15.000,\"boost_active\":false,\"boost_10x_until_ms\":0,"
                      "\"boost_remaining_sec\":0,\"revenue_eur\":0.024,\"total_revenue_eur\":0.024,\"coins\":400,"
                      "\"kwh\":40.00}");

  // A boost advert promises no coins and an hour of x10 production.
  clock_->advance_ms(1);  // waterfall index 1
  const std::string boost = start("0xcd", "", "BOOST");
  EXPECT_EQ(start_, "{\"status\":\"ok\",\"network\":\"amazon\",\"ad_type\":\"boost\",\"ad_token\":\"" + boost +
                        "\",\"duration_sec\":15,\"reward\":0,\"boost_grant_sec\":3600,\"bonus_kwh\":5.00,"
                        "\"ecpm_eur\":21.00,\"sdk_config\":" + kDefaultSdkConfig + "}");
  // Any other type is a "wc" advert.
  start("0xef", "", "strange");
  EXPECT_EQ(json_value(start_, "ad_type"), "wc");
}

TEST_F(GameAds, SessionTimingsAndSpentTokens) {
  const std::string token = start("0xab");
  clock_->advance_ms(13'499);
  EXPECT_FALSE(claim("0xab", token));
  EXPECT_EQ(json_value(out_, "message"), kTooSoon);
  clock_->advance_ms(1);  // 13,500 ms: the same session still open
  ASSERT_TRUE(claim("0xab", token)) << out_;
  EXPECT_FALSE(claim("0xab", token));
  EXPECT_EQ(out_, error_json(kSpent));

  // Clock set back below the session's start.
  edit("0xcd", [](PlayerProfile& p) { p.last_wc_ad_ms = 0; });
  const std::string late = start("0xcd");
  clock_->set_ms(clock_->now_ms() - 1);
  EXPECT_FALSE(claim("0xcd", late));
  EXPECT_EQ(json_value(out_, "message"), kTooSoon);
  // A new start replaces the open session.
  clock_->advance_ms(1);
  const std::string first = start("0xef");
  clock_->advance_ms(1);
  const std::string second = start("0xef");
  ASSERT_NE(first, second);
  clock_->advance_ms(13'500);
  EXPECT_FALSE(claim("0xef", first));
  EXPECT_EQ(json_value(out_, "message"), kSpent);
  EXPECT_TRUE(claim("0xef", second)) << out_;
  EXPECT_FALSE(claim("0xef", ""));
  EXPECT_FALSE(claim("0xnobody", ""));
}

TEST_F(GameAds, ZavaVovazAdvertsOncePerHalfHour) {
  watch("0xab");
  const uint64_t paid_at = player("0xab").last_wc_ad_ms;
  ASSERT_EQ(paid_at, clock_->now_ms());
  const auto refused_with = [&](uint64_t seconds) {
    return "{\"status\":\"error\",\"message\":\"Limite raggiunto: puoi guadagnare Watt Coin da sponsor una volta "
           "ogni 30 minuti.\",\"cooldown_remaining_sec\":" + std::to_string(seconds) + ",\"ad_type\":\"wc\"}";
  };
  clock_->set_ms(paid_at + 1'000);
  EXPECT_EQ(start("0xab"), "");
  EXPECT_EQ(start_, refused_with(1799));
  clock_->set_ms(paid_at + 1'799'999);
  EXPECT_EQ(start("0xab"), "");
  EXPECT_EQ(start_, refused_with(0));
  clock_->set_ms(paid_at + 1'800'000);
  EXPECT_NE(start("0xab"), "") << start_;
  // Boost adverts are not held back by it.
  clock_->set_ms(paid_at + 1'000);
  EXPECT_NE(start("0xab", "", "boost"), "") << start_;
}

TEST_F(GameAds, BoostAdvertsAccumulateUpToFiveHours) {
  // Past end: one hour from now.
  edit("0xab", [&](PlayerProfile& p) { p.boost_10x_until_ms = clock_->now_ms() - 5; });
  watch("0xab", "boost");
  uint64_t now = clock_->now_ms();
  EXPECT_EQ(player("0xab").boost_10x_until_ms, now + 3'600'000);
  EXPECT_EQ(json_value(out_, "boost_active"), "true");
  EXPECT_EQ(json_value(out_, "boost_remaining_sec"), "3600");
  EXPECT_EQ(json_value(out_, "reward_coins"), "0");
  EXPECT_EQ(json_value(out_, "bonus_kwh"), "5.000");
  EXPECT_EQ(player("0xab").coins, 300u);
  EXPECT_EQ(player("0xab").last_wc_ad_ms, 0u);
  EXPECT_EQ(player("0xab").ads_watched, 1u);

  // 17,000,000 ms left at the claim: capped at 18,000,000.
  const std::string token = start("0xab", "", "boost");
  clock_->advance_ms(13'500);
  now = clock_->now_ms();
  edit("0xab", [&](PlayerProfile& p) { p.boost_10x_until_ms = now + 17'000'000; });
  ASSERT_TRUE(claim("0xab", token)) << out_;
  EXPECT_EQ(player("0xab").boost_10x_until_ms, now + 18'000'000);
  EXPECT_EQ(json_value(out_, "boost_remaining_sec"), "18000");

  // The start is refused at the cap and accepted one millisecond below it.
  EXPECT_EQ(start("0xab", "", "boost"), "");
  EXPECT_EQ(start_, "{\"status\":\"error\",\"message\":\"Hai raggiunto il limite massimo accumulabile di 5 ore di "
                    "Spinta Energetica x10!\",\"boost_until_ms\":" + std::to_string(now + 18'000'000) +
                        ",\"ad_type\":\"boost\"}");
  clock_->advance_ms(1);
  EXPECT_NE(start("0xab", "", "boost"), "") << start_;
  // A stored end far beyond the cap never wraps around.
  edit("0xcd", [](PlayerProfile& p) { p.boost_10x_until_ms = UINT64_MAX; });
  EXPECT_EQ(start("0xcd", "", "boost"), "");
}

TEST_F(GameAds, QuartilesAreKeptInMemoryOnly) {
  const std::string token = start("0xab");
  const std::string world = saved_world();
  std::string out;
  EXPECT_FALSE(engine_->record_ad_quartile("0xab", "wrong", 25, out));
  EXPECT_EQ(out, error_json("Sessione SSV non valida per il tracking quartile"));
  EXPECT_FALSE(engine_->record_ad_quartile("0xab", "", 25, out));
  EXPECT_FALSE(engine_->record_ad_quartile("0xother", token, 25, out));
  struct Step {
    int32_t quartile;
    uint32_t mask;
  };
  for (const Step s : {Step{25, 1}, Step{3, 5}, Step{60, 5}, Step{100, 13}, Step{2, 15}, Step{-1, 15}}) {
    ASSERT_TRUE(engine_->record_ad_quartile("0xAB", token, s.quartile, out)) << out;
    EXPECT_EQ(out, "{\"status\":\"ok\",\"quartile\":" + std::to_string(s.quartile) +
                       ",\"mask\":" + std::to_string(s.mask) + "}");
  }
  EXPECT_EQ(saved_world(), world);
  // The mask is not checked by the claim, and is cleared by it.
  clock_->advance_ms(13'500);
  ASSERT_TRUE(claim("0xab", token)) << out_;
  EXPECT_EQ(player("0xab").ad_quartile_mask, 0u);
  EXPECT_TRUE(player("0xab").ad_token.empty());
}

TEST_F(GameAds, ASessionThatPromisedNothingPaysFifty) {
  const std::string token = start("0xab");
  edit("0xab", [](PlayerProfile& p) {
    p.ad_reward = 0;
    p.ad_network.clear();
    p.ad_type.clear();
  });
  clock_->advance_ms(13'500);
  ASSERT_TRUE(claim("0xab", token)) << out_;
  EXPECT_EQ(json_value(out_, "network"), "google");
  EXPECT_EQ(json_value(out_, "ad_type"), "wc");
  EXPECT_EQ(json_value(out_, "reward_coins"), "50");
  // Coins near the top of the range saturate rather than wrap.
  edit("0xcd", [](PlayerProfile& p) { p.coins = UINT64_MAX - 10; });
  watch("0xcd");
  EXPECT_EQ(player("0xcd").coins, UINT64_MAX);
}

TEST_F(GameAds, AClaimWhoseSaveFailsIsUndoneAndStaysOpen) {
  const std::string token = start("0xab");
  clock_->advance_ms(13'500);
  block_saves(*engine_);
  EXPECT_FALSE(claim("0xab", token));
  EXPECT_EQ(out_, error_json(kSaveFailedMessage));
  EXPECT_EQ(player("0xab").coins, 300u);
  EXPECT_EQ(player("0xab").ads_watched, 0u);
  EXPECT_EQ(player("0xab").ad_token, token);
  EXPECT_EQ(json_value(engine_->get_ads_status_json(), "total_revenue_eur"), "0.000");
  allow_saves(*engine_);
  EXPECT_TRUE(claim("0xab", token)) << out_;
}

TEST_F(GameAds, AddressesThatCannotBeKeysAreRefused) {
  EXPECT_EQ(engine_->start_ad_session("0xab|P|forged", "", "wc"), error_json(kBadAddressMessage));
  std::string out;
  EXPECT_FALSE(engine_->record_ad_quartile("0xab\n", "t", 1, out));
  EXPECT_FALSE(engine_->claim_ad_session("0x\"ab", "t", out));
  EXPECT_EQ(out, error_json(kBadAddressMessage));
  EXPECT_EQ(Peer::players(*engine_).count("0xab|p|forged"), 0u);
}

TEST_F(GameAds, StatusViewAndIdentifierUpdates) {
  EXPECT_EQ(engine_->get_ads_status_json(),
            "{\"status\":\"ok\",\"config\":{\"google_ad_unit_id\":\"/22914365087/zerirorivi_rewarded_video\","
            "\"google_publisher_id\":\"pub-7301946285510347\",\"google_client_id\":\"ca-pub-7301946285510347\","
            "\"google_vast_tag\":\"https://pubads.g.doubleclick.net/gampad/ads?iu=/22914365087/"
            "zerirorivi_rewarded_video&sz=640x480&gdfp_req=1&output=vast&unviewed_position_start=1&env=vp\","
            "\"meta_placement_id\":\"618204937251846_REWARDED_VIDEO\",\"meta_pixel_id\":\"618204937251846\","
            "\"amazon_pub_id\":\"5390274816\",\"amazon_slot_id\":\"zr_rewarded_slot\"},\"telemetry\":{"
            "\"google_impressions\":0,\"meta_impressions\":0,\"amazon_impressions\":0,\"total_impressions\":0,"
            "\"total_revenue_eur\":0.000,\"srl_photovoltaic_fund_eur\":0.000,\"coop_animal_oasis_fund_eur\":0.000,"
            "\"node_pool_fund_eur\":0.000}}");

  std::string out;
  ASSERT_TRUE(engine_->update_ads_config("/5/a|b", "", "\r\n", "1|2|3", "", out)) << out;
  EXPECT_EQ(out, engine_->get_ads_status_json());
  EXPECT_EQ(json_value(out, "google_ad_unit_id"), "/5/a_b");
  EXPECT_EQ(json_value(out, "meta_pixel_id"), "618204937251846");  // nothing left once cleaned
  EXPECT_EQ(json_value(out, "amazon_pub_id"), "1_2_3");
  EXPECT_EQ(game_test::lines_tagged(saved_world(), "A").back(),
            "A|/5/a_b|618204937251846_REWARDED_VIDEO|618204937251846|1_2_3|zr_rewarded_slot|0|0|0|0.000000");

  // Identifiers holding quotes or backslashes are escaped in the answers.
  Peer::with_lock(*engine_, [](GameEngine& e) { Peer::ads_config_of(e).amazon_slot_id = "q\"b\\s"; });
  EXPECT_NE(engine_->get_ads_status_json().find("\"amazon_slot_id\":\"q\\\"b\\\\s\""), std::string::npos);
  start("0xab");
  EXPECT_NE(start_.find("\"amazon_slot_id\":\"q\\\"b\\\\s\""), std::string::npos);

  // A failed save leaves the identifiers as they were.
  block_saves(*engine_);
  EXPECT_FALSE(engine_->update_ads_config("/6/new", "", "", "", "", out));
  EXPECT_EQ(out, error_json(kSaveFailedMessage));
  EXPECT_EQ(json_value(engine_->get_ads_status_json(), "google_ad_unit_id"), "/5/a_b");
}

}  // namespace
}  // namespace ZezozuRiziv
