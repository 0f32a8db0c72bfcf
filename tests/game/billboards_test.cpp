#include <gtest/gtest.h>

#include <cmath>
#include <string>

#include "crypto/json_writer.h"
#include "game/model/text_safety.h"
#include "game_test_support.h"

namespace ZezozuRiziv {
namespace {

using game_test::json_value;
using Peer = GameEngineTestPeer;

constexpr char kOwner[] = "0xadvertiser";

// "d0" ... "d4": the lots of the five-lot district.
std::string district_key(int q) {
  std::string key = "d";
  key += std::to_string(q);
  return key;
}

class GameBillboards : public game_test::GameFixture {
 protected:
  void SetUp() override {
    GameFixture::SetUp();
    engine_ = make_engine();
    plant_kw_ = get_plant_spec("hydrogen", 1)->power_kw;
  }

  // A lot of `owner` in cell (q, r) with a level-1 hydrogen plant (its
  // output does not follow the sun); `nudge` moves it within the cell.
  void own(const std::string& key, int64_t q, int64_t r, double nudge = 0.0,
           const std::string& owner = kOwner) {
    ParcelRecord p;
    game_test::cell_centre(q, r, p.lat, p.lon);
    p.lat += nudge;
    p.key = key;
    p.owner = owner;
    p.plant_type = "hydrogen";
    p.plant_level = 1;
    p.power_kw = plant_kw_;
    Peer::with_lock(*engine_, [&](GameEngine& e) {
      Peer::put_parcel(e, p);
      Peer::recalc(e, Peer::get_or_create(e, owner));
    });
  }
  // Five touching lots in a row, one lot two cells away from them.
  void district_and_loner() {
    for (int q = 0; q < 5; ++q) own(district_key(q), q, 0);
    own("loner", 7, 0);
  }
  bool set(const std::string& key, const std::string& title, const std::string& image, bool span,
           const std::string& link = "https://example.org", const std::string& social = "instagram") {
    return engine_->set_parcel_billboard(kOwner, key, title, image, link, social, span, out_);
  }
  bool clear(const std::string& key, bool whole_group) {
    return engine_->clear_parcel_billboard(kOwner, key, whole_group, out_);
  }
  ParcelRecord lot(const std::string& key) { return Peer::parcel(*engine_, key); }
  std::string power(double kw) { return fixed_text(kw, 2); }

