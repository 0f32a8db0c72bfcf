// The account and administration routes over a real server: parameter
// names, defaults and conversions, and the engine's answers sent unchanged.
#include <regex>
#include <string>

#include "node_client_support.h"
#include "server_test_support.h"

namespace {

using namespace rozeve_test;

class AccountRoutesTest : public ServerFixture {
 protected:
  std::string post(const std::string& path, const std::string& form) {
    return body_of(exchange("POST " + path + " HTTP/1.1\r\nHost: 127.0.0.1\r\nContent-Length: " +
                            std::to_string(form.size()) +
                            "\r\nContent-Type: application/x-www-form-urlencoded\r\n\r\n" + form));
  }
  static std::string text(const std::string& json, const std::string& key) {
    return json_text(json, key).value_or("<missing " + key + ">");
  }
};

TEST_F(AccountRoutesTest, AccountsFromRegistrationToLogout) {
  start_server();
  const std::string registered =
      post("/api/auth/register", "username=Anna+Rossi&email=Anna%40x.it&password=segreta%2B1");
  EXPECT_EQ(text(registered, "message"), "Benvenuto in ZeriroRivi! Account creato con successo.") << registered;
  EXPECT_NE(registered.find("\"username\":\"Anna Rossi\",\"email\":\"anna@x.it\""), std::string::npos);
  EXPECT_EQ(get("/api/auth/register?username=Anna+Rossi&email=b%40x.it&password=segreta"),
            "{\"status\":\"error\",\"message\":\"Questo username è già in uso. Scegline un altro.\"}");

  EXPECT_EQ(get("/api/auth/login?identifier=anna%40x.it&password=segreta+1"),
            "{\"status\":\"error\",\"message\":\"Password non corretta. Riprova.\"}");
  const std::string login = get("/api/auth/login?identifier=ANNA+ROSSI&password=segreta%2B1");
  EXPECT_EQ(text(login, "message"), "Accesso eseguito con successo!") << login;
  const std::string token = text(login, "session_token");
  EXPECT_TRUE(std::regex_match(token, std::regex("tok_[0-9a-f]{64}"))) << token;
  // The registration's token is gone.
  EXPECT_EQ(get("/api/auth/me?token=" + text(registered, "session_token")),
            "{\"status\":\"error\",\"message\":\"Sessione non autenticata.\"}");
  const std::string me = post("/api/auth/me", "token=" + token);
  EXPECT_EQ(me.rfind("{\"status\":\"ok\",\"user\":{\"id\":\"" + text(registered, "id") + "\"", 0), 0u) << me;

  EXPECT_EQ(get("/api/auth/wallet/connect?token=" + token + "&wallet=0xABC"),
            "{\"status\":\"error\",\"message\":\"Indirizzo wallet non valido.\"}");
  EXPECT_EQ(get("/api/auth/wallet/connect?token=" + token + "&wallet=0xnonvalido"),
            "{\"status\":\"error\",\"message\":\"Indirizzo wallet non valido.\"}");
  EXPECT_EQ(post("/api/auth/wallet/connect", "token=" + token + "&wallet=0x00000000000000000000000000000000000000AA"),
            "{\"status\":\"ok\",\"message\":\"Wallet Web3 collegato al profilo con successo!\","
            "\"wallet_address\":\"0x00000000000000000000000000000000000000aa\"}");
  EXPECT_NE(get("/api/auth/me?token=" + token)
                .find("\"wallet_address\":\"0x00000000000000000000000000000000000000aa\""),
            std::string::npos);

  const std::string google =
      get("/api/auth/google?google_id=g-77&email=gina%40x.it&name=Gina&avatar=https%3A%2F%2Fimg%2Fg.png");
  EXPECT_EQ(text(google, "message"), "Accesso con Google completato!") << google;
  EXPECT_NE(google.find("\"username\":\"Gina\",\"email\":\"gina@x.it\""), std::string::npos) << google;
  EXPECT_NE(google.find("\"avatar_url\":\"https://img/g.png\",\"provider\":\"google\""), std::string::npos);
  EXPECT_EQ(get("/api/auth/google?google_id=g-77"),
            "{\"status\":\"error\",\"message\":\"Dati Google incompleti.\"}");

  const std::string bye = "{\"status\":\"ok\",\"message\":\"Disconnessione effettuata con successo.\"}";
  EXPECT_EQ(get("/api/auth/logout?token=" + token), bye);
  EXPECT_EQ(get("/api/auth/logout?token=" + token), bye);
  EXPECT_EQ(get("/api/auth/logout"), bye);
  EXPECT_EQ(get("/api/auth/me?token=" + token), "{\"status\":\"error\",\"message\":\"Sessione non autenticata.\"}");
}

TEST_F(AccountRoutesTest, ANativeWalletIsPlayedAndPaidAsWritten) {
  start_server();
  const std::string registered = post("/api/auth/register", "username=Nadia&email=nadia%40x.it&password=segreta1");
  const std::string wallet = text(registered, "wallet_address");
  ASSERT_EQ(wallet.rfind("RUZ", 0), 0u) << registered;
  // The game routes reach the profile the registration created (300 WC).
  const std::string claimed = get("/api/game/claim-ruz?addr=" + wallet + "&source=WC");
  EXPECT_NE(claimed.find("\"gross_ruz\":3,"), std::string::npos) << claimed;
  EXPECT_NE(claimed.find("\"remaining_coins\":0,"), std::string::npos) << claimed;
  const std::string state = get("/api/game/state?addr=" + wallet);
  EXPECT_NE(state.find("\"address\":\"" + wallet + "\",\"coins\":0,"), std::string::npos) << state;
  // The 2.94 RUZ went to the key the wallet spends from.
  EXPECT_NE(get("/api/info?addr=" + wallet).find("\"user_balance\":2,"), std::string::npos);
  std::string lowered = wallet;
  lowered.replace(0, 3, "ruz");
  EXPECT_NE(get("/api/info?addr=" + lowered).find("\"user_balance\":0,"), std::string::npos);
}

class AdminRoutesTest : public AccountRoutesTest {
 protected:
  void SetUp() override {
    AccountRoutesTest::SetUp();
    start_server();
    std::string password = read_file_text((root_ / "data" / ZezozuRiziv::kMasterPasswordFileName).string());
    ASSERT_EQ(password.size(), 23u);
    password.pop_back();
    const std::string login = post("/api/admin/login", "password=" + password);
    token_ = text(login, "token");
    ASSERT_TRUE(std::regex_match(token_, std::regex("adm_tok_[0-9a-f]{64}"))) << login;
  }
  std::string list() { return get("/api/admin/superboost/list?token=" + token_); }

