// The node's HTTP port: the JSON API under "/api/", the Ethereum JSON-RPC
// and the static pages, served by one acceptor thread, a bounded queue of
// accepted sockets and a fixed pool of worker threads.
//
// A request that does not arrive at once does not hold a worker: it waits in
// the slow lane (one polling thread) until it is complete or its deadline
// passes, so slow or silent clients cannot starve the others.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <optional>
#include <shared_mutex>
#include <string>
#include <string_view>
#include <thread>
#include <unordered_map>
#include <vector>

#include "chain/mempool.h"
#include "chain/state.h"
#include "game/game_engine.h"
#include "platform/socket.h"
#include "server/http_request.h"
#include "server/static_pages.h"
#include "storage/storage.h"

namespace ZezozuRiziv {

// Accepted sockets waiting for a worker beyond this many are closed unanswered.
inline constexpr size_t kSocketQueueCapacity = 4096;
// Requests parked in the slow lane beyond this many are closed unanswered.
inline constexpr size_t kSlowLaneCapacity = 4096;
// The worker pool: twice the hardware threads, never fewer than this.
inline constexpr size_t kMinWorkers = 16;
// A silent socket (no byte for this long) ends the reading, and an answer
// that cannot be sent within it is abandoned.
inline constexpr int kSocketTimeoutMs = 5000;
// A request must be whole within this long after its first byte.
inline constexpr int kRequestDeadlineMs = 10000;
// How long a worker waits for a request's next bytes before parking it.
inline constexpr int kWorkerReadWaitMs = 20;

// Settings the node leaves at their defaults; tests shrink the limits.
struct ServerOptions {
  std::string bind_address = "0.0.0.0";
  std::string dapp_dir = kDappDir;
  std::optional<size_t> worker_count;  // default: default_worker_count()
  size_t queue_capacity = kSocketQueueCapacity;
  size_t slow_lane_capacity = kSlowLaneCapacity;
  int idle_timeout_ms = kSocketTimeoutMs;
  int request_deadline_ms = kRequestDeadlineMs;
  int worker_read_wait_ms = kWorkerReadWaitMs;
};

class RPCServer {
 public:
  using Clock = std::chrono::steady_clock;

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

  // One request being read or answered. Owns the socket: it is closed when
  // the request ends, answered or not.
  struct Request {
    platform::SocketHandle client = platform::kInvalidSocket;
    Clock::time_point start;  // when a worker began it: answers' latency
    http::RequestReader reader;
    Clock::time_point first_byte;  // valid once the reader is not empty
    Clock::time_point last_byte;   // or the start, before any byte

    // Filled by dispatch.
    std::string path;
    std::string query;  // the target, with a form body appended
    bool answered = false;

    Request(platform::SocketHandle socket, Clock::time_point began);
    ~Request();
    Request(const Request&) = delete;
    Request& operator=(const Request&) = delete;

    std::string get_param(std::string_view key) const { return http::get_param(query, key); }
  };

  // Builds the game engine on the storage's data directory and loads the
  // block cache, so the first request pays no disk read. The chain lock
  // belongs to the caller and must outlive the server.
  RPCServer(State& state, Mempool& mempool, Storage& storage, std::shared_mutex& chain_lock,
            uint16_t port, uint64_t chain_id, ServerOptions options = {});
  // Stops the server if it still runs.
  ~RPCServer();
  RPCServer(const RPCServer&) = delete;
  RPCServer& operator=(const RPCServer&) = delete;

  // Listens, then starts the workers, the slow lane and the acceptor. False,
  // with one console line, when the port cannot be opened. True at once when
  // already running.
  bool start();
  // Stops accepting, wakes every thread and waits for all of them; requests
  // still queued are served if their bytes are already there. Harmless twice.
  void stop();
  bool running() const { return running_.load(); }
  // The port actually listened on (the one asked for, or the one the system
  // chose for port 0); 0 before start.
  uint16_t bound_port() const { return bound_port_.load(); }