  std::unique_ptr<GameEngine> engine_;
  std::string out_;
  double plant_kw_ = 0.0;
};

TEST_F(GameBillboards, ADistrictBillboardCoversTheTouchingLotsAtHalfOutput) {
  district_and_loner();
  ASSERT_TRUE(set("d2", "Energia pulita", "", true)) << out_;
  EXPECT_EQ(out_, "{\"status\":\"ok\",\"message\":\"Vetrina pubblicitaria attiva su 5 lotti (-50% kW sui lotti "
                  "usati)!\",\"updated_lots\":5,\"power_kw\":" +
                      power(5 * plant_kw_ * 0.5 + plant_kw_) + "}");
  const std::string group = "bb_0xadvert_" + std::to_string(game_test::kSummerMorningMs);
  for (int q = 0; q < 5; ++q) {
    const ParcelRecord p = lot(district_key(q));
    EXPECT_TRUE(p.billboard_active);
    EXPECT_TRUE(p.span_cluster);
    EXPECT_EQ(p.group_id, group);
    EXPECT_EQ(p.title, "Energia pulita");
    EXPECT_EQ(p.link_url, "https://example.org");
    EXPECT_EQ(p.social_type, "instagram");
    EXPECT_EQ(p.updated_ms, game_test::kSummerMorningMs);
  }
  EXPECT_FALSE(lot("loner").billboard_active);

  // The whole group comes down together, and full output returns.
  clock_->advance_ms(1);
  ASSERT_TRUE(clear("d4", true)) << out_;
  EXPECT_EQ(out_, "{\"status\":\"ok\",\"message\":\"Vetrina rimossa da 5 lotti: ripristinato il 100% della "
                  "produzione energetica!\",\"power_kw\":" +
                      power(6 * plant_kw_) + "}");
  for (int q = 0; q < 5; ++q) {
    const ParcelRecord p = lot(district_key(q));
    EXPECT_FALSE(p.billboard_active);
    EXPECT_FALSE(p.span_cluster);
    EXPECT_EQ(p.group_id, "");
    EXPECT_EQ(p.title, "");
    EXPECT_EQ(p.link_url, "");
    EXPECT_EQ(p.social_type, "instagram");  // kept for the next advert
  }
}

TEST_F(GameBillboards, ADistrictReachesEveryLotOfItsCells) {
  own("a", 0, 0);
  own("a_twin", 0, 0, 1e-6);  // the same cell
  own("b", 1, 0);
  own("stranger", 2, 0, 0.0, "0xsomeone_else");
  own("beyond", 3, 0);  // touches only the stranger's cell
  ASSERT_TRUE(set("b", "", "https://img.example/a.png", true)) << out_;
  EXPECT_EQ(json_value(out_, "updated_lots"), "3");
  EXPECT_TRUE(lot("a_twin").billboard_active);
  EXPECT_FALSE(lot("stranger").billboard_active);
  EXPECT_FALSE(lot("beyond").billboard_active);
}

TEST_F(GameBillboards, ASingleLotBillboardIsItsOwnGroup) {
  district_and_loner();
  ASSERT_TRUE(set("d1", "Solo qui", "", false)) << out_;
  EXPECT_EQ(json_value(out_, "message"), "Vetrina pubblicitaria attiva su 1 lotto (-50% kW sui lotti usati)!");
  EXPECT_EQ(json_value(out_, "updated_lots"), "1");
  const ParcelRecord p = lot("d1");
  EXPECT_FALSE(p.span_cluster);
  EXPECT_EQ(p.group_id, "d1");
  EXPECT_FALSE(lot("d0").billboard_active);

  ASSERT_TRUE(set("d3", "Anche qui", "", false)) << out_;
  ASSERT_TRUE(clear("d1", true)) << out_;
  EXPECT_EQ(json_value(out_, "message"),
            "Vetrina rimossa da 1 lotto: ripristinato il 100% della produzione energetica!");
  EXPECT_TRUE(lot("d3").billboard_active);
  // Clearing a lot that shows nothing succeeds the same way.
  ASSERT_TRUE(clear("loner", false)) << out_;
  EXPECT_EQ(json_value(out_, "power_kw"), power(5 * plant_kw_ + plant_kw_ * 0.5));
}

TEST_F(GameBillboards, FieldsAreCleanedAndCut) {
  own("lot", 0, 0);
  EXPECT_FALSE(set("lot", "|\r\n||\n", "", false));
  EXPECT_EQ(json_value(out_, "message"),
            "Inserisci almeno una foto o un messaggio pubblicitario per attivare la vetrina sul lotto.");
  EXPECT_FALSE(lot("lot").billboard_active);

  const std::string long_title(130, 't');
  ASSERT_TRUE(set("lot", long_title, "", false, std::string(600, 'l'), "")) << out_;
  EXPECT_EQ(lot("lot").title, std::string(120, 't'));
  EXPECT_EQ(lot("lot").link_url, std::string(512, 'l'));
  EXPECT_EQ(lot("lot").social_type, "web");

  // Quotes and backslashes are dropped: nothing in the views can close a string.
  ASSERT_TRUE(set("lot", "Sole \"gratis\" \\ oggi|\n", "img\"\\", false, "https://x.it/?a=\"b\"", "ig\"")) << out_;
  const ParcelRecord p = lot("lot");
  EXPECT_EQ(p.title, "Sole gratis  oggi");
  EXPECT_EQ(p.image_url, "img");
  EXPECT_EQ(p.link_url, "https://x.it/?a=b");
  EXPECT_EQ(p.social_type, "ig");
  ASSERT_TRUE(engine_->list_parcel_for_sale(kOwner, "lot", "WC", 10, 0, out_)) << out_;
  const std::string views = engine_->get_active_auctions_json() +
                            engine_->get_player_state_json(kOwner) +
                            engine_->get_viewport_parcels_json(39, 41, 9, 11, kOwner);
  EXPECT_NE(views.find("\"billboardTitle\":\"Sole gratis  oggi\""), std::string::npos);
  EXPECT_EQ(views.find("\\\""), std::string::npos);  // no escaped quote anywhere
  EXPECT_EQ(views.find("\\\\"), std::string::npos);
}

TEST_F(GameBillboards, OnlyTheOwnerSetsOrClears) {
  own("lot", 0, 0);
  own("theirs", 3, 0, 0.0, "0xsomeone_else");
  const std::string kNotOwner = error_json(kNotLotOwnerMessage);
  EXPECT_FALSE(set("theirs", "x", "", true));
  EXPECT_EQ(out_, kNotOwner);
  EXPECT_FALSE(clear("theirs", true));
  EXPECT_EQ(out_, kNotOwner);
  EXPECT_FALSE(set("missing", "x", "", true));
  EXPECT_EQ(out_, kNotOwner);
  EXPECT_FALSE(engine_->set_parcel_billboard("0xa|b", "lot", "x", "", "", "", true, out_));
  EXPECT_EQ(out_, error_json(kBadAddressMessage));
  // A key no lot can have finds no lot.
  EXPECT_FALSE(engine_->clear_parcel_billboard(kOwner, "lot\n", true, out_));
  EXPECT_EQ(out_, kNotOwner);
  EXPECT_FALSE(engine_->set_parcel_billboard(kOwner, "lot|\"", "x", "", "", "", false, out_));
  EXPECT_EQ(out_, kNotOwner);
  EXPECT_FALSE(Peer::has_player(*engine_, "0xa|b"));
}

TEST_F(GameBillboards, AFailedSaveTakesTheBillboardDownAgain) {
  district_and_loner();
  const std::string before = game_test::dump_world(*engine_);
  block_saves(*engine_);
  EXPECT_FALSE(set("d0", "Energia", "", true));
  EXPECT_EQ(out_, error_json(kSaveFailedMessage));
  EXPECT_EQ(game_test::dump_world(*engine_), before);
  allow_saves(*engine_);

  ASSERT_TRUE(set("d0", "Energia", "", true)) << out_;
  const std::string shown = game_test::dump_world(*engine_);
  block_saves(*engine_);
  EXPECT_FALSE(clear("d0", true));
  EXPECT_EQ(game_test::dump_world(*engine_), shown);
}

}  // namespace
}  // namespace ZezozuRiziv
