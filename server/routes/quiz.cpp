// Quiz routes: categories, questions, answers and the weekly ranking. No
// token is asked here; the engine checks and answers; no server lock.
#include "server/routes/route_groups.h"

namespace ZezozuRiziv::routes {
namespace {

// An option index missing or not a 32-bit number counts as option 0.
constexpr int kDefaultOption = 0;

RouteAnswer categories_route(const RouteContext& context, const ApiRequest&) {
  return context.game.get_quiz_categories_json();
}

RouteAnswer add_category_route(const RouteContext& context, const ApiRequest& request) {
  std::string out;
  static_cast<void>(context.game.add_quiz_category(request.get_param("name"), out));
  return out;
}

RouteAnswer submit_route(const RouteContext& context, const ApiRequest& request) {
  // Read as a signed number and passed on as unsigned: a negative index
  // becomes a large one, which the engine refuses.
  const auto correct = static_cast<uint32_t>(request.get_int("correct", kDefaultOption));
  std::string out;
  static_cast<void>(context.game.submit_quiz_question(
      request.get_param("author"), request.get_param("category"), request.get_param("question"),
      request.get_param("a"), request.get_param("b"), request.get_param("c"), request.get_param("d"), correct, out));
  return out;
}

RouteAnswer random_route(const RouteContext& context, const ApiRequest& request) {
  return context.game.get_random_quiz_question_json(request.get_param("addr"));
}

RouteAnswer answer_route(const RouteContext& context, const ApiRequest& request) {
  std::string out;
  static_cast<void>(context.game.answer_quiz_question(request.get_param("addr"), request.get_param("id"),
                                                      request.get_int("opt", kDefaultOption), out));
  return out;
}

RouteAnswer leaderboard_route(const RouteContext& context, const ApiRequest&) {
  return context.game.get_weekly_quiz_leaderboard_json();
}

}  // namespace

void add_quiz_routes(Router& router) {
  router.add("/api/quiz/categories", categories_route);
  router.add_change("/api/quiz/categories/add", add_category_route);
  router.add_change("/api/quiz/submit", submit_route);
  router.add("/api/quiz/random", random_route);
  router.add_change("/api/quiz/answer", answer_route);
  router.add("/api/quiz/leaderboard", leaderboard_route);
}

}  // namespace ZezozuRiziv::routes
