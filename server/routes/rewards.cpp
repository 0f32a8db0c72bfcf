// Game rewards: rewarded ads, daily bonus cards, the on-chain claim and the
// reward-pool view. The ad and card routes take no server lock (the engine
// takes its own); the claim runs inside the chain lock taken exclusively,
// and the reward-pool view reads four balances under it taken shared.
#include <mutex>
#include <optional>

#include "server/routes/route_groups.h"
#include "server/routes/route_support.h"
#include "storage/block_rules.h"

namespace ZezozuRiziv::routes {
namespace {

constexpr char kAdConfigRefusal[] =
    "Accesso negato: la configurazione Publisher e' riservata all'amministratore sul server "
    "(config/ads_publisher.conf).";

std::string param_or(const ApiRequest& request, std::string_view key, const char* fallback) {
  std::string value = request.get_param(key);
  return value.empty() ? fallback : value;
}

RouteAnswer ad_start_route(const RouteContext& context, const ApiRequest& request) {
  return context.game.start_ad_session(request.get_param("addr"), request.get_param("sponsor"),
                                       param_or(request, "type", "wc"));
}

RouteAnswer ad_quartile_route(const RouteContext& context, const ApiRequest& request) {
  std::string out;
  (void)context.game.record_ad_quartile(request.get_param("addr"), request.get_param("token"),
                                        request.get_int("q", 0), out);
  return out;
}

RouteAnswer ad_claim_route(const RouteContext& context, const ApiRequest& request) {
  std::string out;
  (void)context.game.claim_ad_session(request.get_param("addr"), request.get_param("token"), out);
  return out;
}

RouteAnswer ad_status_route(const RouteContext& context, const ApiRequest&) {
  return context.game.get_ads_status_json();
}

// The identifiers come from the server's configuration file only.
RouteAnswer ad_config_route(const RouteContext&, const ApiRequest&) { return error_json(kAdConfigRefusal); }

RouteAnswer card_draw_route(const RouteContext& context, const ApiRequest& request) {
  std::string out;
  (void)context.game.draw_daily_bonus_card(request.get_param("addr"), out);
  return out;
}

RouteAnswer card_status_route(const RouteContext& context, const ApiRequest& request) {
  return context.game.get_daily_bonus_card_status_json(request.get_param("addr"));
}

constexpr char kClaimAmountRefusal[] =
    "Quantita' RUZ non valida: indica un numero intero di RUZ (0 o nessuna quantita' per "
    "convertire tutto).";

RouteAnswer claim_route(const RouteContext& context, const ApiRequest& request) {
  const std::string addr = request.get_param("addr");
  const std::string source = param_or(request, "source", "KWH");
  // No amount (or 0) converts everything; an amount that is not a whole
  // number must not read as 0 and convert everything instead.
  const std::string amount_text = request.get_param("amount");
  const std::optional<uint64_t> amount =
      amount_text.empty() ? 0 : RozeveCrypto::parse_plain_decimal(amount_text);
  if (!amount) return error_json(kClaimAmountRefusal);
  std::string out;
  {
    // Chain lock first, then the engine's game lock inside the call.
    platform::WriteLock lock(context.chain_lock);
    (void)context.game.claim_ruz_onchain(addr, context.state, context.storage, out, source, *amount);
  }
  return out;
}

RouteAnswer reward_pool_route(const RouteContext& context, const ApiRequest&) {
  uint64_t pool = 0;
  uint64_t treasury = 0;
  uint64_t incubator = 0;
  uint64_t burned = 0;
  {
    platform::ReadLock lock(context.chain_lock);
    State& state = context.state;
    pool = state.get_balance(kRewardPoolAddress);
    treasury = state.get_balance(kFeeTreasuryAddress);
    incubator = state.get_balance(kIncubatorAddress);
    burned = state.get_balance(kBurnAddress);
  }
  JsonWriter json;
  json.begin_object().field("status", "ok").field("reward_pool_wallet", kRewardPoolAddress);
  // An empty pool is shown with the funding it gets at the next start.
  json.key("reward_pool_ruz").fixed(coins_double(pool == 0 ? kRewardPoolFunding : pool), 2);
  json.key("srl_treasury_ruz").fixed(coins_double(treasury), 2);
  json.key("coop_oasis_ruz").fixed(coins_double(incubator), 2);
  json.key("burned_ruz").fixed(coins_double(burned), 2);
  return json.end_object().take();
}

}  // namespace

void add_rewards_routes(Router& router) {
  router.add("/api/game/ad/start", ad_start_route);
  router.add("/api/game/ad/quartile", ad_quartile_route);
  router.add_change("/api/game/ad/claim", ad_claim_route);
  router.add("/api/game/ad/status", ad_status_route);
  router.add("/api/game/ad/config", ad_config_route);
  router.add_change("/api/game/card/draw", card_draw_route);
  router.add("/api/game/card/status", card_status_route);
  router.add_change("/api/game/claim-ruz", claim_route);
  router.add("/api/game/reward-pool", reward_pool_route);
}

}  // namespace ZezozuRiziv::routes
