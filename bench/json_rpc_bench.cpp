// The JSON-RPC's own cost per request, without sockets: reading the request,
// answering it and writing the answer, for the calls a wallet makes most;
// and a batch of 1,000 balance queries on new wallets at 100,000 accounts,
// whose credits cost 1,000 lines of credits.dat and one sync (on disk and
// on /dev/shm).
//   json_rpc_bench [Google Benchmark flags]
#include <benchmark/benchmark.h>

#include <chrono>
#include <filesystem>
#include <memory>
#include <shared_mutex>
#include <string>
#include <vector>
#include <cstdio>

#include "chain/chain_lock.h"
#include "chain/mempool.h"
#include "chain/state.h"
#include "server/rpc_server.h"
#include "storage/storage.h"

namespace {

constexpr char kAddress[] = "0x00000000000000000000000000000000000000aa";

// A server object on a scratch data directory under `parent` holding one
// block, with the address already credited (reads write no file).
class Node {
 public:
  explicit Node(const std::filesystem::path& parent = std::filesystem::temp_directory_path())
      : dir_(parent / ("rozeve_json_rpc_bench_" +
                       std::to_string(std::chrono::steady_clock::now().time_since_epoch().count()))) {
    std::filesystem::remove_all(dir_);
    storage_ = std::make_unique<ZezozuRiziv::Storage>(dir_.string());
    (void)storage_->save_block(ZezozuRiziv::Block::create_genesis_block("RUZbench"));
    state_.balances[kAddress] = 100'000'000;
    ZezozuRiziv::ServerOptions options;
    options.dapp_dir = (dir_ / "dapp").string();
    server_ = std::make_unique<ZezozuRiziv::RPCServer>(state_, mempool_, *storage_, chain_lock_, 0,
                                                       202677, options);
  }
  ~Node() {
    server_.reset();
    storage_.reset();
    std::filesystem::remove_all(dir_);
  }
  ZezozuRiziv::RPCServer& server() { return *server_; }
  ZezozuRiziv::State& state() { return state_; }
  ZezozuRiziv::Storage& storage() { return *storage_; }

 private:
  std::filesystem::path dir_;
  ZezozuRiziv::State state_;
  ZezozuRiziv::Mempool mempool_;
  ZezozuRiziv::ChainLock chain_lock_;
  std::unique_ptr<ZezozuRiziv::Storage> storage_;
  std::unique_ptr<ZezozuRiziv::RPCServer> server_;
};

Node& node() {
  static Node instance;
  return instance;
}

std::string request(int id, const std::string& method, const std::string& params) {
  return "{\"jsonrpc\":\"2.0\",\"id\":" + std::to_string(id) + ",\"method\":\"" + method +
         "\",\"params\":" + params + "}";
}

void answer(benchmark::State& state, const std::string& body) {
  ZezozuRiziv::RPCServer& server = node().server();
  for (auto _ : state) benchmark::DoNotOptimize(server.process_json_rpc(body));
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * body.size()));
}

void BM_BlockNumber(benchmark::State& state) { answer(state, request(1, "eth_blockNumber", "[]")); }

void BM_GetBalance(benchmark::State& state) {
  answer(state, request(1, "eth_getBalance", std::string("[\"") + kAddress + "\",\"latest\"]"));
}

// What a wallet sends before a transfer, in one batch.
void BM_Batch10(benchmark::State& state) {
  const std::string address = std::string("\"") + kAddress + "\"";
  const std::string requests[] = {
      request(1, "eth_chainId", "[]"),
      request(2, "eth_blockNumber", "[]"),
      request(3, "eth_getBalance", "[" + address + ",\"latest\"]"),
      request(4, "eth_getTransactionCount", "[" + address + ",\"pending\"]"),
      request(5, "eth_gasPrice", "[]"),
      request(6, "eth_maxPriorityFeePerGas", "[]"),
      request(7, "eth_getBlockByNumber", "[\"latest\",false]"),
      request(8, "net_version", "[]"),
      request(9, "eth_estimateGas", "[{\"to\":" + address + ",\"value\":\"0x1\"}]"),
      request(10, "eth_feeHistory", "[\"0x1\",\"latest\",[50]]"),
  };
  std::string batch = "[";
  for (const std::string& one : requests) {
    if (batch.size() > 1) batch += ',';
    batch += one;
  }
  batch += ']';
  answer(state, batch);
}

// The ledger's size when the batch arrives.
constexpr size_t kAccounts = 100'000;
constexpr size_t kBatch = 1'000;

std::string address_number(uint64_t n) {
  char address[43];
  std::snprintf(address, sizeof address, "0x%040llx", static_cast<unsigned long long>(n));
  return address;
}

// 1,000 balance queries on addresses nobody holds: each credits 100 RUZ,
// and the request syncs its credit lines once before it answers. Arg 0: the data
// directory on disk (the temporary directory), 1: on /dev/shm.
void BM_FreshBalanceBatch1000(benchmark::State& state) {
  const bool in_memory = state.range(0) == 1;
  if (in_memory && !std::filesystem::is_directory("/dev/shm")) {
    state.SkipWithError("no /dev/shm here");
    return;
  }
  Node node(in_memory ? std::filesystem::path("/dev/shm") : std::filesystem::temp_directory_path());
  for (uint64_t i = 0; i < kAccounts; ++i) {
    node.state().balances[address_number(0x100000000ULL + i)] = 100'000'000;
  }
  (void)node.storage().save_state(node.state());
  uint64_t next = 1;
  std::vector<std::string> fresh;
  for (auto _ : state) {
    state.PauseTiming();
    // Back to 100,000 accounts, and 1,000 addresses never seen.
    for (const std::string& address : fresh) node.state().balances.erase(address);
    fresh.clear();
    std::string batch = "[";
    for (size_t i = 0; i < kBatch; ++i, ++next) {
      fresh.push_back(address_number(next));
      if (i > 0) batch += ',';
      batch += request(static_cast<int>(i), "eth_getBalance", "[\"" + fresh.back() + "\",\"latest\"]");
    }
    batch += ']';
    const uint64_t syncs = node.storage().log_syncs();
    state.ResumeTiming();

    const std::string answer = node.server().process_json_rpc(batch);

    state.PauseTiming();
    if (node.storage().log_syncs() != syncs + 1 || answer.find("error") != std::string::npos) {
      state.SkipWithError("the batch was not answered with one sync");
      break;
    }
    state.ResumeTiming();
  }
  state.counters["credits_bytes"] =
      static_cast<double>(std::filesystem::file_size(node.storage().credits_path()));
}

BENCHMARK(BM_BlockNumber);
BENCHMARK(BM_GetBalance);
BENCHMARK(BM_Batch10);
BENCHMARK(BM_FreshBalanceBatch1000)->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
