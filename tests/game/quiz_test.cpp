// The quiz: categories, questions, the question offered, scoring, the week
// turning on the test clock, the weekly ranking, failed saves and a restart.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <functional>
#include <set>
#include <string>
#include <vector>

#include "crypto/json_writer.h"
#include "game/model/text_safety.h"
#include "game/rules/community_quiz_rules.h"
#include "game/store/world_records.h"
#include "game_test_support.h"

namespace ZezozuRiziv {
namespace {

using Peer = GameEngineTestPeer;
using game_test::json_value;
namespace fs = std::filesystem;

constexpr char kAnna[] = "0x00000000000000000000000000000000000a11a0";
constexpr char kBruno[] = "0x00000000000000000000000000000000000b2b00";
constexpr char kSolarKing[] = "0xsolarking_it_milano_cer01";
// 2024-06-23 12:00:00 UTC, a Sunday, and the Monday 00:00:00 UTC after it.
constexpr uint64_t kSundayNoonMs = 1'719'144'000'000ULL;
constexpr uint64_t kMondayMs = 1'719'187'200'000ULL;

std::string error(const std::string& message) { return "{\"status\":\"error\",\"message\":\"" + message + "\"}"; }

constexpr char kNoQuestion[] =
    "{\"status\":\"ok\",\"has_question\":false,\"message\":\"Nessuna domanda disponibile al momento.\"}";
constexpr char kRight[] = "Risposta esatta! +10 Punti e +5 Watt Coin!";
constexpr char kWrong[] = "Risposta errata! I punti sono andati all'autore della domanda.";

std::string answer_json(bool correct, int right_option, uint64_t weekly) {
  return std::string("{\"status\":\"ok\",\"is_correct\":") + (correct ? "true" : "false") +
         ",\"correct_option\":" + std::to_string(right_option) + ",\"points_earned\":" + (correct ? "10" : "0") +
         ",\"coins_earned\":" + (correct ? "5" : "0") + ",\"weekly_quiz_score\":" + std::to_string(weekly) +
         ",\"message\":\"" + (correct ? kRight : kWrong) + "\"}";
}

class Quiz : public game_test::GameFixture {
 protected:
  void SetUp() override {
    GameFixture::SetUp();
    engine_ = make_engine();
    random_ = std::make_shared<ScriptedGameRandom>(std::vector<uint64_t>{42, 43});
    Peer::set_random(*engine_, random_);
  }

  void script(std::vector<uint64_t> draws) {
    random_ = std::make_shared<ScriptedGameRandom>(std::move(draws));
    Peer::set_random(*engine_, random_);
  }
  // A stored question, put in place directly.
  void put_question(const std::string& id, const std::string& author, int correct = 0,
                    const std::string& text = "Domanda di prova?") {
    Peer::with_lock(*engine_, [&](GameEngine& e) {
      QuizQuestion q;
      q.id = id;
      q.author_addr = author;
      q.author_name = "Autore";
      q.category = "Generale";
      q.question = text;
      q.option_a = "A";
      q.option_b = "B";
      q.option_c = "C";
      q.option_d = "D";
      q.correct_option = correct;
      Peer::questions_of(e)[id] = q;
    });
  }
  void only_questions() {
    Peer::with_lock(*engine_, [](GameEngine& e) { Peer::questions_of(e).clear(); });
  }
  std::string answer(const std::string& who, const std::string& id, int option) {
    std::string out;
    EXPECT_TRUE(engine_->answer_quiz_question(who, id, option, out)) << out;
    return out;
  }
  // The ids that `who` is offered over `draws` draws.
  std::set<std::string> offered(const std::string& who, std::vector<uint64_t> draws) {
    const size_t n = draws.size();
    script(std::move(draws));
    std::set<std::string> ids;
    for (size_t i = 0; i < n; ++i) ids.insert(json_value(engine_->get_random_quiz_question_json(who), "id"));
    return ids;
  }
  std::string file() { return saved_world(); }

