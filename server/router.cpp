#include "server/router.h"

#include "server/routes/route_groups.h"

namespace ZezozuRiziv {

std::optional<ApiRequest> ApiRequest::parse(std::string_view raw) {
  if (!http::is_page_or_route(raw)) return std::nullopt;
  const bool is_get = raw.starts_with("GET");

  ApiRequest request;
  request.method = is_get ? "GET" : "POST";
  const std::string target = http::request_target(raw);
  request.path = std::string(http::target_path(target));
  // A POST under "/api/" brings its form body.
  request.query = is_get ? target : http::build_query_text(target, http::request_body(raw));
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
  if (!http::is_page_or_route(raw)) return false;
  return is_change(std::string(http::target_path(http::request_target(raw))));
}

RouteAnswer Router::route(const RouteContext& context, const ApiRequest& request) const {
  const auto it = routes_.find(request.path);
  if (it == routes_.end() || it->second == nullptr) return std::nullopt;
  return it->second(context, request);
}

}  // namespace ZezozuRiziv