  std::string token_;
};

TEST_F(AdminRoutesTest, LoginVerifyAndTelemetry) {
  EXPECT_EQ(get("/api/admin/login?password=sbagliata"),
            "{\"status\":\"error\",\"message\":\"Password Master Amministratore non corretta.\"}");
  EXPECT_EQ(get("/api/admin/verify?token=" + token_), "{\"status\":\"ok\",\"authenticated\":true}");
  for (const std::string query : {"", "?token=", "?token=adm_tok_x"}) {
    EXPECT_EQ(get("/api/admin/verify" + query), "{\"status\":\"error\",\"authenticated\":false}") << query;
  }
  const std::string telemetry = post("/api/admin/telemetry", "token=" + token_);
  EXPECT_EQ(telemetry.rfind("{\"status\":\"ok\",\"server_time_ms\":", 0), 0u) << telemetry;
  EXPECT_NE(telemetry.find(",\"cers_count\":3,\"quiz_questions_count\":6}"), std::string::npos) << telemetry;
  EXPECT_EQ(get("/api/admin/telemetry?token=nope"),
            "{\"status\":\"error\",\"message\":\"Accesso negato: token amministratore non valido o scaduto.\"}");
  EXPECT_EQ(get("/api/admin/superboost/list"), "{\"status\":\"error\",\"message\":\"Accesso negato.\"}");
}

TEST_F(AdminRoutesTest, TriggerDurations) {
  struct Case {
    std::string query;
    const char* minutes;
  };
  const Case cases[] = {
      {"", "30"}, {"&duration=", "30"}, {"&duration=abc", "30"}, {"&duration=-5", "30"},
      {"&duration=0", "30"}, {"&duration=45", "45"}, {"&duration=500", "180"},
  };
  for (const Case& c : cases) {
    const std::string answer = get("/api/admin/superboost/trigger?token=" + token_ + c.query + "&reason=Picco");
    EXPECT_EQ(json_text(answer, "message").value_or(""),
              std::string("Super Spinta Energetica x100 attivata per ") + c.minutes + " minuti su tutta la rete!")
        << c.query << " " << answer;
  }
}

TEST_F(AdminRoutesTest, ScheduleMultipliersAndTimes) {
  struct Case {
    std::string query;
    const char* multiplier;
  };
  const Case cases[] = {
      {"", "100"},
      {"&multiplier=abc", "100"},
      {"&multiplier=4294967296", "100"},
      {"&multiplier=-1", "100"},
      {"&multiplier=0", "100"},
      {"&multiplier=4294967295", "4294967295"},
      {"&multiplier=5", "5"},
  };
  for (const Case& c : cases) {
    const std::string answer = get("/api/admin/superboost/schedule?token=" + token_ + c.query);
    EXPECT_NE(answer.find(std::string(",\"multiplier\":") + c.multiplier + ",\"title\":\"Super Boost x" +
                          c.multiplier + "\"}"),
              std::string::npos)
        << c.query << " " << answer;
  }
  // Far future start and end, as given; a title and reason of one's own.
  const std::string answer = post("/api/admin/superboost/schedule",
                                  "token=" + token_ + "&start_ms=4000000000000&end_ms=4000000600000&multiplier=3"
                                  "&title=Notte+bianca&reason=Prova");
  EXPECT_NE(answer.find("\"start_ms\":4000000000000,\"end_ms\":4000000600000,\"multiplier\":3,"
                        "\"title\":\"Notte bianca\"}"),
            std::string::npos)
      << answer;
  EXPECT_NE(list().find("\"title\":\"Notte bianca\",\"reason\":\"Prova\",\"start_ms\":4000000000000,"
                        "\"end_ms\":4000000600000,\"multiplier\":3,\"status\":\"scheduled\""),
            std::string::npos)
      << list();
}

TEST_F(AdminRoutesTest, CancelAndDeleteAreOneRoute) {
  std::string ids[4];
  for (std::string& id : ids) {
    id = text(get("/api/admin/superboost/schedule?token=" + token_ + "&start_ms=4000000000000"), "id");
  }
  const auto cancelled = [&](const std::string& id) {
    const std::string all = list();
    const size_t at = all.find("{\"id\":\"" + id + "\"");
    return all.substr(at, all.find('}', at) - at).find("\"cancelled\":true") != std::string::npos;
  };
  const char kBoostEnded[] =
      "{\"status\":\"ok\",\"message\":\"Super Spinta Energetica x100 disattivata con successo.\"}";
  const char kScheduledCancelled[] = "{\"status\":\"ok\",\"message\":\"Programmazione Super Boost annullata.\"}";

  // Neither id: the running boost ends, the scheduled ones stay.
  get("/api/admin/superboost/trigger?token=" + token_);
  for (const std::string path : {"/api/admin/superboost/cancel", "/api/admin/superboost/delete"}) {
    EXPECT_EQ(get(path + "?token=" + token_), kBoostEnded);
    EXPECT_EQ(post(path, "token=" + token_ + "&id=&boost_id="), kBoostEnded);
  }
  for (const std::string& id : ids) EXPECT_FALSE(cancelled(id));
  EXPECT_NE(get("/api/admin/telemetry?token=" + token_).find("\"until_ms\":0,"), std::string::npos);

  // "boost_id" alone; both, when "id" wins.
  EXPECT_EQ(get("/api/admin/superboost/cancel?token=" + token_ + "&boost_id=" + ids[0]), kScheduledCancelled);
  EXPECT_EQ(post("/api/admin/superboost/delete", "token=" + token_ + "&id=" + ids[1] + "&boost_id=" + ids[2]),
            kScheduledCancelled);
  EXPECT_TRUE(cancelled(ids[0]));
  EXPECT_TRUE(cancelled(ids[1]));
  EXPECT_FALSE(cancelled(ids[2]));
  EXPECT_EQ(get("/api/admin/superboost/delete?token=" + token_ + "&id=sb_nope"),
            "{\"status\":\"error\",\"message\":\"ID programmazione non trovato.\"}");
  EXPECT_EQ(get("/api/admin/superboost/delete?token=" + token_ + "&id=ALL"), kScheduledCancelled);
  for (const std::string& id : ids) EXPECT_TRUE(cancelled(id));
  EXPECT_EQ(get("/api/admin/superboost/cancel?token=x&id=ALL"),
            "{\"status\":\"error\",\"message\":\"Accesso negato: token non valido.\"}");
  EXPECT_EQ(get("/api/admin/superboost/cancel?token=x"),
            "{\"status\":\"error\",\"message\":\"Accesso negato: token amministratore non valido o scaduto.\"}");
}

}  // namespace
