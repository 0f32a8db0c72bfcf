// What a worker does with a request once it has been read: pages first, then
// the route table, and the JSON-RPC for everything else.
#include "server/rpc_server.h"

#include "crypto/text.h"

namespace ZezozuRiziv {

namespace {

// The last guard of UTF-8 answers, for text that reaches an answer without
// the JSON writer (a block's record text as a peer sent it): ill-formed
// bytes become U+FFFD. Bytes above 0x7F stand only inside JSON strings, so
// the answer stays the same JSON.
std::string_view utf8_answer(std::string_view json, std::string& repaired) {
  if (RozeveCrypto::is_valid_utf8(json)) return json;
  repaired = RozeveCrypto::valid_utf8(json);
  return repaired;
}

}  // namespace

void RPCServer::dispatch(HttpExchange& exchange) {
  const std::string& raw = exchange.reader.request();
  if (raw.empty()) return;
  const std::optional<ApiRequest> request = ApiRequest::parse(raw);
  if (!request) {
    answer_json_rpc(exchange);
    return;
  }
  if (const auto page = resolve_page(request->path, transport_.options().dapp_dir)) {
    if (serve_cached_asset(exchange, page->file, page->content_type)) return;
  }
  // The handler has released every lock it took by the time it returns, so
  // a slow client never holds the chain lock.
  if (const RouteAnswer answer = router_.route(route_context_, *request)) {
    std::string repaired;
    transport_.send_json(exchange, utf8_answer(*answer, repaired));
    return;
  }
  answer_json_rpc(exchange);
}

void RPCServer::answer_json_rpc(HttpExchange& exchange) {
  ++counters.rpc_calls;
  const std::string answer = process_json_rpc(http::json_rpc_body(exchange.reader.request()));
  const uint64_t latency = HttpTransport::latency_since(exchange.start);
  counters.total_latency_us += latency;
  std::string repaired;
  transport_.send_http_response(exchange, 200, "OK", "application/json", utf8_answer(answer, repaired), latency);
}

}  // namespace ZezozuRiziv
