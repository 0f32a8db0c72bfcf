// The running node's ledger under attack and failure: hostile peer blocks,
// a full disk, damaged files, start-ups that cannot work, the catch-up.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <string>

#include "app_node_process.h"
#include "chain/accounts.h"
#include "chain/state.h"
#include "chain/wallet.h"
#include "crypto/sha256.h"
#include "eth_signing_support.h"
#include "node_client_support.h"
#include "small_tmpfs.h"

namespace {

namespace fs = std::filesystem;
using rozeve_test::BinaryFixture;
using rozeve_test::free_port;
using rozeve_test::NodeProcess;
using rozeve_test::read_text;
using ZezozuRiziv::State;
using ZezozuRiziv::StateTip;

constexpr uint64_t kCoin = 1'000'000;
constexpr char kRunning[] = "[NODO IN ESECUZIONE]";
constexpr char kRecipient[] = "0x3535353535353535353535353535353535353535";
constexpr char kPeerValidator[] = "0x4444444444444444444444444444444444444444";

class LedgerNodeTest : public BinaryFixture {
 protected:
  std::string args(const std::string& extra = "") {
    return rozeve_test::local_node_args(rpc_port_, p2p_port_) + " " + extra;
  }
  fs::path data() const { return dir_ / "data"; }
  // The state a restart rebuilds from the files.
  State saved_state() { return rozeve_test::logged_state(data()); }
  // The 100 RUZ a new wallet gets on its first balance query.
  void welcome(const std::string& address) {
    const std::string answer =
        rozeve_test::rpc_call(rpc_port_, "eth_getBalance", "[\"" + address + "\",\"latest\"]");
    ASSERT_NE(answer.find("\"result\":\"0x56bc75e2d63100000\""), std::string::npos) << answer;
  }
  // A wallet transfer of 1 RUZ to kRecipient; the JSON-RPC answer.
  std::string send_coin(const rozeve_test::EthKey& from, uint64_t nonce) {
    const unsigned __int128 wei = static_cast<unsigned __int128>(kCoin) * 1'000'000'000'000ULL;
    return rozeve_test::rpc_call(rpc_port_, "eth_sendRawTransaction",
                                 "[\"" + from.legacy_transfer(nonce, kRecipient, wei) + "\"]");
  }
  // Runs the command in the scratch directory (standard input closed).
  rozeve_test::RunResult command(const std::string& line) { return run(line); }

