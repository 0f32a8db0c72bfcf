// The core game routes: the sun, the player's state and production history,
// the map, and buying, building and upgrading. Each reads its parameters,
// calls one engine operation and sends the engine's text as it is, refusal
// or not; the engine takes the game lock itself, so no server lock is taken
// here.
#include <cmath>
#include <limits>
#include <string>

#include "server/routes/route_groups.h"

namespace ZezozuRiziv::routes {
namespace {

// Where the sun is shown when the client gives no place.
constexpr double kDefaultWeatherLat = 38.1402;
constexpr double kDefaultWeatherLon = 13.3574;
// The map rectangle when the client gives none.
constexpr double kDefaultMinLat = 41.89;
constexpr double kDefaultMaxLat = 41.91;
constexpr double kDefaultMinLon = 12.48;
constexpr double kDefaultMaxLon = 12.51;

// What a coordinate that could not be read becomes on the buy route: the
// engine refuses it, where 0 would name a real place (and a device at
// (0, 0) skips every anti-spoofing test).
constexpr double kUnreadCoordinate = std::numeric_limits<double>::quiet_NaN();

// A device position: absent means "no position" (0), as the client sends
// when it has none; present but not a finite number is kept unreadable.
double device_coordinate(const ApiRequest& request, std::string_view key) {
  const std::string text = request.get_param(key);
  return text.empty() ? 0.0 : http::param_double(text, kUnreadCoordinate);
}

RouteAnswer weather_route(const RouteContext& context, const ApiRequest& request) {
  return context.game.get_weather_env_json(request.get_double("lat", kDefaultWeatherLat),
                                           request.get_double("lon", kDefaultWeatherLon),
                                           request.get_u64("ts", 0));
}

RouteAnswer state_route(const RouteContext& context, const ApiRequest& request) {
  return context.game.get_player_state_json(request.get_param("addr"));
}

RouteAnswer viewport_route(const RouteContext& context, const ApiRequest& request) {
  return context.game.get_viewport_parcels_json(
      request.get_double("minLat", kDefaultMinLat), request.get_double("maxLat", kDefaultMaxLat),
      request.get_double("minLon", kDefaultMinLon), request.get_double("maxLon", kDefaultMaxLon),
      request.get_param("addr"));
}

RouteAnswer buy_route(const RouteContext& context, const ApiRequest& request) {
  // The lot's centre is read as a pair: one side missing leaves both unread.
  double lat = request.get_double("lat", kUnreadCoordinate);
  double lon = request.get_double("lon", kUnreadCoordinate);
  if (std::isnan(lat) || std::isnan(lon)) lat = lon = kUnreadCoordinate;
  const std::string mocked = request.get_param("is_mocked");
  std::string out;
  context.game.buy_parcel(request.get_param("addr"), request.get_param("key"), lat, lon, out,
                          device_coordinate(request, "user_lat"), device_coordinate(request, "user_lon"),
                          mocked == "1" || mocked == "true");
  return out;
}

RouteAnswer build_route(const RouteContext& context, const ApiRequest& request) {
  std::string out;
  context.game.build_plant(request.get_param("addr"), request.get_param("key"), request.get_param("type"), out);
  return out;
}

RouteAnswer upgrade_route(const RouteContext& context, const ApiRequest& request) {
  std::string out;
  context.game.upgrade_plant(request.get_param("addr"), request.get_param("key"), out);
  return out;
}

RouteAnswer history_route(const RouteContext& context, const ApiRequest& request) {
  return context.game.get_production_history_json(request.get_param("addr"));
}

}  // namespace

void add_game_routes(Router& router) {
  router.add({"/api/game/weather", "/api/game/env"}, weather_route);
  router.add("/api/game/state", state_route);
  router.add("/api/game/viewport", viewport_route);
  router.add_change("/api/game/buy", buy_route);
  router.add_change("/api/game/build", build_route);
  router.add_change("/api/game/upgrade", upgrade_route);
  router.add("/api/game/stats/history", history_route);
}

}  // namespace ZezozuRiziv::routes
