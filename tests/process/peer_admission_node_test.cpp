// A stranger's frames on the peer port of a real "rozeve node": forged
// spends from accounts the peer does not speak for, and fees that would
// mint through the split. Balances are read over the HTTP API, the files
// byte for byte.
#include <gtest/gtest.h>

#include <chrono>
#include <optional>
#include <string>
#include <thread>

#include "app_node_api_fixture.h"
#include "chain/block.h"
#include "chain/state.h"
#include "chain/tokenomics.h"
#include "chain/wallet.h"
#include "json_test_support.h"

namespace {

using rozeve_test::read_text;
using namespace ZezozuRiziv;

constexpr uint64_t kCoin = 1'000'000;
constexpr char kVictim[] = "0xabababababababababababababababababababab";
constexpr char kThief[] = "0xcdcdcdcdcdcdcdcdcdcdcdcdcdcdcdcdcdcdcdcd";
constexpr char kRefusedBlock[] = "[P2P] Blocco #1 dal peer rifiutato: ";
constexpr int kWaitMs = 10000;

class PeerAdmissionNodeTest : public rozeve_test::RunningNodeFixture {
 protected:
  std::string files() {
    return read_text(dir_ / "data" / "blocks.dat") + "|" + read_text(dir_ / "data" / "state.json");
  }
  std::string genesis_treasury() {
    const auto lines = rozeve_test::split_lines(read_text(dir_ / "data" / "blocks.dat"));
    const auto genesis = Block::deserialize(lines.at(0));
    return genesis ? genesis->transactions.at(0).recipient : "";
  }
  // A read that credits nothing (eth_getBalance welcomes an empty wallet).
  std::string balance_of(const std::string& address) {
    return rozeve_test::json_field(get("/api/explorer/address?addr=" + address), "balance_atomic");
  }
  State saved_state() {
    std::optional<StateTip> tip;
    return State::parse_saved(read_text(dir_ / "data" / "state.json"), tip).value_or(State());
  }
  // A peer's block on the node's tip: one transfer signed with any 64 hex digits.
  Block forged(const std::string& sender, const std::string& recipient, uint64_t amount,
               uint64_t fee, uint64_t nonce) {
    Transaction tx(TxType::TRANSFER, sender, recipient, amount, fee, nonce, 0);
    tx.signature = std::string(64, '7');
    const auto tip = rozeve_test::chain_tip(rpc_port_);
    EXPECT_TRUE(tip);
    Block block(tip ? tip->index + 1 : 0, tip ? tip->hash : "", kThief, {tx}, 0);
    block.seal("any key");
    return block;
  }
  // Polls the console until `text` has appeared `times` times.
  bool wait_for_count(const std::string& text, size_t times) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(kWaitMs);
    while (std::chrono::steady_clock::now() < deadline) {
      const std::string out = node_->output();
      size_t found = 0;
      for (size_t at = out.find(text); at != std::string::npos; at = out.find(text, at + 1)) ++found;
      if (found >= times) return true;
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return false;
  }
};

TEST_F(PeerAdmissionNodeTest, ForgedSpendsFromProtectedAccountsAreRefused) {
  start();
  const std::string welcome = rozeve_test::rpc_call(
      rpc_port_, "eth_getBalance", "[\"" + std::string(kVictim) + "\",\"latest\"]");
  ASSERT_NE(welcome.find("\"result\":\"0x56bc75e2d63100000\""), std::string::npos) << welcome;
  const std::string treasury = genesis_treasury();
  ASSERT_FALSE(treasury.empty());
  const std::string before = files();
  const uint64_t fee_of_99 = Tokenomics::calculate_fee_breakdown(99 * kCoin).total;

  const Block attacks[] = {
      forged(kVictim, kThief, 99 * kCoin, 1'000, 0),        // as the issue tells it
      forged(kVictim, kThief, 99 * kCoin, fee_of_99, 0),    // with the whole fee
      forged("0xABABABABABABABABABABABABABABABABABABABAB", kThief, 99 * kCoin, fee_of_99, 0),
      forged(treasury, kThief, 99 * kCoin, fee_of_99, 0),   // the genesis treasury
  };
  rozeve_test::PeerClient peer(p2p_port_);
  for (const Block& block : attacks) ASSERT_TRUE(peer.send_block(block));
  ASSERT_TRUE(wait_for_count(kRefusedBlock, std::size(attacks))) << node_->output();
  // The same spend as a transaction for the mempool.
  ASSERT_TRUE(peer.send_frame(3, attacks[0].transactions[0].serialize()));
  ASSERT_TRUE(node_->wait_for_output("[P2P] Transazione " + attacks[0].transactions[0].tx_hash +
                                     " dal peer rifiutata: "))
      << node_->output();

  EXPECT_EQ(files(), before);
  EXPECT_EQ(balance_of(kVictim), std::to_string(100 * kCoin));
  EXPECT_EQ(balance_of(kThief), "0");
  EXPECT_EQ(balance_of("0xABABABABABABABABABABABABABABABABABABABAB"), std::to_string(100 * kCoin));
  EXPECT_EQ(balance_of(treasury), std::to_string(20'500'000 * kCoin));
  EXPECT_EQ(saved_state().balances.count("0xABABABABABABABABABABABABABABABABABABABAB"), 0u);
  const std::string still = rozeve_test::rpc_call(
      rpc_port_, "eth_getBalance", "[\"" + std::string(kVictim) + "\",\"latest\"]");
  EXPECT_NE(still.find("\"result\":\"0x56bc75e2d63100000\""), std::string::npos) << still;
}

TEST_F(PeerAdmissionNodeTest, APeerTransferNeverChangesTheSupply) {
  start();
  const Wallet sender = Wallet::generate();
  ASSERT_TRUE(rozeve_test::faucet(rpc_port_, sender.address(), 5'000));
  const std::string before = files();
  const State at_start = saved_state();
  const uint64_t amount = 1'000 * kCoin;

  rozeve_test::PeerClient peer(p2p_port_);
  ASSERT_TRUE(peer.send_block(forged(sender.address(), kThief, amount, 1'000, 0)));
  ASSERT_TRUE(node_->wait_for_output(kRefusedBlock, kWaitMs)) << node_->output();
  EXPECT_EQ(files(), before);

  const uint64_t fee = Tokenomics::calculate_fee_breakdown(amount).total;
  ASSERT_TRUE(peer.send_block(forged(sender.address(), kThief, amount, fee, 0)));
  ASSERT_TRUE(node_->wait_for_output("[P2P] Sincronizzato blocco #1 ", kWaitMs)) << node_->output();
  const State after = saved_state();
  EXPECT_EQ(after.get_total_circulating(), at_start.get_total_circulating());
  EXPECT_EQ(after.get_total_staked(), at_start.get_total_staked());
  // The recipient is the validator too: the amount and the validator share.
  EXPECT_EQ(balance_of(kThief),
            std::to_string(amount + Tokenomics::calculate_fee_breakdown(amount).validator));
  EXPECT_EQ(balance_of(sender.address()), std::to_string(5'000 * kCoin - amount - fee));
}

}  // namespace
