// The JSON API: a table of exact paths and their handlers. Each handler gets
// the request parsed once (method, path, parameters) and a context of what
// routes may touch; it never sees the transport or the server object.
//
// Adding a route group (game, market, accounts, communities, quiz,
// administration, ...):
//   1. Write server/routes/<group>.cpp (CMake picks up every file there) with
//        namespace ZezozuRiziv::routes {
//        void add_<group>_routes(Router& router) {
//          router.add("/api/<group>/state", state_route);
//          router.add({"/api/game/weather", "/api/game/env"}, weather_route);  // aliases
//          router.add_change("/api/<group>/buy", buy_route);  // a route that writes
//        }
//        }
//      where every handler is a RouteHandler:
//        RouteAnswer state_route(const RouteContext& context, const ApiRequest& request);
//      It returns the JSON text to send, or std::nullopt to decline (the
//      request then falls through to the JSON-RPC, as for an unknown path).
//   2. Register it in server/routes/route_groups.h: its declaration and its
//      entry in kRouteGroups.
// Something routes need that the context lacks becomes one more
// RouteContext member, filled in by the RPCServer constructor; the
// transport does not change for it. Ledger changes go through
// storage/ledger.h under chain_lock held exclusively.
//
// Locks: a handler that reads the ledger holds the chain lock shared while it
// builds its whole answer (pointers into the block cache live only until the
// next save_block) and returns the text; the answer is sent after the handler
// has returned, so no lock is ever held while a client is being written to.
// The chain lock comes before the game lock and before the mempool lock.
#pragma once

#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "chain/chain_lock.h"
#include "chain/mempool.h"
#include "chain/state.h"
#include "game/engine/game_engine.h"
#include "platform/thread_annotations.h"
#include "server/http_request.h"
#include "server/http_transport.h"
#include "storage/ledger.h"
#include "storage/storage.h"

namespace ZezozuRiziv {

// A page or API request, taken apart once.
struct ApiRequest {
  std::string method;  // "GET" or "POST" (a POST reaches the routes only under "/api/")
  std::string path;    // the target up to its first '?', matched exactly
  std::string query;   // the whole target, with a POST's form body appended

  // A request that begins with "GET" or "POST /api/"; nullopt for every
  // other request (it belongs to the JSON-RPC).
  [[nodiscard]] static std::optional<ApiRequest> parse(std::string_view raw);

  // The decoded value of "?key=" or else "&key=", empty when absent.
  std::string get_param(std::string_view key) const { return http::get_param(query, key); }
  // Number parameters: `fallback` when absent, not a number or out of range.
  uint64_t get_u64(std::string_view key, uint64_t fallback) const {
    return http::param_u64(get_param(key), fallback);
  }
  int get_int(std::string_view key, int fallback) const {
    return http::param_int(get_param(key), fallback);
  }
  double get_double(std::string_view key, double fallback) const {
    return http::param_double(get_param(key), fallback);
  }
};

// Lower-cased address -> Unix seconds of its last faucet grant.
using FaucetRateMap = std::unordered_map<std::string, uint64_t>;

// What routes may touch. Built once by the server; the references outlive it.
struct RouteContext {
  // The ledger: read under chain_lock shared, changed under it exclusively.
  // The storage is not GUARDED_BY it as a whole: its group commit is waited
  // for without the chain lock (RequestBatch). A reader's alias of `state`
  // is a `State&`: clang 14's analysis loses the lock through a const one.
  State& state GUARDED_BY(chain_lock);
  Storage& storage;
  ChainLock& chain_lock;
  // Takes its own mutex; taken inside the chain lock when both are held.
  Mempool& mempool;
  // Takes its own game lock; taken inside the chain lock when both are held.
  GameEngine& game;
  FaucetRateMap& faucet_rate_map GUARDED_BY(chain_lock);
  // Set before the server starts; read-only while it runs.
  const std::string& node_validator_address;
  const ServerCounters& counters;
  size_t worker_count;
  // The node's time (the game's clock): the faucet's rate limit reads it.
  const GameClock& clock;

  // The batch of one request's ledger changes (storage/ledger.h), opened
  // without the chain lock. Unchecked: the batch only keeps the state, and
  // reads it under the lock as it closes.
  RequestBatch open_batch() const NO_THREAD_SAFETY_ANALYSIS { return {storage, state, chain_lock}; }
};

// The text to send, or std::nullopt to decline.
using RouteAnswer = std::optional<std::string>;
using RouteHandler = RouteAnswer (*)(const RouteContext& context, const ApiRequest& request);

class Router {
 public:
  // The node's table: every group listed in server/routes/route_groups.h.
  static Router api();

  // Adds the handler under the path (or each alias). A path that is already
  // there keeps its first handler and is noted in duplicate_paths().
  void add(std::string_view path, RouteHandler handler);
  void add(std::initializer_list<std::string_view> aliases, RouteHandler handler);
  // The same for a route that writes (the game's actions, the ledger's
  // writes): the transport serves changes a few at a time.
  void add_change(std::string_view path, RouteHandler handler);
  void add_change(std::initializer_list<std::string_view> aliases, RouteHandler handler);

  // The answer of the handler registered for the path; nullopt when there is
  // none or it declined.
  RouteAnswer route(const RouteContext& context, const ApiRequest& request) const;
  bool has_route(const std::string& path) const { return routes_.count(path) != 0; }
  // Whether the path is a change's, and whether the raw request `raw` (a
  // page or route request, else the JSON-RPC's) asks for one.
  bool is_change(const std::string& path) const { return changes_.count(path) != 0; }
  bool is_change_request(std::string_view raw) const;
  size_t size() const { return routes_.size(); }
  const std::vector<std::string>& duplicate_paths() const { return duplicate_paths_; }

 private:
  std::unordered_map<std::string, RouteHandler> routes_;
  std::unordered_set<std::string> changes_;
  std::vector<std::string> duplicate_paths_;
};

}  // namespace ZezozuRiziv
