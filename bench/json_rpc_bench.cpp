// The JSON-RPC's own cost per request, without sockets: reading the request,
// answering it and writing the answer, for the calls a wallet makes most.
//   json_rpc_bench [Google Benchmark flags]
#include <benchmark/benchmark.h>

#include <chrono>
#include <filesystem>
#include <memory>
#include <shared_mutex>
#include <string>

#include "chain/mempool.h"
#include "chain/state.h"
#include "server/rpc_server.h"
#include "storage/storage.h"

namespace {

constexpr char kAddress[] = "0x00000000000000000000000000000000000000aa";

// A server object on a scratch data directory holding one block, with the
// address already credited (reads only, no file writes while measuring).
class Node {
 public:
  Node()
      : dir_(std::filesystem::temp_directory_path() /
             ("rozeve_json_rpc_bench_" +
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

 private:
  std::filesystem::path dir_;
  ZezozuRiziv::State state_;
  ZezozuRiziv::Mempool mempool_;
  std::shared_mutex chain_lock_;
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

BENCHMARK(BM_BlockNumber);
BENCHMARK(BM_GetBalance);
BENCHMARK(BM_Batch10);

}  // namespace

BENCHMARK_MAIN();
