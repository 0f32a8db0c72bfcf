// Ledger routes: the node and address summary. The faucet, stake and unstake
// come with the ledger write path; until then they decline, and the request
// is answered by the JSON-RPC as an unknown path is.
#include <mutex>
#include <shared_mutex>

#include "server/routes/route_groups.h"
#include "server/routes/route_support.h"

namespace ZezozuRiziv::routes {
namespace {

RouteAnswer info_route(const RouteContext& context, const ApiRequest& request) {
  const std::string key = account_key(request.get_param("addr"));
  JsonWriter json;
  std::shared_lock lock(context.chain_lock);
  const State& state = context.state;
  // The getters create no entry; an empty address reports nothing at all.
  const uint64_t balance = key.empty() ? 0 : state.get_balance(key);
  const uint64_t stake = key.empty() ? 0 : state.get_stake(key);
  json.begin_object()
      .field("block_height", last_block_index(context.storage))
      .field("total_supply", kTotalSupplyCoins)
      .field("total_staked", coins_int(state.get_total_staked()))
      .field("active_validators", static_cast<uint64_t>(state.get_active_validators().size()))
      .field("user_balance", coins_int(balance))
      .field("user_stake", coins_int(stake))
      .field("is_validator", is_validator_stake(stake))
      .end_object();
  return json.take();
}

RouteAnswer not_built_yet(const RouteContext&, const ApiRequest&) { return std::nullopt; }

}  // namespace

void add_ledger_routes(Router& router) {
  router.add("/api/info", info_route);
  router.add({"/api/fund", "/api/stake", "/api/unstake"}, not_built_yet);
}

}  // namespace ZezozuRiziv::routes
