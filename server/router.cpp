#include "server/router.h"

#include "server/routes/route_groups.h"

namespace ZezozuRiziv {

std::optional<ApiRequest> ApiRequest::parse(std::string_view raw) {
  // Pages and routes: any GET, and a POST under "/api/" with its form body.
  // Every other request goes whole to the JSON-RPC.
  const bool is_get = raw.starts_with("GET");
  const bool is_api_post = raw.starts_with("POST /api/");
  if (!is_get && !is_api_post) return std::nullopt;

  ApiRequest request;
  request.method = is_get ? "GET" : "POST";
  const std::string target = http::request_target(raw);
  request.path = std::string(http::target_path(target));
  request.query = is_api_post ? http::build_query_text(target, http::request_body(raw)) : target;
  return request;
}

Router Router::api() {
  Router router;
  for (const routes::RouteGroup add_group : routes::kRouteGroups) add_group(router);
  return router;
}

void Router::add(std::string_view path, RouteHandler handler) {
  if (!routes_.emplace(std::string(path), handler).second) duplicate_paths_.emplace_back(path);
}

void Router::add(std::initializer_list<std::string_view> aliases, RouteHandler handler) {
  for (const std::string_view path : aliases) add(path, handler);
}

void Router::add_change(std::string_view path, RouteHandler handler) {
  add(path, handler);
  changes_.emplace(path);
}

void Router::add_change(std::initializer_list<std::string_view> aliases, RouteHandler handler) {
  for (const std::string_view path : aliases) add_change(path, handler);
}

bool Router::is_change_request(std::string_view raw) const {
  // Only the line that names the path is read: this runs before dispatch.
  if (!raw.starts_with("GET") && !raw.starts_with("POST /api/")) return false;
  return is_change(std::string(http::target_path(http::request_target(raw))));
}

RouteAnswer Router::route(const RouteContext& context, const ApiRequest& request) const {
  const auto it = routes_.find(request.path);
  if (it == routes_.end() || it->second == nullptr) return std::nullopt;
  return it->second(context, request);
}

}  // namespace ZezozuRiziv
