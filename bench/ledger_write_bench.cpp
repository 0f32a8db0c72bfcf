// What a ledger write costs as the state grows, on the disk of the temporary
// directory: signed wallet transfers from 32 senders at once, and welcome
// credits of new wallets from 32 clients at once, answered by the JSON-RPC
// in-process at 1,000 and at 100,000 accounts. Each figure is taken twice in
// the same run: with the logs and the background checkpoint (the node's
// way), and with the checkpoint written on every change (state.json
// rewritten per change, as before the logs). Only correct answers count.
//   ledger_write_bench [transfers per sender] [welcome credits per client]
#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <iostream>
#include <memory>
#include <shared_mutex>
#include <string>
#include <thread>
#include <vector>

#include "chain/accounts.h"
#include "chain/mempool.h"
#include "chain/state.h"
#include "eth_signing_support.h"
#include "server/rpc_server.h"
#include "storage/checkpointer.h"
#include "storage/ledger.h"
#include "storage/storage.h"

namespace fs = std::filesystem;
using namespace ZezozuRiziv;

namespace {

constexpr int kClients = 32;
constexpr uint64_t kFunding = 1'000'000ULL * kAtomicPerCoin;
constexpr unsigned __int128 kTransferWei = static_cast<unsigned __int128>(10'000) * 1'000'000'000'000ULL;
constexpr char kRecipient[] = "0x3535353535353535353535353535353535353535";

std::string address_number(uint64_t n) {
  char address[43];
  std::snprintf(address, sizeof address, "0x%040llx", static_cast<unsigned long long>(n));
  return address;
}

std::string request(const std::string& method, const std::string& params) {
  return "{\"jsonrpc\":\"2.0\",\"id\":1,\"method\":\"" + method + "\",\"params\":" + params + "}";
}

// A node's ledger and JSON-RPC on a fresh data directory: the genesis block,
// `accounts` accounts in all (the senders among them), a checkpoint.
class Node {
 public:
  Node(uint64_t accounts, bool checkpoint_every_change, const std::vector<std::string>& senders)
      : dir_(fs::temp_directory_path() /
             ("rozeve_ledger_write_bench_" +
              std::to_string(std::chrono::steady_clock::now().time_since_epoch().count()))) {
    storage_ = std::make_unique<Storage>((dir_ / "data").string());
    CommittedBlock genesis;
    ok_ = Ledger(*storage_, state_).commit_genesis("RUZbench", genesis).ok;
    for (const std::string& sender : senders) state_.balances[sender] = kFunding;
    for (uint64_t i = state_.balances.size(); i < accounts; ++i) {
      state_.balances[address_number(0x100000000ULL + i)] = 100'000'000;
    }
    ok_ = ok_ && storage_->save_state(state_);
    storage_->set_checkpoint_every_change(checkpoint_every_change);
    ServerOptions options;
    options.dapp_dir = (dir_ / "dapp").string();
    server_ = std::make_unique<RPCServer>(state_, mempool_, *storage_, chain_lock_, 0, 202677, options);
    if (!checkpoint_every_change) {
      checkpointer_ = std::make_unique<Checkpointer>(*storage_, state_, chain_lock_);
    }
  }
  ~Node() {
    checkpointer_.reset();
    server_.reset();
    storage_.reset();
    std::error_code ec;
    fs::remove_all(dir_, ec);
  }
  bool ok() const { return ok_; }
  RPCServer& server() { return *server_; }
  Storage& storage() { return *storage_; }

 private:
  fs::path dir_;
  State state_;
  Mempool mempool_;
  ChainLock chain_lock_;
  std::unique_ptr<Storage> storage_;
  std::unique_ptr<RPCServer> server_;
  std::unique_ptr<Checkpointer> checkpointer_;
  bool ok_ = false;
};

struct Figures {
  double per_second = 0;
  double p50_ms = 0;
  double p99_ms = 0;
  uint64_t correct = 0;
  uint64_t state_saves = 0;
  uint64_t log_syncs = 0;
};

// Sends each client's requests in order from its own thread; an answer
// counts when it holds `expected`.
Figures run_clients(Node& node, const std::vector<std::vector<std::string>>& requests,
                    const std::string& expected) {
  std::vector<std::vector<double>> latencies(requests.size());
  std::atomic<uint64_t> correct{0};
  const uint64_t saves = node.storage().state_saves();
  const uint64_t syncs = node.storage().log_syncs();
  const auto start = std::chrono::steady_clock::now();
  std::vector<std::thread> clients;
  for (size_t c = 0; c < requests.size(); ++c) {
    clients.emplace_back([&, c] {
      for (const std::string& body : requests[c]) {
        const auto sent = std::chrono::steady_clock::now();
        const std::string answer = node.server().process_json_rpc(body);
        latencies[c].push_back(
            std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - sent).count());
        if (answer.find(expected) != std::string::npos) correct.fetch_add(1);
      }
    });
  }
  for (std::thread& client : clients) client.join();
  const double seconds =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  std::vector<double> all;
  for (const auto& one : latencies) all.insert(all.end(), one.begin(), one.end());
  std::sort(all.begin(), all.end());
  Figures figures;
  figures.correct = correct.load();
  figures.per_second = static_cast<double>(figures.correct) / seconds;
  if (!all.empty()) {
    figures.p50_ms = all[all.size() / 2];
    figures.p99_ms = all[std::min(all.size() - 1, all.size() * 99 / 100)];
  }
  figures.state_saves = node.storage().state_saves() - saves;
  figures.log_syncs = node.storage().log_syncs() - syncs;
  return figures;
}

Figures transfers(uint64_t accounts, bool every_change, int per_sender,
                  const std::vector<rozeve_test::EthKey>& keys) {
  std::vector<std::string> senders;
  for (const auto& key : keys) senders.push_back(key.address());
  Node node(accounts, every_change, senders);
  if (!node.ok()) return {};
  std::vector<std::vector<std::string>> requests(keys.size());
  for (size_t c = 0; c < keys.size(); ++c) {
    for (int n = 0; n < per_sender; ++n) {
      requests[c].push_back(request(
          "eth_sendRawTransaction",
          "[\"" + keys[c].legacy_transfer(static_cast<uint64_t>(n), kRecipient, kTransferWei) + "\"]"));
    }
  }
  return run_clients(node, requests, "\"result\":\"0x");
}

Figures welcomes(uint64_t accounts, bool every_change, int per_client) {
  Node node(accounts, every_change, {});
  if (!node.ok()) return {};
  std::vector<std::vector<std::string>> requests(kClients);
  uint64_t next = 1;
  for (auto& client : requests) {
    for (int n = 0; n < per_client; ++n) {
      client.push_back(request("eth_getBalance", "[\"" + address_number(next++) + "\",\"latest\"]"));
    }
  }
  return run_clients(node, requests, "\"result\":\"0x56bc75e2d63100000\"");
}

void print(const std::string& name, uint64_t accounts, bool every_change, const Figures& f) {
  std::printf("%-10s %8llu accounts  %-22s %8.0f/s  p50 %7.2f ms  p99 %7.2f ms  ok %6llu  "
              "state.json writes %5llu  log syncs %5llu\n",
              name.c_str(), static_cast<unsigned long long>(accounts),
              every_change ? "checkpoint per change" : "logs + checkpoint", f.per_second, f.p50_ms,
              f.p99_ms, static_cast<unsigned long long>(f.correct),
              static_cast<unsigned long long>(f.state_saves),
              static_cast<unsigned long long>(f.log_syncs));
  std::fflush(stdout);
}

}  // namespace

