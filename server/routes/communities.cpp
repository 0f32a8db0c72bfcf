// Community routes: the list and detail views, founding, joining, leaving
// and the notice board. The engine checks and answers; no server lock.
#include "server/routes/route_groups.h"

namespace ZezozuRiziv::routes {
namespace {

RouteAnswer list_route(const RouteContext& context, const ApiRequest&) { return context.game.get_cer_list_json(); }

RouteAnswer detail_route(const RouteContext& context, const ApiRequest& request) {
  return context.game.get_cer_detail_json(request.get_param("id"), request.get_param("addr"));
}

RouteAnswer create_route(const RouteContext& context, const ApiRequest& request) {
  std::string out;
  static_cast<void>(context.game.create_cer_community(request.get_param("addr"), request.get_param("name"),
                                                      request.get_param("tag"), request.get_param("desc"),
                                                      request.get_param("emblem"), out));
  return out;
}

RouteAnswer join_route(const RouteContext& context, const ApiRequest& request) {
  std::string out;
  static_cast<void>(context.game.join_cer_community(request.get_param("addr"), request.get_param("id"), out));
  return out;
}

RouteAnswer leave_route(const RouteContext& context, const ApiRequest& request) {
  std::string out;
  static_cast<void>(context.game.leave_cer_community(request.get_param("addr"), out));
  return out;
}

// Posts on the board of the caller's own community.
RouteAnswer message_route(const RouteContext& context, const ApiRequest& request) {
  std::string out;
  static_cast<void>(context.game.post_cer_message(request.get_param("addr"), request.get_param("text"),
                                                  request.get_param("emoji"), out));
  return out;
}

}  // namespace

void add_community_routes(Router& router) {
  router.add("/api/cer/list", list_route);
  router.add("/api/cer/detail", detail_route);
  router.add_change("/api/cer/create", create_route);
  router.add_change("/api/cer/join", join_route);
  router.add_change("/api/cer/leave", leave_route);
  router.add_change("/api/cer/message", message_route);
}

}  // namespace ZezozuRiziv::routes