  uint16_t rpc_port_ = 0, p2p_port_ = 0;
};

TEST_F(LedgerNodeTest, AValidatorThatWouldBreakTheStateTextIsRefused) {
  NodeProcess node(dir_, args());
  ASSERT_TRUE(node.wait_for_output(kRunning)) << node.output();
  const ZezozuRiziv::Wallet alice = ZezozuRiziv::Wallet::generate();
  ASSERT_TRUE(rozeve_test::faucet(rpc_port_, alice.address(), 100));
  const State before = saved_state();
  const auto tip = rozeve_test::chain_tip(rpc_port_);
  ASSERT_TRUE(tip);

  // "RUZ!}" and zeros with a checksum that matches: a body the old address
  // rule did not look at, and a '}' that ended the balances on reading.
  const std::string body = "!}" + std::string(34, '0');
  const std::string forged =
      "RUZ" + body + RozeveCrypto::SHA256::double_hash_string("RUZ" + body).substr(0, 4);
  ZezozuRiziv::Block attack(tip->index + 1, tip->hash, forged, {}, 0);
  attack.seal("");
  // Then a block that is fine: once it is in, the attack was handled.
  const ZezozuRiziv::Block fine =
      rozeve_test::peer_transfer_block(*tip, alice.address(), kRecipient, kCoin, 0, kPeerValidator);
  rozeve_test::PeerClient peer(p2p_port_);
  ASSERT_TRUE(peer.send_block(attack));
  ASSERT_TRUE(peer.send_block(fine));
  ASSERT_TRUE(node.wait_for_output("[P2P] Sincronizzato blocco #1 ")) << node.output();

  const std::string text = read_text(data() / "state.json");
  EXPECT_EQ(text.find("RUZ!"), std::string::npos);
  State expected = before;
  ASSERT_TRUE(expected.apply_block(fine, 0));
  const State after = saved_state();
  EXPECT_EQ(after.balances, expected.balances);
  EXPECT_EQ(after.nonces, expected.nonces);
  node.signal("TERM");
  EXPECT_EQ(node.wait_exit(3000), 0);
}

TEST_F(LedgerNodeTest, APeerBlockThatCannotBeWrittenChangesNothing) {
  rozeve_test::SmallTmpfs disk(data(), "1m");
  ROZEVE_REQUIRE_TMPFS(disk);
  NodeProcess node(dir_, args());
  ASSERT_TRUE(node.wait_for_output(kRunning)) << node.output();
  const ZezozuRiziv::Wallet alice = ZezozuRiziv::Wallet::generate();
  ASSERT_TRUE(rozeve_test::faucet(rpc_port_, alice.address(), 100));
  const auto tip = rozeve_test::chain_tip(rpc_port_);
  ASSERT_TRUE(tip);
  const std::string saved = read_text(data() / "state.json");
  const std::string log = read_text(data() / "blocks.dat");

  // Twenty transfers: larger than the room left in the log's last page.
  std::vector<ZezozuRiziv::Transaction> txs;
  for (uint64_t nonce = 0; nonce < 20; ++nonce) {
    txs.push_back(rozeve_test::peer_transfer_block(*tip, alice.address(), kRecipient, kCoin, nonce,
                                                   kPeerValidator)
                      .transactions.at(0));
  }
  ZezozuRiziv::Block big(tip->index + 1, tip->hash, kPeerValidator, txs, 0);
  big.seal("peer key");
  disk.fill();
  rozeve_test::PeerClient peer(p2p_port_);
  ASSERT_TRUE(peer.send_block(big));
  ASSERT_TRUE(node.wait_for_output("[P2P] Blocco #1 dal peer non registrato")) << node.output();
  disk.unfill();
  EXPECT_EQ(read_text(data() / "state.json"), saved);
  EXPECT_EQ(read_text(data() / "blocks.dat"), log);

  // Nothing of it stayed in memory either: with room on the disk the same
  // block, nonces from 0, is taken whole.
  ASSERT_TRUE(peer.send_block(big));
  ASSERT_TRUE(node.wait_for_output("[P2P] Sincronizzato blocco #1 ")) << node.output();
  EXPECT_EQ(saved_state().get_nonce(alice.address()), 20u);
  EXPECT_EQ(saved_state().get_balance(kRecipient), 20 * kCoin);
  node.signal("TERM");
  EXPECT_EQ(node.wait_exit(3000), 0);
}

TEST_F(LedgerNodeTest, DamagedFilesStopTheStartAndStayAsTheyWere) {
  {
    NodeProcess node(dir_, args());
    ASSERT_TRUE(node.wait_for_output(kRunning)) << node.output();
    welcome(rozeve_test::EthKey(0x13).address());
    node.type_line();
    ASSERT_EQ(node.wait_exit(3000), 0);
  }
  const std::string whole = read_text(data() / "state.json");
  const std::string log = read_text(data() / "blocks.dat");
  struct Case {
    std::string name;
    std::string state_text;
  };
  for (const Case& c : {Case{"cut to 40 bytes", whole.substr(0, 40)},
                        Case{"garbage", "\x7f\x45garbage{{{"}}) {
    SCOPED_TRACE(c.name);
    std::ofstream(data() / "state.json", std::ios::binary | std::ios::trunc) << c.state_text;
    NodeProcess node(dir_, args());
    EXPECT_EQ(node.wait_exit(10000), 1);
    EXPECT_NE(node.output().find("File danneggiato: data/state.json"), std::string::npos)
        << node.output();
    EXPECT_EQ(read_text(data() / "state.json"), c.state_text);
    EXPECT_EQ(read_text(data() / "blocks.dat"), log);
    for (const std::string& line : {std::string("chain info"), "wallet balance " + std::string(kRecipient)}) {
      const rozeve_test::RunResult shown = command(line);
      EXPECT_EQ(shown.exit_code, 1) << line;
      EXPECT_NE(shown.out.find("[STORAGE] File danneggiato: data/state.json"), std::string::npos)
          << shown.out;
      EXPECT_EQ(shown.out.find("Supply Circolante"), std::string::npos);
    }
  }
  std::ofstream(data() / "state.json", std::ios::binary | std::ios::trunc) << whole;
  fs::rename(data() / "blocks.dat", dir_ / "blocks.away");
  fs::create_directory(data() / "blocks.dat");
  NodeProcess node(dir_, args());
  EXPECT_EQ(node.wait_exit(10000), 1);
  EXPECT_NE(node.output().find("File danneggiato: data/blocks.dat"), std::string::npos)
      << node.output();
  EXPECT_EQ(node.output().find("Genesis"), std::string::npos);
  EXPECT_TRUE(fs::is_directory(data() / "blocks.dat"));
  EXPECT_EQ(read_text(data() / "state.json"), whole);
  EXPECT_EQ(command("chain info").exit_code, 1);
  EXPECT_EQ(command("chain dump").exit_code, 1);
}

TEST_F(LedgerNodeTest, AStartThatCannotWorkEndsWithStatusOne) {
  {
    const rozeve_test::RunResult bad = command("node --bind 999.1.1.1");
    EXPECT_EQ(bad.exit_code, 1);
    EXPECT_NE(bad.out.find("[NODO] Indirizzo non valido per --bind: \"999.1.1.1\""),
              std::string::npos)
        << bad.out;
    EXPECT_FALSE(fs::exists(data() / "blocks.dat"));
  }
  std::string error;
  const auto http = platform::listen_tcp("127.0.0.1", 0, error);
  const auto peers = platform::listen_tcp("127.0.0.1", 0, error);
  NodeProcess node(dir_, "--bind 127.0.0.1 --rpc-port " + std::to_string(platform::local_port(http)) +
                             " --p2p-port " + std::to_string(platform::local_port(peers)));
  EXPECT_EQ(node.wait_exit(10000), 1);
  EXPECT_NE(node.output().find("[NODO] Avvio interrotto"), std::string::npos) << node.output();
  EXPECT_FALSE(fs::exists(data() / "blocks.dat"));
  platform::close_socket(http);
  platform::close_socket(peers);
}

TEST_F(LedgerNodeTest, ADataDirectoryThatCannotBeWrittenStopsTheStart) {
  rozeve_test::SmallTmpfs disk(data(), "64k");
  ROZEVE_REQUIRE_TMPFS(disk);
  disk.fill();
  NodeProcess node(dir_, args());
  EXPECT_EQ(node.wait_exit(10000), 1);
  EXPECT_NE(node.output().find("La cartella dati data non e' scrivibile"), std::string::npos)
      << node.output();
  // The lock file is the one file the start made, and the refusal says so.
  EXPECT_NE(node.output().find("nessun file di dati e' stato modificato (creato solo il file di "
                               "blocco data/LOCK)."),
            std::string::npos)
      << node.output();
  EXPECT_EQ(node.output().find("Genesis Block creato"), std::string::npos);
  EXPECT_FALSE(fs::exists(data() / "state.json"));
  // Refused again with the lock already there: nothing created this time.
  NodeProcess again(dir_, args());
  EXPECT_EQ(again.wait_exit(10000), 1);
  EXPECT_NE(again.output().find("Avvio interrotto: nessun file di dati e' stato modificato.\n"),
            std::string::npos)
      << again.output();
}

// Room for the genesis block but not for the state beside it: the block
// is taken out again and the start says so; with room, the next start
// makes the chain.
TEST_F(LedgerNodeTest, AGenesisWhoseStateCannotBeSavedLeavesNoChain) {
  rozeve_test::SmallTmpfs disk(data(), "64k");
  ROZEVE_REQUIRE_TMPFS(disk);
  disk.fill();
  const fs::path filler = data() / "filler";
  fs::resize_file(filler, fs::file_size(filler) - 6 * 1024);
  {
    NodeProcess node(dir_, args());
    EXPECT_EQ(node.wait_exit(10000), 1);
    const std::string console = node.output();
    EXPECT_NE(console.find("[INIT] Impossibile creare il blocco Genesis: data/state.json non si lascia "
                           "scrivere. Il blocco Genesis e' stato tolto da data/blocks.dat: nessuna "
                           "catena creata.\n"),
              std::string::npos)
        << console;
    EXPECT_EQ(console.find("operazione annullata"), std::string::npos) << console;
    EXPECT_EQ(console.find("Genesis Block creato"), std::string::npos) << console;
    EXPECT_TRUE(!fs::exists(data() / "blocks.dat") || fs::file_size(data() / "blocks.dat") == 0);
    EXPECT_FALSE(fs::exists(data() / "state.json"));
  }
  disk.unfill();
  NodeProcess node(dir_, args());
  ASSERT_TRUE(node.wait_for_output(rozeve_test::kNodeRunning)) << node.output();
  EXPECT_NE(node.output().find("Genesis Block creato"), std::string::npos) << node.output();
  node.type_line();
  EXPECT_EQ(node.wait_exit(10000), 0);
  EXPECT_EQ(rozeve_test::split_lines(read_text(data() / "blocks.dat")).size(), 1u);
}

TEST_F(LedgerNodeTest, TheStateCatchesUpWithTheLogAtStart) {
  const rozeve_test::EthKey alice(0x14);
  std::string before_transfers;
  State live;
  {
    NodeProcess node(dir_, args());
    ASSERT_TRUE(node.wait_for_output(kRunning)) << node.output();
    welcome(alice.address());
    before_transfers = read_text(data() / "state.json");
    for (uint64_t nonce = 0; nonce < 3; ++nonce) {
      const std::string sent = send_coin(alice, nonce);
      ASSERT_NE(sent.find("\"result\":\"0x"), std::string::npos) << sent;
    }
    live = saved_state();
    node.type_line();
    ASSERT_EQ(node.wait_exit(3000), 0);
  }
  // As after a crash between a block and its state save.
  std::ofstream(data() / "state.json", std::ios::binary | std::ios::trunc) << before_transfers;
  NodeProcess node(dir_, args());
  ASSERT_TRUE(node.wait_for_output(kRunning)) << node.output();
  // The welcome credit came after the last checkpoint too.
  EXPECT_NE(node.output().find("[INIT] Applicati 3 blocchi di data/blocks.dat e 1 righe di "
                               "data/credits.dat non inclusi in data/state.json"),
            std::string::npos)
      << node.output();
  const State caught_up = saved_state();
  EXPECT_EQ(caught_up.balances, live.balances);
  EXPECT_EQ(caught_up.nonces, live.nonces);
  // The next transfer takes the next nonce, not a reused one.
  const std::string sent = send_coin(alice, 2);
  EXPECT_NE(sent.find("Nonce non valido (atteso: 3, fornito: 2)"), std::string::npos) << sent;
  node.signal("TERM");
  EXPECT_EQ(node.wait_exit(3000), 0);

  // Without state.json the start rebuilds it from block 0 and refills the pool.
  fs::remove(data() / "state.json");
  const std::string genesis_line = rozeve_test::split_lines(read_text(data() / "blocks.dat")).at(0);
  std::ofstream(data() / "blocks.dat", std::ios::binary | std::ios::trunc) << genesis_line << "\n";
  NodeProcess rebuilt(dir_, args());
  ASSERT_TRUE(rebuilt.wait_for_output(kRunning)) << rebuilt.output();
  EXPECT_NE(rebuilt.output().find("[INIT] Stato ricostruito: applicati 1 blocchi"), std::string::npos)
      << rebuilt.output();
  EXPECT_EQ(saved_state().get_balance(ZezozuRiziv::kRewardPoolAddress), 500'000 * kCoin);
  rebuilt.signal("TERM");
  EXPECT_EQ(rebuilt.wait_exit(3000), 0);
}

TEST_F(LedgerNodeTest, WithoutStateJsonTheLogsRebuildTheSameState) {
  const rozeve_test::EthKey alice(0x15);
  const std::string bob = "0x00000000000000000000000000000000000000b0";
  const auto get = [this](const std::string& target) { return rozeve_test::curl_get(rpc_port_, target); };
  {
    NodeProcess node(dir_, args());
    ASSERT_TRUE(node.wait_for_output(kRunning)) << node.output();
    welcome(alice.address());
    EXPECT_NE(get("/api/fund?addr=" + bob + "&amt=3000").find("\"status\":\"ok\""), std::string::npos);
    EXPECT_NE(get("/api/stake?addr=" + bob + "&amt=1000").find("\"staked\":1000"), std::string::npos);
    EXPECT_NE(get("/api/unstake?addr=" + bob + "&amt=400").find("\"staked\":600"), std::string::npos);
    const std::string sent = send_coin(alice, 0);
    EXPECT_NE(sent.find("\"result\":\"0x"), std::string::npos) << sent;
    EXPECT_NE(get("/api/game/claim-ruz?addr=" + bob + "&source=WC&amount=1").find("\"tx_hash\""),
              std::string::npos);
    node.signal("TERM");
    ASSERT_EQ(node.wait_exit(3000), 0);
  }
  // Nothing was checkpointed since the first start: the commands read the
  // logs past it.
  const State logged = saved_state();
  EXPECT_EQ(logged.get_balance(bob), 2'400 * kCoin + 980'000);
  const std::string info = command("chain info").out;
  const std::string balance = command("wallet balance " + bob).out;
  EXPECT_NE(balance.find("Saldo Spendibile: 2400.980000 RUZ"), std::string::npos) << balance;
  EXPECT_NE(balance.find("Saldo in Staking: 600.000000 RUZ"), std::string::npos) << balance;

  fs::remove(data() / "state.json");
  EXPECT_EQ(command("chain info").out, info);
  EXPECT_EQ(command("wallet balance " + bob).out, balance);
  NodeProcess node(dir_, args());
  ASSERT_TRUE(node.wait_for_output(kRunning)) << node.output();
  EXPECT_NE(node.output().find("[INIT] Stato ricostruito: applicati 4 blocchi di data/blocks.dat e 3 "
                               "righe di data/credits.dat"),
            std::string::npos)
      << node.output();
  node.signal("TERM");
  ASSERT_EQ(node.wait_exit(3000), 0);
  const State rebuilt = saved_state();
  EXPECT_EQ(rebuilt.balances, logged.balances);
  EXPECT_EQ(rebuilt.staked, logged.staked);
  EXPECT_EQ(rebuilt.nonces, logged.nonces);
  EXPECT_TRUE(fs::exists(data() / "state.json"));
}

}  // namespace
