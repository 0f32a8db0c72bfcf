// The parcel market, billboards and the leaderboard: each route reads its
// parameters, calls one game operation and answers the engine's text. No
// server lock: the engine takes its own.
#include <string>

#include "server/routes/route_groups.h"

namespace ZezozuRiziv::routes {
namespace {

// A flag that is on unless it says "0" or "false" (absent or empty is on).
bool flag_param(const ApiRequest& request, std::string_view key) {
  const std::string value = request.get_param(key);
  return value != "0" && value != "false";
}

// The long name's value, or the short name's when the long one is empty.
std::string param_or(const ApiRequest& request, std::string_view key, std::string_view fallback_key) {
  std::string value = request.get_param(key);
  return value.empty() ? request.get_param(fallback_key) : value;
}

RouteAnswer list_route(const RouteContext& context, const ApiRequest& request) {
  std::string out;
  context.game.list_parcel_for_sale(request.get_param("addr"), request.get_param("key"),
                                                      request.get_param("currency"),
                                                      request.get_double("minBid", 0.0),
                                                      request.get_double("buyout", 0.0), out);
  return out;
}

RouteAnswer cancel_route(const RouteContext& context, const ApiRequest& request) {
  std::string out;
  context.game.cancel_parcel_sale(request.get_param("addr"), request.get_param("key"), out);
  return out;
}

RouteAnswer bid_route(const RouteContext& context, const ApiRequest& request) {
  std::string out;
  context.game.place_bid_or_offer(request.get_param("addr"), request.get_param("key"),
                                                    request.get_param("currency"),
                                                    request.get_double("amount", 0.0), out);
  return out;
}

RouteAnswer accept_route(const RouteContext& context, const ApiRequest& request) {
  std::string out;
  context.game.accept_highest_bid(request.get_param("addr"), request.get_param("key"), out);
  return out;
}

RouteAnswer auctions_route(const RouteContext& context, const ApiRequest&) {
  return context.game.get_active_auctions_json();
}

RouteAnswer billboard_set_route(const RouteContext& context, const ApiRequest& request) {
  std::string out;
  context.game.set_parcel_billboard(
      request.get_param("addr"), request.get_param("key"), request.get_param("title"),
      param_or(request, "imageUrl", "image"), param_or(request, "linkUrl", "link"),
      param_or(request, "socialType", "social"), flag_param(request, "span"), out);
  return out;
}

RouteAnswer billboard_clear_route(const RouteContext& context, const ApiRequest& request) {
  std::string out;
  context.game.clear_parcel_billboard(request.get_param("addr"), request.get_param("key"),
                                                        flag_param(request, "cluster"), out);
  return out;
}

RouteAnswer leaderboard_route(const RouteContext& context, const ApiRequest&) {
  return context.game.get_leaderboard_json();
}

}  // namespace

void add_market_routes(Router& router) {
  router.add_change("/api/game/market/list", list_route);
  router.add_change("/api/game/market/cancel", cancel_route);
  router.add_change("/api/game/market/bid", bid_route);
  router.add_change("/api/game/market/accept", accept_route);
  router.add("/api/game/market/auctions", auctions_route);
  router.add_change("/api/game/billboard/set", billboard_set_route);
  router.add_change("/api/game/billboard/clear", billboard_clear_route);
  router.add("/api/game/leaderboard", leaderboard_route);
}

}  // namespace ZezozuRiziv::routes
