// "rozeve fund <address> [amount]": the faucet credit from the command line,
// run as the real binary in a scratch directory.
#include <filesystem>
#include <fstream>
#include <string>

#include "app_test_support.h"
#include "chain/state.h"
#include "crypto/crypto_keys.h"
#include "crypto/text.h"
#include "storage/ledger.h"
#include "storage/storage.h"

namespace {

using rozeve_test::BinaryFixture;
using rozeve_test::read_text;
using ZezozuRiziv::State;

constexpr uint64_t kCoin = 1'000'000;
constexpr char kUsage[] = "Uso: rozeve fund <indirizzo_0x_MetaMask> [quantita_RUZ]\n";
constexpr char kWallet[] = "0x00000000000000000000000000000000000000ab";
constexpr char kWalletMixed[] = "0x00000000000000000000000000000000000000aB";

class FundCommandTest : public BinaryFixture {
 protected:
  std::filesystem::path data() const { return dir_ / "data"; }
  std::string state_text() const { return read_text(data() / "state.json"); }
  std::string blocks_text() const { return read_text(data() / "blocks.dat"); }

  // A chain as the node's first start leaves it: the genesis block and the state.
  void create_chain() {
    ZezozuRiziv::Storage storage(data().string());
    State state;
    ZezozuRiziv::CommittedBlock genesis;
    ASSERT_TRUE(ZezozuRiziv::Ledger(storage, state).commit_genesis(
        RozeveCrypto::CryptoKeys::private_key_to_address(std::string(64, '7')), genesis));
    ASSERT_TRUE(ZezozuRiziv::Ledger(storage, state).checkpoint());
    // The administrator password a node's first start leaves beside them, so
    // that this command prints only its own lines.
    std::ofstream(data() / "admin_master_password.txt") << "AbCdEfGhIjKlMnOpQrStUv\n";
    std::filesystem::permissions(data() / "admin_master_password.txt",
                                 std::filesystem::perms::owner_read | std::filesystem::perms::owner_write);
  }
  std::string credits_text() const { return read_text(data() / "credits.dat"); }
  State saved() const { return rozeve_test::logged_state(data()); }
};

TEST_F(FundCommandTest, RefusesWhatIsNotAnAddressOrAPlainAmountBeforeReadingAnything) {
  const std::string valid = std::string(" ") + kWallet;
  const char* cases[] = {
      "fund",
      "fund 0xab",
      "fund 0xzerirorivi_reward_pool_vault 5",
      "fund ruz7a3f0c1e5b9d24681ace0bdf13579e2468ac0f1e 5",
      "fund '\"0x00000000000000000000000000000000000000a' 5",
      "fund ''",
  };
  for (const char* args : cases) {
    const auto result = run(args);
    EXPECT_EQ(result.exit_code, 1) << args;
    EXPECT_EQ(result.out, kUsage) << args;
  }
  for (const char* amount : {"abc", "-5", "18446744073709551616", "+5", "' 5'", "5x", "''", "0x10", "1e3"}) {
    const auto result = run("fund" + valid + " " + amount);
    EXPECT_EQ(result.exit_code, 1) << amount;
    EXPECT_EQ(result.out, kUsage) << amount;
  }
  EXPECT_FALSE(std::filesystem::exists(data()));
}

TEST_F(FundCommandTest, WithoutAChainNothingIsWritten) {
  const auto result = run(std::string("fund ") + kWallet + " 5");
  EXPECT_EQ(result.exit_code, 1);
  EXPECT_EQ(result.out,
            "[RPC] Nessuna catena in data: avvia prima il nodo (rozeve node), che crea il blocco "
            "Genesis.\n");
  EXPECT_FALSE(std::filesystem::exists(data() / "state.json"));
  EXPECT_FALSE(std::filesystem::exists(data() / "game_world.dat"));
}

TEST_F(FundCommandTest, CreditsAtMostTenThousandCoinsToTheLowerCasedAccount) {
  create_chain();
  const std::string blocks_before = blocks_text();
  const uint64_t coins_before = saved().get_total_circulating();

  const auto first = run(std::string("fund ") + kWalletMixed + " 20000");
  EXPECT_EQ(first.exit_code, 0) << first.out;
  EXPECT_EQ(first.out, std::string("[RPC] Accreditati con successo 10000 RUZ all'indirizzo MetaMask: ") +
                           kWalletMixed + "\nAccreditati 10000 RUZ all'indirizzo: " + kWalletMixed +
                           "\nNuovo Saldo: 10000.000000 RUZ\n\n");
  // One faucet line in credits.dat; state.json is left to the checkpoints.
  EXPECT_NE(credits_text().find(std::string("\"kind\":\"faucet\",\"account\":\"") + kWallet +
                                "\",\"amount\":10000000000,"),
            std::string::npos)
      << credits_text();
  EXPECT_EQ(saved().get_balance(kWallet), 10'000 * kCoin);
  // The server was built, and with it the game world.
  EXPECT_TRUE(std::filesystem::is_regular_file(data() / "game_world.dat"));

  // Without an amount: 1,000 coins, to the same account.
  const auto second = run(std::string("fund ") + kWallet);
  EXPECT_EQ(second.exit_code, 0);
  EXPECT_EQ(second.out, std::string("[RPC] Accreditati con successo 1000 RUZ all'indirizzo MetaMask: ") +
                            kWallet + "\nAccreditati 1000 RUZ all'indirizzo: " + kWallet +
                            "\nNuovo Saldo: 11000.000000 RUZ\n\n");
  // 0 credits nothing and leaves no empty account.
  const auto zero = run("fund 0x00000000000000000000000000000000000000cd 0");
  EXPECT_EQ(zero.exit_code, 0);
  EXPECT_NE(zero.out.find("Nuovo Saldo: 0.000000 RUZ\n"), std::string::npos) << zero.out;

  const State after = saved();
  EXPECT_EQ(after.get_balance(kWallet), 11'000 * kCoin);
  EXPECT_EQ(after.balances.count("0x00000000000000000000000000000000000000cd"), 0u);
  EXPECT_EQ(after.get_total_circulating(), coins_before + 11'000 * kCoin);
  EXPECT_EQ(blocks_text(), blocks_before);
}

TEST_F(FundCommandTest, ANativeAddressKeepsItsCase) {
  create_chain();
  const std::string native = RozeveCrypto::CryptoKeys::private_key_to_address(std::string(64, '4'));
  const auto result = run("fund " + native + " 3");
  EXPECT_EQ(result.exit_code, 0);
  EXPECT_EQ(saved().get_balance(native), 3 * kCoin);
}

TEST_F(FundCommandTest, DamagedFilesOrAFailedSaveStopWithStatusOneAndChangeNothing) {
  create_chain();
  const std::string state_before = state_text();
  const std::string blocks_before = blocks_text();
  const std::string command = std::string("fund ") + kWallet + " 5";

  // A state file cut short.
  std::ofstream(data() / "state.json", std::ios::binary | std::ios::trunc)
      << state_before.substr(0, state_before.size() / 2);
  auto result = run(command);
  EXPECT_EQ(result.exit_code, 1);
  EXPECT_EQ(result.out.rfind("[STORAGE] File danneggiato: data/state.json", 0), 0u) << result.out;
  EXPECT_EQ(state_text(), state_before.substr(0, state_before.size() / 2));
  EXPECT_FALSE(std::filesystem::exists(data() / "game_world.dat"));
  std::ofstream(data() / "state.json", std::ios::binary | std::ios::trunc) << state_before;

  // A game world that exists but cannot be read.
  std::filesystem::create_directories(data() / "game_world.dat" / "x");
  result = run(command);
  EXPECT_EQ(result.exit_code, 1);
  EXPECT_EQ(result.out.rfind("[GIOCO] Impossibile leggere il mondo di gioco", 0), 0u) << result.out;
  EXPECT_EQ(result.out.find("Accreditati"), std::string::npos) << result.out;
  EXPECT_EQ(state_text(), state_before);
  std::filesystem::remove_all(data() / "game_world.dat");

  // credits.dat is no file that can be read or written.
  std::filesystem::create_directories(data() / "credits.dat" / "x");
  result = run(command);
  EXPECT_EQ(result.exit_code, 1);
  EXPECT_EQ(result.out, "[STORAGE] File danneggiato: data/credits.dat (illeggibile)\n");
  EXPECT_EQ(state_text(), state_before);
  EXPECT_EQ(blocks_text(), blocks_before);
}

// The balance command reads the key the server credits, whatever the
// letter case of a 0x address; a native address is case-exact.
TEST_F(FundCommandTest, TheBalanceCommandReadsACreditedAddressInAnyLetterCase) {
  create_chain();
  const std::string credited = "0x00000000000000000000000000000000000ab12c";
  ASSERT_EQ(run("fund " + credited + " 7").exit_code, 0);
  const std::string native = RozeveCrypto::CryptoKeys::private_key_to_address(std::string(64, '7'));
  struct Case {
    std::string typed;
    const char* balance;
  };
  const Case cases[] = {
      {credited, "7.000000"},
      {"0x00000000000000000000000000000000000AB12C", "7.000000"},
      {"0X00000000000000000000000000000000000Ab12c", "7.000000"},
      {"0x00000000000000000000000000000000000ab12d", "0.000000"},
      {native, "20500000.000000"},
      {RozeveCrypto::ascii_lower(native), "0.000000"},
  };
  for (const Case& c : cases) {
    const auto result = run("wallet balance " + c.typed);
    EXPECT_EQ(result.exit_code, 0) << c.typed;
    EXPECT_EQ(result.out, "\n=== SALDO ROZEVE PER: " + c.typed + " ===\n"
                          "Saldo Spendibile: " + c.balance + " RUZ\n"
                          "Saldo in Staking: 0.000000 RUZ\n"
                          "Nonce Account:    0\n\n")
        << c.typed;
  }
}

}  // namespace
