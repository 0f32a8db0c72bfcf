// Communities and the quiz on a real "rozeve node", asked with curl's
// requests, and what of them is still there after a restart.
#include <memory>
#include <regex>
#include <string>

#include "app_node_api_fixture.h"
#include "app_node_process.h"
#include "node_client_support.h"

namespace {


constexpr char kAnna[] = "0x00000000000000000000000000000000000a11a0";
constexpr char kBruno[] = "0x00000000000000000000000000000000000b2b00";
constexpr char kCarla[] = "0x00000000000000000000000000000000000c3ca0";

// The quoted value of "key" (the first one).
std::string text_of(const std::string& json, const std::string& key) {
  std::smatch match;
  return std::regex_search(json, match, std::regex("\"" + key + "\":\"([^\"]*)\"")) ? match[1].str() : "";
}

class CommunityQuizNodeTest : public rozeve_test::RunningNodeFixture {
 protected:

};

TEST_F(CommunityQuizNodeTest, CommunitiesAndTheQuizLiveThroughARestart) {
  start();
  const std::string created =
      post("/api/cer/create", "addr=" + std::string(kAnna) + "&name=Tetti+Solari&tag=ts&desc=Pannelli+in+condominio");
  ASSERT_EQ(text_of(created, "status"), "ok") << created;
  const std::string id = text_of(created, "cer_id");
  EXPECT_EQ(get("/api/cer/join?addr=" + std::string(kBruno) + "&id=" + id),
            "{\"status\":\"ok\",\"message\":\"Ti sei unito alla CER [Tetti Solari]!\",\"cer_id\":\"" + id + "\"}");
  EXPECT_EQ(post("/api/cer/message", "addr=" + std::string(kBruno) + "&text=Ciao+dal+nodo%21"),
            "{\"status\":\"ok\",\"message\":\"Messaggio pubblicato sulla bacheca CER!\"}");
  EXPECT_EQ(post("/api/cer/leave", "addr=" + std::string(kAnna)),
            "{\"status\":\"ok\",\"message\":\"Hai lasciato la CER con successo.\"}");

  // Seeded questions: quiz_seed_1's right option is B (1), quiz_seed_2's A (0).
  EXPECT_EQ(get("/api/quiz/answer?addr=" + std::string(kCarla) + "&id=quiz_seed_1&opt=1"),
            "{\"status\":\"ok\",\"is_correct\":true,\"correct_option\":1,\"points_earned\":10,\"coins_earned\":5,"
            "\"weekly_quiz_score\":10,\"message\":\"Risposta esatta! +10 Punti e +5 Watt Coin!\"}");
  EXPECT_EQ(post("/api/quiz/answer", "addr=" + std::string(kBruno) + "&id=quiz_seed_2&opt=3"),
            "{\"status\":\"ok\",\"is_correct\":false,\"correct_option\":0,\"points_earned\":0,\"coins_earned\":0,"
            "\"weekly_quiz_score\":0,\"message\":\"Risposta errata! I punti sono andati all'autore della "
            "domanda.\"}");
  EXPECT_EQ(text_of(post("/api/quiz/categories/add", "name=Geotermia"), "status"), "ok");
  const std::string submitted =
      post("/api/quiz/submit", "author=" + std::string(kAnna) +
                                   "&category=Geotermia&question=Da+dove+viene+il+calore%3F&a=Sole&b=Terra&c=Luna&d=Vento"
                                   "&correct=1");
  const std::string question_id = text_of(submitted, "question_id");
  ASSERT_FALSE(question_id.empty()) << submitted;

  const std::string detail = get("/api/cer/detail?id=" + id + "&addr=" + kBruno);
  EXPECT_NE(detail.find("\"my_role\":\"admin\",\"members\":[{\"address\":\"" + std::string(kBruno) +
                        "\",\"username\":\"0x000000\",\"role\":\"admin\","),
            std::string::npos)
      << detail;
  EXPECT_NE(detail.find("\"author_name\":\"Membro\",\"text\":\"Ciao dal nodo!\""), std::string::npos) << detail;
  const std::string list = get("/api/cer/list");
  const std::string categories = get("/api/quiz/categories");
  const std::string board = get("/api/quiz/leaderboard");
  // Carla right, and EcoEmpireDAO, quiz_seed_2's author, for Bruno's wrong answer.
  EXPECT_NE(board.find("{\"address\":\"" + std::string(kCarla) +
                       "\",\"username\":\"0x000000\",\"weekly_quiz_score\":10,\"answers_correct\":1,"),
            std::string::npos)
      << board;
  EXPECT_NE(board.find("{\"address\":\"0xecoempire_dao_torino_03\",\"username\":\"0xecoemp\",\"weekly_quiz_score\":10,"
                       "\"answers_correct\":0,\"author_tricked\":1}"),
            std::string::npos)
      << board;
  EXPECT_NE(board.find("{\"id\":\"cer_vento_sicilia\",\"name\":\"CER Eolica del Mediterraneo\",\"tag\":\"AERO\","
                       "\"emblem\":\"🌀\",\"weekly_score\":390,"),
            std::string::npos)
      << board;
  stop();

  // Everything above was saved before it was answered.
  start();
  EXPECT_EQ(get("/api/cer/detail?id=" + id + "&addr=" + kBruno), detail);
  EXPECT_EQ(get("/api/cer/list"), list);
  EXPECT_EQ(get("/api/quiz/categories"), categories);
  const std::string after = get("/api/quiz/leaderboard");
  // Weekly scores are stored; the answer counters live in memory only.
  EXPECT_NE(after.find("{\"address\":\"" + std::string(kCarla) +
                       "\",\"username\":\"0x000000\",\"weekly_quiz_score\":10,\"answers_correct\":0,"),
            std::string::npos)
      << after;
  EXPECT_EQ(after.substr(after.find("\"cers\":")), board.substr(board.find("\"cers\":")));
  // The new question is answered as stored (B, index 1).
  EXPECT_EQ(get("/api/quiz/answer?addr=" + std::string(kCarla) + "&id=" + question_id + "&opt=1")
                .rfind("{\"status\":\"ok\",\"is_correct\":true,\"correct_option\":1,", 0),
            0u);
  // Bruno is still the community's admin: a post is signed "Leader CER".
  EXPECT_EQ(post("/api/cer/message", "addr=" + std::string(kBruno) + "&text=Dopo+il+riavvio"),
            "{\"status\":\"ok\",\"message\":\"Messaggio pubblicato sulla bacheca CER!\"}");
  EXPECT_NE(get("/api/cer/detail?id=" + id).find("\"author_name\":\"Leader CER\",\"text\":\"Dopo il riavvio\""),
            std::string::npos);
}

}  // namespace
