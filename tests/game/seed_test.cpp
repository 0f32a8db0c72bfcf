#include <gtest/gtest.h>

#include <set>
#include <string>
#include <vector>

#include "game_test_support.h"

namespace ZezozuRiziv {
namespace {

using Peer = GameEngineTestPeer;
namespace fs = std::filesystem;

class GameSeed : public game_test::GameFixture {};

TEST_F(GameSeed, AFreshWorldHasTheNineteenKnownLots) {
  auto engine = make_engine();
  const std::vector<std::pair<std::string, std::vector<std::string>>> lots = {
      {"0xsolarking_it_milano_cer01",
       {"45.46415_9.18999", "45.46424_9.19012", "45.46433_9.18999", "45.46442_9.19012", "45.46451_9.18999",
        "45.46460_9.19012"}},
      {"0xgreenpower_99_roma_hub02",
       {"41.90266_12.49623", "41.90275_12.49635", "41.90284_12.49623", "41.90293_12.49635", "41.90302_12.49623"}},
      {"0xecoempire_dao_torino_03", {"45.07023_7.68677", "45.07032_7.68690", "45.07041_7.68677", "45.07050_7.68690"}},
      {"0xcer_solidale_napoli_04",
       {"40.85173_14.26808", "40.85182_14.26820", "40.85191_14.26808", "40.85200_14.26820"}},
  };
  const auto parcels = Peer::parcels(*engine);
  ASSERT_EQ(parcels.size(), 19u);
  for (const auto& [owner, keys] : lots) {
    for (const std::string& key : keys) {
      ASSERT_EQ(parcels.count(key), 1u) << key;
      EXPECT_EQ(parcels.at(key).owner, owner) << key;
      EXPECT_EQ(parcels.at(key).key, key);
    }
  }
  const ParcelRecord milan = parcels.at("45.46415_9.18999");
  EXPECT_EQ(milan.plant_type, "hydrogen");
  EXPECT_EQ(milan.plant_level, 3);
  EXPECT_EQ(milan.plant_name, "Reattore Idrogeno Verde PEM - Polo Energetico di Quartiere (Liv. 3)");
  EXPECT_DOUBLE_EQ(milan.power_kw, 27.8);
  EXPECT_FALSE(milan.for_sale);
  EXPECT_EQ(milan.sale_currency, "WC");
  EXPECT_FALSE(milan.billboard_active);
  EXPECT_TRUE(milan.span_cluster);
  EXPECT_EQ(milan.social_type, "web");
  EXPECT_EQ(milan.updated_ms, game_test::kSummerMorningMs);
  const ParcelRecord naples = parcels.at("40.85173_14.26808");
  EXPECT_EQ(naples.plant_type, "storage");
  EXPECT_EQ(naples.plant_level, 2);
  EXPECT_DOUBLE_EQ(naples.storage_boost, 0.3);

  // Owners start with their balances and their power already computed.
  const PlayerProfile king = Peer::player(*engine, "0xsolarking_it_milano_cer01");
  EXPECT_EQ(king.coins, 1450u);
  EXPECT_DOUBLE_EQ(king.kwh, 890.5);
  EXPECT_DOUBLE_EQ(king.ruz, 42.0);
  EXPECT_EQ(king.last_sync_ms, game_test::kSummerMorningMs);
  EXPECT_NEAR(king.power_kw, 6 * 27.8, 1e-9);
  EXPECT_EQ(king.parcels_count, 6u);
  const PlayerProfile turin = Peer::player(*engine, "0xecoempire_dao_torino_03");
  EXPECT_EQ(turin.coins, 680u);
  EXPECT_NEAR(turin.power_kw, 4 * 13.9, 1e-9);
  const PlayerProfile napoli = Peer::player(*engine, "0xcer_solidale_napoli_04");
  EXPECT_EQ(napoli.coins, 510u);
  EXPECT_DOUBLE_EQ(napoli.ruz, 12.0);
  EXPECT_DOUBLE_EQ(napoli.power_kw, 0.0);  // storage gives nothing by day
  EXPECT_NEAR(napoli.storage_boost, 1.0 + 4 * 0.3, 1e-9);
  EXPECT_GT(Peer::player(*engine, "0xgreenpower_99_roma_hub02").power_kw, 0.0);  // solar by day
}

TEST_F(GameSeed, QuizCategoriesCommunitiesAndQuestions) {
  auto engine = make_engine();
  EXPECT_EQ(Peer::categories(*engine),
            (std::vector<std::string>{"Fotovoltaico & Solare", "Eolico & Aerogeneratori", "Accumulo BESS & Batterie",
                                      "Idrogeno Verde & Fuel Cells", "CER & Comunita Energetiche",
                                      "Mercato Elettrico & Risparmio"}));

  const auto cers = Peer::cers(*engine);
  ASSERT_EQ(cers.size(), 3u);
  const CERCommunity& sol = cers.at("cer_solare_italia");
  EXPECT_EQ(sol.name, "Comunita Solare Italia");
  EXPECT_EQ(sol.tag, "SOL");
  EXPECT_EQ(sol.emblem, "\xE2\x98\x80\xEF\xB8\x8F");
  EXPECT_EQ(sol.creator, "0xsolarking_it_milano_cer01");
  EXPECT_EQ(sol.weekly_score, 420u);
  EXPECT_DOUBLE_EQ(sol.total_kwh, 12500.0);
  EXPECT_EQ(sol.description, "La piu grande CER d'Italia per l'autoconsumo diffuso e l'energia solare.");
  ASSERT_EQ(sol.members.size(), 1u);
  EXPECT_EQ(sol.members[0].role, "admin");
  EXPECT_EQ(sol.members[0].weekly_points, 420u);
  ASSERT_EQ(sol.messages.size(), 1u);
  EXPECT_EQ(sol.messages[0].id, "msg_seed_1");
  EXPECT_EQ(sol.messages[0].author_name, "SolarKing");
  const CERCommunity& aero = cers.at("cer_vento_sicilia");
  EXPECT_EQ(aero.tag, "AERO");
  EXPECT_EQ(aero.emblem, "\xF0\x9F\x8C\x80");
  EXPECT_EQ(aero.messages[0].emoji, "\xE2\x9A\xA1");
  const CERCommunity& h2 = cers.at("cer_idrogeno_verde");
  EXPECT_EQ(h2.creator, "0xgreenpower_99_roma_hub02");
  EXPECT_DOUBLE_EQ(h2.members[0].total_kwh, 7400.0);
  EXPECT_EQ(h2.messages[0].text, "Elettrolisi attiva a pieno regime. Massimizziamo l'accumulo!");

  EXPECT_EQ(Peer::player(*engine, "0xsolarking_it_milano_cer01").cer_id, "cer_solare_italia");
  EXPECT_EQ(Peer::player(*engine, "0xsolarking_it_milano_cer01").cer_role, "admin");
  EXPECT_EQ(Peer::player(*engine, "0xecoempire_dao_torino_03").cer_id, "cer_vento_sicilia");
  EXPECT_EQ(Peer::player(*engine, "0xgreenpower_99_roma_hub02").cer_id, "cer_idrogeno_verde");
  EXPECT_TRUE(Peer::player(*engine, "0xcer_solidale_napoli_04").cer_id.empty());

  const auto questions = Peer::questions(*engine);
  ASSERT_EQ(questions.size(), 6u);
  const std::vector<std::tuple<std::string, std::string, uint64_t, uint64_t, uint64_t, int>> expected = {
      {"quiz_seed_1", "SolarKing", 25, 22, 3, 1},  {"quiz_seed_2", "EcoEmpireDAO", 19, 16, 3, 0},
      {"quiz_seed_3", "GreenPower99", 15, 14, 1, 1}, {"quiz_seed_4", "SolarKing", 18, 15, 3, 0},
      {"quiz_seed_5", "GreenPower99", 22, 20, 2, 1}, {"quiz_seed_6", "EcoEmpireDAO", 14, 12, 2, 1}};
  for (const auto& [id, author, answered, correct, wrong, right] : expected) {
    const QuizQuestion& q = questions.at(id);
    EXPECT_EQ(q.author_name, author) << id;
    EXPECT_EQ(q.times_answered, answered) << id;
    EXPECT_EQ(q.times_correct, correct) << id;
    EXPECT_EQ(q.times_wrong, wrong) << id;
    EXPECT_EQ(q.correct_option, right) << id;
    EXPECT_EQ(q.created_at, game_test::kSummerMorningMs) << id;
  }
  EXPECT_EQ(questions.at("quiz_seed_6").question,
            "Cosa rappresenta l'acronimo PUN nel mercato elettrico italiano all'ingrosso?");
  EXPECT_EQ(questions.at("quiz_seed_6").option_b, "Prezzo Unico Nazionale di riferimento per la borsa elettrica");
  EXPECT_EQ(questions.at("quiz_seed_1").category, "Fotovoltaico & Solare");
}

TEST_F(GameSeed, OnlyEmptyCollectionsAreFilled) {
  fs::create_directories(dir());
  // Parcels and a community, no questions and no categories, and no
  // profile for any seeded founder.
  game_test::write_file(world_path(),
                        "L|lot1|45.000000|9.000000|0xowner||0|0.000000|0.000000|Lotto\n"
                        "CER|cer_mine|Mia|MIA|d|e|0xowner|1|2|3.000000\n");
  auto engine = make_engine();
  EXPECT_EQ(engine->get_total_parcels_count(), 1u);  // no seeded lots
  EXPECT_EQ(engine->get_total_players_count(), 0u);  // founders get no profile
  const auto cers = Peer::cers(*engine);
  EXPECT_EQ(cers.size(), 1u);
  EXPECT_EQ(cers.count("cer_mine"), 1u);
  EXPECT_EQ(Peer::questions(*engine).size(), 6u);
  EXPECT_EQ(Peer::categories(*engine).size(), 6u);
  // Seeded records reach the file at once: a later change journals only
  // the records it touches, and the rest must not depend on seeding again.
  EXPECT_EQ(game_test::lines_tagged(saved_world(), "QQ").size(), 6u);

  // Communities seeded where no founder has a profile.
  const std::string dir2 = dir("other");
  fs::create_directories(dir2);
  game_test::write_file(dir2 + "/game_world.dat", "L|lot1|45.000000|9.000000|0xowner||0|0.000000|0.000000|Lotto\n"
                                                  "QC|Una\n");
  GameEngine other(dir2, clock_);
  EXPECT_EQ(Peer::cers(other).size(), 3u);
  EXPECT_EQ(other.get_total_players_count(), 0u);
  EXPECT_EQ(Peer::categories(other), std::vector<std::string>{"Una"});
}

}  // namespace
}  // namespace ZezozuRiziv
