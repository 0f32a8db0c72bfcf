// The administrator console: login, token check, telemetry and the global
// production boosts. The engine checks the token of every route but login
// and verify, and refuses a bad one itself.
#include <cstdint>
#include <limits>

#include "server/routes/route_groups.h"

namespace ZezozuRiziv::routes {
namespace {

constexpr uint64_t kDefaultBoostDuration = 30;
constexpr uint32_t kDefaultMultiplier = 100;

// A u32 parameter: `fallback` when absent, not a number or beyond 32 bits.
uint32_t get_u32(const ApiRequest& request, std::string_view key, uint32_t fallback) {
  const uint64_t value = request.get_u64(key, fallback);
  return value > std::numeric_limits<uint32_t>::max() ? fallback : static_cast<uint32_t>(value);
}

RouteAnswer login_route(const RouteContext& context, const ApiRequest& request) {
  std::string token;
  std::string out;
  static_cast<void>(context.game.admin_authenticate(request.get_param("password"), token, out));
  return out;
}

RouteAnswer verify_route(const RouteContext& context, const ApiRequest& request) {
  if (context.game.admin_verify_token(request.get_param("token"))) return "{\"status\":\"ok\",\"authenticated\":true}";
  return "{\"status\":\"error\",\"authenticated\":false}";
}

RouteAnswer telemetry_route(const RouteContext& context, const ApiRequest& request) {
  return context.game.admin_get_full_telemetry_json(request.get_param("token"));
}

RouteAnswer trigger_route(const RouteContext& context, const ApiRequest& request) {
  std::string out;
  static_cast<void>(context.game.admin_trigger_super_boost(
      request.get_param("token"), request.get_u64("duration", kDefaultBoostDuration), request.get_param("reason"),
      out));
  return out;
}

RouteAnswer schedule_route(const RouteContext& context, const ApiRequest& request) {
  std::string out;
  static_cast<void>(context.game.admin_schedule_super_boost(
      request.get_param("token"), request.get_u64("start_ms", 0), request.get_u64("end_ms", 0),
      get_u32(request, "multiplier", kDefaultMultiplier), request.get_param("title"), request.get_param("reason"),
      out));
  return out;
}

RouteAnswer list_route(const RouteContext& context, const ApiRequest& request) {
  return context.game.admin_get_scheduled_boosts_json(request.get_param("token"));
}

// Without an id the running x100 boost ends; with one (or "ALL") the
// scheduled boosts it names are cancelled.
RouteAnswer cancel_route(const RouteContext& context, const ApiRequest& request) {
  const std::string token = request.get_param("token");
  std::string id = request.get_param("id");
  if (id.empty()) id = request.get_param("boost_id");
  std::string out;
  if (id.empty()) {
    static_cast<void>(context.game.admin_cancel_super_boost(token, out));
  } else {
    static_cast<void>(context.game.admin_cancel_scheduled_boost(token, id, out));
  }
  return out;
}

}  // namespace

void add_admin_routes(Router& router) {
  router.add("/api/admin/login", login_route);
  router.add("/api/admin/verify", verify_route);
  router.add("/api/admin/telemetry", telemetry_route);
  router.add_change("/api/admin/superboost/trigger", trigger_route);
  router.add_change("/api/admin/superboost/schedule", schedule_route);
  router.add("/api/admin/superboost/list", list_route);
  router.add_change({"/api/admin/superboost/cancel", "/api/admin/superboost/delete"}, cancel_route);
}

}  // namespace ZezozuRiziv::routes