  static size_t default_worker_count(unsigned hardware_threads);
  size_t worker_count() const { return worker_count_; }

  // The fixed header block and the body, sent whole; the socket is closed by
  // the request that owns it.
  void send_http_response(Request& request, int status, std::string_view status_text,
                          std::string_view content_type, std::string_view body,
                          uint64_t latency_us);
  // A route's JSON answer, counted and timed from the request's start.
  void send_json(Request& request, std::string_view json);

  // The answer text to one JSON-RPC request (or batch).
  std::string process_json_rpc(const std::string& body);

  // Sends the file when it exists and is a regular file; false when nothing
  // was sent. Files are cached in RAM by path and modification time.
  bool serve_cached_asset(Request& request, const std::string& file_path,
                          const std::string& content_type);

  // What the routes share.
  State& state;
  Mempool& mempool;
  Storage& storage;
  GameEngine game;
  const uint16_t port;
  const uint64_t chain_id;
  std::shared_mutex& chain_lock;
  // Set by the node before start when its validator qualifies.
  std::string node_validator_address;
  // Guarded by the chain lock: wallet transfers by hash, and the last address
  // whose eth_getBalance met a zero balance.
  std::unordered_map<std::string, StoredEvmTx> evm_transactions;
  std::string current_wallet_address;

  std::atomic<uint64_t> total_requests{0};
  std::atomic<uint64_t> rpc_calls{0};
  std::atomic<uint64_t> ram_cache_hits{0};
  std::atomic<uint64_t> total_latency_us{0};
  std::atomic<uint64_t> active_connections{0};
  std::atomic<uint64_t> blocked_ddos_requests{0};

 private:
  // A queued item: a fresh socket, or a request the slow lane finished reading.
  struct Work {
    platform::SocketHandle socket = platform::kInvalidSocket;
    std::unique_ptr<Request> request;
  };
  enum class ReadStep {
    kReady,    // whole (or cut off by the peer, yet dispatchable): answer it
    kWaiting,  // no more bytes for now
    kDone,     // answered (preflight) or dropped
  };

  void server_loop();
  void worker_loop();
  void slow_lane_loop();
  // One wait on the parked requests and what follows from it.
  void slow_lane_round(std::vector<std::unique_ptr<Request>>& parked,
                       std::vector<platform::PollItem>& items);

  // Queues work for a worker; false (and the socket closed, counted) when full.
  bool enqueue(Work work);
  // Reads in the worker for a moment, then answers or parks the request.
  void handle_http_client(platform::SocketHandle client);
  // Takes the bytes that arrive until `wait_until`.
  ReadStep read_available(Request& request, Clock::time_point wait_until);
  // One slow-lane round for a parked request: false when it left the lane
  // (queued for a worker, answered, or closed at its time limit).
  bool advance_parked(std::unique_ptr<Request>& request, bool readable, Clock::time_point now);
  void dispatch(Request& request);
  bool dispatch_route(Request& request);
  void answer_json_rpc(Request& request);
  bool park(std::unique_ptr<Request> request);
  uint64_t latency_since(Clock::time_point start) const;

  ServerOptions options_;
  size_t worker_count_;

  std::atomic<bool> running_{false};
  std::atomic<uint16_t> bound_port_{0};
  platform::SocketHandle listener_ = platform::kInvalidSocket;
  std::thread acceptor_;
  std::vector<std::thread> workers_;
  std::mutex lifecycle_mutex_;  // start and stop

  std::mutex queue_mutex_;
  std::condition_variable queue_cv_;
  std::deque<Work> queue_;

  std::thread slow_lane_;
  platform::Waker slow_lane_waker_;
  std::mutex slow_lane_mutex_;
  std::vector<std::unique_ptr<Request>> slow_lane_inbox_;
  std::atomic<size_t> slow_lane_size_{0};

  std::shared_mutex asset_cache_lock_;
  std::unordered_map<std::string, CachedStaticAsset> asset_cache_;
};

}  // namespace ZezozuRiziv
