// The node's HTTP port: the JSON API under "/api/", the Ethereum JSON-RPC
// and the static pages. The transport (server/http_transport.h) reads each
// request; this class dispatches it: pages first, then the route table
// (server/router.h), then the JSON-RPC for everything else.
//
// Owns the game engine (built in the constructor, before the port accepts;
// destroyed after the transport has stopped) and the records the JSON-RPC
// and the routes share.
#pragma once

#include <cstdint>
#include <memory>
#include <shared_mutex>
#include <string>
#include <string_view>
#include <unordered_map>

#include "chain/chain_lock.h"
#include "chain/mempool.h"
#include "chain/state.h"
#include "game/engine/game_engine.h"
#include "game/model/game_clock.h"
#include "platform/thread_annotations.h"
#include "server/faucet.h"
#include "server/http_transport.h"
#include "server/router.h"
#include "storage/storage.h"

namespace ZezozuRiziv {

class RPCServer {
 public:
  using Clock = HttpTransport::Clock;

  struct CachedStaticAsset {
    // Shared so that an answer can go out after the cache lock is released.
    std::shared_ptr<const std::string> content;
    int64_t modified_ns = 0;  // the file's modification time when it was read
  };

  // One transfer accepted through eth_sendRawTransaction.
  struct StoredEvmTx {
    std::string hash;  // "0x" + 64 hex digits of keccak-256 of the raw bytes
    std::string from;  // the recovered signer, as keyed in the state
    std::string to;
    uint64_t value = 0;  // net atomic units credited to `to`
    uint64_t nonce = 0;
    uint64_t block_number = 0;
    std::string block_hash;  // "0x" + the block's hash
    uint64_t timestamp = 0;
    std::string signature;  // the wallet's r, s and v, as the native record keeps them
  };

  // Builds the game engine on the storage's data directory and loads the
  // block cache, so the first request pays no disk read. The chain lock
  // belongs to the caller and must outlive the server. `clock` is the time
  // of the game and of the routes (null: the system clock).
  RPCServer(State& state, Mempool& mempool, Storage& storage, ChainLock& chain_lock,
            uint16_t port, uint64_t chain_id, ServerOptions options = {},
            std::shared_ptr<const GameClock> clock = nullptr);
  // Stops the server if it still runs.
  ~RPCServer();
  RPCServer(const RPCServer&) = delete;
  RPCServer& operator=(const RPCServer&) = delete;

  // Starts the transport and prints the two start-up lines. False, with one
  // console line, when the port cannot be opened. True at once when running.
  bool start();
  // Stops accepting and waits for every thread of the transport. Harmless twice.
  void stop();
  bool running() const { return transport_.running(); }
  // The port actually listened on; 0 before start.
  uint16_t bound_port() const { return transport_.bound_port(); }

  static size_t default_worker_count(unsigned hardware_threads) {
    return HttpTransport::default_worker_count(hardware_threads);
  }
  size_t worker_count() const { return transport_.worker_count(); }

  // The faucet credit (server/faucet.h): min(coins, 10,000) whole coins
  // minted to `address`, saved, and a console line. Takes the chain lock
  // exclusively: REQUIRES the caller not to hold it.
  [[nodiscard]] LedgerResult fund_metamask_account(const std::string& address, uint64_t coins,
                                                   FundReceipt& receipt) EXCLUDES(chain_lock);

  // The answer text to one JSON-RPC request (or batch).
  std::string process_json_rpc(const std::string& body);
  // The batch of one request's ledger changes, opened without the chain lock.
  RequestBatch open_batch() const EXCLUDES(chain_lock) { return route_context_.open_batch(); }

  // Sends the file when it exists and is a regular file; false when nothing
  // was sent. Files are cached in RAM by path and modification time.
  [[nodiscard]] bool serve_cached_asset(HttpExchange& exchange, const std::string& file_path,
                                        const std::string& content_type);

  // What the JSON-RPC and the routes share.
  State& state GUARDED_BY(chain_lock);
  Mempool& mempool;
  // Its blocks, logs and indexes are guarded by chain_lock; not annotated
  // as a whole, since its group commit is waited for without it.
  Storage& storage;
  GameEngine game;
  const uint16_t port;
  const uint64_t chain_id;
  ChainLock& chain_lock;
  // Set by the node before start when its validator qualifies; read-only after.
  std::string node_validator_address;
  // Guarded by the chain lock: wallet transfers by hash, the last address
  // whose eth_getBalance met a zero balance, and the time (Unix seconds) of
  // the last faucet grant per lower-cased address.
  std::unordered_map<std::string, StoredEvmTx> evm_transactions GUARDED_BY(chain_lock);
  std::string current_wallet_address GUARDED_BY(chain_lock);
  FaucetRateMap faucet_rate_map GUARDED_BY(chain_lock);

  ServerCounters counters;

 private:
  // Runs on a worker for each request read whole.
  void dispatch(HttpExchange& exchange);
  void answer_json_rpc(HttpExchange& exchange);

  // Shared with the game engine; the routes read it through their context.
  const std::shared_ptr<const GameClock> clock_;
  const Router router_;
  const RouteContext route_context_;

  std::shared_mutex asset_cache_lock_;
  std::unordered_map<std::string, CachedStaticAsset> asset_cache_;  // guarded by asset_cache_lock_

  // Last: destroyed (stopped) first, while everything a request touches lives.
  HttpTransport transport_;
};

}  // namespace ZezozuRiziv
