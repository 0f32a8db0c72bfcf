#include <gtest/gtest.h>

#include <cctype>
#include <regex>
#include <limits>
#include <set>
#include <string>
#include <vector>

#include "crypto/crypto_keys.h"
#include "crypto/sha256.h"
#include "crypto/text.h"
#include "game/model/text_safety.h"
#include "game_test_support.h"

namespace ZezozuRiziv {
namespace {

using game_test::json_value;
using Peer = GameEngineTestPeer;

constexpr char kNoSession[] = "Sessione non autenticata.";
constexpr char kWalletA[] = "0x00000000000000000000000000000000000000aa";
constexpr char kWalletB[] = "0x00000000000000000000000000000000000000bb";

std::string error_of(const std::string& message) {
  return "{\"status\":\"error\",\"message\":\"" + message + "\"}";
}

class GameAccounts : public game_test::GameFixture {
 protected:
  void SetUp() override {
    GameFixture::SetUp();
    engine_ = make_engine();
  }

  // Registers and returns the session token (empty on refusal).
  std::string register_user(const std::string& name, const std::string& email, const std::string& password) {
    if (!engine_->register_user(name, email, password, out_)) return "";
    return json_value(out_, "session_token");
  }
  std::string login(const std::string& identifier, const std::string& password) {
    if (!engine_->login_user(identifier, password, out_)) return "";
    return json_value(out_, "session_token");
  }
  std::string google(const std::string& id, const std::string& email, const std::string& name = "",
                     const std::string& avatar = "") {
    if (!engine_->login_google_user(id, email, name, avatar, out_)) return "";
    return json_value(out_, "session_token");
  }
  UserAccount account(const std::string& id) {
    UserAccount u;
    Peer::with_lock(*engine_, [&](GameEngine& e) {
      const auto it = Peer::users_of(e).find(id);
      if (it != Peer::users_of(e).end()) u = it->second;
    });
    return u;
  }
  // The account a session token belongs to.
  UserAccount account_of(const std::string& token) {
    EXPECT_TRUE(engine_->get_user_profile(token, out_)) << out_;
    return account(json_value(out_, "id"));
  }
  std::string message() const { return json_value(out_, "message"); }
  // The lines of dump_world about accounts: records and the four indexes.
  std::string accounts_dump() {
    std::string out;
    for (const std::string& line : game_test::lines_of(game_test::dump_world(*engine_))) {
      for (const char* prefix : {"key=usr", "email ", "username ", "google ", "session "}) {
        if (line.starts_with(prefix)) out += line + "\n";
      }
    }
    return out;
  }
  void block_saves() { game_test::GameFixture::block_saves(*engine_); }

