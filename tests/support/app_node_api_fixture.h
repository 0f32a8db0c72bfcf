// A real "rozeve node" on a fresh data directory and free ports of
// 127.0.0.1, asked as curl asks: GET and POST.
#pragma once

#include <memory>
#include <string>

#include "app_node_process.h"
#include "chain/block.h"
#include "node_client_support.h"

namespace rozeve_test {

// A real node on free 127.0.0.1 ports in the fixture's scratch directory,
// started and stopped by the test (so that it can restart it), and stopped
// at the end if it still runs.
class RunningNodeFixture : public BinaryFixture {
 protected:
  void start() {
    node_ = std::make_unique<NodeProcess>(dir_, local_node_args(rpc_port_, p2p_port_));
    ASSERT_TRUE(node_->wait_for_output(kNodeRunning)) << node_->output();
  }
  void stop() {
    node_->type_line();
    EXPECT_EQ(node_->wait_exit(5000), 0);
    node_.reset();
  }
  void TearDown() override {
    if (node_) stop();
    BinaryFixture::TearDown();
  }
  std::string get(const std::string& target) { return curl_get(rpc_port_, target); }
  std::string post(const std::string& path, const std::string& form) {
    return curl_post(rpc_port_, path, form);
  }

  uint16_t rpc_port_ = 0;
  uint16_t p2p_port_ = 0;
  std::unique_ptr<NodeProcess> node_;
};

class NodeApiTest : public BinaryFixture {
 protected:
  void SetUp() override {
    BinaryFixture::SetUp();
    rpc_port_ = free_port();
    const uint16_t p2p_port = free_port();
    node_ = std::make_unique<NodeProcess>(
        dir_, "--bind 127.0.0.1 --rpc-port " + std::to_string(rpc_port_) + " --p2p-port " +
                  std::to_string(p2p_port));
    ASSERT_TRUE(node_->wait_for_output(kNodeRunning)) << node_->output();
    const auto lines = split_lines(read_text(dir_ / "data" / "blocks.dat"));
    ASSERT_EQ(lines.size(), 1u);
    genesis_text_ = lines[0];
    const auto genesis = ZezozuRiziv::Block::deserialize(genesis_text_);
    ASSERT_TRUE(genesis.has_value());
    genesis_ = *genesis;
    treasury_ = genesis_.transactions.at(0).recipient;
  }
  void TearDown() override {
    node_->type_line();
    EXPECT_EQ(node_->wait_exit(5000), 0);
    node_.reset();
    BinaryFixture::TearDown();
  }

  std::string curl_get(const std::string& target) { return rozeve_test::curl_get(rpc_port_, target); }
  std::string curl_post(const std::string& path, const std::string& form) {
    return rozeve_test::curl_post(rpc_port_, path, form);
  }

  uint16_t rpc_port_ = 0;
  std::unique_ptr<NodeProcess> node_;
  std::string genesis_text_;
  ZezozuRiziv::Block genesis_;
  std::string treasury_;
};

}  // namespace rozeve_test
