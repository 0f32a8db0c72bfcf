// What a worker does with a request once it has been read: pages first, then
// the inline routes, the route table, and the JSON-RPC for everything else.
#include <array>
#include <string_view>

#include "server/rpc_server.h"

namespace ZezozuRiziv {
namespace {

// Every API path, in the order they are tried. A path whose handler is not
// there yet falls through to the JSON-RPC, as an unknown path does.
using Route = bool (*)(RPCServer&, RPCServer::Request&);
struct RouteEntry {
  std::string_view path;
  Route handler;
};

constexpr std::array kRoutes = {
    // Accounts and the game.
    RouteEntry{"/api/auth/register", nullptr}, RouteEntry{"/api/auth/login", nullptr},
    RouteEntry{"/api/auth/google", nullptr}, RouteEntry{"/api/auth/wallet/connect", nullptr},
    RouteEntry{"/api/auth/me", nullptr}, RouteEntry{"/api/auth/logout", nullptr},
    RouteEntry{"/api/game/weather", nullptr}, RouteEntry{"/api/game/env", nullptr},
    RouteEntry{"/api/game/state", nullptr}, RouteEntry{"/api/game/viewport", nullptr},
    RouteEntry{"/api/game/buy", nullptr}, RouteEntry{"/api/game/build", nullptr},
    RouteEntry{"/api/game/upgrade", nullptr}, RouteEntry{"/api/game/market/list", nullptr},
    RouteEntry{"/api/game/market/cancel", nullptr}, RouteEntry{"/api/game/market/bid", nullptr},
    RouteEntry{"/api/game/market/accept", nullptr},
    RouteEntry{"/api/game/market/auctions", nullptr},
    RouteEntry{"/api/game/billboard/set", nullptr},
    RouteEntry{"/api/game/billboard/clear", nullptr}, RouteEntry{"/api/game/ad/start", nullptr},
    RouteEntry{"/api/game/stats/history", nullptr}, RouteEntry{"/api/game/card/draw", nullptr},
    RouteEntry{"/api/game/card/status", nullptr},
    // Communities and the quiz.
    RouteEntry{"/api/cer/list", nullptr}, RouteEntry{"/api/cer/detail", nullptr},
    RouteEntry{"/api/cer/create", nullptr}, RouteEntry{"/api/cer/join", nullptr},
    RouteEntry{"/api/cer/leave", nullptr}, RouteEntry{"/api/cer/message", nullptr},
    RouteEntry{"/api/quiz/categories", nullptr}, RouteEntry{"/api/quiz/categories/add", nullptr},
    RouteEntry{"/api/quiz/submit", nullptr}, RouteEntry{"/api/quiz/random", nullptr},
    RouteEntry{"/api/quiz/answer", nullptr}, RouteEntry{"/api/quiz/leaderboard", nullptr},
    // Administration.
    RouteEntry{"/api/admin/login", nullptr}, RouteEntry{"/api/admin/verify", nullptr},
    RouteEntry{"/api/admin/telemetry", nullptr},
    RouteEntry{"/api/admin/superboost/trigger", nullptr},
    RouteEntry{"/api/admin/superboost/schedule", nullptr},
    RouteEntry{"/api/admin/superboost/list", nullptr},
    RouteEntry{"/api/admin/superboost/cancel", nullptr},
    RouteEntry{"/api/admin/superboost/delete", nullptr},
    // More of the game.
    RouteEntry{"/api/game/ad/quartile", nullptr}, RouteEntry{"/api/game/ad/claim", nullptr},
    RouteEntry{"/api/game/ad/status", nullptr}, RouteEntry{"/api/game/ad/config", nullptr},
    RouteEntry{"/api/game/claim-ruz", nullptr}, RouteEntry{"/api/game/reward-pool", nullptr},
    RouteEntry{"/api/game/leaderboard", nullptr},
    // The ledger and the explorer.
    RouteEntry{"/api/fund", nullptr}, RouteEntry{"/api/stake", nullptr},
    RouteEntry{"/api/unstake", nullptr}, RouteEntry{"/api/info", nullptr},
    RouteEntry{"/api/explorer/stats", nullptr}, RouteEntry{"/api/explorer/blocks", nullptr},
    RouteEntry{"/api/explorer/block", nullptr}, RouteEntry{"/api/explorer/txs", nullptr},
    RouteEntry{"/api/explorer/tx", nullptr}, RouteEntry{"/api/explorer/address", nullptr},
};

// Tested by exact path before the table.
constexpr std::array<RouteEntry, 3> kInlineRoutes = {
    RouteEntry{"/api/system/metrics", nullptr},
    RouteEntry{"/api/system/benchmark", nullptr},
    RouteEntry{"/api/db/overview", nullptr},
};

bool run_first_match(std::string_view path, const RouteEntry* begin, const RouteEntry* end,
                     RPCServer& server, RPCServer::Request& request, bool& matched) {
  for (const RouteEntry* route = begin; route != end; ++route) {
    if (route->path != path) continue;
    matched = true;
    return route->handler != nullptr && route->handler(server, request);
  }
  return false;
}

}  // namespace

void RPCServer::dispatch(Request& request) {
  const std::string& raw = request.reader.request();
  if (raw.empty()) return;
  const bool is_get = raw.starts_with("GET");
  const bool is_api_post = raw.starts_with("POST /api/");
  if (!is_get && !is_api_post) {
    answer_json_rpc(request);
    return;
  }

  const std::string target = http::request_target(raw);
  request.path = std::string(http::target_path(target));
  request.query = is_api_post ? http::build_query_text(target, http::request_body(raw)) : target;

  if (const auto page = resolve_page(request.path, options_.dapp_dir)) {
    if (serve_cached_asset(request, page->file, page->content_type)) return;
  }
  if (dispatch_route(request)) return;
  answer_json_rpc(request);
}

bool RPCServer::dispatch_route(Request& request) {
  bool matched = false;
  if (run_first_match(request.path, kInlineRoutes.begin(), kInlineRoutes.end(), *this, request,
                      matched)) {
    return true;
  }
  if (matched) return false;
  return run_first_match(request.path, kRoutes.begin(), kRoutes.end(), *this, request, matched);
}

void RPCServer::answer_json_rpc(Request& request) {
  ++rpc_calls;
  const std::string answer = process_json_rpc(http::json_rpc_body(request.reader.request()));
  const uint64_t latency = latency_since(request.start);
  total_latency_us += latency;
  send_http_response(request, 200, "OK", "application/json", answer, latency);
}

}  // namespace ZezozuRiziv
