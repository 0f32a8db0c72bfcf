// The running node against hostile peers at full size: frames that would
// cost memory, and silent connections that would hold every slot.
#include <gtest/gtest.h>

#include <chrono>
#include <fstream>
#include <memory>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "app_node_process.h"
#include "chain/wallet.h"
#include "node_client_support.h"
#include "p2p/p2p_node.h"

namespace {

using rozeve_test::NodeProcess;
using rozeve_test::PeerClient;

constexpr char kRecipient[] = "0x3535353535353535353535353535353535353535";
constexpr char kPeerValidator[] = "0x4444444444444444444444444444444444444444";
// The node may grow by less than this above its resident size at start.
constexpr uint64_t kMaxGrowthBytes = 64ULL << 20;
// A real peer must get a block in within this, whatever holds the slots.
constexpr auto kLockOutLimit = std::chrono::seconds(60);

class PeerLimitsTest : public rozeve_test::BinaryFixture {
 protected:
  void start() {
    node_ = std::make_unique<NodeProcess>(
        dir_, "--daemon " + rozeve_test::local_node_args(rpc_port_, p2p_port_));
    ASSERT_TRUE(node_->wait_for_output("[NODO IN MODALITA DAEMON]")) << node_->output();
    pid_ = rozeve_test::read_text(dir_ / "node.pid");
    while (!pid_.empty() && (pid_.back() == '\n' || pid_.back() == '\r')) pid_.pop_back();
    ASSERT_TRUE(rozeve_test::faucet(rpc_port_, sender_.address(), 100));
  }
  void TearDown() override {
    if (node_) {
      node_->signal("TERM");
      EXPECT_EQ(node_->wait_exit(5000), 0);
    }
    BinaryFixture::TearDown();
  }
  // A figure of /proc/<pid>/status ("VmRSS", "VmHWM" in bytes; "Threads").
  uint64_t status(const std::string& key) {
    std::ifstream in("/proc/" + pid_ + "/status");
    std::string line;
    while (std::getline(in, line)) {
      if (line.rfind(key + ":", 0) != 0) continue;
      std::istringstream fields(line.substr(key.size() + 1));
      uint64_t value = 0;
      std::string unit;
      fields >> value >> unit;
      return unit == "kB" ? value * 1024 : value;
    }
    return 0;
  }
  bool threads_reach(uint64_t count) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (std::chrono::steady_clock::now() < deadline) {
      if (status("Threads") >= count) return true;
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return false;
  }
  ZezozuRiziv::Block next_block() {
    const auto tip = rozeve_test::chain_tip(rpc_port_);
    EXPECT_TRUE(tip);
    return rozeve_test::peer_transfer_block(tip.value_or(rozeve_test::ChainTip{}), sender_.address(),
                                            kRecipient, 10'000, 0, kPeerValidator);
  }

  // A native account: what a peer may spend from.
  ZezozuRiziv::Wallet sender_ = ZezozuRiziv::Wallet::generate();
  std::unique_ptr<NodeProcess> node_;
  std::string pid_;
  uint16_t rpc_port_ = 0, p2p_port_ = 0;
};

TEST_F(PeerLimitsTest, FramesThatWouldCostMemoryCostLittle) {
  start();
  const uint64_t at_start = status("VmRSS");
  ASSERT_GT(at_start, 0u);
  {
    // 8 MiB of empty records: four million transactions if they were built.
    std::string payload = "{\"transactions\":[";
    while (payload.size() + 3 + 4 <= ZezozuRiziv::kMaxP2PPayloadBytes) payload += "{},";
    payload += "{}]}";
    PeerClient flood(p2p_port_);
    ASSERT_TRUE(flood.send_frame(4, payload));
    ASSERT_TRUE(flood.send_block(next_block()));  // handled after the flood
    ASSERT_TRUE(node_->wait_for_output("[P2P] Sincronizzato blocco #1 ")) << node_->output();
  }
  // 128 connections each announcing the largest frame and sending a little.
  const uint64_t threads = status("Threads");
  std::vector<std::unique_ptr<PeerClient>> announcers;
  std::string header = "RUZ1";
  header += '\0';
  header += '\4';
  for (int shift = 24; shift >= 0; shift -= 8) {
    header += static_cast<char>((ZezozuRiziv::kMaxP2PPayloadBytes >> shift) & 0xff);
  }
  for (size_t i = 0; i < ZezozuRiziv::kMaxPeerConnections; ++i) {
    announcers.push_back(std::make_unique<PeerClient>(p2p_port_));
    ASSERT_TRUE(announcers.back()->send_raw(header + "{\"index\":"));
  }
  ASSERT_TRUE(threads_reach(threads + ZezozuRiziv::kMaxPeerConnections - 1));
  const uint64_t peak = status("VmHWM");
  EXPECT_LT(peak, at_start + kMaxGrowthBytes) << "start " << at_start << ", peak " << peak;
  RecordProperty("rss_start_bytes", static_cast<int>(at_start));
  RecordProperty("rss_peak_bytes", static_cast<int>(peak));
}

TEST_F(PeerLimitsTest, SilentConnectionsKeepARealPeerOutForLessThanAMinute) {
  start();
  const uint64_t threads = status("Threads");
  std::vector<std::unique_ptr<PeerClient>> silent;
  for (size_t i = 0; i < ZezozuRiziv::kMaxPeerConnections; ++i) {
    silent.push_back(std::make_unique<PeerClient>(p2p_port_));
    ASSERT_TRUE(silent.back()->connected());
  }
  ASSERT_TRUE(threads_reach(threads + ZezozuRiziv::kMaxPeerConnections));
  const auto started = std::chrono::steady_clock::now();
  const ZezozuRiziv::Block block = next_block();
  bool accepted = false;
  while (!accepted && std::chrono::steady_clock::now() - started < kLockOutLimit) {
    // A real peer connects, sends its block and waits a little for it.
    PeerClient peer(p2p_port_);
    if (peer.connected() && peer.send_block(block)) {
      accepted = node_->wait_for_output("[P2P] Sincronizzato blocco #1 ", 1000);
    }
  }
  EXPECT_TRUE(accepted) << node_->output();
  RecordProperty("seconds_locked_out",
                 static_cast<int>(std::chrono::duration_cast<std::chrono::seconds>(
                                      std::chrono::steady_clock::now() - started)
                                      .count()));
}

}  // namespace
