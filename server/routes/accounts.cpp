// Login accounts: registration, password and Google sign-in, the profile,
// wallet linking and logout. Each route passes its parameters to one engine
// operation and sends the engine's answer, refusals included.
#include "server/routes/route_groups.h"

namespace ZezozuRiziv::routes {
namespace {

RouteAnswer register_route(const RouteContext& context, const ApiRequest& request) {
  std::string out;
  static_cast<void>(context.game.register_user(request.get_param("username"), request.get_param("email"),
                                               request.get_param("password"), out));
  return out;
}

RouteAnswer login_route(const RouteContext& context, const ApiRequest& request) {
  std::string out;
  static_cast<void>(context.game.login_user(request.get_param("identifier"), request.get_param("password"), out));
  return out;
}

RouteAnswer google_route(const RouteContext& context, const ApiRequest& request) {
  std::string out;
  static_cast<void>(context.game.login_google_user(request.get_param("google_id"), request.get_param("email"),
                                                   request.get_param("name"), request.get_param("avatar"), out));
  return out;
}

RouteAnswer wallet_connect_route(const RouteContext& context, const ApiRequest& request) {
  std::string out;
  static_cast<void>(context.game.connect_user_wallet(request.get_param("token"), request.get_param("wallet"), out));
  return out;
}

RouteAnswer me_route(const RouteContext& context, const ApiRequest& request) {
  std::string out;
  static_cast<void>(context.game.get_user_profile(request.get_param("token"), out));
  return out;
}

RouteAnswer logout_route(const RouteContext& context, const ApiRequest& request) {
  std::string out;
  static_cast<void>(context.game.logout_user(request.get_param("token"), out));
  return out;
}

}  // namespace

void add_account_routes(Router& router) {
  router.add_change("/api/auth/register", register_route);
  router.add_change("/api/auth/login", login_route);
  router.add_change("/api/auth/google", google_route);
  router.add_change("/api/auth/wallet/connect", wallet_connect_route);
  router.add("/api/auth/me", me_route);
  router.add_change("/api/auth/logout", logout_route);
}

}  // namespace ZezozuRiziv::routes
