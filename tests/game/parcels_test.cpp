#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <string>

#include "game_test_support.h"

namespace ZezozuRiziv {
namespace {

using game_test::json_value;
using Peer = GameEngineTestPeer;

constexpr double kPi = 3.14159265358979323846;
constexpr double kEarthRadiusM = 6'371'000.0;
constexpr double kLat = 45.0;
constexpr double kLon = 9.0;

// Degrees of latitude for `metres` due north (a pure latitude step is an
// exact arc on the sphere).
double north(double metres) { return metres / kEarthRadiusM * 180.0 / kPi; }

// The centre of the hex cell (q, r).
class GameParcels : public game_test::GameFixture {
 protected:
  void SetUp() override {
    GameFixture::SetUp();
    engine_ = make_engine();
  }

  bool buy(const std::string& who, const std::string& key, double lat, double lon, double user_lat,
           double user_lon, bool mocked = false) {
    return engine_->buy_parcel(who, key, lat, lon, out_, user_lat, user_lon, mocked);
  }
  void set_coins(const std::string& who, uint64_t coins) {
    Peer::with_lock(*engine_, [&](GameEngine& e) { Peer::get_or_create(e, who).coins = coins; });
  }
  // A lot of `owner` at the centre of cell (q, r), with a plant.
  void own_cell(const std::string& owner, int64_t q, int64_t r, const std::string& type = "", int level = 0,
                const std::string& key = "") {
    ParcelRecord p;
    game_test::cell_centre(q, r, p.lat, p.lon);
    p.key = key.empty() ? "c_" + std::to_string(q) + "_" + std::to_string(r) : key;
    p.owner = owner;
    p.plant_type = type;
    p.plant_level = level;
    Peer::with_lock(*engine_, [&](GameEngine& e) {
      Peer::get_or_create(e, owner);
      Peer::put_parcel(e, p);
    });
  }
  std::string message() const { return json_value(out_, "message"); }

