// The community and quiz routes over a real server: parameter names, their
// defaults and conversions, GET and POST alike, answers forwarded whole.
#include <atomic>
#include <regex>
#include <string>
#include <thread>
#include <vector>

#include "server_test_support.h"

namespace {

using rozeve_test::body_of;

constexpr char kAnna[] = "0x00000000000000000000000000000000000a11a0";
constexpr char kBruno[] = "0x00000000000000000000000000000000000b2b00";

std::string error(const std::string& message) { return "{\"status\":\"error\",\"message\":\"" + message + "\"}"; }

// The quoted value of "key": (the first one), unescaped only of \".
std::string text_of(const std::string& json, const std::string& key) {
  std::smatch match;
  const std::regex pattern("\"" + key + "\":\"((?:[^\"\\\\]|\\\\.)*)\"");
  return std::regex_search(json, match, pattern) ? match[1].str() : "<missing " + key + ">";
}

class CommunityQuizRoutes : public rozeve_test::ServerFixture {
 protected:
  std::string post(const std::string& path, const std::string& form) {
    return body_of(exchange("POST " + path + " HTTP/1.1\r\nHost: 127.0.0.1\r\nContent-Type: "
                            "application/x-www-form-urlencoded\r\nContent-Length: " +
                            std::to_string(form.size()) + "\r\n\r\n" + form));
  }
};

TEST_F(CommunityQuizRoutes, CommunityRoutesCarryTheirParameters) {
  start_server();
  const std::string created =
      post("/api/cer/create", "addr=" + std::string(kAnna) +
                                  "&name=Sole+%22Alto%22&tag=sa&desc=Energia%20dal%20tetto&emblem=%F0%9F%8C%9E");
  ASSERT_TRUE(std::regex_match(created, std::regex("\\{\"status\":\"ok\",\"message\":\"Comunita Energetica \\[Sole "
                                                   "\\\\\"Alto\\\\\"\\] fondata con successo!\",\"cer_id\":\"cer_[0-9]+"
                                                   "_[1-9][0-9][0-9]\"\\}")))
      << created;
  const std::string id = text_of(created, "cer_id");

  EXPECT_EQ(get("/api/cer/join?addr=" + std::string(kBruno) + "&id=" + id),
            "{\"status\":\"ok\",\"message\":\"Ti sei unito alla CER [Sole \\\"Alto\\\"]!\",\"cer_id\":\"" + id + "\"}");
  EXPECT_EQ(get("/api/cer/join?addr=" + std::string(kBruno) + "&id=" + id),
            error("Fai gia' parte di questa CER!"));
  EXPECT_EQ(post("/api/cer/message", "addr=" + std::string(kBruno) + "&text=Ciao+a+tutti%21&emoji=%F0%9F%94%A5"),
            "{\"status\":\"ok\",\"message\":\"Messaggio pubblicato sulla bacheca CER!\"}");
  EXPECT_EQ(get("/api/cer/message?addr=" + std::string(kBruno) + "&text="),
            error("Il messaggio non puo' essere vuoto."));

  const std::string detail = get("/api/cer/detail?id=" + id + "&addr=" + kBruno);
  EXPECT_EQ(text_of(detail, "description"), "Energia dal tetto");
  EXPECT_EQ(text_of(detail, "emblem"), "🌞");
  EXPECT_EQ(text_of(detail, "tag"), "SA");
  EXPECT_EQ(text_of(detail, "my_role"), "member");
  EXPECT_NE(detail.find("\"author_name\":\"Membro\",\"text\":\"Ciao a tutti!\",\"emoji\":\"🔥\""), std::string::npos)
      << detail;
  EXPECT_EQ(text_of(get("/api/cer/detail?id=" + id + "&addr=" + kAnna), "my_role"), "admin");
  EXPECT_EQ(text_of(get("/api/cer/detail?id=" + id), "my_role"), "guest");
  EXPECT_EQ(get("/api/cer/detail?id=cer_nessuna"), error("CER non trovata"));

  const std::string list = get("/api/cer/list");
  EXPECT_EQ(list.rfind("{\"status\":\"ok\",\"count\":4,\"communities\":[", 0), 0u) << list;
  EXPECT_NE(list.find("\"id\":\"" + id + "\""), std::string::npos);

  EXPECT_EQ(post("/api/cer/leave", "addr=" + std::string(kAnna)),
            "{\"status\":\"ok\",\"message\":\"Hai lasciato la CER con successo.\"}");
  EXPECT_EQ(get("/api/cer/leave?addr=" + std::string(kAnna)), error("Non fai parte di nessuna CER."));
  EXPECT_EQ(text_of(get("/api/cer/detail?id=" + id + "&addr=" + kBruno), "my_role"), "admin");
  EXPECT_EQ(get("/api/cer/create?addr=%7C&name=abc&tag=ab"), error("Indirizzo wallet non valido."));
}

TEST_F(CommunityQuizRoutes, QuizRoutesConvertTheirNumbersWithDefaults) {
  auto& server = start_server();
  EXPECT_EQ(get("/api/quiz/categories"),
            "{\"status\":\"ok\",\"categories\":[\"Fotovoltaico & Solare\",\"Eolico & Aerogeneratori\",\"Accumulo "
            "BESS & Batterie\",\"Idrogeno Verde & Fuel Cells\",\"CER & Comunita Energetiche\",\"Mercato Elettrico & "
            "Risparmio\"]}");
  EXPECT_EQ(post("/api/quiz/categories/add", "name=+Geotermia+"),
            "{\"status\":\"ok\",\"message\":\"Nuova categoria quiz aggiunta con successo!\",\"category\":"
            "\"Geotermia\"}");
  EXPECT_EQ(get("/api/quiz/categories/add?name=Geotermia"), error("Categoria gia' esistente."));

  // "correct": missing or beyond 32 bits is 0; negative is refused.
  const std::string form = "author=" + std::string(kAnna) + "&category=Geotermia&question=Da+dove+viene+il+calore%3F"
                           "&a=Terra&b=Sole&c=Luna&d=Vento";
  const std::string kQuestionId = "\\{\"status\":\"ok\",\"message\":\"Domanda inviata con successo! Hai ricevuto "
                                  "\\+15 Watt Coin per il contributo.\",\"question_id\":\"qq_[0-9]+_[1-9][0-9][0-9]\"\\}";
  const std::string missing = post("/api/quiz/submit", form);
  ASSERT_TRUE(std::regex_match(missing, std::regex(kQuestionId))) << missing;
  const std::string too_big = post("/api/quiz/submit", form + "&correct=99999999999");
  ASSERT_TRUE(std::regex_match(too_big, std::regex(kQuestionId))) << too_big;
  const std::string three = get("/api/quiz/submit?" + form + "&correct=3");
  ASSERT_TRUE(std::regex_match(three, std::regex(kQuestionId))) << three;
  EXPECT_EQ(post("/api/quiz/submit", form + "&correct=-1"),
            error("Devi indicare quale delle 4 opzioni e' quella corretta (0-3)."));
  EXPECT_EQ(post("/api/quiz/submit", form + "&correct=4"),
            error("Devi indicare quale delle 4 opzioni e' quella corretta (0-3)."));

  // "opt": missing or not a number is option 0.
  const auto answer_of = [](const std::string& right) {
    return std::string("{\"status\":\"ok\",\"is_correct\":") + right;
  };
  EXPECT_EQ(get("/api/quiz/answer?addr=" + std::string(kBruno) + "&id=" + text_of(missing, "question_id"))
                .rfind(answer_of("true,\"correct_option\":0,\"points_earned\":10,"), 0),
            0u);
  EXPECT_EQ(post("/api/quiz/answer", "addr=" + std::string(kBruno) + "&id=" + text_of(too_big, "question_id") +
                                         "&opt=abc")
                .rfind(answer_of("true,\"correct_option\":0,"), 0),
            0u);
  EXPECT_EQ(post("/api/quiz/answer", "addr=" + std::string(kBruno) + "&id=" + text_of(three, "question_id"))
                .rfind(answer_of("false,\"correct_option\":3,\"points_earned\":0,\"coins_earned\":0,"
                                 "\"weekly_quiz_score\":20,"),
                       0),
            0u);
  EXPECT_EQ(get("/api/quiz/answer?addr=" + std::string(kBruno) + "&id=nessuna&opt=1"),
            error("Domanda quiz non trovata."));

  const std::string offered = get("/api/quiz/random?addr=" + std::string(kAnna));
  EXPECT_EQ(offered.rfind("{\"status\":\"ok\",\"has_question\":true,\"question\":{\"id\":\"", 0), 0u) << offered;
  EXPECT_EQ(offered.find("correct"), std::string::npos);

  const std::string board = get("/api/quiz/leaderboard");
  EXPECT_TRUE(std::regex_search(
      board, std::regex("^\\{\"status\":\"ok\",\"cycle_remaining_sec\":[0-9]+,\"cer_pool_watt_coins\":500,"
                        "\"individual_prize_watt_coins\":250,\"players\":\\[\\{\"address\":\"" +
                        std::string(kBruno) + "\",\"username\":\"0x000000\",\"weekly_quiz_score\":20,")))
      << board;
  EXPECT_NE(board.find("{\"address\":\"" + std::string(kAnna) + "\",\"username\":\"0x000000\",\"weekly_quiz_score\":10,"
                       "\"answers_correct\":0,\"author_tricked\":1}"),
            std::string::npos)
      << board;
  EXPECT_EQ(server.game.get_total_players_count(), 6u);  // the four seeded owners, Anna and Bruno
}

TEST_F(CommunityQuizRoutes, ConcurrentAnswersPostsAndViewsLoseNothing) {
  auto& server = start_server();
  constexpr int kThreads = 4;
  constexpr int kRounds = 10;
  std::string out;
  for (int t = 0; t < kThreads; ++t) {
    ASSERT_TRUE(server.game.join_cer_community("0xc0" + std::to_string(t), "cer_solare_italia", out)) << out;
  }
  std::atomic<int> failures{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      const std::string addr = "0xc0" + std::to_string(t);
      for (int i = 0; i < kRounds; ++i) {
        // quiz_seed_2's right option is A (0), the default.
        if (get("/api/quiz/answer?addr=" + addr + "&id=quiz_seed_2").rfind("{\"status\":\"ok\",\"is_correct\":true", 0) != 0 ||
            get("/api/cer/message?addr=" + addr + "&text=giro+" + std::to_string(i)).find("\"ok\"") == std::string::npos ||
            get("/api/quiz/random?addr=" + addr).find("\"has_question\":true") == std::string::npos ||
            get("/api/cer/list").find("\"count\":3") == std::string::npos ||
            get("/api/cer/detail?id=cer_solare_italia").find("\"bacheca\"") == std::string::npos) {
          ++failures;
        }
      }
    });
  }
  for (std::thread& thread : threads) thread.join();
  EXPECT_EQ(failures.load(), 0);
  // Every answer and post counted once: 4 x 10 right answers of 10 points.
  const std::string detail = server.game.get_cer_detail_json("cer_solare_italia", "");
  EXPECT_NE(detail.find("\"weekly_score\":" + std::to_string(420 + kThreads * kRounds * 10) + ","), std::string::npos)
      << detail.substr(0, 400);
  const std::string board = server.game.get_weekly_quiz_leaderboard_json();
  for (int t = 0; t < kThreads; ++t) {
    EXPECT_NE(board.find("\"address\":\"0xc0" + std::to_string(t) + "\",\"username\":\"0xc0" + std::to_string(t) +
                         "\",\"weekly_quiz_score\":100,\"answers_correct\":10,"),
              std::string::npos)
        << board;
  }
  // The board keeps the newest 50: 1 seeded + 4 joins + 40 posts = 45.
  const std::regex post_entry("\"author_name\":\"Membro\"");
  EXPECT_EQ(std::distance(std::sregex_iterator(detail.begin(), detail.end(), post_entry), std::sregex_iterator()),
            kThreads * kRounds);
}

}  // namespace
