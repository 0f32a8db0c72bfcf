// "rozeve node" as an operator runs it: start-up, banners, stop, restart.
#include <algorithm>
#include <cstdlib>
#include <regex>

#include "app_node_process.h"
#include "server_test_support.h"
#include "chain/state.h"

namespace {

using rozeve_test::BinaryFixture;
using rozeve_test::free_port;
using rozeve_test::NodeProcess;
using rozeve_test::read_text;
using rozeve_test::split_lines;
using ZezozuRiziv::State;

constexpr uint64_t kCoin = 1'000'000;
constexpr char kPool[] = "0xzerirorivi_reward_pool_vault";
constexpr char kRunning[] =
    "[NODO IN ESECUZIONE] Premi Invio per arrestare il server (o segnale di stop)...";
constexpr char kStopped[] = "[NODO] Server arrestato correttamente.";

class NodeTest : public BinaryFixture {
 protected:
  std::string args(const std::string& extra = "") {
    return rozeve_test::local_node_args(rpc_port_, p2p_port_) + " " + extra;
  }
  // The state a restart rebuilds from the files.
  State saved_state() { return rozeve_test::logged_state(dir_ / "data"); }
  // Starts, waits until it runs, stops with Enter; the console.
  std::string run_once(const std::string& extra = "") {
    NodeProcess node(dir_, args(extra));
    EXPECT_TRUE(node.wait_for_output(kRunning)) << node.output();
    node.type_line();
    EXPECT_EQ(node.wait_exit(5000), 0);
    return node.output();
  }
  std::string treasury_of(const std::string& console) {
    const std::string label = "[INIT] Genesis Block creato! Indirizzo Treasury: ";
    const size_t at = console.find(label);
    return at == std::string::npos ? "" : console.substr(at + label.size(), 43);
  }
  uint16_t rpc_port_ = 0, p2p_port_ = 0;
};

TEST_F(NodeTest, FirstStartCreatesTheChainAndFundsThePool) {
  NodeProcess node(dir_, args());
  ASSERT_TRUE(node.wait_for_output(kRunning)) << node.output();
  const std::string console = node.output();
  const std::string treasury = treasury_of(console);
  ASSERT_EQ(treasury.size(), 43u) << console;
  const std::string rule(70, '=');
  const std::string expected_tail =
      "\n[INFO NODO] Nessun validator.json rilevato. Avvio come Full Node sentinella.\n"
      "\n" + rule + "\n"
      "       NODO ROZEVE CHAIN ATTIVO - COMPATIBILE CON METAMASK            \n" + rule + "\n"
      " Configura MetaMask aggiungendo una nuova rete personalizzata:\n"
      "   * Nome Rete:       Rozeve Network\n"
      "   * Nuovo URL RPC:   https://rpc.rozeve.network (o http://127.0.0.1:" +
      std::to_string(rpc_port_) + ")\n"
      "   * ID Catena:       202677\n"
      "   * Simbolo Valuta:  RUZ\n"
      "   * Server P2P:      Porta TCP " + std::to_string(p2p_port_) + "\n" + rule + "\n"
      " Suggerimento: appena colleghi il tuo indirizzo MetaMask, riceverai    \n"
      " automaticamente 100 RUZ gratuiti di benvenuto per fare test!          \n" + rule + "\n" +
      kRunning + "\n";
  EXPECT_EQ(console.rfind("[INIT] Generazione del blocco Genesis ufficiale della rete Rozeve...\n", 0), 0u)
      << console;
  EXPECT_NE(console.find("[INIT] Dotato Game Reward Pool (0xzerirorivi_reward_pool_vault) con 500.000 RUZ.\n"),
            std::string::npos);
  EXPECT_NE(console.find("[RPC SERVER ULTRA] Motore C++17 Multi-Thread attivo su http://127.0.0.1:" +
                         std::to_string(rpc_port_) + "\n"),
            std::string::npos);
  ASSERT_GE(console.size(), expected_tail.size());
  EXPECT_EQ(console.substr(console.size() - expected_tail.size()), expected_tail);

  // The node answers a wallet on its HTTP port.
  {
    rozeve_test::Client wallet(rpc_port_);
    ASSERT_TRUE(wallet.connected());
    wallet.send("POST / HTTP/1.1\r\nContent-Length: 51\r\n\r\n"
                "{\"jsonrpc\":\"2.0\",\"id\":1,\"method\":\"eth_blockNumber\"}");
    EXPECT_NE(wallet.read_all().find("{\"jsonrpc\":\"2.0\",\"id\":1,\"result\":\"0x0\"}"),
              std::string::npos);
  }

  node.signal("TERM");
  EXPECT_EQ(node.wait_exit(2000), 0);
  EXPECT_NE(node.output().find(kStopped), std::string::npos);

  const auto log = split_lines(read_text(dir_ / "data" / "blocks.dat"));
  ASSERT_EQ(log.size(), 1u);
  EXPECT_EQ(log[0].rfind("{\"index\":0,", 0), 0u);
  const State state = saved_state();
  EXPECT_EQ(state.get_balance(treasury), 20'500'000 * kCoin);
  EXPECT_EQ(state.get_balance(kPool), 500'000 * kCoin);
}

TEST_F(NodeTest, RestartKeepsTheChainAndFundsNothing) {
  run_once();
  const std::string chain = read_text(dir_ / "data" / "blocks.dat");
  const std::string second = run_once();
  EXPECT_EQ(second.find("[INIT]"), std::string::npos) << second;
  EXPECT_EQ(read_text(dir_ / "data" / "blocks.dat"), chain);
}

TEST_F(NodeTest, AnEmptyPoolIsRefilledFromTheGenesisTreasuryOnly) {
  const std::string treasury = treasury_of(run_once());
  ASSERT_EQ(treasury.size(), 43u);
  // A user account that sorts before the treasury must not pay.
  State state = saved_state();
  state.balances[kPool] = 0;
  state.balances["0x0000000000000000000000000000000000000001"] = 600'000 * kCoin;
  std::ofstream(dir_ / "data" / "state.json") << state.serialize();

  const std::string console = run_once();
  EXPECT_NE(console.find("[INIT] Dotato Game Reward Pool (0xzerirorivi_reward_pool_vault) con "
                         "500.000 RUZ dalla riserva!"),
            std::string::npos)
      << console;
  const State after = saved_state();
  EXPECT_EQ(after.get_balance(kPool), 500'000 * kCoin);
  EXPECT_EQ(after.get_balance(treasury), 20'000'000 * kCoin);
  EXPECT_EQ(after.get_balance("0x0000000000000000000000000000000000000001"), 600'000 * kCoin);
}

TEST_F(NodeTest, StopSignalsEndTheWaitInEveryMode) {
  const struct {
    const char* signal;
    bool console_open;
  } cases[] = {{"TERM", true}, {"INT", true}, {"TERM", false}, {"INT", false}};
  for (const auto& c : cases) {
    SCOPED_TRACE(std::string(c.signal) + (c.console_open ? " interactive" : " stdin closed"));
    NodeProcess node(dir_, args());
    ASSERT_TRUE(node.wait_for_output(kRunning)) << node.output();
    if (!c.console_open) node.close_console();
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    EXPECT_FALSE(node.exited()) << "closed standard input must not stop the node";
    node.signal(c.signal);
    EXPECT_EQ(node.wait_exit(2000), 0);
    EXPECT_NE(node.output().find(kStopped), std::string::npos);
  }
}

// A line ends the wait, also a last one that the input ends without a line
// feed ("printf abc | rozeve node").
TEST_F(NodeTest, ALastLineWithoutALineFeedStopsTheNode) {
  const struct {
    const char* typed;
    bool then_close;
  } cases[] = {{"abc", true}, {"x", true}, {"abc\n", false}, {"\n", false}, {"abc\ndef", true}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.typed);
    NodeProcess node(dir_, args());
    ASSERT_TRUE(node.wait_for_output(kRunning)) << node.output();
    node.type(c.typed);
    if (c.then_close) node.close_console();
    EXPECT_EQ(node.wait_exit(5000), 0) << node.output();
    EXPECT_NE(node.output().find(kStopped), std::string::npos) << node.output();
  }
}

// Bytes of a line are not a line until it ends, by a line feed or the input's end.
TEST_F(NodeTest, APartLineWaitsForItsEnd) {
  NodeProcess node(dir_, args());
  ASSERT_TRUE(node.wait_for_output(kRunning)) << node.output();
  node.type("ab");
  // The node still serves after the two bytes.
  {
    rozeve_test::Client wallet(rpc_port_);
    ASSERT_TRUE(wallet.connected());
    wallet.send("POST / HTTP/1.1\r\nContent-Length: 51\r\n\r\n"
                "{\"jsonrpc\":\"2.0\",\"id\":1,\"method\":\"eth_blockNumber\"}");
    EXPECT_NE(wallet.read_all().find("\"result\":\"0x0\""), std::string::npos);
  }
  EXPECT_FALSE(node.exited());
  node.type("c\n");
  EXPECT_EQ(node.wait_exit(5000), 0) << node.output();
}

TEST_F(NodeTest, DaemonModeRunsUntilASignal) {
  NodeProcess node(dir_, args("--daemon"));
  ASSERT_TRUE(node.wait_for_output(
      "[NODO IN MODALITA DAEMON] Server RPC in esecuzione continua in background..."));
  node.type_line();
  std::this_thread::sleep_for(std::chrono::milliseconds(700));
  EXPECT_FALSE(node.exited());
  node.signal("TERM");
  EXPECT_EQ(node.wait_exit(2000), 0);
}

// The node runs itself again with its heap in huge pages: same process,
// same name for ps and killall; an operator's own allocator tuning stays.
TEST_F(NodeTest, TuningTheHeapKeepsThePidTheNameAndTheOperatorsSetting) {
  const auto environment_of = [](const std::string& pid) {
    std::string text = read_text("/proc/" + pid + "/environ");
    std::replace(text.begin(), text.end(), '\0', '\n');
    return text;
  };
  const std::pair<const char*, std::string> cases[] = {
      {nullptr, "GLIBC_TUNABLES=glibc.malloc.hugetlb=1\n"},
      {"glibc.malloc.hugetlb=0", "GLIBC_TUNABLES=glibc.malloc.hugetlb=0\n"},
  };
  for (const auto& [operators, expected] : cases) {
    SCOPED_TRACE(operators ? operators : "no tuning");
    if (operators) {
      ASSERT_EQ(setenv("GLIBC_TUNABLES", operators, 1), 0);
    }
    NodeProcess node(dir_, args("--daemon"));
    ASSERT_TRUE(node.wait_for_output("[NODO IN MODALITA DAEMON]")) << node.output();
    unsetenv("GLIBC_TUNABLES");
    const std::string pid_line = read_text(dir_ / "node.pid");
    const std::string pid = pid_line.substr(0, pid_line.find('\n'));
    EXPECT_EQ(read_text("/proc/" + pid + "/comm"), "rozeve\n");
    EXPECT_NE(environment_of(pid).find(expected), std::string::npos);
    node.signal("TERM");
    EXPECT_EQ(node.wait_exit(5000), 0);
  }
}

TEST_F(NodeTest, BadPortsEndTheCommand) {
  const std::pair<std::string, std::string> cases[] = {
      {"--rpc-port 0", "--rpc-port: \"0\""},
      {"--rpc-port 70000", "--rpc-port: \"70000\""},
      {"--p2p-port 12ab", "--p2p-port: \"12ab\""},
      {"--p2p-port -1", "--p2p-port: \"-1\""},
      {"--peer 127.0.0.1:http", "--peer: \"http\""},
  };
  for (const auto& [option, shown] : cases) {
    const auto result = run("node " + option);
    EXPECT_EQ(result.exit_code, 1) << option;
    EXPECT_EQ(result.out, "[NODO] Porta non valida per " + shown + " (serve un numero da 1 a 65535)\n")
        << option;
  }
  EXPECT_FALSE(std::filesystem::exists(dir_ / "data" / "blocks.dat"));
}

TEST_F(NodeTest, UnbindablePortIsReported) {
  std::string error;
  const auto taken = platform::listen_tcp("127.0.0.1", 0, error);
  const uint16_t port = platform::local_port(taken);
  NodeProcess node(dir_, "--bind 127.0.0.1 --p2p-port " + std::to_string(free_port()) +
                             " --rpc-port " + std::to_string(port));
  EXPECT_EQ(node.wait_exit(10000), 1);
  EXPECT_NE(node.output().find("[RPC] Impossibile aprire la porta HTTP " + std::to_string(port)),
            std::string::npos)
      << node.output();
  EXPECT_EQ(node.output().find(kRunning), std::string::npos) << node.output();
  platform::close_socket(taken);
}

TEST_F(NodeTest, ValidatorBoxes) {
  run_once();
  const std::string staker = "0x00000000000000000000000000000000000000aa";
  const std::string small = "0x00000000000000000000000000000000000000bb";
  State state = saved_state();
  state.staked[staker] = 2'500 * kCoin;
  state.staked[small] = 999 * kCoin;
  std::ofstream(dir_ / "data" / "state.json") << state.serialize();
  const std::string rule(70, '=');

  // An address typed in upper case is used lower-cased; the file is not read.
  std::ofstream(dir_ / "validator.json") << "{\"address\":\"" << small << "\"}";
  std::string console = run_once("-v 0x00000000000000000000000000000000000000AA");
  EXPECT_NE(console.find("\n" + rule + "\n"
                         "  \u2605 NODO VALIDATORE AUTORIZZATO ATTIVO (ZEZOZURIZIV PoS) \u2605            \n" +
                         rule + "\n"
                         "  * Configurazione:       validator.json\n"
                         "  * Indirizzo Validatore: " + staker + "\n"
                         "  * Saldo in Staking:     2500 RUZ\n"
                         "  * Stato Protocollo:     \U0001F7E2 QUALIFICATO & ATTIVO AL CONIO\n"
                         "  * Beneficiario Fee PoS: " + staker + " (0.4% Fee di Rete)\n" + rule + "\n"),
            std::string::npos)
      << console;

  // From the file, where "validator_address" wins over an earlier "address".
  std::ofstream(dir_ / "validator.json")
      << "{\"address\":\"" << staker << "\",\n \"validator_address\" : \"" << small << "\"}";
  console = run_once();
  EXPECT_NE(console.find("\n" + rule + "\n"
                         "  [ATTENZIONE VALIDATORE] Indirizzo in configurazione non idoneo:     \n"
                         "  * Indirizzo:            " + small + "\n"
                         "  * Staking Registrato:   999 RUZ (Richiesti: 1.000 RUZ)\n"
                         "  * Il nodo operera' come Full Node in attesa dello staking minimo.   \n" +
                         rule + "\n"),
            std::string::npos)
      << console;

  console = run_once("--validator-config missing.json");
  EXPECT_NE(console.find("[INFO NODO] Nessun validator.json rilevato."), std::string::npos);
}

TEST_F(NodeTest, UnreachableSeedIsReportedAndTheNodeRunsAlone) {
  const uint16_t nobody = free_port();
  const std::string console = run_once("--peer=127.0.0.1:" + std::to_string(nobody));
  EXPECT_NE(console.find("[P2P] Connessione al peer seed: 127.0.0.1:" + std::to_string(nobody) +
                         "...\n[P2P ATTENZIONE] Impossibile contattare il peer 127.0.0.1:" +
                         std::to_string(nobody) + " (nodo in modalita standalone).\n"),
            std::string::npos)
      << console;
}

}  // namespace
