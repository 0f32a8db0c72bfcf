// Accounts and the administrator over a real "rozeve node", asked as curl
// asks, across a restart: what the world file keeps survives, what lives in
// memory does not, and the master password is the node's own.
#include <sys/stat.h>

#include <chrono>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <regex>
#include <string>
#include <thread>

#include "app_node_api_fixture.h"
#include "app_node_process.h"
#include "world_file_support.h"
#include "node_client_support.h"

namespace {

using rozeve_test::NodeProcess;
using rozeve_test::read_text;
using rozeve_test::split_lines;

// A seeded owner of six level-3 hydrogen lots (166.8 kW, day and night),
// under a key no wallet holds; the test hands its lots to kPlant, a wallet
// address an account can link.
constexpr char kSeededPlant[] = "0xsolarking_it_milano_cer01";
constexpr char kPlant[] = "0x00000000000000000000000000000000000000b7";
constexpr char kOtherWallet[] = "0x00000000000000000000000000000000000000aa";
constexpr char kNoSession[] = "{\"status\":\"error\",\"message\":\"Sessione non autenticata.\"}";

class AccountsNodeTest : public rozeve_test::RunningNodeFixture {
 protected:
  static std::string text(const std::string& json, const std::string& key) {
    return rozeve_test::json_text(json, key).value_or("<missing " + key + ">");
  }
  // The kWh of a player as the world file holds it (0 when absent).
  double stored_kwh(const std::string& address) {
    for (const std::string& line : split_lines(rozeve_test::saved_world_text((dir_ / "data").string()))) {
      if (line.rfind("P|" + address + "|", 0) != 0) continue;
      const size_t coins = line.find('|', 2 + address.size() + 1);
      return std::stod(line.substr(coins + 1));
    }
    return 0.0;
  }
  // With the node stopped: the seeded plant's records, in the world file
  // and its journal, under kPlant instead.
  void hand_seeded_plant_to_wallet() {
    for (const char* name : {"game_world.dat", "game_world.journal"}) {
      const std::filesystem::path path = dir_ / "data" / name;
      if (!std::filesystem::exists(path)) continue;
      std::string text = read_text(path);
      for (size_t at = text.find(kSeededPlant); at != std::string::npos; at = text.find(kSeededPlant, at)) {
        text.replace(at, std::strlen(kSeededPlant), kPlant);
      }
      std::ofstream(path, std::ios::binary | std::ios::trunc) << text;
    }
  }
  bool link(const std::string& token, const std::string& wallet) {
    return get("/api/auth/wallet/connect?token=" + token + "&wallet=" + wallet).starts_with("{\"status\":\"ok\"");
  }
  std::string login(const std::string& password) {
    const std::string answer = post("/api/auth/login", "identifier=anna%40x.it&password=" + password);
    EXPECT_EQ(text(answer, "message"), "Accesso eseguito con successo!") << answer;
    return text(answer, "session_token");
  }
};

TEST_F(AccountsNodeTest, AccountsAndAdministrationAcrossARestart) {
  start();
  // The node's own password, printed once with where it is kept.
  const std::string console = node_->output();
  std::smatch printed;
  ASSERT_TRUE(std::regex_search(console, printed,
                                std::regex("\\[ADMIN\\] Password master amministratore di questo nodo: "
                                           "([A-Za-z0-9]{22})\n\\[ADMIN\\] Conservata in data/"
                                           "admin_master_password.txt")))
      << console;
  const std::string password = printed[1];
  const std::string password_file = (dir_ / "data" / "admin_master_password.txt").string();
  EXPECT_EQ(read_text(password_file), password + "\n");
  struct stat st {};
  ASSERT_EQ(::stat(password_file.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0600u);
  stop();
  hand_seeded_plant_to_wallet();
  start();

  // Register, log in (the first token dies), read the profile.
  const std::string registered =
      post("/api/auth/register", "username=Anna&email=anna%40x.it&password=segreta1");
  EXPECT_EQ(text(registered, "message"), "Benvenuto in ZeriroRivi! Account creato con successo.") << registered;
  const std::string token = login("segreta1");
  EXPECT_EQ(get("/api/auth/me?token=" + text(registered, "session_token")), kNoSession);
  const std::string me = get("/api/auth/me?token=" + token);
  EXPECT_NE(me.find("\"username\":\"Anna\",\"email\":\"anna@x.it\",\"wallet_address\":\"" +
                    text(registered, "wallet_address") + "\""),
            std::string::npos)
      << me;

  // Play the hydrogen plant's profile.
  EXPECT_EQ(get(std::string("/api/auth/wallet/connect?token=") + token + "&wallet=" + kPlant),
            std::string("{\"status\":\"ok\",\"message\":\"Wallet Web3 collegato al profilo con successo!\","
                        "\"wallet_address\":\"") + kPlant + "\"}");
  // Both wallets exist before the count starts (a new one brings 25 kWh).
  for (const char* wallet : {kOtherWallet, kPlant}) ASSERT_TRUE(link(token, wallet));
  const double before_boost = stored_kwh(kPlant) + stored_kwh(kOtherWallet);

  // The administrator: login with the printed password, telemetry, x100.
  const std::string admin = post("/api/admin/login", "password=" + password);
  const std::string admin_token = text(admin, "token");
  ASSERT_TRUE(std::regex_match(admin_token, std::regex("adm_tok_[0-9a-f]{64}"))) << admin;
  EXPECT_EQ(get("/api/admin/verify?token=" + admin_token), "{\"status\":\"ok\",\"authenticated\":true}");
  const std::string triggered = get("/api/admin/superboost/trigger?token=" + admin_token + "&reason=Prova");
  EXPECT_EQ(text(triggered, "message"), "Super Spinta Energetica x100 attivata per 30 minuti su tutta la rete!");
  std::smatch until_match;
  ASSERT_TRUE(std::regex_search(triggered, until_match, std::regex("\"super_boost_until_ms\":([0-9]+)")));
  const std::string until = until_match[1];
  const std::string telemetry = get("/api/admin/telemetry?token=" + admin_token);
  EXPECT_NE(telemetry.find("\"super_boost_100x\":{\"is_active\":true,\"multiplier\":100,"), std::string::npos)
      << telemetry;

  // Production at x100: 4.6 kWh a second, 20 kWh within seconds, where
  // the plant alone would need more than seven minutes. Each link brings the
  // plant's owner up to date and saves; the lots move with the profile.
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
  double produced = 0.0;
  for (int i = 0; produced < 20.0 && std::chrono::steady_clock::now() < deadline; ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    const std::string wallet = i % 2 == 0 ? kOtherWallet : kPlant;
    ASSERT_TRUE(link(token, wallet));
    produced = stored_kwh(kPlant) + stored_kwh(kOtherWallet) - before_boost;
  }
  EXPECT_GE(produced, 20.0);

  // A second session, logged out; a third one kept over the restart.
  const std::string logged_out = login("segreta1");
  EXPECT_EQ(get("/api/auth/logout?token=" + logged_out),
            "{\"status\":\"ok\",\"message\":\"Disconnessione effettuata con successo.\"}");
  EXPECT_EQ(get("/api/auth/me?token=" + logged_out), kNoSession);
  const std::string kept = login("segreta1");
  const std::string wallet_before = text(get("/api/auth/me?token=" + kept), "wallet_address");
  stop();

  start();
  EXPECT_EQ(node_->output().find("[ADMIN]"), std::string::npos) << node_->output();
  EXPECT_EQ(read_text(password_file), password + "\n");
  // Accounts and sessions are in the world file.
  const std::string after = get("/api/auth/me?token=" + kept);
  EXPECT_EQ(text(after, "wallet_address"), wallet_before) << after;
  EXPECT_EQ(get("/api/auth/me?token=" + logged_out), kNoSession);
  EXPECT_EQ(get("/api/auth/me?token=" + token), kNoSession);
  // Administrator tokens are not; the password and the boost are.
  EXPECT_EQ(get("/api/admin/verify?token=" + admin_token), "{\"status\":\"error\",\"authenticated\":false}");
  EXPECT_EQ(get("/api/admin/telemetry?token=" + admin_token),
            "{\"status\":\"error\",\"message\":\"Accesso negato: token amministratore non valido o scaduto.\"}");
  const std::string again = text(post("/api/admin/login", "password=" + password), "token");
  const std::string restarted = get("/api/admin/telemetry?token=" + again);
  EXPECT_NE(restarted.find("\"super_boost_100x\":{\"is_active\":true,\"multiplier\":100,\"until_ms\":" + until +
                           ","),
            std::string::npos)
      << restarted << " " << until;
  EXPECT_NE(restarted.find("\"reason\":\"Prova\""), std::string::npos);
  stop();
}

TEST_F(AccountsNodeTest, ADamagedPasswordFileStopsTheStart) {
  start();
  stop();
  const std::filesystem::path file = dir_ / "data" / "admin_master_password.txt";
  std::ofstream(file, std::ios::trunc) << "not a password\n";
  node_ = std::make_unique<NodeProcess>(dir_, rozeve_test::local_node_args(rpc_port_, p2p_port_));
  ASSERT_EQ(node_->wait_exit(10000), 1) << node_->output();
  EXPECT_NE(node_->output().find("[NODO] Impossibile leggere la password master amministratore "
                                 "data/admin_master_password.txt (contenuto non valido): il file resta com'e' e il "
                                 "nodo non puo' partire. Avvio interrotto."),
            std::string::npos)
      << node_->output();
  EXPECT_EQ(node_->output().find(rozeve_test::kNodeRunning), std::string::npos);
  EXPECT_EQ(read_text(file), "not a password\n");
  node_.reset();
}

}  // namespace