  std::unique_ptr<GameEngine> engine_;
  std::string out_;
};

TEST_F(GameAccounts, RegistrationRefusalsInTheirOrder) {
  ASSERT_FALSE(register_user("Anna", "anna@x.it", "segreta1").empty()) << out_;
  struct Case {
    const char* username;
    const char* email;
    const char* password;
    const char* message;
  };
  // Each case also breaks every rule checked after its own.
  const Case cases[] = {
      {" ab\t", "no-at-no-dot", "12345", "Lo username deve contenere almeno 3 caratteri."},
      {"a|b", "anna@x.it", "", "Lo username deve contenere almeno 3 caratteri."},
      {"Bruno", "bruno.x.it", "12345", "Indirizzo email non valido."},
      {"Bruno", "bruno@xit", "12345", "Indirizzo email non valido."},
      {"Bruno", "bruno@x.it", "12345", "La password deve contenere almeno 6 caratteri."},
      {" aNNa ", "ANNA@X.IT", "segreta1", "Questo username è già in uso. Scegline un altro."},
      {"Bruno", "  Anna@X.it\t", "segreta1", "Questa email è già registrata. Effettua il login."},
  };
  const std::string before = game_test::dump_world(*engine_);
  const std::string file = saved_world();
  for (const Case& c : cases) {
    EXPECT_FALSE(engine_->register_user(c.username, c.email, c.password, out_)) << c.username;
    EXPECT_EQ(out_, error_of(c.message)) << c.username << " " << c.email;
  }
  EXPECT_EQ(game_test::dump_world(*engine_), before);
  EXPECT_EQ(saved_world(), file);
  // The '.' may stand before the '@'.
  EXPECT_FALSE(register_user("Bruno", "b.runo@xit", "segreta1").empty()) << out_;
}

TEST_F(GameAccounts, RegistrationStoresTheAccountAndAnswersTheLogin) {
  const std::string token = register_user("  Anna Rossi\t", " ANNA@Example.IT ", " segreta ");
  ASSERT_FALSE(token.empty()) << out_;
  const UserAccount a = account_of(token);

  // Forms: "usr_" + the time without its first 4 digits + "_" + 1000..9999;
  // 16 hex digits of salt; "tok_" + 64 hex digits.
  const std::string time_digits = std::to_string(game_test::kSummerMorningMs).substr(4);
  EXPECT_TRUE(std::regex_match(a.id, std::regex("usr_" + time_digits + "_[1-9][0-9]{3}"))) << a.id;
  EXPECT_TRUE(std::regex_match(a.salt, std::regex("[0-9a-f]{16}"))) << a.salt;
  EXPECT_TRUE(std::regex_match(token, std::regex("tok_[0-9a-f]{64}"))) << token;
  EXPECT_EQ(a.session_token, token);
  // The password with its blanks, salted.
  EXPECT_EQ(a.password_hash, RozeveCrypto::SHA256::hash_string(" segreta _" + a.salt));
  EXPECT_EQ(a.username, "Anna Rossi");
  EXPECT_EQ(a.email, "anna@example.it");
  EXPECT_TRUE(a.google_id.empty());
  EXPECT_TRUE(a.avatar_url.empty());
  EXPECT_TRUE(a.wallet_address.starts_with("RUZ"));
  EXPECT_TRUE(RozeveCrypto::CryptoKeys::is_valid_address(a.wallet_address)) << a.wallet_address;
  EXPECT_EQ(a.created_at, game_test::kSummerMorningMs);
  EXPECT_EQ(a.last_login, game_test::kSummerMorningMs);
  // The profile under the address as generated, with its defaults.
  ASSERT_TRUE(Peer::has_player(*engine_, a.wallet_address));
  EXPECT_EQ(Peer::player(*engine_, a.wallet_address).coins, 300u);

  EXPECT_TRUE(engine_->register_user("Bruno", "bruno@x.it", "segreta1", out_));
  const std::string login_answer = out_;
  const UserAccount b = account_of(json_value(login_answer, "session_token"));
  EXPECT_EQ(login_answer, "{\"status\":\"ok\",\"message\":\"Benvenuto in ZeriroRivi! Account creato con successo.\","
                          "\"session_token\":\"" + b.session_token + "\",\"user\":{\"id\":\"" + b.id +
                              "\",\"username\":\"Bruno\",\"email\":\"bruno@x.it\",\"wallet_address\":\"" +
                              b.wallet_address + "\",\"avatar_url\":\"\",\"provider\":\"email\"}}");
  // Same millisecond, yet nothing shared but the form.
  EXPECT_NE(a.id, b.id);
  EXPECT_NE(a.salt, b.salt);
  EXPECT_NE(a.session_token, b.session_token);

  // On disk, and read back with its four indexes.
  const std::string file = saved_world();
  EXPECT_NE(file.find("\nU|" + a.id + "|Anna Rossi|anna@example.it|" + a.password_hash + "|" + a.salt + "|||" +
                      a.wallet_address + "|" + token + "|" + std::to_string(a.created_at) + "|"),
            std::string::npos);
  engine_ = make_engine();
  EXPECT_EQ(account_of(token).id, a.id);
  EXPECT_FALSE(login("ANNA ROSSI", " segreta ").empty()) << out_;
  EXPECT_FALSE(login("\t Anna@EXAMPLE.it ", " segreta ").empty()) << out_;
}

TEST_F(GameAccounts, LoginRefusalsAndSessions) {
  const std::string first = register_user("Anna", "anna@x.it", "segreta1");
  ASSERT_FALSE(first.empty());
  google("g-123", "gina@x.it", "Gina");
  struct Case {
    const char* identifier;
    const char* password;
    const char* message;
  };
  const Case cases[] = {
      {"nessuno", "segreta1", "Nessun account trovato con questo username o email."},
      {"", "", "Nessun account trovato con questo username o email."},
      {"anna", "segreta2", "Password non corretta. Riprova."},
      {"anna", " segreta1", "Password non corretta. Riprova."},
      // A Google account has no password at all.
      {"gina@x.it", "", "Password non corretta. Riprova."},
      {"Gina", "qualsiasi", "Password non corretta. Riprova."},
  };
  for (const Case& c : cases) {
    EXPECT_FALSE(engine_->login_user(c.identifier, c.password, out_));
    EXPECT_EQ(out_, error_of(c.message)) << c.identifier;
  }

  clock_->advance_ms(5'000);
  const std::string second = login(" ANNA ", "segreta1");
  ASSERT_FALSE(second.empty()) << out_;
  EXPECT_EQ(message(), "Accesso eseguito con successo!");
  EXPECT_NE(second, first);
  // The first token is gone: one live session per account.
  EXPECT_FALSE(engine_->get_user_profile(first, out_));
  EXPECT_EQ(out_, error_of(kNoSession));
  ASSERT_TRUE(engine_->get_user_profile(second, out_));
  const UserAccount a = account_of(second);
  EXPECT_EQ(out_, "{\"status\":\"ok\",\"user\":{\"id\":\"" + a.id +
                      "\",\"username\":\"Anna\",\"email\":\"anna@x.it\",\"wallet_address\":\"" + a.wallet_address +
                      "\",\"avatar_url\":\"\",\"provider\":\"email\",\"created_at\":1718964000000,"
                      "\"last_login\":1718964005000}}");

  // Logout: saved at once, so the token does not come back after a restart.
  EXPECT_TRUE(engine_->logout_user(second, out_));
  EXPECT_EQ(out_, "{\"status\":\"ok\",\"message\":\"Disconnessione effettuata con successo.\"}");
  EXPECT_FALSE(engine_->get_user_profile(second, out_));
  EXPECT_TRUE(account(a.id).session_token.empty());
  engine_ = make_engine();
  EXPECT_FALSE(engine_->get_user_profile(second, out_));
  EXPECT_EQ(out_, error_of(kNoSession));
  // An unknown token logs out just as well.
  for (const std::string& token : {std::string("tok_sconosciuto"), std::string(), second}) {
    EXPECT_TRUE(engine_->logout_user(token, out_));
    EXPECT_EQ(out_, "{\"status\":\"ok\",\"message\":\"Disconnessione effettuata con successo.\"}");
  }
  EXPECT_FALSE(engine_->get_user_profile("", out_));
  EXPECT_EQ(out_, error_of(kNoSession));
}

TEST_F(GameAccounts, GoogleSignIn) {
  for (const auto& [id, email] : std::vector<std::pair<std::string, std::string>>{
           {"", "gina@x.it"}, {"g-1", ""}, {"", ""}, {"|\r\n", "gina@x.it"}}) {
    EXPECT_FALSE(engine_->login_google_user(id, email, "Gina", "", out_));
    EXPECT_EQ(out_, error_of("Dati Google incompleti."));
  }

  // A new account: "usr_g_" + 10 characters of the id + "_" + the time
  // without its first 6 digits.
  const std::string token = google("109876543210987654321", "Gina@X.it", "Gina R.", "https://img/g.png");
  ASSERT_FALSE(token.empty()) << out_;
  EXPECT_TRUE(std::regex_match(token, std::regex("tok_g_[0-9a-f]{64}"))) << token;
  EXPECT_EQ(message(), "Accesso con Google completato!");
  const UserAccount g = account_of(token);
  EXPECT_EQ(g.id, "usr_g_1098765432_" + std::to_string(game_test::kSummerMorningMs).substr(6));
  EXPECT_EQ(g.username, "Gina R.");
  EXPECT_EQ(g.email, "gina@x.it");
  EXPECT_EQ(g.avatar_url, "https://img/g.png");
  EXPECT_TRUE(g.password_hash.empty());
  EXPECT_TRUE(g.salt.empty());
  EXPECT_TRUE(Peer::has_player(*engine_, g.wallet_address));
  EXPECT_NE(out_.find("\"provider\":\"google\""), std::string::npos) << out_;

  // Again: the same account, a new token, a new picture only when given.
  clock_->advance_ms(1'000);
  const std::string again = google("109876543210987654321", "altra@x.it", "Altro nome", "");
  EXPECT_NE(again, token);
  const UserAccount same = account_of(again);
  EXPECT_EQ(same.id, g.id);
  EXPECT_EQ(same.username, "Gina R.");
  EXPECT_EQ(same.avatar_url, "https://img/g.png");
  EXPECT_EQ(same.last_login, game_test::kSummerMorningMs + 1'000);
  EXPECT_FALSE(engine_->get_user_profile(token, out_));

  // Another Google id with the same first ten characters, 10,000,000 ms
  // later: the time digits wrap, the id must not.
  clock_->set_ms(game_test::kSummerMorningMs + 10'000'000);
  const UserAccount twin = account_of(google("1098765432XYZ", "twin@x.it", "Twin"));
  EXPECT_NE(twin.id, g.id);
  EXPECT_EQ(account(g.id).email, "gina@x.it");
}

TEST_F(GameAccounts, GoogleSignInLinksAPasswordAccountByEmail) {
  const std::string first = register_user("Anna", "anna@x.it", "segreta1");
  const UserAccount a = account_of(first);
  const std::string token = google("g-anna", "ANNA@x.it", "Anna G", "https://img/a.png");
  const UserAccount linked = account_of(token);
  EXPECT_EQ(linked.id, a.id);
  EXPECT_EQ(linked.google_id, "g-anna");
  EXPECT_EQ(linked.username, "Anna");
  EXPECT_EQ(linked.avatar_url, "https://img/a.png");
  EXPECT_EQ(linked.password_hash, a.password_hash);
  EXPECT_NE(out_.find("\"provider\":\"google\""), std::string::npos) << out_;
  // The password still opens it.
  EXPECT_FALSE(login("anna", "segreta1").empty()) << out_;
  EXPECT_EQ(account_of(google("g-anna", "anna@x.it")).id, a.id);

  // A Google id whose index entry leads nowhere (a damaged file) finds the
  // account by its e-mail, and the old Google id no longer leads to it.
  Peer::with_lock(*engine_, [](GameEngine& e) { Peer::google_index_of(e)["g-stale"] = "usr_gone"; });
  EXPECT_EQ(account_of(google("g-stale", "anna@x.it")).id, a.id);
  Peer::with_lock(*engine_, [&](GameEngine& e) {
    EXPECT_EQ(Peer::google_index_of(e).at("g-stale"), a.id);
    EXPECT_EQ(Peer::google_index_of(e).count("g-anna"), 0u);
  });
}

TEST_F(GameAccounts, GoogleUsernameTakenGetsSuffixesUntilFree) {
  // now mod 1000 = 0 at the fixture's time; 123 ms later it is 123.
  clock_->advance_ms(123);
  ASSERT_FALSE(register_user("Player_12345", "a@x.it", "segreta1").empty());
  ASSERT_FALSE(register_user("player_12345_123", "b@x.it", "segreta1").empty());
  ASSERT_FALSE(register_user("Player_12345_123_2", "c@x.it", "segreta1").empty());

  const UserAccount g = account_of(google("1234567890", "g@x.it"));
  EXPECT_EQ(g.username, "Player_12345_123_3");
  // A given name that is taken follows the same road.
  EXPECT_EQ(account_of(google("999", "h@x.it", "PLAYER_12345")).username, "PLAYER_12345_123_4");

  // The index never points a name at a second account.
  std::set<std::string> ids;
  Peer::with_lock(*engine_, [&](GameEngine& e) {
    for (const auto& [name, id] : Peer::username_index_of(e)) {
      EXPECT_TRUE(ids.insert(id).second) << name;
      EXPECT_EQ(RozeveCrypto::ascii_lower(Peer::users_of(e).at(id).username), name);
    }
    EXPECT_EQ(Peer::username_index_of(e).size(), Peer::users_of(e).size());
  });
}

TEST_F(GameAccounts, StoredTextIsCleanedAndAnswersEscaped) {
  const std::string token = register_user("An|na\r\n \"Q\"", "an|na@x.\nit", "segreta1");
  ASSERT_FALSE(token.empty()) << out_;
  const UserAccount a = account_of(token);
  EXPECT_EQ(a.username, "Anna \"Q\"");
  EXPECT_EQ(a.email, "anna@x.it");
  EXPECT_NE(out_.find("\"username\":\"Anna \\\"Q\\\"\""), std::string::npos) << out_;
  const std::string g = google("g|1\r", "g|@x.it\n", "N|a\nme", "http://x/|a\r.png");
  const UserAccount ga = account_of(g);
  EXPECT_EQ(ga.google_id, "g1");
  EXPECT_EQ(ga.email, "g@x.it");
  EXPECT_EQ(ga.username, "Name");
  EXPECT_EQ(ga.avatar_url, "http://x/a.png");
  // Read back, every account and index entry is the same.
  const std::string before = accounts_dump();
  engine_ = make_engine();
  EXPECT_EQ(accounts_dump(), before);
}

TEST_F(GameAccounts, FailedSavesChangeNothing) {
  const std::string token = register_user("Anna", "anna@x.it", "segreta1");
  const UserAccount a = account_of(token);
  google("g-anna2", "gina@x.it", "Gina");
  block_saves();
  const std::string before = game_test::dump_world(*engine_);
  const std::string failed = error_of(kSaveFailedMessage);
  EXPECT_FALSE(engine_->register_user("Bruno", "bruno@x.it", "segreta1", out_));
  EXPECT_EQ(out_, failed);
  EXPECT_FALSE(engine_->login_user("anna", "segreta1", out_));
  EXPECT_EQ(out_, failed);
  EXPECT_FALSE(engine_->login_google_user("g-new", "new@x.it", "Gina", "", out_));  // taken name, new account
  EXPECT_EQ(out_, failed);
  EXPECT_FALSE(engine_->login_google_user("g-link", "anna@x.it", "", "pic", out_));  // links by e-mail
  EXPECT_EQ(out_, failed);
  EXPECT_FALSE(engine_->connect_user_wallet(token, kWalletA, out_));
  EXPECT_EQ(out_, failed);
  EXPECT_FALSE(engine_->logout_user(token, out_));
  EXPECT_EQ(out_, failed);
  EXPECT_EQ(game_test::dump_world(*engine_), before);
  // The session still stands.
  EXPECT_EQ(account_of(token).id, a.id);
}

TEST_F(GameAccounts, WalletLinkRefusals) {
  const std::string token = register_user("Anna", "anna@x.it", "segreta1");
  const UserAccount a = account_of(token);
  struct Case {
    std::string who;
    std::string wallet;
    const char* message;
  };
  const Case cases[] = {
      {"tok_sconosciuto", kWalletA, "Sessione non valida o utente non trovato."},
      {"", kWalletA, "Sessione non valida o utente non trovato."},
      {"", "", "Indirizzo wallet non valido."},
      {token, "0x1234567", "Indirizzo wallet non valido."},  // 9 bytes
      {token, "", "Indirizzo wallet non valido."},
      {a.id, "0xabc|P|0x", "Indirizzo wallet non valido."},
      {a.id, "0xabcdef\n0123456", "Indirizzo wallet non valido."},
  };
  const std::string before = game_test::dump_world(*engine_);
  for (const Case& c : cases) {
    EXPECT_FALSE(engine_->connect_user_wallet(c.who, c.wallet, out_)) << c.wallet;
    EXPECT_EQ(out_, error_of(c.message)) << c.who << " " << c.wallet;
  }
  EXPECT_EQ(game_test::dump_world(*engine_), before);
  // The account id stands in for a token; the address is kept lower-cased.
  EXPECT_TRUE(engine_->connect_user_wallet(a.id, "0X00000000000000000000000000000000000000AA", out_)) << out_;
  EXPECT_EQ(out_, "{\"status\":\"ok\",\"message\":\"Wallet Web3 collegato al profilo con successo!\","
                  "\"wallet_address\":\"0x00000000000000000000000000000000000000aa\"}");
}

// Text that no wallet holds would take the profile and its lots to a key
// that nobody can play or be paid on.
TEST_F(GameAccounts, AWalletLinkTakesOnlyAnAddress) {
  const std::string token = register_user("Anna", "anna@x.it", "segreta1");
  const std::string native = RozeveCrypto::CryptoKeys::generate_keypair().address;
  std::string bad_checksum = native;
  bad_checksum.back() = bad_checksum.back() == '0' ? '1' : '0';
  std::string upper_body = native;
  for (size_t i = 3; i < 39; ++i) upper_body[i] = static_cast<char>(std::toupper(upper_body[i]));
  const std::string hex40(40, 'a');
  const std::string refused[] = {
      "0xnonvalido",
      "0x1234567A",
      "0x" + hex40.substr(1),            // 39 digits
      "0x" + hex40 + "a",                // 41 digits
      "0x" + hex40.substr(1) + "g",      // not hex
      "1x" + hex40,
      "00" + hex40,
      " 0x" + hex40.substr(1),
      "0xsolarking_it_milano_cer01",     // a seeded player's key
      bad_checksum,
      RozeveCrypto::ascii_lower(native),  // "ruz...": no such address
      upper_body == native ? "RUZ" + std::string(40, 'z') : upper_body,
  };
  const std::string before = game_test::dump_world(*engine_);
  const std::string wallet_before = account_of(token).wallet_address;
  for (const std::string& wallet : refused) {
    EXPECT_FALSE(engine_->connect_user_wallet(token, wallet, out_)) << wallet;
    EXPECT_EQ(out_, error_of("Indirizzo wallet non valido.")) << wallet;
  }
  EXPECT_EQ(game_test::dump_world(*engine_), before);
  EXPECT_EQ(account_of(token).wallet_address, wallet_before);

  struct Accepted {
    std::string wallet;
    std::string kept;
  };
  const Accepted accepted[] = {
      {"0x" + std::string(40, 'B'), "0x" + std::string(40, 'b')},
      {"0X00000000000000000000000000000000000000Cc", "0x00000000000000000000000000000000000000cc"},
      {native, native},  // a native address keeps its spelling
  };
  for (const Accepted& a : accepted) {
    EXPECT_TRUE(engine_->connect_user_wallet(token, a.wallet, out_)) << a.wallet << " " << out_;
    EXPECT_EQ(account_of(token).wallet_address, a.kept);
  }
}

class GameWalletMerge : public GameAccounts {
 protected:
  void SetUp() override {
    GameAccounts::SetUp();
    token_ = register_user("Anna", "anna@x.it", "segreta1");
    ASSERT_FALSE(token_.empty());
    // The account plays kWalletA: 500 WC, 100 kWh, 7 RUZ, two hydrogen lots
    // of 10 kW (whose power the sun does not change), some history.
    ASSERT_TRUE(engine_->connect_user_wallet(token_, kWalletA, out_)) << out_;
    Peer::with_lock(*engine_, [](GameEngine& e) {
      PlayerProfile& p = Peer::get_or_create(e, kWalletA);
      p.coins = 500;
      p.kwh = 100.0;
      p.ruz = 7.0;
      p.all_time_kwh = 1234.5;
      p.cer_id = "cer_solare_italia";
      for (const char* key : {"lot_1", "lot_2"}) {
        ParcelRecord lot;
        lot.key = key;
        lot.lat = 41.0 + (key[4] - '0') * 0.01;
        lot.lon = 12.0;
        lot.owner = kWalletA;
        lot.plant_type = "hydrogen";
        lot.plant_level = 1;
        lot.power_kw = 10.0;
        Peer::put_parcel(e, lot);
      }
      Peer::recalc(e, p);
    });
    ASSERT_TRUE(engine_->save_world());
  }

  double total_kwh() { return Peer::player(*engine_, kWalletA).kwh + Peer::player(*engine_, kWalletB).kwh; }

  std::string token_;
};

TEST_F(GameWalletMerge, LinkingMovesTheProfileAndItsLots) {
  ASSERT_TRUE(engine_->connect_user_wallet(token_, "0x00000000000000000000000000000000000000BB", out_)) << out_;
  EXPECT_EQ(json_value(out_, "wallet_address"), kWalletB);
  EXPECT_EQ(account_of(token_).wallet_address, kWalletB);

  const PlayerProfile to = Peer::player(*engine_, kWalletB);
  EXPECT_DOUBLE_EQ(to.kwh, 125.0);  // the new profile's 25 welcome kWh and the old 100
  EXPECT_DOUBLE_EQ(to.ruz, 12.0);
  EXPECT_EQ(to.coins, 800u);  // 300 welcome WC and the old 500
  EXPECT_DOUBLE_EQ(to.power_kw, 20.0);
  EXPECT_EQ(to.parcels_count, 2u);
  EXPECT_EQ(Peer::parcel(*engine_, "lot_1").owner, kWalletB);
  EXPECT_EQ(Peer::parcel(*engine_, "lot_2").owner, kWalletB);

  const PlayerProfile from = Peer::player(*engine_, kWalletA);
  EXPECT_EQ(from.kwh, 0.0);
  EXPECT_EQ(from.ruz, 0.0);
  EXPECT_EQ(from.coins, 0u);
  EXPECT_EQ(from.power_kw, 0.0);
  EXPECT_EQ(from.parcels_count, 0u);
  EXPECT_DOUBLE_EQ(from.all_time_kwh, 1234.5);
  EXPECT_EQ(from.cer_id, "cer_solare_italia");

  // Saved as it stands.
  const std::string before = game_test::dump_world(*engine_);
  engine_ = make_engine();
  EXPECT_EQ(Peer::parcel(*engine_, "lot_1").owner, kWalletB);
  EXPECT_EQ(Peer::player(*engine_, kWalletB).coins, 800u);
  EXPECT_EQ(Peer::player(*engine_, kWalletA).coins, 0u);
}

TEST_F(GameWalletMerge, LinkingBackAndForthCreatesNothing) {
  ASSERT_TRUE(engine_->connect_user_wallet(token_, kWalletB, out_)) << out_;
  // Only kWalletB's creation brought something: its 300 welcome WC, 25 kWh
  // and 5 RUZ.
  const double kwh = total_kwh();
  EXPECT_DOUBLE_EQ(kwh, 125.0);
  for (int i = 0; i < 4; ++i) {
    ASSERT_TRUE(engine_->connect_user_wallet(token_, i % 2 == 0 ? kWalletA : kWalletB, out_)) << out_;
    EXPECT_DOUBLE_EQ(total_kwh(), kwh) << i;
    const PlayerProfile a = Peer::player(*engine_, kWalletA);
    const PlayerProfile b = Peer::player(*engine_, kWalletB);
    EXPECT_DOUBLE_EQ(a.ruz + b.ruz, 12.0) << i;
    EXPECT_EQ(a.coins + b.coins, 800u) << i;
    EXPECT_EQ(a.parcels_count + b.parcels_count, 2u) << i;
  }
  // Linking what the account already holds (after lower-casing) moves nothing.
  const std::string before = game_test::dump_world(*engine_);
  ASSERT_TRUE(engine_->connect_user_wallet(token_, "0x00000000000000000000000000000000000000BB", out_));
  EXPECT_EQ(game_test::dump_world(*engine_), before);
}

TEST_F(GameWalletMerge, ProductionMovesWithTheLots) {
  // An hour at 20 kW: 20 kWh, earned before the link, moves with it.
  clock_->advance_ms(3'600'000);
  ASSERT_TRUE(engine_->connect_user_wallet(token_, kWalletB, out_)) << out_;
  EXPECT_NEAR(Peer::player(*engine_, kWalletB).kwh, 145.0, 1e-6);
  // The old wallet earns nothing more: its lots are gone.
  clock_->advance_ms(3'600'000);
  engine_->get_production_history_json(kWalletA);
  engine_->get_production_history_json(kWalletB);
  EXPECT_EQ(Peer::player(*engine_, kWalletA).kwh, 0.0);
  EXPECT_NEAR(Peer::player(*engine_, kWalletB).kwh, 165.0, 1e-6);
}

// One wallet of a chain of links: its balances when it is already a player.
struct Holding {
  std::string wallet;
  bool exists;
  uint64_t coins = 0;
  double kwh = 0.0;
  double ruz = 0.0;
};

struct LinkChainCase {
  const char* name;
  std::vector<Holding> chain;  // the account plays the first, then links each next in turn
  uint64_t coins;              // what the last one holds at the end
  double kwh;
  double ruz;
};

TEST_F(GameAccounts, LinksKeepTheSumOfEveryCurrency) {
  const std::string c = "0x00000000000000000000000000000000000000cc";
  const std::vector<LinkChainCase> cases = {
      {"300 WC, then 100, then 50", {{kWalletA, true, 300, 0, 0}, {kWalletB, true, 100, 0, 0}, {c, true, 50, 0, 0}},
       450, 0.0, 0.0},
      {"kWh and RUZ add up beside the coins", {{kWalletA, true, 500, 100.25, 7.5}, {kWalletB, true, 9000, 0.5, 0.25}},
       9500, 100.75, 7.75},
      {"a wallet new to the game adds its welcome balances", {{kWalletA, true, 40, 3.5, 1.0}, {kWalletB, false}},
       340, 28.5, 6.0},
      {"back to an emptied wallet", {{kWalletA, true, 10, 1, 1}, {kWalletB, true, 20, 2, 2}, {kWalletA, true}},
       30, 3.0, 3.0},
  };
  for (size_t n = 0; n < cases.size(); ++n) {
    const LinkChainCase& lc = cases[n];
    engine_ = std::make_unique<GameEngine>(dir("link_" + std::to_string(n)), clock_);
    Peer::with_lock(*engine_, [&](GameEngine& e) {
      for (const Holding& h : lc.chain) {
        if (!h.exists || Peer::players_of(e).count(h.wallet) != 0) continue;
        PlayerProfile& p = Peer::get_or_create(e, h.wallet);
        p.coins = h.coins;
        p.kwh = h.kwh;
        p.ruz = h.ruz;
      }
    });
    Peer::add_account(*engine_, "usr_link", "Lia", lc.chain.front().wallet);
    for (size_t i = 1; i < lc.chain.size(); ++i) {
      ASSERT_TRUE(engine_->connect_user_wallet("usr_link", lc.chain[i].wallet, out_)) << lc.name << " " << out_;
    }
    const std::string& last = lc.chain.back().wallet;
    for (const Holding& h : lc.chain) {
      const std::string& key = h.wallet;
      const PlayerProfile p = Peer::player(*engine_, key);
      const bool holder = key == last;
      EXPECT_EQ(p.coins, holder ? lc.coins : 0u) << lc.name << " " << key;
      EXPECT_DOUBLE_EQ(p.kwh, holder ? lc.kwh : 0.0) << lc.name << " " << key;
      EXPECT_DOUBLE_EQ(p.ruz, holder ? lc.ruz : 0.0) << lc.name << " " << key;
    }
  }
}

TEST_F(GameAccounts, ALinkWhoseCoinsCannotBeHeldIsRefused) {
  const uint64_t max = std::numeric_limits<uint64_t>::max();
  Peer::with_lock(*engine_, [&](GameEngine& e) {
    Peer::get_or_create(e, kWalletA).coins = 11;
    Peer::get_or_create(e, kWalletB).coins = max - 10;
  });
  Peer::add_account(*engine_, "usr_link", "Lia", kWalletA);
  ASSERT_TRUE(engine_->save_world());
  const std::string before = game_test::dump_world(*engine_);
  EXPECT_FALSE(engine_->connect_user_wallet("usr_link", kWalletB, out_));
  EXPECT_EQ(out_, error_of("Collegamento non possibile: i saldi riuniti supererebbero il limite del profilo."));
  EXPECT_EQ(game_test::dump_world(*engine_), before);
  EXPECT_EQ(account("usr_link").wallet_address, kWalletA);

  Peer::with_lock(*engine_, [&](GameEngine& e) { Peer::get_or_create(e, kWalletA).coins = 10; });
  ASSERT_TRUE(engine_->connect_user_wallet("usr_link", kWalletB, out_)) << out_;
  EXPECT_EQ(Peer::player(*engine_, kWalletB).coins, max);
  EXPECT_EQ(Peer::player(*engine_, kWalletA).coins, 0u);
}

}  // namespace
}  // namespace ZezozuRiziv
