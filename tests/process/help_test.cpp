// "rozeve --help" and its other spellings: the whole usage, status 0, and
// nothing started (no data directory, no port).
#include <filesystem>
#include <string>

#include "app/help.h"
#include "app_node_process.h"
#include "platform/socket.h"

namespace {

using rozeve_test::BinaryFixture;
using rozeve_test::read_text;

// Every command and every option of the node, as the usage must name them.
const char* const kNamed[] = {
    "rozeve demo",     "rozeve wallet new", "rozeve wallet balance", "rozeve chain info",
    "rozeve chain dump", "rozeve node",     "rozeve rpc",            "rozeve fund",
    "--rpc-port",      "--bind",            "--p2p-port",            "--p2p-bind",
    "--peer, -p",      "--validator, -v",   "--validator-config",    "--daemon, -d",
    "--help, -h",
};

class HelpTest : public BinaryFixture {
 protected:
  // Bounded: a help that started a node would otherwise wait for ever.
  rozeve_test::RunResult run_bounded(const std::string& args) {
    const std::string command = "cd '" + dir_.string() + "' && timeout 20 '" ROZEVE_BINARY "' " +
                                args + " > out.txt 2> err.txt < /dev/null; echo $? > rc.txt";
    rozeve_test::RunResult result;
    if (std::system(command.c_str()) != 0) return result;
    result.exit_code = std::stoi(read_text(dir_ / "rc.txt"));
    result.out = read_text(dir_ / "out.txt");
    result.err = read_text(dir_ / "err.txt");
    return result;
  }
};

TEST_F(HelpTest, EverySpellingPrintsTheWholeUsageAndStartsNothing) {
  const uint16_t port = rozeve_test::free_port();
  const std::string ports = " --bind 127.0.0.1 --rpc-port " + std::to_string(port) +
                            " --p2p-port " + std::to_string(rozeve_test::free_port());
  const std::string spellings[] = {
      "--help", "-h", "help", "node --help", "node -h", "rpc --help",
      "node" + ports + " --help", "node --daemon -h" + ports,
  };
  for (const std::string& args : spellings) {
    SCOPED_TRACE(args);
    std::filesystem::remove_all(dir_ / "data");
    const auto result = run_bounded(args);
    EXPECT_EQ(result.exit_code, 0);
    EXPECT_EQ(result.err, "");
    for (const char* named : kNamed) EXPECT_NE(result.out.find(named), std::string::npos) << named;
    EXPECT_EQ(result.out.find("Comando sconosciuto"), std::string::npos) << result.out;
    EXPECT_EQ(result.out.find("[RPC"), std::string::npos) << result.out;
    EXPECT_EQ(result.out.find("[P2P"), std::string::npos) << result.out;
    EXPECT_EQ(result.out.find("Avvio automatico"), std::string::npos) << result.out;
    EXPECT_FALSE(std::filesystem::exists(dir_ / "data"));
    EXPECT_FALSE(std::filesystem::exists(dir_ / "data_demo"));
  }
}

TEST_F(HelpTest, TheUsageIsTheSameWhicheverSpellingAsksForIt) {
  const std::string first = run_bounded("--help").out;
  for (const char* args : {"-h", "help", "node --help", "rpc -h"}) {
    EXPECT_EQ(run_bounded(args).out, first) << args;
  }
}

TEST_F(HelpTest, OnlyTheHelpWordsAskForHelp) {
  struct Case {
    std::vector<std::string> args;
    bool help;
  };
  const Case cases[] = {
      {{"rozeve"}, false},
      {{"rozeve", "--help"}, true},
      {{"rozeve", "-h"}, true},
      {{"rozeve", "help"}, true},
      {{"rozeve", "node"}, false},
      {{"rozeve", "node", "--daemon"}, false},
      {{"rozeve", "node", "--rpc-port", "9000", "-h"}, true},
      {{"rozeve", "rpc", "--help"}, true},
      {{"rozeve", "fund", "--help"}, false},
      {{"rozeve", "wallet", "-h"}, false},
      {{"rozeve", "--HELP"}, false},
  };
  for (const Case& c : cases) {
    std::vector<std::string> args = c.args;
    std::vector<char*> argv;
    for (std::string& arg : args) argv.push_back(arg.data());
    EXPECT_EQ(ZezozuRiziv::asks_for_help(static_cast<int>(argv.size()), argv.data()), c.help)
        << args.back();
  }
}

}  // namespace