  std::unique_ptr<GameEngine> engine_;
  std::string out_;
};

TEST_F(GameParcels, BuyingWithinFiftyMetres) {
  EXPECT_TRUE(buy("0xAB", "lotA", kLat + north(50.0 - 1e-6), kLon, kLat, kLon)) << out_;
  EXPECT_EQ(out_, "{\"status\":\"ok\",\"message\":\"Lotto 100 m2 acquistato e registrato sul server!\",\"coins\":250,"
                  "\"parcels_count\":1}");
  const ParcelRecord lot = Peer::parcel(*engine_, "lotA");
  EXPECT_EQ(lot.owner, "0xab");  // the normalised address
  EXPECT_EQ(lot.plant_name, "Micro-Lotto Libero (100 m2)");
  EXPECT_TRUE(lot.plant_type.empty());
  EXPECT_EQ(lot.updated_ms, game_test::kSummerMorningMs);
  EXPECT_NE(saved_world().find("\nL|lotA|"), std::string::npos);

  clock_->advance_ms(60'000);
  EXPECT_FALSE(buy("0xab", "lotB", kLat + north(50.1), kLon, kLat, kLon));
  EXPECT_EQ(message(),
            "Lotto fuori raggio! L'acquisizione e' consentita solo entro 50 metri dalla tua posizione reale "
            "(distanza attuale: 50.1 m).");
  EXPECT_FALSE(Peer::has_parcel(*engine_, "lotB"));
}

TEST_F(GameParcels, ADeviceAtZeroZeroBuysAnywhereAndLeavesNoFix) {
  EXPECT_TRUE(buy("0xa", "far1", 10.0, 10.0, 0.0, 0.0)) << out_;
  EXPECT_TRUE(buy("0xa", "far2", -30.0, 100.0, 0.0, 0.0)) << out_;
  EXPECT_EQ(Peer::player(*engine_, "0xa").last_gps_ms, 0u);
}

TEST_F(GameParcels, TeleportAndSpeedLimits) {
  ASSERT_TRUE(buy("0xt", "t1", kLat, kLon, kLat, kLon)) << out_;
  clock_->advance_ms(500);
  EXPECT_FALSE(buy("0xt", "t2", kLat + north(41), kLon, kLat + north(41), kLon));
  EXPECT_EQ(message(), "Anomalia telemetria GPS: teletrasporto istantaneo rilevato. Software di spoofing bloccato.");
  clock_->set_ms(game_test::kSummerMorningMs + 500);
  EXPECT_TRUE(buy("0xt", "t3", kLat + north(39), kLon, kLat + north(39), kLon)) << out_;

  // Ten seconds later: 300 m (108 km/h) passes, 400 m (144 km/h) does not.
  const double base = kLat + north(39);
  clock_->advance_ms(10'000);
  EXPECT_FALSE(buy("0xt", "t4", base + north(400.01), kLon, base + north(400.01), kLon));
  EXPECT_EQ(message(),
            "Anomalia telemetria GPS: velocita' di spostamento non plausibile (144 km/h). Software di spoofing "
            "bloccato.");
  EXPECT_TRUE(buy("0xt", "t5", base + north(300), kLon, base + north(300), kLon)) << out_;
}

TEST_F(GameParcels, TheFixStaysWhenALaterCheckRefuses) {
  set_coins("0xf", 0);
  EXPECT_FALSE(buy("0xf", "f1", kLat, kLon, kLat, kLon));
  EXPECT_EQ(message(), "Zava Vovaz insufficienti (richiesti: 50 WC). Guarda uno spot certificato!");
  EXPECT_EQ(Peer::player(*engine_, "0xf").last_gps_ms, game_test::kSummerMorningMs);
  set_coins("0xf", 100);
  clock_->advance_ms(100);
  EXPECT_FALSE(buy("0xf", "f2", kLat + north(45), kLon, kLat + north(45), kLon));  // a jump from the kept fix
  EXPECT_EQ(message(), "Anomalia telemetria GPS: teletrasporto istantaneo rilevato. Software di spoofing bloccato.");
}

TEST_F(GameParcels, PriceAndOccupancy) {
  set_coins("0xp", 49);
  EXPECT_FALSE(buy("0xp", "p1", kLat, kLon, 0, 0));
  set_coins("0xp", 50);
  EXPECT_TRUE(buy("0xp", "p1", kLat, kLon, 0, 0)) << out_;
  EXPECT_EQ(json_value(out_, "coins"), "0");
  set_coins("0xp", 500);
  EXPECT_FALSE(buy("0xp", "p1", 12.0, 12.0, 0, 0));
  EXPECT_EQ(message(), "Possiedi gia' questo lotto catastale di 100 m2");
  EXPECT_FALSE(buy("0xp", "p2", kLat + 5.4e-5, kLon - 6.4e-5, 0, 0));  // the place is taken
  EXPECT_EQ(message(), "Possiedi gia' questo lotto catastale di 100 m2");
  EXPECT_FALSE(buy("0xother", "p3", kLat + 5.4e-5, kLon, 0, 0));
  EXPECT_EQ(message(), "Lotto occupato da un altro giocatore sulla mappa globale!");
  EXPECT_FALSE(buy("0xother", "45.46415_9.18999", 1.0, 1.0, 0, 0));  // a seeded key anywhere
  EXPECT_EQ(message(), "Lotto occupato da un altro giocatore sulla mappa globale!");
  EXPECT_TRUE(buy("0xother", "p4", kLat + 5.5e-5, kLon, 0, 0)) << out_;  // just far enough
}

TEST_F(GameParcels, RefusedPositionsAndNumbers) {
  EXPECT_FALSE(buy("0xm", "m1", kLat, kLon, kLat, kLon, true));
  EXPECT_EQ(message(),
            "Rilevata applicazione di Fake GPS / Posizione Fittizia attiva sul dispositivo. L'acquisizione e' stata "
            "bloccata dal sistema anti-cheat.");
  const double nan = std::numeric_limits<double>::quiet_NaN();
  const double inf = std::numeric_limits<double>::infinity();
  struct Bad {
    const char* key;
    double lat, lon, user_lat, user_lon;
  };
  const Bad cases[] = {{"", kLat, kLon, kLat, kLon},   {"b", nan, kLon, kLat, kLon},  {"b", kLat, inf, kLat, kLon},
                       {"b", 90.5, kLon, 0, 0},        {"b", kLat, -180.5, 0, 0},     {"b", kLat, kLon, nan, kLon},
                       {"b", kLat, kLon, kLat, -inf}};
  for (const Bad& c : cases) {
    EXPECT_FALSE(buy("0xm", c.key, c.lat, c.lon, c.user_lat, c.user_lon));
    EXPECT_EQ(message(), "Coordinate GPS catastali non valide");
  }
  EXPECT_EQ(Peer::player(*engine_, "0xm").last_gps_ms, 0u);  // no fix from a bad position
  EXPECT_TRUE(buy("0xm", "edge", 90.0, 180.0, 0, 0)) << out_;
}

TEST_F(GameParcels, ANewLotJoinsTheNeighbouringDistrictBillboard) {
  own_cell("0xbb", 0, 0);
  Peer::with_lock(*engine_, [](GameEngine& e) {
    ParcelRecord& p = Peer::parcels_of(e).at("c_0_0");
    Peer::touch_parcel(e, p.key);
    p.billboard_active = true;
    p.span_cluster = true;
    p.group_id = "bb_0xbb_1";
    p.title = "Vetrina";
    p.image_url = "img";
    p.link_url = "link";
    p.social_type = "tiktok";
  });
  double lat = 0;
  double lon = 0;
  game_test::cell_centre(1, 0, lat, lon);
  ASSERT_TRUE(buy("0xbb", "next", lat, lon, 0, 0)) << out_;
  const ParcelRecord next = Peer::parcel(*engine_, "next");
  EXPECT_TRUE(next.billboard_active);
  EXPECT_TRUE(next.span_cluster);
  EXPECT_EQ(next.group_id, "bb_0xbb_1");
  EXPECT_EQ(next.title, "Vetrina");
  EXPECT_EQ(next.social_type, "tiktok");
  game_test::cell_centre(3, 0, lat, lon);
  ASSERT_TRUE(buy("0xbb", "apart", lat, lon, 0, 0)) << out_;
  EXPECT_FALSE(Peer::parcel(*engine_, "apart").billboard_active);
}

TEST_F(GameParcels, BuildingAPlant) {
  own_cell("0xb", 0, 0, "", 0, "mine");
  own_cell("0xother", 5, 5, "", 0, "theirs");
  EXPECT_FALSE(engine_->build_plant("0xb", "theirs", "solar", out_));
  EXPECT_EQ(message(), "Non sei il proprietario certificato di questo lotto!");
  EXPECT_FALSE(engine_->build_plant("0xb", "nowhere", "solar", out_));
  EXPECT_EQ(message(), "Non sei il proprietario certificato di questo lotto!");
  EXPECT_FALSE(engine_->build_plant("0xb", "mine", "Solar", out_));
  EXPECT_EQ(message(), "Tipologia di impianto energetico non riconosciuta");
  set_coins("0xb", 129);
  EXPECT_FALSE(engine_->build_plant("0xb", "mine", "hydrogen", out_));
  EXPECT_EQ(message(), "Zava Vovaz insufficienti sul server per costruire questo impianto");

  set_coins("0xb", 300);
  // Found through its cell, by a point of it.
  const ParcelRecord mine = Peer::parcel(*engine_, "mine");
  const std::string by_point = std::to_string(mine.lat) + "_" + std::to_string(mine.lon);
  ASSERT_TRUE(engine_->build_plant("0xB", by_point, "hydrogen", out_)) << out_;
  EXPECT_EQ(out_, "{\"status\":\"ok\",\"message\":\"Impianto Livello 1 installato con successo!\",\"coins\":170,"
                  "\"power_kw\":8.00,\"storage_boost\":1.00}");
  const ParcelRecord built = Peer::parcel(*engine_, "mine");
  EXPECT_EQ(built.plant_type, "hydrogen");
  EXPECT_EQ(built.plant_level, 1);
  EXPECT_EQ(built.plant_name, "Reattore Idrogeno Verde PEM - Micro-Impianto Singola Cella (Liv. 1)");
  EXPECT_DOUBLE_EQ(built.power_kw, 8.0);

  // Building again replaces the plant without refund.
  ASSERT_TRUE(engine_->build_plant("0xb", "mine", "storage", out_)) << out_;
  EXPECT_EQ(json_value(out_, "coins"), "80");
  EXPECT_EQ(json_value(out_, "storage_boost"), "1.15");
  EXPECT_EQ(Peer::parcel(*engine_, "mine").plant_type, "storage");
}

TEST_F(GameParcels, UpgradingNeedsAContiguousDistrict) {
  set_coins("0xu", 100'000);
  own_cell("0xu", 0, 0, "", 0, "bare");
  EXPECT_FALSE(engine_->upgrade_plant("0xu", "bare", out_));
  EXPECT_EQ(message(), "Nessun impianto presente su questo lotto da potenziare");

  own_cell("0xu", 10, 10, "solar", 1, "plant");
  EXPECT_FALSE(engine_->upgrade_plant("0xu", "plant", out_));
  EXPECT_EQ(message(),
            "Relazione Diretta Lotti Contigui: per potenziare al Livello 2 servono almeno 2 lotti esagonali "
            "contigui (il tuo distretto attuale ne ha 1).");
  // A second lot in the same cell counts once.
  ParcelRecord twin = Peer::parcel(*engine_, "plant");
  twin.key = "twin";
  twin.lon += 1e-6;
  twin.plant_type.clear();
  twin.plant_level = 0;
  Peer::with_lock(*engine_, [&](GameEngine& e) { Peer::put_parcel(e, twin); });
  EXPECT_FALSE(engine_->upgrade_plant("0xu", "plant", out_));
  EXPECT_NE(message().find("ne ha 1)."), std::string::npos) << out_;
  // Another owner's lot next door does not count; one of the player's does.
  own_cell("0xsomeone", 11, 10);
  EXPECT_FALSE(engine_->upgrade_plant("0xu", "plant", out_));
  own_cell("0xu", 10, 11);
  ASSERT_TRUE(engine_->upgrade_plant("0xu", "plant", out_)) << out_;
  EXPECT_EQ(message(), "Upgrade Livello 2 completato!");
  EXPECT_EQ(json_value(out_, "coins"), std::to_string(100'000 - 140));
  const ParcelRecord up = Peer::parcel(*engine_, "plant");
  EXPECT_EQ(up.plant_level, 2);
  EXPECT_EQ(up.plant_type, "solar");
  EXPECT_DOUBLE_EQ(up.power_kw, 13.0);
  EXPECT_EQ(up.plant_name, "Centrale Fotovoltaica TOPCon - Impianto Binato Distrettuale (Liv. 2)");

  set_coins("0xu", 1);
  own_cell("0xu", 9, 10);
  EXPECT_FALSE(engine_->upgrade_plant("0xu", "plant", out_));
  EXPECT_EQ(message(), "Zava Vovaz insufficienti sul server per eseguire l'upgrade");
}

TEST_F(GameParcels, TheTopLevelsNeedAHundredCellsAndStopThere) {
  set_coins("0xtop", 1'000'000);
  own_cell("0xtop", 0, 0, "wind", 99, "top");
  for (int q = 1; q < 99; ++q) own_cell("0xtop", q, 0);
  EXPECT_FALSE(engine_->upgrade_plant("0xtop", "top", out_));
  EXPECT_EQ(message(),
            "Relazione Diretta Lotti Contigui: per potenziare al Livello 100 servono almeno 100 lotti esagonali "
            "contigui (il tuo distretto attuale ne ha 99).");
  own_cell("0xtop", 99, 0);
  ASSERT_TRUE(engine_->upgrade_plant("0xtop", "top", out_)) << out_;
  EXPECT_EQ(Peer::parcel(*engine_, "top").plant_level, 100);
  EXPECT_FALSE(engine_->upgrade_plant("0xtop", "top", out_));
  EXPECT_EQ(message(), "Impianto gia' al livello massimo assoluto (Livello 100)!");

  // A stored level at the top of the 32-bit range, or a type of no plant.
  own_cell("0xtop", 50, 50, "solar", std::numeric_limits<int32_t>::max(), "huge");
  EXPECT_FALSE(engine_->upgrade_plant("0xtop", "huge", out_));
  EXPECT_EQ(message(), "Impianto gia' al livello massimo assoluto (Livello 100)!");
  own_cell("0xtop", 60, 60, "nuclear", 1, "odd");
  EXPECT_FALSE(engine_->upgrade_plant("0xtop", "odd", out_));
  EXPECT_EQ(message(), "Impianto gia' al livello massimo assoluto (Livello 100)!");
}

TEST_F(GameParcels, ActionsReloadAfterARestart) {
  set_coins("0xr", 1000);
  ASSERT_TRUE(buy("0xr", "r1", kLat, kLon, 0, 0)) << out_;
  ASSERT_TRUE(engine_->build_plant("0xr", "r1", "wind", out_)) << out_;
  engine_.reset();
  auto again = make_engine();
  const ParcelRecord r1 = Peer::parcel(*again, "r1");
  EXPECT_EQ(r1.owner, "0xr");
  EXPECT_EQ(r1.plant_type, "wind");
  const PlayerProfile p = Peer::player(*again, "0xr");
  EXPECT_EQ(p.coins, 1000u - 50 - 80);
  EXPECT_DOUBLE_EQ(p.power_kw, 4.0);
}

}  // namespace
}  // namespace ZezozuRiziv
