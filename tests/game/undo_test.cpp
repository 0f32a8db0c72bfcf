#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "game/store/world_records.h"
#include "game_test_support.h"

namespace ZezozuRiziv {
namespace {

using Peer = GameEngineTestPeer;
namespace fs = std::filesystem;

class GameUndo : public game_test::GameFixture {
 protected:
  void SetUp() override {
    GameFixture::SetUp();
    engine_ = make_engine();
    // An account with its four index entries, and a lot of a player.
    Peer::with_lock(*engine_, [](GameEngine& e) {
      UserAccount u;
      u.id = "usr_1";
      u.username = "Anna";
      u.email = "anna@x.it";
      u.google_id = "g1";
      u.session_token = "tok_1";
      u.wallet_address = "0xanna";
      Peer::users_of(e)[u.id] = u;
      Peer::email_index_of(e)["anna@x.it"] = "usr_1";
      Peer::username_index_of(e)["anna"] = "usr_1";
      Peer::google_index_of(e)["g1"] = "usr_1";
      Peer::sessions_of(e)["tok_1"] = "usr_1";
      Peer::get_or_create(e, "0xanna");
      ParcelRecord p;
      p.key = "anna_lot";
      p.lat = 41.0;
      p.lon = 12.0;
      p.owner = "0xanna";
      Peer::put_parcel(e, p);
    });
    ASSERT_TRUE(engine_->save_world());
  }
  void block_saves() { game_test::GameFixture::block_saves(*engine_); }
  void allow_saves() { game_test::GameFixture::allow_saves(*engine_); }

