// The JSON-RPC envelope: one request or a batch of them read with the JSON
// reader, each element answered in order, and the credits made while
// answering saved once before the answer is sent.
#include "server/json_rpc.h"

#include <iostream>
#include <mutex>
#include <optional>
#include <vector>

#include "crypto/json_writer.h"
#include "server/rpc_server.h"
#include "storage/ledger.h"

namespace ZezozuRiziv {
namespace json_rpc {
namespace {

constexpr std::string_view kBlanks = " \t\r\n";

// One request answered: the id its answer repeats, and the answer.
struct Answered {
  std::string id;
  Answer answer;
};

Answered invalid_request(std::string id, std::string_view why) {
  return {std::move(id),
          Answer::error(kInvalidRequest, "Richiesta JSON-RPC non valida: " + std::string(why))};
}

Answered answer_one(RPCServer& server, const JsonValue& request) {
  if (!request.is_object()) return invalid_request("null", "serve un oggetto");
  std::optional<std::string> id = id_json(request);
  if (!id) return invalid_request("null", "l'id deve essere una stringa, un numero o null");
  // No method at all is answered as an unknown one: a null result.
  std::string method;
  if (const auto field = request.find("method")) {
    if (!field->is_string()) return invalid_request(std::move(*id), "il metodo deve essere una stringa");
    method = *field->string();
  }
  return {std::move(*id), answer_method(server, method, request)};
}

std::string parse_error(JsonError why) {
  std::string message = "Richiesta JSON non valida";
  if (why == JsonError::kTooLarge) {
    message = "Richiesta JSON troppo grande";
  } else if (why == JsonError::kTooDeep) {
    message = "Richiesta JSON troppo annidata (massimo " + std::to_string(kMaxJsonDepth) + " livelli)";
  }
  return envelope("null", Answer::error(kParseError, message));
}

// Answers `requests` in order inside one RequestBatch, so that the changes
// they make (welcome credits, transfers) are durable, with one shared sync,
// before any answer is sent. When that sync fails every change not yet
// durable is undone, and no answer given from the first change on may show
// what is gone: those become the error.
std::vector<Answered> answer_all(RPCServer& server, const std::vector<JsonValue>& requests)
    EXCLUDES(server.chain_lock) {
  RequestBatch batch = server.open_batch();
  std::vector<Answered> answers;
  answers.reserve(requests.size());
  std::optional<size_t> first_change;
  for (const JsonValue& request : requests) {
    const uint64_t changes_before = batch.changes();
    answers.push_back(answer_one(server, request));
    if (!first_change && batch.changes() > changes_before) first_change = answers.size() - 1;
  }
  if (LedgerResult saved = batch.close(); !saved) {
    std::cout << "[RPC] " << saved.error << ": modifiche della richiesta annullate" << std::endl;
    platform::WriteLock lock(server.chain_lock);
    for (size_t i = first_change.value_or(0); i < answers.size(); ++i) {
      Answer& answer = answers[i].answer;
      if (answer.error_code != 0) continue;
      // A transfer's record would describe a block that is gone.
      if (const auto method = requests[i].find("method");
          method && method->is_string() && *method->string() == "eth_sendRawTransaction" &&
          answer.result.size() > 2) {
        server.evm_transactions.erase(answer.result.substr(1, answer.result.size() - 2));
      }
      answer = Answer::error(kServerError, saved.error);
    }
  }
  return answers;
}

}  // namespace

std::optional<std::string> id_json(const JsonValue& request) {
  const std::optional<JsonValue> id = request.find("id");
  if (!id) return "1";
  // The reader has checked the text: a string or a number is repeated as it
  // came, escapes included, and stays valid JSON.
  if (id->is_string() || id->is_null() || id->kind() == JsonKind::kNumber) {
    return std::string(id->raw());
  }
  return std::nullopt;
}

std::string envelope(std::string_view id, const Answer& answer) {
  std::string out = "{\"jsonrpc\":\"2.0\",\"id\":";
  out += id;
  if (answer.error_code == 0) {
    out += ",\"result\":";
    out += answer.result;
  } else {
    out += ",\"error\":{\"code\":" + std::to_string(answer.error_code) + ",\"message\":";
    append_json_string(out, answer.error_message);
    out += '}';
  }
  out += '}';
  return out;
}

}  // namespace json_rpc

std::string RPCServer::process_json_rpc(const std::string& body) {
  using namespace json_rpc;
  // No text at all (a page or route request that nothing answered) is
  // answered as a request without id or method.
  if (body.find_first_not_of(kBlanks) == std::string::npos) return envelope("1", Answer::ok("null"));
  JsonError why = JsonError::kNone;
  const std::optional<JsonDocument> document = JsonDocument::parse(body, &why);
  if (!document) return parse_error(why);
  const JsonValue root = document->root();
  if (!root.is_array()) {
    const std::vector<Answered> answers = answer_all(*this, {root});
    return envelope(answers.front().id, answers.front().answer);
  }

  // A batch, as ethers sends by default: one answer per element, in order.
  if (root.size() == 0) return envelope("null", Answer::error(kInvalidRequest, "Richiesta batch vuota"));
  if (root.size() > kMaxBatchRequests) {
    return envelope("null", Answer::error(kInvalidRequest,
                                          "Richiesta batch troppo grande (massimo " +
                                              std::to_string(kMaxBatchRequests) + " richieste)"));
  }
  std::string out = "[";
  for (const Answered& answered : answer_all(*this, root.elements())) {
    if (out.size() > 1) out += ',';
    out += envelope(answered.id, answered.answer);
  }
  out += ']';
  return out;
}

}  // namespace ZezozuRiziv
