// The HTTP frame over real sockets: answers, limits, slow clients, stop.
#include <regex>
#include <string>
#include <vector>

#include "server_test_support.h"

namespace {

using rozeve_test::body_of;
using rozeve_test::Client;
using rozeve_test::ServerFixture;
using namespace std::chrono_literals;

constexpr char kNullAnswer[] = "{\"jsonrpc\":\"2.0\",\"id\":1,\"result\":null}";
constexpr char kNotJsonAnswer[] =
    "{\"jsonrpc\":\"2.0\",\"id\":null,\"error\":{\"code\":-32700,\"message\":\"Richiesta JSON non valida\"}}";

class RpcServerTest : public ServerFixture {};

TEST_F(RpcServerTest, HeaderBlockIsByteExact) {
  start_server();
  const std::string answer = exchange("GET /api/nothing HTTP/1.1\r\nHost: x\r\n\r\n");
  const std::regex expected(
      "HTTP/1\\.1 200 OK\r\n"
      "Content-Type: application/json\r\n"
      "Access-Control-Allow-Origin: \\*\r\n"
      "Access-Control-Allow-Methods: POST, GET, OPTIONS\r\n"
      "Access-Control-Allow-Headers: Content-Type, Authorization, User-Agent, X-Requested-With, "
      "X-Session-Token\r\n"
      "X-Content-Type-Options: nosniff\r\n"
      "X-Frame-Options: SAMEORIGIN\r\n"
      "X-Engine: ZezozuRiziv-Cpp17-Ultra\r\n"
      "X-Response-Time-Us: [0-9]+\r\n"
      "Connection: close\r\n"
      "Content-Length: 38\r\n"
      "\r\n"
      "\\{\"jsonrpc\":\"2\\.0\",\"id\":1,\"result\":null\\}");
  EXPECT_TRUE(std::regex_match(answer, expected)) << answer;
}

TEST_F(RpcServerTest, PreflightIsTheFixedAnswerBeforeAnyBody) {
  start_server();
  const std::string answer =
      exchange("OPTIONS /api/game/buy HTTP/1.1\r\nContent-Length: 500\r\n\r\n");
  EXPECT_EQ(answer,
            "HTTP/1.1 200 OK\r\n"
            "Access-Control-Allow-Origin: *\r\n"
            "Access-Control-Allow-Methods: POST, GET, OPTIONS\r\n"
            "Access-Control-Allow-Headers: Content-Type, Authorization, User-Agent, "
            "X-Requested-With, X-Session-Token\r\n"
            "Access-Control-Max-Age: 86400\r\n"
            "Content-Length: 0\r\n"
            "\r\n");
  EXPECT_EQ(answer.size(), 257u);
}

TEST_F(RpcServerTest, PostWaitsForItsDeclaredBody) {
  start_server();
  Client client(port());
  client.send("POST /rpc HTTP/1.1\r\nContent-Length: 10\r\n\r\n{\"id");
  EXPECT_TRUE(client.silent_for(300));
  client.send("\":777}");
  EXPECT_EQ(body_of(client.read_all()), "{\"jsonrpc\":\"2.0\",\"id\":777,\"result\":null}");
}

TEST_F(RpcServerTest, GetIsAnsweredAtTheEndOfItsHeaders) {
  start_server();
  Client client(port());
  client.send("GET /api/nothing HTTP/1.1\r\nContent-Length: 50\r\n\r\n");
  EXPECT_EQ(body_of(client.read_all(2000)), kNullAnswer);
}

TEST_F(RpcServerTest, CutPostIsNeverDispatched) {
  auto& server = start_server();
  Client client(port());
  client.send("POST /api/stake HTTP/1.1\r\nContent-Length: 40\r\n\r\naddr=0xabc");
  client.finish_sending();
  EXPECT_EQ(client.read_all(2000), "");
  EXPECT_EQ(server.counters.rpc_calls.load(), 0u);
}

TEST_F(RpcServerTest, RequestSizeLimit) {
  auto& server = start_server();
  const auto request_of_size = [](size_t total) {
    std::string head = "POST /rpc HTTP/1.1\r\nContent-Length: ";
    // The body fills the request up to `total` bytes.
    for (size_t digits = 1; digits < 8; ++digits) {
      const size_t body = total - head.size() - digits - 4;
      if (std::to_string(body).size() == digits) {
        return head + std::to_string(body) + "\r\n\r\n" + std::string(body, 'x');
      }
    }
    return std::string();
  };
  const std::string largest = request_of_size(ZezozuRiziv::http::kMaxRequestBytes);
  ASSERT_EQ(largest.size(), 262144u);
  EXPECT_EQ(body_of(exchange(largest)), kNotJsonAnswer);
  EXPECT_EQ(server.counters.blocked_ddos_requests.load(), 0u);

  const std::string too_large = request_of_size(262145);
  ASSERT_EQ(too_large.size(), 262145u);
  EXPECT_EQ(exchange(too_large), "");
  EXPECT_EQ(server.counters.blocked_ddos_requests.load(), 1u);
}

TEST_F(RpcServerTest, WhatNoRouteAnswersGoesToTheJsonRpc) {
  auto& server = start_server();
  write_page("index.html", "<p>ciao</p>");
  const std::vector<std::pair<std::string, std::string>> requests = {
      {"GET /api/unknown HTTP/1.1\r\n\r\n", kNullAnswer},
      {"GET /api/fund HTTP/1.1\r\n\r\n", kNullAnswer},  // a route that declines
      {"PUT /api/info HTTP/1.1\r\nContent-Length: 0\r\n\r\n", kNullAnswer},
      {"POST /index.html HTTP/1.1\r\nContent-Length: 0\r\n\r\n", kNullAnswer},
      {"GET /missing.html HTTP/1.1\r\n\r\n", kNullAnswer},
      {"GET /assets/../index.html HTTP/1.1\r\n\r\n", kNullAnswer},
      {"xy", kNotJsonAnswer},  // a fragment, handed over whole when the client stops
  };
  for (const auto& [request, answer] : requests) {
    Client client(port());
    client.send(request);
    client.finish_sending();
    EXPECT_EQ(body_of(client.read_all()), answer) << request;
  }
  EXPECT_EQ(server.counters.rpc_calls.load(), requests.size());
}

TEST_F(RpcServerTest, PagesAliasesAndContentTypes) {
  start_server();
  write_page("index.html", "indice");
  write_page("explorer.html", "esploratore");
  write_page("assets/app.json", "{}");
  write_page("assets/app.js", "js");
  write_page("assets/logo.svg", "<svg/>");
  write_page("download/app.zip", "PK");
  struct Case {
    const char* path;
    const char* content_type;
    const char* body;
  };
  const Case cases[] = {
      {"/", "text/html; charset=utf-8", "indice"},
      {"/dapp", "text/html; charset=utf-8", "indice"},
      {"/tx/0xabc", "text/html; charset=utf-8", "esploratore"},
      {"/address/0xabc", "text/html; charset=utf-8", "esploratore"},
      {"/assets/app.json", "application/json; charset=utf-8", "{}"},
      {"/assets/app.js", "application/javascript; charset=utf-8", "js"},
      {"/assets/logo.svg", "image/svg+xml", "<svg/>"},
      {"/download/app.zip", "application/zip", "PK"},
  };
  for (const Case& c : cases) {
    const std::string answer = exchange("GET " + std::string(c.path) + " HTTP/1.1\r\n\r\n");
    EXPECT_NE(answer.find("\r\nContent-Type: " + std::string(c.content_type) + "\r\n"),
              std::string::npos)
        << c.path << "\n" << answer;
    EXPECT_EQ(body_of(answer), c.body) << c.path;
  }
}

TEST_F(RpcServerTest, OnlyPlainFilesAreServed) {
  auto& server = start_server();
  std::filesystem::create_directories(root_ / "dapp" / "game.html");
  EXPECT_EQ(body_of(exchange("GET /game HTTP/1.1\r\n\r\n")), kNullAnswer);
  EXPECT_EQ(server.counters.rpc_calls.load(), 1u);
}

TEST_F(RpcServerTest, CachedPageCountsHitsAndFollowsChanges) {
  auto& server = start_server();
  write_page("game.html", "prima");
  EXPECT_EQ(body_of(exchange("GET /game HTTP/1.1\r\n\r\n")), "prima");
  EXPECT_EQ(server.counters.ram_cache_hits.load(), 0u);
  EXPECT_EQ(body_of(exchange("GET /game.html HTTP/1.1\r\n\r\n")), "prima");
  EXPECT_EQ(server.counters.ram_cache_hits.load(), 1u);

  write_page("game.html", "dopo, piu' lunga");
  const auto later = std::filesystem::last_write_time(root_ / "dapp" / "game.html") + 2s;
  std::filesystem::last_write_time(root_ / "dapp" / "game.html", later);
  EXPECT_EQ(body_of(exchange("GET /game HTTP/1.1\r\n\r\n")), "dopo, piu' lunga");
  EXPECT_EQ(server.counters.ram_cache_hits.load(), 1u);
}

TEST_F(RpcServerTest, LargeAnswerArrivesWhole) {
  start_server();
  std::string big(4 << 20, 'a');
  for (size_t i = 0; i < big.size(); i += 4096) big[i] = static_cast<char>('a' + (i / 4096) % 26);
  write_page("download/big.bin", big);
  {
    // 4 MiB through a sanitizer build on a busy machine can take a while.
    Client client(port());
    ASSERT_TRUE(client.send("GET /download/big.bin HTTP/1.1\r\n\r\n"));
    EXPECT_EQ(body_of(client.read_all(30000)), big);
  }

  // A client that hangs up before the answer is out harms nobody.
  {
    Client quitter(port());
    quitter.send("GET /download/big.bin HTTP/1.1\r\n\r\n");
  }
  EXPECT_EQ(body_of(exchange("GET /api/x HTTP/1.1\r\n\r\n")), kNullAnswer);
}

TEST_F(RpcServerTest, SlowClientsDoNotHoldTheOnlyWorker) {
  options_.worker_count = 1;
  start_server();
  std::vector<std::unique_ptr<Client>> slow;
  for (int i = 0; i < 8; ++i) {
    slow.push_back(std::make_unique<Client>(port()));
    slow.back()->send("GET /api/x HT");  // and nothing more for now
  }
  std::this_thread::sleep_for(100ms);
  const auto before = std::chrono::steady_clock::now();
  EXPECT_EQ(body_of(exchange("GET /api/x HTTP/1.1\r\n\r\n")), kNullAnswer);
  EXPECT_LT(std::chrono::steady_clock::now() - before, 1s);
  // The slow ones are still served once they finish.
  slow.front()->send("TP/1.1\r\n\r\n");
  EXPECT_EQ(body_of(slow.front()->read_all()), kNullAnswer);
}

TEST_F(RpcServerTest, TricklingClientIsClosedAtTheDeadline) {
  options_.request_deadline_ms = 600;
  auto& server = start_server();
  Client client(port());
  const auto begin = std::chrono::steady_clock::now();
  bool closed = false;
  for (int i = 0; i < 40 && !closed; ++i) {
    client.send("X");  // a byte every 100 ms keeps the idle time-out away
    closed = !client.silent_for(100);
  }
  EXPECT_TRUE(closed);
  EXPECT_EQ(client.read_all(500), "");
  EXPECT_LT(std::chrono::steady_clock::now() - begin, 2s);
  EXPECT_EQ(server.counters.rpc_calls.load(), 0u);
}

TEST_F(RpcServerTest, SilentFragmentIsHandedOverAfterTheIdleTimeout) {
  options_.idle_timeout_ms = 300;
  start_server();
  Client client(port());
  client.send("{\"method\":\"eth_chainId\",\"id\":5}");
  EXPECT_EQ(body_of(client.read_all()), "{\"jsonrpc\":\"2.0\",\"id\":5,\"result\":\"0x317b5\"}");
}

TEST_F(RpcServerTest, FullQueueClosesTheNextConnectionUnanswered) {
  options_.worker_count = 0;  // nothing drains the queue
  options_.queue_capacity = 4;
  auto& server = start_server();
  std::vector<std::unique_ptr<Client>> queued;
  for (int i = 0; i < 4; ++i) queued.push_back(std::make_unique<Client>(port()));
  std::this_thread::sleep_for(200ms);
  EXPECT_EQ(server.counters.blocked_ddos_requests.load(), 0u);
  Client dropped(port());
  EXPECT_EQ(dropped.read_all(2000), "");
  EXPECT_EQ(server.counters.blocked_ddos_requests.load(), 1u);
  for (auto& client : queued) EXPECT_TRUE(client->silent_for(50));
}

TEST_F(RpcServerTest, StopWaitsForEveryThreadAndIsHarmlessTwice) {
  auto& server = start_server();
  EXPECT_TRUE(server.start());  // already running: no second set of threads
  Client parked(port());
  parked.send("GET /slow");
  Client idle(port());
  std::this_thread::sleep_for(100ms);
  const auto before = std::chrono::steady_clock::now();
  server.stop();
  EXPECT_LT(std::chrono::steady_clock::now() - before, 2s);
  EXPECT_FALSE(server.running());
  server.stop();
  EXPECT_EQ(parked.read_all(1000), "");
  Client late(server.bound_port());
  EXPECT_FALSE(late.connected());
  server_.reset();  // the destructor after stop touches nothing freed
}

TEST_F(RpcServerTest, PortInUseIsReported) {
  auto& first = start_server();
  options_.bind_address = "127.0.0.1";
  ZezozuRiziv::RPCServer second(state_, mempool_, *storage_, chain_lock_, first.bound_port(),
                                202677, options_);
  ::testing::internal::CaptureStdout();
  EXPECT_FALSE(second.start());
  const std::string console = ::testing::internal::GetCapturedStdout();
  EXPECT_NE(console.find("[RPC] Impossibile aprire la porta HTTP"), std::string::npos) << console;
}

TEST(RpcServerPool, WorkerCountFollowsTheHardware) {
  using ZezozuRiziv::RPCServer;
  EXPECT_EQ(RPCServer::default_worker_count(0), 16u);
  EXPECT_EQ(RPCServer::default_worker_count(4), 16u);
  EXPECT_EQ(RPCServer::default_worker_count(8), 16u);
  EXPECT_EQ(RPCServer::default_worker_count(12), 24u);
}

}  // namespace