  std::unique_ptr<GameEngine> engine_;
};

// Touches and changes one entry of every kind the world holds.
void change_everything(GameEngine& e) {
  PlayerProfile& king = Peer::players_of(e).at("0xsolarking_it_milano_cer01");
  Peer::touch_player(e, king.address);
  king.coins = 1;
  king.answered_this_week.push_back("q");
  Peer::get_or_create(e, "0xbrand_new").coins = 7;
  Peer::sync(e, king);

  ParcelRecord& seeded = Peer::parcels_of(e).at("45.46415_9.18999");
  Peer::touch_parcel(e, seeded.key);
  seeded.plant_level = 99;
  Peer::set_owner(e, Peer::parcels_of(e).at("anna_lot"), "0xbrand_new");
  Peer::set_owner(e, Peer::parcels_of(e).at("45.46424_9.19012"), "0xanna");
  ParcelRecord fresh;
  fresh.key = "fresh";
  fresh.lat = 41.0;
  fresh.lon = 12.0;  // the same cell as anna_lot
  fresh.owner = "0xanna";
  Peer::put_parcel(e, fresh);
  ParcelRecord moved = Peer::parcels_of(e).at("41.90266_12.49623");
  moved.lat = 0.5;  // replaced under its key at another place
  moved.owner = "";
  Peer::put_parcel(e, moved);

  Peer::touch_user(e, "usr_1");
  Peer::users_of(e)["usr_1"].session_token = "tok_2";
  Peer::touch_user(e, "usr_2");
  Peer::users_of(e)["usr_2"].id = "usr_2";
  Peer::touch_session(e, "tok_1");
  Peer::sessions_of(e).erase("tok_1");
  Peer::touch_session(e, "tok_2");
  Peer::sessions_of(e)["tok_2"] = "usr_1";
  Peer::touch_email(e, "anna@x.it");
  Peer::email_index_of(e).erase("anna@x.it");
  Peer::touch_username(e, "nuovo");
  Peer::username_index_of(e)["nuovo"] = "usr_2";
  Peer::touch_google(e, "g1");
  Peer::google_index_of(e)["g1"] = "usr_2";

  Peer::touch_cer(e, "cer_solare_italia");
  CERCommunity& c = Peer::cers_of(e)["cer_solare_italia"];
  c.members.clear();
  c.messages.push_back({"m", "a", "b", "c", "d", 1});
  c.weekly_score = 9999;
  Peer::touch_cer(e, "cer_vento_sicilia");
  Peer::cers_of(e).erase("cer_vento_sicilia");
  Peer::touch_cer(e, "cer_new");
  Peer::cers_of(e)["cer_new"].id = "cer_new";

  Peer::touch_question(e, "quiz_seed_1");
  Peer::questions_of(e)["quiz_seed_1"].times_answered = 1000;
  Peer::touch_question(e, "qq_new");
  Peer::questions_of(e)["qq_new"].id = "qq_new";
  Peer::touch_categories(e);
  Peer::categories_of(e).push_back("Nuova");
  Peer::touch_admin(e);
  Peer::admin_of(e).super_boost_until_ms = 123;
  Peer::admin_of(e).scheduled_boosts.push_back({"sb", 1, 2, 3, "t", "r", false, 4});
  Peer::touch_ads(e);
  Peer::google_impressions_of(e) = 77;
  Peer::moloco_impressions_of(e) = 78;
  Peer::total_revenue_of(e) = 1.5;
  Peer::ads_config_of(e).amazon_slot_id = "other";
  Peer::ads_config_of(e).moloco_app_key = "other";
}

TEST_F(GameUndo, AFailedSaveRestoresEveryKindExactly) {
  clock_->advance_ms(3'600'000);  // so that the sync accrues
  const std::string before = game_test::dump_world(*engine_);
  const std::string file = saved_world();
  block_saves();
  std::string out;
  EXPECT_FALSE(Peer::change_and_save(*engine_, change_everything, out));
  EXPECT_EQ(out, "{\"status\":\"error\",\"message\":\"Salvataggio del mondo di gioco non riuscito: operazione "
                 "annullata.\"}");
  EXPECT_EQ(game_test::dump_world(*engine_), before);
  EXPECT_EQ(saved_world(), file);

  // The restored records are written as they are now, not as they were
  // while the failed save formatted them.
  allow_saves();
  ASSERT_TRUE(engine_->save_world());
  auto reloaded = make_engine();
  EXPECT_EQ(Peer::player(*reloaded, "0xsolarking_it_milano_cer01").coins, 1450u);
  EXPECT_EQ(Peer::parcel(*reloaded, "45.46415_9.18999").plant_level, 3);
  EXPECT_EQ(Peer::parcel(*reloaded, "anna_lot").owner, "0xanna");
  EXPECT_FALSE(Peer::has_parcel(*reloaded, "fresh"));
  EXPECT_FALSE(Peer::has_player(*reloaded, "0xbrand_new"));
}

TEST_F(GameUndo, ASuccessfulSaveKeepsItsChangeAndALaterFailureOnlyItsOwn) {
  std::string out;
  ASSERT_TRUE(Peer::change_and_save(
      *engine_,
      [](GameEngine& e) {
        Peer::touch_player(e, "0xanna");
        Peer::players_of(e)["0xanna"].coins = 11;
      },
      out));
  const std::string saved = game_test::dump_world(*engine_);
  block_saves();
  EXPECT_FALSE(Peer::change_and_save(
      *engine_,
      [](GameEngine& e) {
        Peer::touch_player(e, "0xanna");
        Peer::players_of(e)["0xanna"].coins = 22;
        Peer::touch_player(e, "0xanna");  // a second touch keeps the first snapshot
        Peer::players_of(e)["0xanna"].coins = 33;
      },
      out));
  EXPECT_EQ(game_test::dump_world(*engine_), saved);
  EXPECT_EQ(Peer::player(*engine_, "0xanna").coins, 11u);
}

TEST_F(GameUndo, LeavingAScopeWithoutSavingKeepsTheChangeForTheNextSave) {
  Peer::with_lock(*engine_, [](GameEngine& e) {
    Peer::touch_player(e, "0xanna");
    Peer::players_of(e)["0xanna"].kwh = 99.5;
  });
  EXPECT_EQ(saved_world().find("P|0xanna|300|99.500000"), std::string::npos);
  ASSERT_TRUE(engine_->save_world());
  EXPECT_NE(saved_world().find("P|0xanna|300|99.500000"), std::string::npos);
}

TEST_F(GameUndo, BuildAndUpgradeAreUndoneWithTheirCoins) {
  std::string out;
  ASSERT_TRUE(engine_->build_plant("0xanna", "anna_lot", "solar", out)) << out;
  const std::string before = game_test::dump_world(*engine_);
  block_saves();
  clock_->advance_ms(1000);
  EXPECT_FALSE(engine_->build_plant("0xanna", "anna_lot", "wind", out));
  EXPECT_NE(out.find("Salvataggio del mondo di gioco non riuscito"), std::string::npos);
  EXPECT_EQ(game_test::dump_world(*engine_), before);
}

}  // namespace
}  // namespace ZezozuRiziv
