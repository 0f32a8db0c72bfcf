// The one-shot commands of the real binary.
#include <regex>
#include <string>

#include "app_test_support.h"

namespace {

using rozeve_test::BinaryFixture;
using rozeve_test::read_text;
using rozeve_test::split_lines;

class CliTest : public BinaryFixture {
 protected:
  // The address printed on the demo line that begins with `label`.
  std::string demo_address(const std::string& demo_out, const std::string& label) {
    for (const std::string& line : split_lines(demo_out)) {
      if (line.rfind(label, 0) == 0) return line.substr(label.size());
    }
    return "";
  }
};

struct UsageCase {
  const char* args;
  int exit_code;
  const char* out;
};

TEST_F(CliTest, UsageLinesAndUnknownWords) {
  const UsageCase cases[] = {
      {"wallet", 1, "Uso: rozeve wallet <new|balance <addr>>\n"},
      {"wallet balance", 1, "Uso: rozeve wallet balance <indirizzo_RUZ>\n"},
      {"chain", 1, "Uso: rozeve chain <info|dump>\n"},
      {"wallet frobnicate", 0, ""},
      {"chain frobnicate", 0, ""},
      {"Demo", 1, "Comando sconosciuto: Demo\n"},
      {"frobnicate", 1, "Comando sconosciuto: frobnicate\n"},
      {"frobnicate extra words", 1, "Comando sconosciuto: frobnicate\n"},
      {"--version", 1, "Comando sconosciuto: --version\n"},
      {"Help", 1, "Comando sconosciuto: Help\n"},
  };
  for (const UsageCase& c : cases) {
    const auto result = run(c.args);
    EXPECT_EQ(result.exit_code, c.exit_code) << c.args;
    EXPECT_EQ(result.out, c.out) << c.args;
  }
}

TEST_F(CliTest, WalletNewPrintsAFreshKeyPairAndStoresNothing) {
  const auto first = run("wallet new");
  const auto second = run("wallet new");
  ASSERT_EQ(first.exit_code, 0);
  const std::regex shape(
      "\n=== NUOVO PORTAFOGLIO ROZEVE CREATO ===\n"
      "Indirizzo Pubblico \\(RUZ\\): RUZ[0-9a-f]{40}\n"
      "Chiave Privata \\(Hex\\):     [0-9a-f]{64}\n"
      "ATTENZIONE: Conserva la chiave privata in un luogo sicuro!\n\n");
  EXPECT_TRUE(std::regex_match(first.out, shape)) << first.out;
  EXPECT_NE(first.out, second.out);
  EXPECT_FALSE(std::filesystem::exists(dir_ / "data" / "blocks.dat"));
}

TEST_F(CliTest, ChainInfoOnAnEmptyChain) {
  const auto result = run("chain info");
  EXPECT_EQ(result.exit_code, 0);
  EXPECT_EQ(result.out,
            "\n=== STATO DELLA BLOCKCHAIN ROZEVE ===\n"
            "Altezza Catena:     0 blocchi\n"
            "Supply Circolante:  0.000000 RUZ\n"
            "Totale in Staking:  0.000000 RUZ\n"
            "Validatori Attivi:  0\n\n");
  EXPECT_TRUE(std::filesystem::is_directory(dir_ / "data"));
}

TEST_F(CliTest, ReadOnlyCommandsFallBackToTheDemoChain) {
  const auto demo = run("demo");
  ASSERT_EQ(demo.exit_code, 0);
  const std::string helios = demo_address(demo.out, "  - Utente Helios:    ");
  ASSERT_EQ(helios.size(), 43u);
  // An empty node log counts as no chain.
  std::filesystem::create_directories(dir_ / "data");
  std::ofstream(dir_ / "data" / "blocks.dat").close();

  EXPECT_EQ(run("wallet balance " + helios).out,
            "\n=== SALDO ROZEVE PER: " + helios + " ===\n"
            "Saldo Spendibile: 48749.990000 RUZ\n"
            "Saldo in Staking: 0.000000 RUZ\n"
            "Nonce Account:    1\n\n");

  const auto info = split_lines(run("chain info").out);
  const auto log = split_lines(read_text(dir_ / "data_demo" / "blocks.dat"));
  ASSERT_EQ(log.size(), 3u);
  ASSERT_EQ(info.size(), 8u);
  EXPECT_EQ(info[2], "Altezza Catena:     3 blocchi");
  EXPECT_EQ(info[3], "Supply Circolante:  21015028.960000 RUZ");
  EXPECT_EQ(info[4], "Totale in Staking:  200000.000000 RUZ");
  EXPECT_EQ(info[5], "Validatori Attivi:  1");
  const std::string last_hash = info[6].substr(std::string("Ultimo Blocco Hash: ").size());
  EXPECT_NE(log[2].find("\"block_hash\":\"" + last_hash + "\""), std::string::npos);

  const auto dump = split_lines(run("chain dump").out);
  ASSERT_EQ(dump.size(), 6u);
  EXPECT_EQ(dump[1], "=== REGISTRO COMPLETO BLOCCHI ROZEVE (3 blocchi) ===");
  EXPECT_TRUE(std::regex_match(
      dump[2], std::regex("#0 \\| Hash: [0-9a-f]{16}\\.\\.\\. \\| Tx: 1 \\| Validatore: "
                          "GENESIS\\.\\.\\. \\| Merkle: [0-9a-f]{12}\\.\\.\\.")))
      << dump[2];
  EXPECT_TRUE(std::regex_match(
      dump[3], std::regex("#1 \\| Hash: [0-9a-f]{16}\\.\\.\\. \\| Tx: 3 \\| Validatore: "
                          "RUZ[0-9a-f]{9}\\.\\.\\. \\| Merkle: [0-9a-f]{12}\\.\\.\\.")))
      << dump[3];
  EXPECT_EQ(dump[5], "");
}

TEST_F(CliTest, BalanceOfAnUnknownAddressIsZero) {
  const auto result = run("wallet balance 0xABC");
  EXPECT_EQ(result.exit_code, 0);
  EXPECT_EQ(result.out,
            "\n=== SALDO ROZEVE PER: 0xABC ===\n"
            "Saldo Spendibile: 0.000000 RUZ\n"
            "Saldo in Staking: 0.000000 RUZ\n"
            "Nonce Account:    0\n\n");
}

}  // namespace
