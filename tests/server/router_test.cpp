// The route table: parsing once, exact paths, aliases, declining, and the
// node's table as the server carries it.
#include <string>
#include <vector>

#include "server/router.h"
#include "server_test_support.h"

namespace {

using rozeve_test::body_of;
using rozeve_test::ServerFixture;
using ZezozuRiziv::ApiRequest;
using ZezozuRiziv::RouteAnswer;
using ZezozuRiziv::RouteContext;
using ZezozuRiziv::Router;

constexpr char kNullAnswer[] = "{\"jsonrpc\":\"2.0\",\"id\":1,\"result\":null}";

TEST(ApiRequestTest, ParsesGetAndApiPostOnce) {
  struct Case {
    std::string raw;
    bool is_route;
    std::string method, path, query;
  };
  const std::vector<Case> cases = {
      {"GET /api/info?addr=0xA HTTP/1.1\r\n\r\n", true, "GET", "/api/info", "/api/info?addr=0xA"},
      {"POST /api/info HTTP/1.1\r\nContent-Length: 6\r\n\r\naddr=x", true, "POST", "/api/info",
       "/api/info?addr=x"},
      {"POST /api/info?a=1 HTTP/1.1\r\nContent-Length: 3\r\n\r\nb=2", true, "POST", "/api/info",
       "/api/info?a=1&b=2"},
      {"GET /\r\n\r\n", true, "GET", "/", "/"},  // fewer than two spaces
      {"POST /rpc HTTP/1.1\r\n\r\n{}", false, "", "", ""},
      {"PUT /api/info HTTP/1.1\r\n\r\n", false, "", "", ""},
      {"{\"method\":\"eth_chainId\"}", false, "", "", ""},
  };
  for (const Case& c : cases) {
    const auto request = ApiRequest::parse(c.raw);
    ASSERT_EQ(request.has_value(), c.is_route) << c.raw;
    if (!request) continue;
    EXPECT_EQ(request->method, c.method) << c.raw;
    EXPECT_EQ(request->path, c.path) << c.raw;
    EXPECT_EQ(request->query, c.query) << c.raw;
  }
}

TEST(ApiRequestTest, NumberParametersFallBackToTheirDefault) {
  ApiRequest request{"GET", "/x", "/x?n=12&bad=x&neg=-3&d=2.5&big=99999999999999999999"};
  EXPECT_EQ(request.get_u64("n", 7), 12u);
  EXPECT_EQ(request.get_u64("bad", 7), 7u);
  EXPECT_EQ(request.get_u64("neg", 7), 7u);
  EXPECT_EQ(request.get_u64("big", 7), 7u);
  EXPECT_EQ(request.get_u64("missing", 7), 7u);
  EXPECT_EQ(request.get_int("neg", 0), -3);
  EXPECT_EQ(request.get_int("big", 4), 4);
  EXPECT_DOUBLE_EQ(request.get_double("d", 0), 2.5);
  EXPECT_DOUBLE_EQ(request.get_double("bad", 1.5), 1.5);
}

RouteAnswer answer_a(const RouteContext&, const ApiRequest& request) {
  return "a:" + request.get_param("v");
}
RouteAnswer answer_b(const RouteContext&, const ApiRequest&) { return std::string("b"); }
RouteAnswer decline_without_v(const RouteContext&, const ApiRequest& request) {
  if (request.get_param("v").empty()) return std::nullopt;
  return std::string("served");
}

class RouterTest : public ServerFixture {
 protected:
  // A context over the fixture's objects; the handlers here touch none of them.
  RouteAnswer route(const Router& router, const std::string& query) {
    ZezozuRiziv::GameEngine game((root_ / "game").string());
    ZezozuRiziv::FaucetRateMap rates;
    ZezozuRiziv::ServerCounters counters;
    const std::string validator;
    const RouteContext context{state_, *storage_, chain_lock_, mempool_, game, rates, validator, counters, 1,
                               *ZezozuRiziv::system_game_clock()};
    const auto request = ApiRequest::parse("GET " + query + " HTTP/1.1\r\n\r\n");
    return router.route(context, *request);
  }
};

TEST_F(RouterTest, ExactPathsAliasesAndDeclines) {
  Router router;
  router.add("/api/a", answer_a);
  router.add({"/api/b", "/api/b2"}, answer_b);
  router.add("/api/maybe", decline_without_v);
  router.add("/api/a", answer_b);  // a second registration loses
  EXPECT_EQ(router.size(), 4u);
  EXPECT_EQ(router.duplicate_paths(), std::vector<std::string>{"/api/a"});

  EXPECT_EQ(route(router, "/api/a?v=1"), "a:1");
  EXPECT_EQ(route(router, "/api/b"), "b");
  EXPECT_EQ(route(router, "/api/b2?x=y"), "b");
  EXPECT_EQ(route(router, "/api/maybe?v=1"), "served");
  EXPECT_EQ(route(router, "/api/maybe"), std::nullopt);
  for (const std::string unknown : {"/api/A", "/api/a/", "/api/b2x", "/api", "/"}) {
    EXPECT_EQ(route(router, unknown), std::nullopt) << unknown;
  }
}

TEST(NodeRouteTableTest, CarriesTheLedgerExplorerAndSystemRoutesOnce) {
  const Router router = Router::api();
  EXPECT_TRUE(router.duplicate_paths().empty());
  for (const std::string path :
       {"/api/fund", "/api/stake", "/api/unstake", "/api/info", "/api/explorer/stats",
        "/api/explorer/blocks", "/api/explorer/block", "/api/explorer/txs", "/api/explorer/tx",
        "/api/explorer/address", "/api/system/metrics", "/api/system/benchmark", "/api/db/overview"}) {
    EXPECT_TRUE(router.has_route(path)) << path;
  }
}

// Routes that write are changes, served a few at a time; views are not.
TEST(NodeRouteTableTest, TellsChangesFromViews) {
  const Router router = Router::api();
  for (const std::string path :
       {"/api/game/buy", "/api/game/build", "/api/game/upgrade", "/api/auth/register", "/api/auth/login",
        "/api/auth/logout", "/api/game/market/bid", "/api/game/billboard/set", "/api/cer/join",
        "/api/quiz/answer", "/api/game/card/draw", "/api/game/claim-ruz", "/api/admin/superboost/delete",
        "/api/fund", "/api/stake"}) {
    EXPECT_TRUE(router.has_route(path)) << path;
    EXPECT_TRUE(router.is_change(path)) << path;
  }
  for (const std::string path : {"/api/game/state", "/api/game/viewport", "/api/game/leaderboard",
                                 "/api/cer/list", "/api/quiz/random", "/api/info", "/api/explorer/blocks"}) {
    EXPECT_TRUE(router.has_route(path)) << path;
    EXPECT_FALSE(router.is_change(path)) << path;
  }
  EXPECT_TRUE(router.is_change_request("GET /api/game/buy?addr=0xa&key=k HTTP/1.1\r\n\r\n"));
  EXPECT_TRUE(router.is_change_request("POST /api/game/buy HTTP/1.1\r\nContent-Length: 3\r\n\r\na=1"));
  EXPECT_FALSE(router.is_change_request("GET /api/game/state?addr=0xa HTTP/1.1\r\n\r\n"));
  // The JSON-RPC is not a route: never a change here.
  EXPECT_FALSE(router.is_change_request("POST / HTTP/1.1\r\n\r\n{}"));
}

class DispatchTest : public ServerFixture {};

TEST_F(DispatchTest, PagesComeBeforeRoutesAndDeclinedRoutesReachTheJsonRpc) {
  auto& server = start_server();
  // A declining route, with and without its parameter, GET and POST.
  EXPECT_EQ(body_of(exchange("GET /api/fund HTTP/1.1\r\n\r\n")), kNullAnswer);
  // A form body is no JSON-RPC request: the JSON-RPC says so.
  EXPECT_EQ(body_of(exchange("POST /api/fund HTTP/1.1\r\nContent-Length: 5\r\n\r\namt=5")),
            "{\"jsonrpc\":\"2.0\",\"id\":null,\"error\":{\"code\":-32700,\"message\":\"Richiesta JSON non "
            "valida\"}}");
  // A JSON-RPC call posted to a declining route is still answered as one.
  const std::string call = "{\"jsonrpc\":\"2.0\",\"id\":9,\"method\":\"eth_chainId\"}";
  EXPECT_EQ(body_of(exchange("POST /api/fund HTTP/1.1\r\nContent-Length: " + std::to_string(call.size()) +
                             "\r\n\r\n" + call)),
            "{\"jsonrpc\":\"2.0\",\"id\":9,\"result\":\"0x317b5\"}");
  EXPECT_EQ(server.counters.rpc_calls.load(), 3u);
  EXPECT_EQ(server.counters.ram_cache_hits.load(), 0u);

  // A route answers with the JSON content type and counts as a JSON answer.
  const std::string answer = exchange("GET /api/explorer/blocks HTTP/1.1\r\n\r\n");
  EXPECT_NE(answer.find("\r\nContent-Type: application/json; charset=utf-8\r\n"), std::string::npos);
  EXPECT_EQ(body_of(answer), "[]");
  EXPECT_EQ(server.counters.ram_cache_hits.load(), 1u);
  EXPECT_EQ(server.counters.rpc_calls.load(), 3u);
}

}  // namespace