int main(int argc, char** argv) {
  const int per_sender = argc > 1 ? std::atoi(argv[1]) : 100;
  const int per_client = argc > 2 ? std::atoi(argv[2]) : 100;
  // The per-change path rewrites the whole state each time: fewer requests.
  constexpr int kSlowPerClient = 10;
  std::cout << "data directories under " << fs::temp_directory_path().string() << ", " << kClients
            << " clients\n";
  std::vector<rozeve_test::EthKey> keys;
  for (int c = 0; c < kClients; ++c) keys.emplace_back(static_cast<uint8_t>(0x40 + c));

  Figures small_new{}, large_new{};
  for (const uint64_t accounts : {1'000ULL, 100'000ULL}) {
    for (const bool every_change : {true, false}) {
      const Figures f = transfers(accounts, every_change,
                                  every_change ? kSlowPerClient : per_sender, keys);
      print("transfers", accounts, every_change, f);
      if (!every_change) (accounts == 1'000 ? small_new : large_new) = f;
    }
  }
  if (small_new.per_second > 0) {
    std::printf("transfers at 100,000 accounts / at 1,000 accounts (logs): %.0f%%\n",
                100.0 * large_new.per_second / small_new.per_second);
  }
  for (const bool every_change : {true, false}) {
    print("welcome", 100'000, every_change,
          welcomes(100'000, every_change, every_change ? kSlowPerClient : per_client));
  }
  return 0;
}