  std::unique_ptr<GameEngine> engine_;
  std::shared_ptr<ScriptedGameRandom> random_;
};

TEST_F(Quiz, CategoriesAreTrimmedCleanedAndUnique) {
  const std::string seeded =
      "\"Fotovoltaico & Solare\",\"Eolico & Aerogeneratori\",\"Accumulo BESS & Batterie\","
      "\"Idrogeno Verde & Fuel Cells\",\"CER & Comunita Energetiche\",\"Mercato Elettrico & Risparmio\"";
  EXPECT_EQ(engine_->get_quiz_categories_json(), "{\"status\":\"ok\",\"categories\":[" + seeded + "]}");

  const std::string kShort = "Il nome della categoria deve contenere almeno 3 caratteri.";
  const std::string kTaken = "Categoria gia' esistente.";
  struct Case {
    const char* name;
    const char* stored;  // empty: refused with `message`
    std::string message;
  };
  const Case cases[] = {
      {"  ab  ", "", kShort},  // two bytes once trimmed
      {"\t|\r\n ", "", kShort},
      {"Fotovoltaico & Solare", "", kTaken},
      {"  CER nuova \t", "CER nuova", ""},
      {"CER nuova", "", kTaken},
      {"cer nuova", "cer nuova", ""},  // letter case counts
      {"Sole|Vento\r\n ", "SoleVento", ""},
      {"a\"b\\", "a\"b\\", ""},
  };
  std::string expected_list = seeded;
  for (const Case& c : cases) {
    std::string out;
    const bool added = engine_->add_quiz_category(c.name, out);
    if (std::string(c.stored).empty()) {
      EXPECT_FALSE(added) << c.name;
      EXPECT_EQ(out, error(c.message)) << c.name;
      continue;
    }
    EXPECT_TRUE(added) << c.name;
    const std::string quoted = json_string(c.stored);
    EXPECT_EQ(out, "{\"status\":\"ok\",\"message\":\"Nuova categoria quiz aggiunta con successo!\",\"category\":" +
                       quoted + "}");
    expected_list += "," + quoted;
  }
  EXPECT_EQ(engine_->get_quiz_categories_json(), "{\"status\":\"ok\",\"categories\":[" + expected_list + "]}");
  EXPECT_EQ(game_test::lines_tagged(file(), "QC").size(), 10u);
  EXPECT_NE(file().find("\nQC|SoleVento\n"), std::string::npos);
}

TEST_F(Quiz, SubmitRefusalsComeInTheirOrderAndChangeNothing) {
  const std::string kQuestion = "La domanda deve contenere almeno 10 caratteri.";
  const std::string kOptions = "Devi compilare tutte e 4 le risposte possibili.";
  const std::string kCorrect = "Devi indicare quale delle 4 opzioni e' quella corretta (0-3).";
  struct Case {
    const char* question;
    const char* option_c;
    uint32_t correct;
    std::string message;
  };
  const Case cases[] = {
      {"123456789", "", 9, kQuestion},  // every check fails: the question's comes first
      {"12345|678\r\n9", "C", 0, kQuestion},  // nine bytes once cleaned
      {"0123456789", "", 9, kOptions},
      {"0123456789", "|\n", 0, kOptions},
      {"0123456789", "C", 4, kCorrect},
      {"0123456789", "C", static_cast<uint32_t>(-1), kCorrect},
  };
  const std::string before = file();
  for (const Case& c : cases) {
    std::string out;
    EXPECT_FALSE(engine_->submit_quiz_question(kAnna, "", c.question, "A", "B", c.option_c, "D", c.correct, out));
    EXPECT_EQ(out, error(c.message)) << c.question << "/" << c.option_c << "/" << c.correct;
  }
  EXPECT_EQ(Peer::questions(*engine_).size(), 6u);
  EXPECT_EQ(Peer::player(*engine_, kAnna).coins, 300u);
  EXPECT_EQ(file(), before);
  EXPECT_EQ(random_->draws(), 0u);

  std::string out;
  EXPECT_FALSE(engine_->submit_quiz_question("0x\r\nQQ|x", "", "0123456789", "A", "B", "C", "D", 0, out));
  EXPECT_EQ(out, error(kBadAddressMessage));
  EXPECT_EQ(Peer::players(*engine_).count("0x\r\nqq|x"), 0u);
}

TEST_F(Quiz, ASubmittedQuestionIsStoredCleanedAndRewarded) {
  std::string out;
  // Exactly ten bytes; the draw is 42, so the suffix is 142.
  ASSERT_TRUE(engine_->submit_quiz_question("0xABCDEF0123", "", "0123456789", "a|1", "b\n2", "c\"3", "d\\4", 2, out));
  EXPECT_EQ(out,
            "{\"status\":\"ok\",\"message\":\"Domanda inviata con successo! Hai ricevuto +15 Watt Coin per il "
            "contributo.\",\"question_id\":\"qq_64000000_142\"}");
  const QuizQuestion q = Peer::questions(*engine_).at("qq_64000000_142");
  EXPECT_EQ(q.author_addr, "0xabcdef0123");
  EXPECT_EQ(q.author_name, "Player_abcdef");
  EXPECT_EQ(q.category, "Generale");
  EXPECT_EQ(q.question, "0123456789");
  EXPECT_EQ(q.option_a, "a1");
  EXPECT_EQ(q.option_b, "b2");
  EXPECT_EQ(q.option_c, "c\"3");
  EXPECT_EQ(q.option_d, "d\\4");
  EXPECT_EQ(q.correct_option, 2);
  EXPECT_EQ(q.times_answered + q.times_correct + q.times_wrong, 0u);
  EXPECT_EQ(q.created_at, game_test::kSummerMorningMs);
  EXPECT_EQ(Peer::player(*engine_, "0xabcdef0123").coins, 315u);
  EXPECT_NE(file().find("QQ|qq_64000000_142|0xabcdef0123|Player_abcdef|Generale|0123456789|a1|b2|c\"3|d\\4|2|0|0|0|"
                        "1718964000000\n"),
            std::string::npos);

  // A drawn id that is taken is drawn again; the stored question stays.
  put_question("qq_64000000_143", kBruno);
  script({43, 43, 7});
  ASSERT_TRUE(engine_->submit_quiz_question(kAnna, "Eolico|", "Quanto vento serve?", "1", "2", "3", "4", 0, out));
  EXPECT_EQ(json_value(out, "question_id"), "qq_64000000_107");
  EXPECT_EQ(Peer::questions(*engine_).at("qq_64000000_143").author_addr, kBruno);
  EXPECT_EQ(Peer::questions(*engine_).at("qq_64000000_107").category, "Eolico");
}

TEST_F(Quiz, AnAuthorWithoutAccountIsNamedAfterItsAddressHoweverShort) {
  Peer::add_account(*engine_, "usr_anna", "Anna \"A\"", kAnna);
  struct Case {
    const char* address;
    const char* name;
  };
  // Addresses of one or two bytes have nothing after the first two.
  const Case cases[] = {
      {"a", "Player_"}, {"AB", "Player_"}, {"abc", "Player_c"}, {"0x12", "Player_12"},
      {"0x0000000000000000000000000000000000abcdef", "Player_000000"}, {kAnna, "Anna \"A\""},
  };
  uint64_t draw = 0;
  for (const Case& c : cases) {
    script({draw++});
    std::string out;
    ASSERT_TRUE(engine_->submit_quiz_question(c.address, "", "Una domanda qualsiasi", "1", "2", "3", "4", 1, out))
        << c.address;
    EXPECT_EQ(Peer::questions(*engine_).at(json_value(out, "question_id")).author_name, c.name) << c.address;
  }
}

TEST_F(Quiz, TheQuestionOfferedIsAnotherAuthorsAndNotYetAnsweredThisWeek) {
  only_questions();
  EXPECT_EQ(engine_->get_random_quiz_question_json(kAnna), kNoQuestion);

  put_question("q_anna", kAnna);
  put_question("q_b1", kBruno, 1, "Che cos'e' il \"PUN\" \\ oggi?");
  put_question("q_b2", kBruno, 2);
  // Both of the others come up, never Anna's own (the address compared
  // lower-cased).
  EXPECT_EQ(offered("0x00000000000000000000000000000000000A11A0", {0, 1, 2, 3}),
            (std::set<std::string>{"q_b1", "q_b2"}));
  EXPECT_EQ(offered(kBruno, {0, 1, 2}), std::set<std::string>{"q_anna"});

  // Once one is answered only the other is offered; the right option is
  // never sent; every text is escaped.
  answer(kAnna, "q_b2", 0);
  script({0, 1});
  const std::string expected =
      "{\"status\":\"ok\",\"has_question\":true,\"question\":{\"id\":\"q_b1\",\"author_name\":\"Autore\","
      "\"category\":\"Generale\",\"question\":\"Che cos'e' il \\\"PUN\\\" \\\\ oggi?\",\"option_a\":\"A\","
      "\"option_b\":\"B\",\"option_c\":\"C\",\"option_d\":\"D\"}}";
  EXPECT_EQ(engine_->get_random_quiz_question_json(kAnna), expected);
  EXPECT_EQ(engine_->get_random_quiz_question_json(kAnna), expected);

  // Every other question answered: the answered ones come round again.
  answer(kAnna, "q_b1", 1);
  EXPECT_EQ(offered(kAnna, {0, 1}), (std::set<std::string>{"q_b1", "q_b2"}));

  // A player who wrote every question has none; a stranger is not created.
  Peer::with_lock(*engine_, [](GameEngine& e) {
    for (auto& [id, q] : Peer::questions_of(e)) q.author_addr = kAnna;
  });
  EXPECT_EQ(engine_->get_random_quiz_question_json(kAnna), kNoQuestion);
  EXPECT_EQ(offered("0xstranger", {0, 1, 2}), (std::set<std::string>{"q_anna", "q_b1", "q_b2"}));
  EXPECT_FALSE(Peer::has_player(*engine_, "0xstranger"));
}

TEST_F(Quiz, ARightAnswerScoresForThePlayerAndItsCommunityAWrongOneForTheAuthor) {
  std::string out;
  ASSERT_TRUE(engine_->join_cer_community(kAnna, "cer_vento_sicilia", out));

  // quiz_seed_1 is SolarKing's; B (index 1) is right.
  EXPECT_EQ(answer("0x00000000000000000000000000000000000A11A0", "quiz_seed_1", 1), answer_json(true, 1, 10));
  PlayerProfile anna = Peer::player(*engine_, kAnna);
  EXPECT_EQ(anna.weekly_quiz_score, 10u);
  EXPECT_EQ(anna.answers_correct, 1u);
  EXPECT_EQ(anna.coins, 305u);
  CERCommunity vento = Peer::cers(*engine_).at("cer_vento_sicilia");
  EXPECT_EQ(vento.weekly_score, 390u);
  EXPECT_EQ(vento.members[0].weekly_points, 380u);  // the founder's entry is untouched
  EXPECT_EQ(vento.members[1].weekly_points, 10u);
  QuizQuestion q = Peer::questions(*engine_).at("quiz_seed_1");
  EXPECT_EQ(q.times_answered, 26u);
  EXPECT_EQ(q.times_correct, 23u);
  EXPECT_EQ(q.times_wrong, 3u);

  // Bruno, in no community, answers wrong: the author and its community score.
  const CERCommunity solare_before = Peer::cers(*engine_).at("cer_solare_italia");
  EXPECT_EQ(answer(kBruno, "quiz_seed_1", 0), answer_json(false, 1, 0));
  const PlayerProfile bruno = Peer::player(*engine_, kBruno);
  EXPECT_EQ(bruno.weekly_quiz_score, 0u);
  EXPECT_EQ(bruno.coins, 300u);
  const PlayerProfile king = Peer::player(*engine_, kSolarKing);
  EXPECT_EQ(king.weekly_quiz_score, 10u);
  EXPECT_EQ(king.author_tricked, 1u);
  const CERCommunity solare = Peer::cers(*engine_).at("cer_solare_italia");
  EXPECT_EQ(solare.weekly_score, solare_before.weekly_score + 10);
  EXPECT_EQ(solare.members[0].weekly_points, solare_before.members[0].weekly_points + 10);
  q = Peer::questions(*engine_).at("quiz_seed_1");
  EXPECT_EQ(q.times_answered, 27u);
  EXPECT_EQ(q.times_wrong, 4u);

  // An option outside 0..3 is wrong; the same question scores again.
  EXPECT_EQ(answer(kAnna, "quiz_seed_1", 7), answer_json(false, 1, 10));
  EXPECT_EQ(answer(kAnna, "quiz_seed_1", -1), answer_json(false, 1, 10));
  EXPECT_EQ(answer(kAnna, "quiz_seed_1", 1), answer_json(true, 1, 20));
  anna = Peer::player(*engine_, kAnna);
  EXPECT_EQ(anna.answered_this_week, std::vector<std::string>{"quiz_seed_1"});
  EXPECT_EQ(Peer::player(*engine_, kSolarKing).weekly_quiz_score, 30u);
  vento = Peer::cers(*engine_).at("cer_vento_sicilia");
  EXPECT_EQ(vento.weekly_score, 400u);

  // A wrong answer to a question whose author never played moves only the
  // question's counters.
  put_question("q_ghost", "0xghost", 3);
  EXPECT_EQ(answer(kBruno, "q_ghost", 0), answer_json(false, 3, 0));
  EXPECT_FALSE(Peer::has_player(*engine_, "0xghost"));
  q = Peer::questions(*engine_).at("q_ghost");
  EXPECT_EQ(q.times_answered, 1u);
  EXPECT_EQ(q.times_wrong, 1u);

  const std::string before = file();
  EXPECT_FALSE(engine_->answer_quiz_question(kAnna, "quiz_seed_", 1, out));
  EXPECT_EQ(out, error("Domanda quiz non trovata."));
  EXPECT_FALSE(engine_->answer_quiz_question("0x|", "quiz_seed_1", 1, out));
  EXPECT_EQ(out, error(kBadAddressMessage));
  EXPECT_EQ(file(), before);
}

TEST_F(Quiz, TheWeekTurnsAtMondayMidnightUtc) {
  only_questions();
  put_question("q1", kBruno, 0);
  put_question("q2", kBruno, 0);
  clock_->set_ms(kSundayNoonMs);
  // Anna produces (a hydrogen plant runs day and night), so her production
  // week moves on.
  Peer::with_lock(*engine_, [](GameEngine& e) {
    Peer::get_or_create(e, kAnna);
    ParcelRecord lot;
    lot.key = "41.90000_12.50000";
    lot.lat = 41.9;
    lot.lon = 12.5;
    lot.owner = kAnna;
    lot.plant_type = "hydrogen";
    lot.plant_level = 1;
    lot.power_kw = 10.0;
    Peer::put_parcel(e, lot);
  });
  static_cast<void>(engine_->get_production_history_json(kAnna));
  clock_->advance_ms(60'000);
  static_cast<void>(engine_->get_production_history_json(kAnna));

  EXPECT_EQ(answer(kAnna, "q1", 0), answer_json(true, 0, 10));
  EXPECT_EQ(offered(kAnna, {0, 1}), std::set<std::string>{"q2"});
  const auto cycle = [&] { return json_value(engine_->get_weekly_quiz_leaderboard_json(), "cycle_remaining_sec"); };
  // 11 h 59 min left until Monday 00:00 UTC.
  EXPECT_EQ(cycle(), "43140");
  clock_->set_ms(kMondayMs - 1000);
  EXPECT_EQ(cycle(), "1");

  clock_->set_ms(kMondayMs);
  EXPECT_EQ(cycle(), "604800");
  static_cast<void>(engine_->get_production_history_json(kAnna));
  const PlayerProfile anna = Peer::player(*engine_, kAnna);
  EXPECT_EQ(anna.weekly_quiz_score, 0u);
  EXPECT_TRUE(anna.answered_this_week.empty());
  EXPECT_EQ(offered(kAnna, {0, 1}), (std::set<std::string>{"q1", "q2"}));
  EXPECT_EQ(json_value(engine_->get_weekly_quiz_leaderboard_json(), "players"), "[");

  clock_->advance_ms(1000);
  EXPECT_EQ(cycle(), "604799");
  // The figure itself, away from the engine: Friday 10:00 UTC leaves two
  // days and fourteen hours.
  EXPECT_EQ(quiz_cycle_remaining_sec(game_test::kSummerMorningMs), 223'200u);
}

TEST_F(Quiz, TheRankingListsTenPlayersWithPointsAndTenCommunities) {
  Peer::add_account(*engine_, "usr_anna", "Anna", kAnna);
  Peer::with_lock(*engine_, [](GameEngine& e) {
    PlayerProfile& anna = Peer::get_or_create(e, kAnna);
    anna.weekly_quiz_score = 30;
    anna.answers_correct = 3;
    PlayerProfile& bruno = Peer::get_or_create(e, kBruno);
    bruno.weekly_quiz_score = 20;
    bruno.author_tricked = 2;
    Peer::get_or_create(e, "0xzero");
    CERCommunity& zero = Peer::cers_of(e)["cer_zero"];
    zero.id = "cer_zero";
    zero.name = "Zero \"punti\"";
    zero.tag = "ZR";
    zero.emblem = "0";
  });
  const std::string cers =
      "{\"id\":\"cer_solare_italia\",\"name\":\"Comunita Solare Italia\",\"tag\":\"SOL\",\"emblem\":\"☀️\","
      "\"weekly_score\":420,\"members_count\":1},{\"id\":\"cer_vento_sicilia\",\"name\":\"CER Eolica del "
      "Mediterraneo\",\"tag\":\"AERO\",\"emblem\":\"🌀\",\"weekly_score\":380,\"members_count\":1},{\"id\":"
      "\"cer_idrogeno_verde\",\"name\":\"Idrogeno Valle Verde\",\"tag\":\"H2V\",\"emblem\":\"🔋\",\"weekly_score\":"
      "290,\"members_count\":1},{\"id\":\"cer_zero\",\"name\":\"Zero \\\"punti\\\"\",\"tag\":\"ZR\",\"emblem\":\"0\","
      "\"weekly_score\":0,\"members_count\":0}";
  EXPECT_EQ(engine_->get_weekly_quiz_leaderboard_json(),
            "{\"status\":\"ok\",\"cycle_remaining_sec\":223200,\"cer_pool_watt_coins\":500,"
            "\"individual_prize_watt_coins\":250,\"players\":[{\"address\":\"" + std::string(kAnna) +
                "\",\"username\":\"Anna\",\"weekly_quiz_score\":30,\"answers_correct\":3,\"author_tricked\":0},"
                "{\"address\":\"" + kBruno + "\",\"username\":\"0x000000\",\"weekly_quiz_score\":20,"
                "\"answers_correct\":0,\"author_tricked\":2}],\"cers\":[" + cers + "]}");

  // Fifteen players with points and fifteen communities: the best ten of each.
  Peer::with_lock(*engine_, [](GameEngine& e) {
    for (int i = 1; i <= 15; ++i) {
      Peer::get_or_create(e, "0xp" + std::to_string(100 + i)).weekly_quiz_score = static_cast<uint64_t>(i);
      CERCommunity& c = Peer::cers_of(e)["cer_" + std::to_string(100 + i)];
      c.id = "cer_" + std::to_string(100 + i);
      c.weekly_score = static_cast<uint64_t>(300 + i);
    }
  });
  const std::string board = engine_->get_weekly_quiz_leaderboard_json();
  const std::string players = board.substr(board.find("\"players\":"), board.find("\"cers\":") - board.find("\"players\":"));
  const std::string communities = board.substr(board.find("\"cers\":"));
  EXPECT_EQ(game_test::count_of(players, "\"address\":"), 10u);
  EXPECT_EQ(game_test::count_of(communities, "\"id\":"), 10u);
  // 30, 20, then 15 down to 8.
  EXPECT_LT(players.find(kAnna), players.find(kBruno));
  EXPECT_LT(players.find(kBruno), players.find("0xp115"));
  EXPECT_NE(players.find("\"address\":\"0xp108\""), std::string::npos);
  EXPECT_EQ(players.find("\"address\":\"0xp107\""), std::string::npos);
  EXPECT_EQ(players.find("0xzero"), std::string::npos);
  // 420, 380, then 315 down to 308; 290 and 0 are out.
  EXPECT_NE(communities.find("\"id\":\"cer_108\""), std::string::npos);
  EXPECT_EQ(communities.find("\"id\":\"cer_107\""), std::string::npos);
  EXPECT_EQ(communities.find("cer_idrogeno_verde"), std::string::npos);
}

TEST_F(Quiz, AChangeWhoseSaveFailsIsUndoneAndReported) {
  std::string out;
  ASSERT_TRUE(engine_->join_cer_community(kAnna, "cer_vento_sicilia", out));
  struct Case {
    const char* what;
    std::function<bool(std::string&)> run;
  };
  const std::vector<Case> cases = {
      {"category", [&](std::string& o) { return engine_->add_quiz_category("Nuova categoria", o); }},
      {"submit", [&](std::string& o) {
         return engine_->submit_quiz_question(kAnna, "", "Una domanda lunga", "1", "2", "3", "4", 0, o);
       }},
      {"right", [&](std::string& o) { return engine_->answer_quiz_question(kAnna, "quiz_seed_1", 1, o); }},
      {"wrong", [&](std::string& o) { return engine_->answer_quiz_question(kAnna, "quiz_seed_1", 0, o); }},
      {"new player", [&](std::string& o) { return engine_->answer_quiz_question("0xnuovo", "quiz_seed_2", 0, o); }},
  };
  const auto snapshot = [&] {
    std::vector<std::string> lines;
    for (const auto& [key, c] : Peer::cers(*engine_)) append_community_lines(lines.emplace_back(), c);
    for (const auto& [key, p] : Peer::players(*engine_)) {
      append_player_line(lines.emplace_back(), p);
      lines.back() += std::to_string(p.answers_correct) + "/" + std::to_string(p.author_tricked) + "/" +
                      std::to_string(p.answered_this_week.size());
    }
    for (const auto& [key, q] : Peer::questions(*engine_)) append_question_line(lines.emplace_back(), q);
    for (const std::string& c : Peer::categories(*engine_)) append_category_line(lines.emplace_back(), c);
    std::sort(lines.begin(), lines.end());
    return lines;
  };
  const auto before = snapshot();
  const std::string file_before = file();
  block_saves(*engine_);
  for (const Case& c : cases) {
    EXPECT_FALSE(c.run(out)) << c.what;
    EXPECT_EQ(out, error(kSaveFailedMessage)) << c.what;
    EXPECT_EQ(snapshot(), before) << c.what;
  }
  EXPECT_EQ(file(), file_before);
  allow_saves(*engine_);
  EXPECT_EQ(answer(kAnna, "quiz_seed_1", 1), answer_json(true, 1, 10));
}

TEST_F(Quiz, WhatTheWorldFileCarriesComesBackAfterARestart) {
  std::string out;
  ASSERT_TRUE(engine_->join_cer_community(kAnna, "cer_vento_sicilia", out));
  ASSERT_TRUE(engine_->add_quiz_category("Geotermia", out));
  ASSERT_TRUE(engine_->submit_quiz_question(kBruno, "Geotermia", "Da dove viene il calore?", "Sole", "Terra", "Luna",
                                            "Vento", 1, out));
  const std::string id = json_value(out, "question_id");
  answer(kAnna, id, 1);
  const std::string categories = engine_->get_quiz_categories_json();
  const std::string board = engine_->get_weekly_quiz_leaderboard_json();

  engine_.reset();
  engine_ = make_engine();
  Peer::set_random(*engine_, random_);
  EXPECT_EQ(engine_->get_quiz_categories_json(), categories);
  const QuizQuestion q = Peer::questions(*engine_).at(id);
  EXPECT_EQ(q.author_name, "Player_000000");
  EXPECT_EQ(q.category, "Geotermia");
  EXPECT_EQ(q.option_b, "Terra");
  EXPECT_EQ(q.times_answered, 1u);
  EXPECT_EQ(q.times_correct, 1u);
  // The weekly score and the communities' points are stored; the answer
  // counters and this week's answered list live in memory only.
  const PlayerProfile anna = Peer::player(*engine_, kAnna);
  EXPECT_EQ(anna.weekly_quiz_score, 10u);
  EXPECT_EQ(anna.answers_correct, 0u);
  EXPECT_TRUE(anna.answered_this_week.empty());
  EXPECT_EQ(Peer::cers(*engine_).at("cer_vento_sicilia").weekly_score, 390u);
  EXPECT_EQ(Peer::cers(*engine_).at("cer_vento_sicilia").members[1].weekly_points, 10u);
  const std::string after = engine_->get_weekly_quiz_leaderboard_json();
  EXPECT_EQ(after.substr(0, after.find("\"players\"")), board.substr(0, board.find("\"players\"")));
  EXPECT_NE(after.find("\"weekly_quiz_score\":10,\"answers_correct\":0,"), std::string::npos) << after;
}

}  // namespace
}  // namespace ZezozuRiziv
