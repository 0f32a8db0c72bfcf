// The node's options: both forms of every option that takes a value, the
// arguments it ignores, and where its two ports really listen.
#include <cstdio>
#include <set>
#include <vector>

#include "app/node.h"
#include "app_node_process.h"
#include "platform/directory_lock.h"

namespace {

using rozeve_test::BinaryFixture;
using rozeve_test::free_port;
using rozeve_test::NodeProcess;
using ZezozuRiziv::NodeOptions;
using ZezozuRiziv::parse_node_options;

constexpr char kRunning[] =
    "[NODO IN ESECUZIONE] Premi Invio per arrestare il server (o segnale di stop)...";

struct Parsed {
  std::optional<NodeOptions> options;
  std::string error;
};

Parsed parse(std::vector<std::string> args) {
  args.insert(args.begin(), {"rozeve", "node"});
  std::vector<char*> argv;
  for (std::string& arg : args) argv.push_back(arg.data());
  Parsed parsed;
  parsed.options = parse_node_options(static_cast<int>(argv.size()), argv.data(), parsed.error);
  return parsed;
}

// Every option that takes a value, in its two forms, and what it sets.
struct ValueCase {
  const char* option;
  const char* value;
  std::string (*read)(const NodeOptions&);
};
const ValueCase kValueCases[] = {
    {"--peer", "127.0.0.1:9000", [](const NodeOptions& o) { return o.seed_peer; }},
    {"--validator", "0xAB", [](const NodeOptions& o) { return o.validator_address; }},
    {"--validator-config", "conf.json", [](const NodeOptions& o) { return o.validator_file; }},
    {"--p2p-port", "9001", [](const NodeOptions& o) { return std::to_string(o.p2p_port); }},
    {"--rpc-port", "9002", [](const NodeOptions& o) { return std::to_string(o.rpc_port); }},
    {"--bind", "127.0.0.9", [](const NodeOptions& o) { return o.bind_address; }},
    {"--p2p-bind", "10.1.2.3", [](const NodeOptions& o) { return o.p2p_bind_address; }},
};

TEST(NodeOptionsTest, DefaultsKeepThePeerPortOnTheLoopback) {
  const Parsed parsed = parse({});
  ASSERT_TRUE(parsed.options) << parsed.error;
  EXPECT_EQ(parsed.options->p2p_bind_address, "127.0.0.1");
  EXPECT_EQ(parsed.options->bind_address, "0.0.0.0");
  EXPECT_EQ(parsed.options->p2p_port, 8888);
  EXPECT_EQ(parsed.options->rpc_port, 8545);
  EXPECT_TRUE(parsed.options->ignored.empty());
}

TEST(NodeOptionsTest, EveryValueOptionTakesBothForms) {
  for (const ValueCase& c : kValueCases) {
    SCOPED_TRACE(c.option);
    const Parsed spaced = parse({c.option, c.value});
    const Parsed joined = parse({std::string(c.option) + "=" + c.value});
    ASSERT_TRUE(spaced.options) << spaced.error;
    ASSERT_TRUE(joined.options) << joined.error;
    EXPECT_EQ(c.read(*spaced.options), c.value);
    EXPECT_EQ(c.read(*joined.options), c.value);
    EXPECT_TRUE(joined.options->ignored.empty());
  }
  // The short forms, and a later occurrence over an earlier one.
  const Parsed mixed = parse({"-p", "1.2.3.4:5", "-v", "0xcd", "--rpc-port=1000", "--rpc-port", "2000"});
  ASSERT_TRUE(mixed.options) << mixed.error;
  EXPECT_EQ(mixed.options->seed_peer, "1.2.3.4:5");
  EXPECT_EQ(mixed.options->validator_address, "0xcd");
  EXPECT_EQ(mixed.options->rpc_port, 2000);
}

TEST(NodeOptionsTest, BindChoosesTheHttpAddressOnly) {
  for (const char* form : {"--bind=0.0.0.0", "--bind=10.0.0.1"}) {
    const Parsed parsed = parse({form});
    ASSERT_TRUE(parsed.options) << parsed.error;
    EXPECT_EQ(parsed.options->p2p_bind_address, "127.0.0.1") << form;
  }
}

TEST(NodeOptionsTest, EachIgnoredArgumentGetsOneLine) {
  const Parsed parsed = parse({"--bogus", "stray", "-p=1.2.3.4", "--daemon=yes", "", "-d", "--rpc-port"});
  ASSERT_TRUE(parsed.options) << parsed.error;
  EXPECT_TRUE(parsed.options->daemon);
  EXPECT_EQ(parsed.options->rpc_port, 8545);
  EXPECT_EQ(parsed.options->ignored,
            (std::vector<std::string>{
                "[NODO] Argomento ignorato: \"--bogus\" (opzione sconosciuta)",
                "[NODO] Argomento ignorato: \"stray\" (opzione sconosciuta)",
                "[NODO] Argomento ignorato: \"-p=1.2.3.4\" (opzione sconosciuta)",
                "[NODO] Argomento ignorato: \"--daemon=yes\" (opzione sconosciuta)",
                "[NODO] Argomento ignorato: \"\" (opzione sconosciuta)",
                "[NODO] Argomento ignorato: \"--rpc-port\" (manca il valore)",
            }));
}

TEST(NodeOptionsTest, BadValuesAreRefusedInEitherForm) {
  const std::pair<std::vector<std::string>, std::string> cases[] = {
      {{"--rpc-port=0"}, "Porta non valida per --rpc-port: \"0\" (serve un numero da 1 a 65535)"},
      {{"--p2p-port="}, "Porta non valida per --p2p-port: \"\" (serve un numero da 1 a 65535)"},
      {{"--peer=127.0.0.1:x"}, "Porta non valida per --peer: \"x\" (serve un numero da 1 a 65535)"},
      {{"--bind="}, "Indirizzo non valido per --bind: \"\" (serve un indirizzo IPv4 come 127.0.0.1)"},
      {{"--p2p-bind", "localhost"},
       "Indirizzo non valido per --p2p-bind: \"localhost\" (serve un indirizzo IPv4 come 127.0.0.1)"},
      {{"--p2p-bind=1.2.3"},
       "Indirizzo non valido per --p2p-bind: \"1.2.3\" (serve un indirizzo IPv4 come 127.0.0.1)"},
  };
  for (const auto& [args, error] : cases) {
    const Parsed parsed = parse(args);
    EXPECT_FALSE(parsed.options) << args[0];
    EXPECT_EQ(parsed.error, error);
  }
}

TEST(NodeOptionsTest, ASeedPeerIsADottedIpv4Address) {
  const std::pair<std::string, const char*> refused[] = {
      {"nonexistent.host:9000", "nonexistent.host"},
      {"nonexistent.host", "nonexistent.host"},
      {"localhost:8888", "localhost"},
      {":9000", ""},
      {"1.2.3:9000", "1.2.3"},
      {"1.2.3.4.5", "1.2.3.4.5"},
      {"256.1.1.1:9000", "256.1.1.1"},
  };
  for (const auto& [seed, host] : refused) {
    for (const std::vector<std::string>& args :
         {std::vector<std::string>{"--peer", seed}, {"-p", seed}, {"--peer=" + seed}}) {
      const Parsed parsed = parse(args);
      EXPECT_FALSE(parsed.options) << args.back();
      EXPECT_EQ(parsed.error, "Indirizzo non valido per --peer: \"" + std::string(host) +
                                  "\" (serve un indirizzo IPv4 come 127.0.0.1)")
          << args.back();
    }
  }
  for (const char* seed : {"10.0.0.7", "10.0.0.7:9000", "127.0.0.1:1"}) {
    const Parsed parsed = parse({"--peer", seed});
    ASSERT_TRUE(parsed.options) << parsed.error;
    EXPECT_EQ(parsed.options->seed_peer, seed);
  }
  // No seed is no seed.
  EXPECT_TRUE(parse({}).options);
}

TEST(NodeOptionsTest, APeerPortBeyondTheLoopbackSaysPeersAreNotAuthenticated) {
  const std::string warning =
      "[P2P ATTENZIONE] Porta P2P aperta oltre il loopback: le transazioni e i blocchi dei peer "
      "non sono autenticati (chiunque raggiunga la porta puo' inviarli).\n";
  for (const char* loopback : {"127.0.0.1", "127.8.9.10"}) {
    EXPECT_EQ(ZezozuRiziv::peer_port_lines(loopback, 8888),
              "[P2P] Server P2P in ascolto su " + std::string(loopback) + ":8888\n");
  }
  for (const char* open : {"0.0.0.0", "192.168.1.10", "12.7.0.1"}) {
    EXPECT_EQ(ZezozuRiziv::peer_port_lines(open, 8888),
              "[P2P] Server P2P in ascolto su " + std::string(open) + ":8888\n" + warning);
  }
}

// The IPv4 addresses listening on `port`, from the kernel's socket table.
std::set<std::string> listening_addresses(uint16_t port) {
  std::set<std::string> found;
  std::ifstream in("/proc/net/tcp");
  std::string line;
  std::getline(in, line);  // the heading
  while (std::getline(in, line)) {
    unsigned slot, address, local_port, remote_address, remote_port, state;
    if (std::sscanf(line.c_str(), " %u: %8X:%4X %8X:%4X %2X", &slot, &address, &local_port,
                    &remote_address, &remote_port, &state) != 6) {
      continue;
    }
    if (state != 0x0A || local_port != port) continue;  // 0A: LISTEN
    // The address is in the host's byte order (little-endian here).
    found.insert(std::to_string(address & 0xff) + "." + std::to_string((address >> 8) & 0xff) +
                 "." + std::to_string((address >> 16) & 0xff) + "." +
                 std::to_string(address >> 24));
  }
  return found;
}

class NodeListenTest : public BinaryFixture {};

TEST_F(NodeListenTest, ThePeerPortStaysOnTheLoopbackWhateverBindSays) {
  const uint16_t rpc = free_port(), p2p = free_port();
  NodeProcess node(dir_, "--bind 127.0.0.3 --rpc-port " + std::to_string(rpc) + " --p2p-port " +
                             std::to_string(p2p));
  ASSERT_TRUE(node.wait_for_output(kRunning)) << node.output();
  EXPECT_EQ(listening_addresses(p2p), std::set<std::string>{"127.0.0.1"});
  EXPECT_EQ(listening_addresses(rpc), std::set<std::string>{"127.0.0.3"});
  const std::string console = node.output();
  EXPECT_NE(console.find("[P2P] Server P2P in ascolto su 127.0.0.1:" + std::to_string(p2p) + "\n"),
            std::string::npos)
      << console;
  EXPECT_NE(console.find("attivo su http://127.0.0.3:" + std::to_string(rpc) + "\n"), std::string::npos)
      << console;
  EXPECT_EQ(console.find("[P2P ATTENZIONE]"), std::string::npos) << console;
  node.type_line();
  EXPECT_EQ(node.wait_exit(5000), 0);
}

TEST_F(NodeListenTest, EqualsFormsReachBothListeners) {
  const uint16_t rpc = free_port(), p2p = free_port();
  NodeProcess node(dir_, "--bind=127.0.0.2 --rpc-port=" + std::to_string(rpc) + " --p2p-port=" +
                             std::to_string(p2p) + " --p2p-bind=127.0.0.4");
  ASSERT_TRUE(node.wait_for_output(kRunning)) << node.output();
  EXPECT_EQ(listening_addresses(p2p), std::set<std::string>{"127.0.0.4"});
  EXPECT_EQ(listening_addresses(rpc), std::set<std::string>{"127.0.0.2"});
  const std::string console = node.output();
  EXPECT_NE(console.find("[P2P] Server P2P in ascolto su 127.0.0.4:" + std::to_string(p2p) + "\n"),
            std::string::npos)
      << console;
  EXPECT_NE(console.find("attivo su http://127.0.0.2:" + std::to_string(rpc) + "\n"), std::string::npos)
      << console;
  node.type_line();
  EXPECT_EQ(node.wait_exit(5000), 0);
}

TEST_F(NodeListenTest, TheWalletBoxNamesTheAddressAndPortListenedOn) {
  for (const char* address : {"127.0.0.1", "127.0.0.6"}) {
    for (bool equals_form : {false, true}) {
      SCOPED_TRACE(std::string(address) + (equals_form ? " =" : ""));
      const std::string rpc = std::to_string(free_port());
      const std::string bind = equals_form ? std::string("--bind=") + address
                                           : std::string("--bind ") + address;
      const std::string port = equals_form ? "--rpc-port=" + rpc : "--rpc-port " + rpc;
      NodeProcess node(dir_, bind + " " + port + " --p2p-port " + std::to_string(free_port()));
      ASSERT_TRUE(node.wait_for_output(kRunning)) << node.output();
      const std::string console = node.output();
      EXPECT_NE(console.find("   * Nuovo URL RPC:   https://rpc.rozeve.network (o http://" +
                             std::string(address) + ":" + rpc + ")\n"),
                std::string::npos)
          << console;
      EXPECT_EQ(console.find(":8545"), std::string::npos) << console;
      node.type_line();
      EXPECT_EQ(node.wait_exit(5000), 0);
    }
  }
}

TEST_F(NodeListenTest, APeerPortThatDidNotOpenIsNotAnnounced) {
  std::string error;
  const auto taken = platform::listen_tcp("127.0.0.1", 0, error);
  const std::string port = std::to_string(platform::local_port(taken));
  NodeProcess node(dir_, "--bind 127.0.0.1 --rpc-port " + std::to_string(free_port()) +
                             " --p2p-port " + port);
  EXPECT_EQ(node.wait_exit(10000), 1);
  const std::string console = node.output();
  EXPECT_NE(console.find("[P2P] Impossibile aprire la porta P2P " + port), std::string::npos) << console;
  EXPECT_EQ(console.find("Porta TCP " + port + "\n"), std::string::npos) << console;
  EXPECT_EQ(console.find("[P2P] Server P2P in ascolto"), std::string::npos) << console;
  EXPECT_EQ(console.find(kRunning), std::string::npos) << console;
  platform::close_socket(taken);
}

TEST_F(NodeListenTest, ASeedPeerNamedByHostNameStopsTheStart) {
  NodeProcess node(dir_, "--bind 127.0.0.1 --rpc-port " + std::to_string(free_port()) +
                             " --p2p-port " + std::to_string(free_port()) +
                             " --peer nonexistent.host:9000");
  EXPECT_EQ(node.wait_exit(10000), 1);
  EXPECT_EQ(node.output(),
            "[NODO] Indirizzo non valido per --peer: \"nonexistent.host\" (serve un indirizzo IPv4 "
            "come 127.0.0.1)\n");
  EXPECT_FALSE(std::filesystem::exists(dir_ / "data" / "blocks.dat"));
}

TEST_F(NodeListenTest, IgnoredArgumentsAreNamedOnStandardError) {
  // A data directory in use ends the command before any port opens.
  platform::DirectoryLock other_writer;
  std::string error;
  ASSERT_EQ(other_writer.acquire((dir_ / "data").string(), error), platform::LockResult::kLocked);
  const auto result = run("node --bogus --rpc-port=9 --peer");
  EXPECT_EQ(result.exit_code, 1);
  EXPECT_EQ(result.err,
            "[NODO] Argomento ignorato: \"--bogus\" (opzione sconosciuta)\n"
            "[NODO] Argomento ignorato: \"--peer\" (manca il valore)\n");
  EXPECT_EQ(result.out.find("Argomento ignorato"), std::string::npos) << result.out;
}

}  // namespace
