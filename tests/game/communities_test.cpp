// Communities: founding, joining, leaving, the notice board, the two views,
// failed saves and a restart.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <functional>
#include <string>
#include <vector>

#include "game/model/text_safety.h"
#include "game/store/world_records.h"
#include "game_test_support.h"

namespace ZezozuRiziv {
namespace {

using Peer = GameEngineTestPeer;
using game_test::count_of;
using game_test::kSummerMorningMs;
namespace fs = std::filesystem;

constexpr char kAnna[] = "0x00000000000000000000000000000000000a11a0";
constexpr char kBruno[] = "0x00000000000000000000000000000000000b2b00";
constexpr char kCarla[] = "0x00000000000000000000000000000000000c3ca0";
// kSummerMorningMs in decimal without its first five digits.
constexpr char kTimeTail[] = "64000000";
constexpr char kSolare[] = "cer_solare_italia";

std::string error(const std::string& message) { return "{\"status\":\"error\",\"message\":\"" + message + "\"}"; }

// A member or a message as one line of text, field by field.
std::string describe(const CERMember& m) {
  return m.address + " " + m.role + " " + std::to_string(m.joined_at) + " " + std::to_string(m.weekly_points) + " " +
         std::to_string(m.total_kwh);
}
std::string describe(const CERMessage& m) {
  return m.id + " " + m.author_addr + " " + m.author_name + ": " + m.text + " " + m.emoji + " " +
         std::to_string(m.timestamp);
}

class Communities : public game_test::GameFixture {
 protected:
  void SetUp() override {
    GameFixture::SetUp();
    engine_ = make_engine();
    random_ = std::make_shared<ScriptedGameRandom>(std::vector<uint64_t>{42, 7, 13});
    Peer::set_random(*engine_, random_);
  }

  // Founds a community for `who`; its id.
  std::string found(const std::string& who, const std::string& name = "Sole Alto", const std::string& tag = "SOL") {
    std::string out;
    EXPECT_TRUE(engine_->create_cer_community(who, name, tag, "", "", out)) << out;
    return game_test::json_value(out, "cer_id");
  }
  void join(const std::string& who, const std::string& id) {
    std::string out;
    EXPECT_TRUE(engine_->join_cer_community(who, id, out)) << out;
  }
  void post(const std::string& who, const std::string& text) {
    std::string out;
    EXPECT_TRUE(engine_->post_cer_message(who, text, "", out)) << out;
  }
  void set_coins(const std::string& who, uint64_t coins) {
    Peer::with_lock(*engine_, [&](GameEngine& e) { Peer::get_or_create(e, who).coins = coins; });
  }
  CERCommunity community(const std::string& id) { return Peer::cers(*engine_).at(id); }
  std::string file() { return saved_world(); }

