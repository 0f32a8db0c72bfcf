// One writer per data directory: "fund", a second node and the
// demonstration refuse a directory that another process writes, change
// nothing there, and end with status 1; the read-only commands still read.
#include <map>

#include "app_node_process.h"
#include "platform/directory_lock.h"

namespace {

namespace fs = std::filesystem;
using rozeve_test::BinaryFixture;
using rozeve_test::free_port;
using rozeve_test::NodeProcess;
using rozeve_test::read_text;

constexpr char kRunning[] =
    "[NODO IN ESECUZIONE] Premi Invio per arrestare il server (o segnale di stop)...";
constexpr char kWallet[] = "0x00000000000000000000000000000000000000ab";

std::string busy_line(const std::string& dir) {
  return "[DATI] La cartella dati " + dir + " e' gia' in uso da un altro processo rozeve (blocco su " +
         dir + "/LOCK): comando interrotto, nessun file e' stato modificato.\n";
}

class DataLockTest : public BinaryFixture {
 protected:
  // Every file under `dir`, byte for byte.
  std::map<std::string, std::string> files(const std::string& dir = "data") const {
    std::map<std::string, std::string> out;
    for (const auto& entry : fs::recursive_directory_iterator(dir_ / dir)) {
      if (entry.is_regular_file()) out[entry.path().string()] = read_text(entry.path());
    }
    return out;
  }
  std::unique_ptr<NodeProcess> start_node() {
    auto node = std::make_unique<NodeProcess>(dir_, rozeve_test::local_node_args(rpc_port_, p2p_port_));
    EXPECT_TRUE(node->wait_for_output(kRunning)) << node->output();
    return node;
  }
  uint16_t rpc_port_ = 0, p2p_port_ = 0;
};

TEST_F(DataLockTest, FundAndASecondNodeLeaveARunningNodesDirectoryAlone) {
  auto node = start_node();
  const auto before = files();
  ASSERT_TRUE(before.count((dir_ / "data" / "LOCK").string()));

  const auto fund = run(std::string("fund ") + kWallet + " 10000");
  EXPECT_EQ(fund.exit_code, 1);
  EXPECT_EQ(fund.out, busy_line("data"));
  const auto second = run("node --bind 127.0.0.1 --rpc-port " + std::to_string(free_port()) +
                          " --p2p-port " + std::to_string(free_port()));
  EXPECT_EQ(second.exit_code, 1);
  EXPECT_EQ(second.out, busy_line("data"));
  EXPECT_EQ(files(), before);

  // Readers need no lock.
  const auto info = run("chain info");
  EXPECT_EQ(info.exit_code, 0);
  EXPECT_NE(info.out.find("Altezza Catena:     1 blocchi\n"), std::string::npos) << info.out;
  const auto dump = run("chain dump");
  EXPECT_EQ(dump.exit_code, 0);
  EXPECT_NE(dump.out.find("(1 blocchi)"), std::string::npos) << dump.out;
  const auto balance = run("wallet balance 0xzerirorivi_reward_pool_vault");
  EXPECT_EQ(balance.exit_code, 0);
  EXPECT_NE(balance.out.find("Saldo Spendibile: 500000.000000 RUZ\n"), std::string::npos) << balance.out;

  EXPECT_FALSE(node->exited());
  node->type_line();
  EXPECT_EQ(node->wait_exit(5000), 0);
  EXPECT_EQ(files(), before);
  // The lock goes with the node.
  const auto after = run(std::string("fund ") + kWallet + " 5");
  EXPECT_EQ(after.exit_code, 0) << after.out;
}

TEST_F(DataLockTest, AKilledNodeLeavesNoLockBehind) {
  auto node = start_node();
  node->signal("KILL");
  ASSERT_TRUE(node->wait_exit(5000).has_value());
  const auto fund = run(std::string("fund ") + kWallet + " 5");
  EXPECT_EQ(fund.exit_code, 0) << fund.out;
  EXPECT_NE(fund.out.find("Nuovo Saldo: 5.000000 RUZ\n"), std::string::npos) << fund.out;
}

TEST_F(DataLockTest, TheDemonstrationDoesNotEmptyADirectoryInUse) {
  fs::create_directories(dir_ / "data_demo");
  std::ofstream(dir_ / "data_demo" / "blocks.dat") << "kept\n";
  platform::DirectoryLock other_writer;
  std::string error;
  ASSERT_EQ(other_writer.acquire((dir_ / "data_demo").string(), error), platform::LockResult::kLocked);
  const auto before = files("data_demo");
  for (const char* command : {"demo", ""}) {
    const auto result = run(command);
    EXPECT_EQ(result.exit_code, 1) << command;
    EXPECT_EQ(result.out, busy_line("data_demo")) << command;
    EXPECT_EQ(files("data_demo"), before) << command;
  }
  other_writer.release();
  EXPECT_EQ(run("demo").exit_code, 0);
  EXPECT_NE(read_text(dir_ / "data_demo" / "blocks.dat"), "kept\n");
}

}  // namespace
