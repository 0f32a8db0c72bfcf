// A node's HTTP server on 127.0.0.1 and a plain socket client for it.
#pragma once

#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>
#include <shared_mutex>
#include <string>
#include <thread>
#include <vector>

#include "chain/block.h"
#include "chain/chain_lock.h"
#include "chain/mempool.h"
#include "chain/state.h"
#include "chain/transaction.h"
#include "platform/socket.h"
#include "server/rpc_server.h"
#include "storage/ledger.h"
#include "storage/storage.h"

namespace rozeve_test {

inline constexpr int kClientTimeoutMs = 5000;

// One connection to the server under test.
class Client {
 public:
  explicit Client(uint16_t port) : socket_(platform::connect_tcp("127.0.0.1", port, 2000)) {}
  ~Client() { platform::close_socket(socket_); }
  Client(const Client&) = delete;
  Client& operator=(const Client&) = delete;

  bool connected() const { return socket_ != platform::kInvalidSocket; }
  bool send(std::string_view bytes) { return platform::send_all(socket_, bytes, kClientTimeoutMs); }
  // Half-closes: the server sees the end of the request stream.
  void finish_sending() { platform::shutdown_sending(socket_); }

  // Everything until the server closes, or what came within the time-out.
  std::string read_all(int timeout_ms = kClientTimeoutMs) {
    std::string out;
    char buffer[65536];
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
    while (true) {
      const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
          deadline - std::chrono::steady_clock::now());
      if (left.count() <= 0) break;
      const long n = platform::receive(socket_, buffer, sizeof buffer, static_cast<int>(left.count()));
      if (n <= 0) break;
      out.append(buffer, static_cast<size_t>(n));
    }
    return out;
  }

  // True when nothing arrives and the server has not closed within `ms`.
  bool silent_for(int ms) {
    char byte;
    return platform::receive(socket_, &byte, 1, ms) == platform::kWouldBlock;
  }

 private:
  platform::SocketHandle socket_;
};

inline std::string read_file_text(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

// The state a restart rebuilds from the files: state.json and the logs.
inline ZezozuRiziv::State saved_state(ZezozuRiziv::Storage& storage) {
  ZezozuRiziv::Storage reopened(storage.data_dir());
  ZezozuRiziv::State saved;
  ZezozuRiziv::CatchUpReport report;
  EXPECT_TRUE(ZezozuRiziv::Ledger(reopened, saved).load_and_catch_up(report).ok);
  return saved;
}

// The body of an HTTP answer (after the blank line).
inline std::string body_of(const std::string& answer) {
  const size_t end = answer.find("\r\n\r\n");
  return end == std::string::npos ? "" : answer.substr(end + 4);
}

class ServerFixture : public ::testing::Test {
 protected:
  void SetUp() override {
    const auto* info = ::testing::UnitTest::GetInstance()->current_test_info();
    root_ = std::filesystem::temp_directory_path() /
            ("rozeve_server_" + std::string(info->name()) + "_" +
             std::to_string(std::chrono::steady_clock::now().time_since_epoch().count()));
    std::filesystem::create_directories(root_ / "dapp");
    storage_ = std::make_unique<ZezozuRiziv::Storage>((root_ / "data").string());
    options_.bind_address = "127.0.0.1";
    options_.dapp_dir = (root_ / "dapp").string();
    options_.worker_count = 4;
  }

  void TearDown() override {
    server_.reset();
    storage_.reset();
    std::filesystem::remove_all(root_);
  }

  ZezozuRiziv::RPCServer& start_server() {
    server_ = std::make_unique<ZezozuRiziv::RPCServer>(state_, mempool_, *storage_, chain_lock_, 0,
                                                       202677, options_, clock_);
    EXPECT_TRUE(server_->start());
    return *server_;
  }

  uint16_t port() const { return server_->bound_port(); }

  // One request, the whole answer.
  std::string exchange(std::string_view request) {
    Client client(port());
    EXPECT_TRUE(client.connected());
    client.send(request);
    return client.read_all();
  }

  // The block log as the node would have written it; call before start_server.
  void write_chain(const std::vector<ZezozuRiziv::Block>& blocks) {
    std::ofstream out(root_ / "data" / "blocks.dat", std::ios::binary | std::ios::trunc);
    for (const auto& block : blocks) out << block.serialize() << '\n';
  }

  // GET of a path, the answer's body.
  std::string get(const std::string& target) {
    return body_of(exchange("GET " + target + " HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n"));
  }

  // A form-encoded POST of a path, the answer's body.
  std::string post(const std::string& path, const std::string& form) {
    return body_of(exchange("POST " + path +
                            " HTTP/1.1\r\nHost: 127.0.0.1\r\nContent-Type: "
                            "application/x-www-form-urlencoded\r\nContent-Length: " +
                            std::to_string(form.size()) + "\r\n\r\n" + form));
  }

  void write_page(const std::string& relative, const std::string& content) {
    const auto path = root_ / "dapp" / relative;
    std::filesystem::create_directories(path.parent_path());
    std::ofstream(path, std::ios::binary) << content;
  }

  std::filesystem::path root_;
  ZezozuRiziv::ServerOptions options_;
  // The server's clock; null: the system clock. Set before start_server.
  std::shared_ptr<const ZezozuRiziv::GameClock> clock_;
  ZezozuRiziv::State state_;
  ZezozuRiziv::Mempool mempool_;
  ZezozuRiziv::ChainLock chain_lock_;
  std::unique_ptr<ZezozuRiziv::Storage> storage_;
  std::unique_ptr<ZezozuRiziv::RPCServer> server_;
};

// A transaction with a fixed time (0 stays 0: "no time of its own"), signed
// with a fixed key so that every run builds the same bytes.
inline ZezozuRiziv::Transaction fixture_tx(ZezozuRiziv::TxType type, const std::string& sender,
                                           const std::string& recipient, uint64_t amount,
                                           uint64_t fee, uint64_t nonce, uint64_t timestamp) {
  ZezozuRiziv::Transaction tx(type, sender, recipient, amount, fee, nonce, 1);
  tx.timestamp = timestamp;
  tx.sign("fixture_key");
  return tx;
}

// A block after `previous`, sealed with the empty key as the node seals its own.
inline ZezozuRiziv::Block fixture_block(const ZezozuRiziv::Block& previous,
                                        const std::string& validator,
                                        std::vector<ZezozuRiziv::Transaction> txs,
                                        uint64_t timestamp) {
  ZezozuRiziv::Block block(previous.index + 1, previous.block_hash, validator, txs, timestamp);
  block.seal("");
  return block;
}

}  // namespace rozeve_test