  std::unique_ptr<GameEngine> engine_;
  std::shared_ptr<ScriptedGameRandom> random_;
};

TEST_F(Communities, FoundingRefusalsComeInTheirOrderAndChangeNothing) {
  struct Case {
    const char* name;
    const char* tag;
    uint64_t coins;
    const char* message;
  };
  const char* kName = "Il nome della CER deve contenere almeno 3 caratteri.";
  const char* kTag = "Il Tag della CER deve contenere da 2 a 6 caratteri.";
  const char* kCoins = "Servono almeno 100 Watt Coin per registrare una nuova CER.";
  const Case cases[] = {
      {"ab", "x", 0, kName},           // every check fails: the name's comes first
      {"a|\r\nb", "SOL", 500, kName},  // 2 bytes once cleaned
      {"abc", "x", 0, kTag},
      {"abc", "ABCDEFG", 500, kTag},   // 7 bytes
      {"abc", "|A\n", 500, kTag},      // 1 byte once cleaned
      {"abc", "ab", 99, kCoins},
  };
  const std::string before = file();
  for (const Case& c : cases) {
    set_coins(kAnna, c.coins);
    std::string out;
    EXPECT_FALSE(engine_->create_cer_community(kAnna, c.name, c.tag, "", "", out)) << c.name << c.tag;
    EXPECT_EQ(out, error(c.message)) << c.name << "/" << c.tag;
    EXPECT_EQ(Peer::player(*engine_, kAnna).coins, c.coins);
  }
  EXPECT_EQ(Peer::cers(*engine_).size(), 3u);
  EXPECT_EQ(Peer::player(*engine_, kAnna).cer_id, "");
  EXPECT_EQ(file(), before);
  EXPECT_EQ(random_->draws(), 0u);

  // An address that could write lines of its own creates no player.
  std::string out;
  EXPECT_FALSE(engine_->create_cer_community("0xa|P|0xb", "Nome", "TAG", "", "", out));
  EXPECT_EQ(out, error(kBadAddressMessage));
  EXPECT_FALSE(Peer::has_player(*engine_, "0xa|p|0xb"));
}

TEST_F(Communities, FoundingStoresTheCleanedCommunityWithItsAdminAndFirstMessage) {
  set_coins(kAnna, 100);  // exactly the fee
  std::string out;
  ASSERT_TRUE(engine_->create_cer_community("0x00000000000000000000000000000000000A11A0", "Sole \"Alto\"\\\n",
                                            "s|o\r", "", "", out));
  // The draw was 42: suffix 142.
  const std::string id = std::string("cer_") + kTimeTail + "_142";
  EXPECT_EQ(out, "{\"status\":\"ok\",\"message\":\"Comunita Energetica [Sole \\\"Alto\\\"\\\\] fondata con "
                 "successo!\",\"cer_id\":\"" + id + "\"}");

  const CERCommunity c = community(id);
  EXPECT_EQ(c.name, "Sole \"Alto\"\\");
  EXPECT_EQ(c.tag, "SO");
  EXPECT_EQ(c.description, "Comunita Energetica Rinnovabile certificata su ZezozuRiziv");
  EXPECT_EQ(c.emblem, "🌱");
  EXPECT_EQ(c.creator, kAnna);
  EXPECT_EQ(c.created_at, kSummerMorningMs);
  EXPECT_EQ(c.weekly_score, 0u);
  EXPECT_EQ(c.total_kwh, 25.0);
  ASSERT_EQ(c.members.size(), 1u);
  EXPECT_EQ(describe(c.members[0]), std::string(kAnna) + " admin 1718964000000 0 25.000000");
  ASSERT_EQ(c.messages.size(), 1u);
  EXPECT_EQ(describe(c.messages[0]), "msg_1718964000000 " + std::string(kAnna) +
                                         " Admin: Comunita Energetica Rinnovabile creata! Iniziamo la transizione "
                                         "verde insieme. ⚡ 1718964000000");

  const PlayerProfile anna = Peer::player(*engine_, kAnna);
  EXPECT_EQ(anna.coins, 0u);
  EXPECT_EQ(anna.cer_id, id);
  EXPECT_EQ(anna.cer_role, "admin");
  // Saved before the answer, one line per field, nothing that splits a line.
  EXPECT_NE(file().find("CER|" + id + "|Sole \"Alto\"\\|SO|Comunita Energetica Rinnovabile certificata su "
                        "ZezozuRiziv|🌱|" + kAnna + "|1718964000000|0|25.000000\n"),
            std::string::npos);

  // Given texts are kept (cleaned); a lower-case tag is upper-cased.
  set_coins(kBruno, 300);
  ASSERT_TRUE(engine_->create_cer_community(kBruno, "Vento", "ve", "Una\r\n descrizione|", "🌀", out));
  const CERCommunity v = community(game_test::json_value(out, "cer_id"));
  EXPECT_EQ(v.tag, "VE");
  EXPECT_EQ(v.description, "Una descrizione");
  EXPECT_EQ(v.emblem, "🌀");
}

TEST_F(Communities, ANewIdThatIsTakenIsDrawnAgainAndNeverReplacesACommunity) {
  random_ = std::make_shared<ScriptedGameRandom>(std::vector<uint64_t>{5, 5, 7});
  Peer::set_random(*engine_, random_);
  const std::string first = found(kAnna);
  const std::string second = found(kBruno, "Vento Forte", "VF");
  EXPECT_EQ(first, std::string("cer_") + kTimeTail + "_105");
  EXPECT_EQ(second, std::string("cer_") + kTimeTail + "_107");
  EXPECT_EQ(community(first).name, "Sole Alto");
  EXPECT_EQ(community(second).name, "Vento Forte");

  // Every suffix but the last taken in this millisecond: the draws keep
  // missing, then the free one is found; with none free, a refusal.
  Peer::set_random(*engine_, std::make_shared<ScriptedGameRandom>(std::vector<uint64_t>{0}));
  Peer::with_lock(*engine_, [](GameEngine& e) {
    for (int suffix = 100; suffix <= 998; ++suffix) {
      const std::string id = std::string("cer_") + kTimeTail + "_" + std::to_string(suffix);
      Peer::cers_of(e)[id].id = id;
    }
  });
  EXPECT_EQ(found(kCarla), std::string("cer_") + kTimeTail + "_999");
  std::string out;
  set_coins(kBruno, 300);
  EXPECT_FALSE(engine_->create_cer_community(kBruno, "Ancora", "AN", "", "", out));
  EXPECT_EQ(out, error("Troppe CER fondate in questo istante: riprova tra un momento."));
  EXPECT_EQ(Peer::player(*engine_, kBruno).cer_id, second);
  EXPECT_EQ(Peer::player(*engine_, kBruno).coins, 300u);
}

TEST_F(Communities, JoinLeaveAndPostRefusalsComeInTheirOrder) {
  const std::string id = found(kAnna);
  Peer::with_lock(*engine_, [](GameEngine& e) { Peer::get_or_create(e, kCarla).cer_id = "cer_gone"; });
  struct Case {
    const char* what;
    std::function<bool(std::string&)> run;
    std::string message;
  };
  const std::vector<Case> cases = {
      {"join unknown", [&](std::string& o) { return engine_->join_cer_community(kBruno, "cer_nessuna", o); },
       "CER non trovata."},
      {"join by a prefix", [&](std::string& o) { return engine_->join_cer_community(kBruno, "cer_solare", o); },
       "CER non trovata."},
      {"join own", [&](std::string& o) { return engine_->join_cer_community(kAnna, id, o); },
       "Fai gia' parte di questa CER!"},
      {"leave none", [&](std::string& o) { return engine_->leave_cer_community(kBruno, o); },
       "Non fai parte di nessuna CER."},
      {"leave gone", [&](std::string& o) { return engine_->leave_cer_community(kCarla, o); },
       "Non fai parte di nessuna CER."},
      // The community is checked before the text.
      {"post outside", [&](std::string& o) { return engine_->post_cer_message(kBruno, "", "", o); },
       "Devi unirti a una CER per scrivere sulla bacheca."},
      {"post gone", [&](std::string& o) { return engine_->post_cer_message(kCarla, "ciao", "", o); },
       "Devi unirti a una CER per scrivere sulla bacheca."},
      {"post empty", [&](std::string& o) { return engine_->post_cer_message(kAnna, "", "", o); },
       "Il messaggio non puo' essere vuoto."},
      {"post empty once cleaned", [&](std::string& o) { return engine_->post_cer_message(kAnna, "|\r\n", "", o); },
       "Il messaggio non puo' essere vuoto."},
      {"bad address", [&](std::string& o) { return engine_->join_cer_community("0x\n", id, o); },
       kBadAddressMessage},
  };
  const std::string before = file();
  const auto communities = Peer::cers(*engine_);
  for (const Case& c : cases) {
    std::string out;
    EXPECT_FALSE(c.run(out)) << c.what;
    EXPECT_EQ(out, error(c.message)) << c.what;
  }
  EXPECT_EQ(file(), before);
  for (const auto& [key, c] : Peer::cers(*engine_)) {
    std::string now_line, then_line;
    append_community_lines(now_line, c);
    append_community_lines(then_line, communities.at(key));
    EXPECT_EQ(now_line, then_line);
  }
}

TEST_F(Communities, JoiningMovesThePlayerAndAddsItsKwh) {
  const std::string own = found(kAnna);
  Peer::with_lock(*engine_, [](GameEngine& e) { Peer::get_or_create(e, kAnna).kwh = 40.5; });
  const double solare_kwh = community(kSolare).total_kwh;
  clock_->advance_ms(1000);

  std::string out;
  ASSERT_TRUE(engine_->join_cer_community(kAnna, kSolare, out));
  EXPECT_EQ(out, "{\"status\":\"ok\",\"message\":\"Ti sei unito alla CER [Comunita Solare Italia]!\",\"cer_id\":\""
                 "cer_solare_italia\"}");
  // Out of the old one without a hand-over: its creator stays, nobody is admin.
  const CERCommunity left = community(own);
  EXPECT_TRUE(left.members.empty());
  EXPECT_EQ(left.creator, kAnna);

  const CERCommunity joined = community(kSolare);
  EXPECT_DOUBLE_EQ(joined.total_kwh, solare_kwh + 40.5);
  ASSERT_EQ(joined.members.size(), 2u);
  EXPECT_EQ(describe(joined.members[1]), std::string(kAnna) + " member 1718964001000 0 40.500000");
  ASSERT_EQ(joined.messages.size(), 2u);
  EXPECT_EQ(describe(joined.messages[1]), "msg_1718964001000 " + std::string(kAnna) +
                                              " Sistema: Nuovo membro unito alla comunita! +Produzione per tutti. 🤝 "
                                              "1718964001000");
  const PlayerProfile anna = Peer::player(*engine_, kAnna);
  EXPECT_EQ(anna.cer_id, kSolare);
  EXPECT_EQ(anna.cer_role, "member");

  // An admin who founds a second community leaves the first without one.
  const std::string second = found(kAnna, "Secondo", "DUE");
  EXPECT_EQ(community(kSolare).members.size(), 1u);
  EXPECT_EQ(community(second).members.size(), 1u);
}

TEST_F(Communities, AnAdminWhoLeavesHandsTheRoleToTheFirstRemainingMember) {
  const std::string id = found(kAnna);
  join(kBruno, id);
  join(kCarla, id);
  std::string out;
  ASSERT_TRUE(engine_->leave_cer_community(kAnna, out));
  EXPECT_EQ(out, "{\"status\":\"ok\",\"message\":\"Hai lasciato la CER con successo.\"}");
  CERCommunity c = community(id);
  ASSERT_EQ(c.members.size(), 2u);
  EXPECT_EQ(c.members[0].address, kBruno);
  EXPECT_EQ(c.members[0].role, "admin");
  EXPECT_EQ(c.members[1].role, "member");
  EXPECT_EQ(c.creator, kBruno);
  EXPECT_EQ(Peer::player(*engine_, kBruno).cer_role, "admin");
  EXPECT_EQ(Peer::player(*engine_, kCarla).cer_role, "member");
  const PlayerProfile anna = Peer::player(*engine_, kAnna);
  EXPECT_EQ(anna.cer_id, "");
  EXPECT_EQ(anna.cer_role, "member");

  // A member leaving hands nothing over; the last one leaves an empty
  // community that stays listed.
  ASSERT_TRUE(engine_->leave_cer_community(kCarla, out));
  EXPECT_EQ(community(id).creator, kBruno);
  ASSERT_TRUE(engine_->leave_cer_community(kBruno, out));
  c = community(id);
  EXPECT_TRUE(c.members.empty());
  EXPECT_EQ(c.creator, kBruno);
  EXPECT_NE(engine_->get_cer_list_json().find("\"id\":\"" + id + "\""), std::string::npos);
}

TEST_F(Communities, TheBoardKeepsTheNewestFiftyMessages) {
  const std::string id = found(kAnna);  // the founding message is the first
  for (int i = 1; i <= 49; ++i) post(kAnna, "messaggio " + std::to_string(i));
  CERCommunity c = community(id);
  ASSERT_EQ(c.messages.size(), 50u);
  EXPECT_EQ(c.messages.front().author_name, "Admin");

  // The 51st pushes out the oldest.
  post(kAnna, "messaggio 50");
  c = community(id);
  ASSERT_EQ(c.messages.size(), 50u);
  EXPECT_EQ(c.messages.front().text, "messaggio 1");
  EXPECT_EQ(c.messages.back().text, "messaggio 50");
  EXPECT_EQ(count_of(file(), "CERMSG|" + id + "|"), 50u);

  // Join messages are on the board too, and it still keeps fifty.
  join(kBruno, id);
  c = community(id);
  ASSERT_EQ(c.messages.size(), 50u);
  EXPECT_EQ(c.messages.front().text, "messaggio 2");
  EXPECT_EQ(c.messages.back().author_name, "Sistema");
}

TEST_F(Communities, APostIsCutCleanedAndSignedByItsAuthor) {
  const std::string id = found(kAnna);
  join(kBruno, id);
  Peer::add_account(*engine_, "usr_carla", "Carla \"C\"", kCarla);
  join(kCarla, id);
  random_ = std::make_shared<ScriptedGameRandom>(std::vector<uint64_t>{123, 45, 99});
  Peer::set_random(*engine_, random_);

  std::string out;
  ASSERT_TRUE(engine_->post_cer_message(kAnna, std::string(250, 'x'), "", out));
  EXPECT_EQ(out, "{\"status\":\"ok\",\"message\":\"Messaggio pubblicato sulla bacheca CER!\"}");
  // A character that would not fit whole is left out with the rest.
  ASSERT_TRUE(engine_->post_cer_message(kBruno, std::string(199, 'y') + "è e poi", "🔥|\n", out));
  ASSERT_TRUE(engine_->post_cer_message(kCarla, "riga\r\nunica|", "", out));
  const CERCommunity c = community(id);
  ASSERT_EQ(c.messages.size(), 6u);
  // 123 mod 100 = 23.
  EXPECT_EQ(describe(c.messages[3]), "msg_1718964000000_23 " + std::string(kAnna) + " Leader CER: " +
                                         std::string(200, 'x') + " 💬 1718964000000");
  EXPECT_EQ(describe(c.messages[4]), "msg_1718964000000_45 " + std::string(kBruno) + " Membro: " +
                                         std::string(199, 'y') + " 🔥 1718964000000");
  EXPECT_EQ(describe(c.messages[5]), "msg_1718964000000_99 " + std::string(kCarla) +
                                         " Carla \"C\": rigaunica 💬 1718964000000");
}

TEST_F(Communities, TheListRanksByWeeklyScoreAndEscapesEveryText) {
  // The seeded three, from their table.
  const std::string seeded =
      "{\"id\":\"cer_solare_italia\",\"name\":\"Comunita Solare Italia\",\"tag\":\"SOL\",\"description\":\"La piu "
      "grande CER d'Italia per l'autoconsumo diffuso e l'energia solare.\",\"emblem\":\"☀️\",\"creator\":\""
      "0xsolarking_it_milano_cer01\",\"members_count\":1,\"weekly_score\":420,\"total_kwh\":12500.00},"
      "{\"id\":\"cer_vento_sicilia\",\"name\":\"CER Eolica del Mediterraneo\",\"tag\":\"AERO\",\"description\":"
      "\"Sfruttiamo i venti marini per alimentare la transizione ecologica delle isole.\",\"emblem\":\"🌀\","
      "\"creator\":\"0xecoempire_dao_torino_03\",\"members_count\":1,\"weekly_score\":380,\"total_kwh\":9800.00},"
      "{\"id\":\"cer_idrogeno_verde\",\"name\":\"Idrogeno Valle Verde\",\"tag\":\"H2V\",\"description\":\"Pionieri "
      "dell'idrogeno verde e dello stoccaggio stagionale a zero emissioni.\",\"emblem\":\"🔋\",\"creator\":\""
      "0xgreenpower_99_roma_hub02\",\"members_count\":1,\"weekly_score\":290,\"total_kwh\":7400.00}";
  EXPECT_EQ(engine_->get_cer_list_json(), "{\"status\":\"ok\",\"count\":3,\"communities\":[" + seeded + "]}");

  std::string out;
  ASSERT_TRUE(engine_->create_cer_community(kAnna, "Nome \"citato\" \\ e\ttab", "q\"t", "d\\", "<e>", out));
  const std::string id = game_test::json_value(out, "cer_id");
  Peer::with_lock(*engine_, [&](GameEngine& e) { Peer::cers_of(e).at(id).weekly_score = 500; });
  EXPECT_EQ(engine_->get_cer_list_json(),
            "{\"status\":\"ok\",\"count\":4,\"communities\":[{\"id\":\"" + id +
                "\",\"name\":\"Nome \\\"citato\\\" \\\\ e\\ttab\",\"tag\":\"Q\\\"T\",\"description\":\"d\\\\\","
                "\"emblem\":\"<e>\",\"creator\":\"" + kAnna + "\",\"members_count\":1,\"weekly_score\":500,"
                "\"total_kwh\":25.00}," + seeded + "]}");

  Peer::with_lock(*engine_, [](GameEngine& e) { Peer::cers_of(e).clear(); });
  EXPECT_EQ(engine_->get_cer_list_json(), "{\"status\":\"ok\",\"count\":0,\"communities\":[]}");
}

TEST_F(Communities, TheDetailShowsMembersBoardAndTheViewersRole) {
  EXPECT_EQ(engine_->get_cer_detail_json("cer_nessuna", kAnna), error("CER non trovata"));

  const std::string head =
      "{\"status\":\"ok\",\"id\":\"cer_solare_italia\",\"name\":\"Comunita Solare Italia\",\"tag\":\"SOL\","
      "\"description\":\"La piu grande CER d'Italia per l'autoconsumo diffuso e l'energia solare.\",\"emblem\":"
      "\"☀️\",\"creator\":\"0xsolarking_it_milano_cer01\",\"weekly_score\":420,\"total_kwh\":12500.00,"
      "\"my_role\":\"";
  const std::string tail =
      "\",\"members\":[{\"address\":\"0xsolarking_it_milano_cer01\",\"username\":\"0xsolark\",\"role\":\"admin\","
      "\"joined_at\":1718964000000,\"weekly_points\":420,\"total_kwh\":12500.00}],\"bacheca\":[{\"id\":"
      "\"msg_seed_1\",\"author_addr\":\"0xsolarking_it_milano_cer01\",\"author_name\":\"SolarKing\",\"text\":"
      "\"Benvenuti nella prima CER d'Italia! Produciamo insieme energia pulita.\",\"emoji\":\"☀️\",\"timestamp\":"
      "1718964000000}]}";
  // The viewer's address is compared lower-cased.
  EXPECT_EQ(engine_->get_cer_detail_json(kSolare, "0xSOLARKING_IT_MILANO_CER01"), head + "admin" + tail);
  EXPECT_EQ(engine_->get_cer_detail_json(kSolare, kAnna), head + "guest" + tail);
  EXPECT_FALSE(Peer::has_player(*engine_, kAnna));

  // A member with an account shows its username; texts are escaped.
  Peer::add_account(*engine_, "usr_anna", "Anna \"A\\\"", kAnna);
  join(kAnna, kSolare);
  post(kAnna, "virgolette \" e \\ barra");
  const std::string detail = engine_->get_cer_detail_json(kSolare, kAnna);
  EXPECT_NE(detail.find("\"my_role\":\"member\""), std::string::npos);
  EXPECT_NE(detail.find("{\"address\":\"" + std::string(kAnna) + "\",\"username\":\"Anna \\\"A\\\\\\\"\",\"role\":"
                        "\"member\",\"joined_at\":1718964000000,\"weekly_points\":0,\"total_kwh\":25.00}"),
            std::string::npos)
      << detail;
  EXPECT_NE(detail.find("\"author_name\":\"Anna \\\"A\\\\\\\"\",\"text\":\"virgolette \\\" e \\\\ barra\","),
            std::string::npos)
      << detail;
}

TEST_F(Communities, AChangeWhoseSaveFailsIsUndoneAndReported) {
  const std::string id = found(kAnna);
  join(kBruno, id);
  const std::string other = found(kCarla, "Altra", "ALT");
  struct Case {
    const char* what;
    std::function<bool(std::string&)> run;
  };
  const std::vector<Case> cases = {
      {"create", [&](std::string& o) { return engine_->create_cer_community(kBruno, "Nuova", "NU", "", "", o); }},
      {"join", [&](std::string& o) { return engine_->join_cer_community(kBruno, other, o); }},
      {"leave", [&](std::string& o) { return engine_->leave_cer_community(kAnna, o); }},
      {"post", [&](std::string& o) { return engine_->post_cer_message(kBruno, "ciao", "", o); }},
      {"new player", [&](std::string& o) { return engine_->join_cer_community(kCarla + std::string("ff"), id, o); }},
  };
  // Everything the operations touch, as text.
  const auto snapshot = [&] {
    std::vector<std::string> lines;
    for (const auto& [key, c] : Peer::cers(*engine_)) {
      std::string line;
      append_community_lines(line, c);
      lines.push_back(line);
    }
    for (const auto& [key, p] : Peer::players(*engine_)) {
      std::string line;
      append_player_line(line, p);
      lines.push_back(line);
    }
    std::sort(lines.begin(), lines.end());
    return lines;
  };
  const auto before = snapshot();
  const std::string file_before = file();
  block_saves(*engine_);  // the save cannot write its temporary file
  for (const Case& c : cases) {
    std::string out;
    EXPECT_FALSE(c.run(out)) << c.what;
    EXPECT_EQ(out, error(kSaveFailedMessage)) << c.what;
    EXPECT_EQ(snapshot(), before) << c.what;
  }
  EXPECT_EQ(file(), file_before);
  allow_saves(*engine_);
  post(kBruno, "ora si");
  EXPECT_EQ(community(id).messages.back().text, "ora si");
}

TEST_F(Communities, EverythingStoredComesBackAfterARestart) {
  const std::string id = found(kAnna, "Sole | Alto", "sa");
  join(kBruno, id);
  post(kBruno, "resta sul disco");
  std::string out;
  ASSERT_TRUE(engine_->leave_cer_community(kAnna, out));
  const std::string list = engine_->get_cer_list_json();
  const std::string detail = engine_->get_cer_detail_json(id, kBruno);

  engine_.reset();
  engine_ = make_engine();
  EXPECT_EQ(engine_->get_cer_list_json(), list);
  EXPECT_EQ(engine_->get_cer_detail_json(id, kBruno), detail);
  EXPECT_NE(detail.find("\"name\":\"Sole  Alto\",\"tag\":\"SA\""), std::string::npos) << detail;
  const PlayerProfile bruno = Peer::player(*engine_, kBruno);
  EXPECT_EQ(bruno.cer_id, id);
  EXPECT_EQ(bruno.cer_role, "admin");
  EXPECT_EQ(Peer::player(*engine_, kAnna).cer_id, "");
}

}  // namespace
}  // namespace ZezozuRiziv
