// The Ethereum JSON-RPC entry. The methods come with the wallet support;
// until then every request gets its envelope with a null result.
#include "server/json_rpc.h"

#include "server/json_writer.h"
#include "server/rpc_server.h"

namespace ZezozuRiziv {
namespace json_rpc {
namespace {

constexpr std::string_view kBlanks = " \t\r\n";
constexpr std::string_view kBareEnd = ",}] \r\n\t";

// The raw value after "key": and its blanks, and whether it was quoted.
struct RawField {
  std::string value;
  bool quoted = false;
};

RawField find_field(std::string_view text, std::string_view key) {
  std::string quoted_key;
  quoted_key.reserve(key.size() + 2);
  quoted_key += '"';
  quoted_key += key;
  quoted_key += '"';
  const size_t at = text.find(quoted_key);
  if (at == std::string_view::npos) return {};
  const size_t colon = text.find(':', at + quoted_key.size());
  if (colon == std::string_view::npos) return {};
  const size_t start = text.find_first_not_of(kBlanks, colon + 1);
  if (start == std::string_view::npos) return {};
  if (text[start] == '"') {
    const size_t close = text.find('"', start + 1);
    const size_t end = close == std::string_view::npos ? text.size() : close;
    return {std::string(text.substr(start + 1, end - start - 1)), true};
  }
  const size_t end = text.find_first_of(kBareEnd, start);
  return {std::string(text.substr(start, end == std::string_view::npos ? end : end - start)),
          false};
}

// A JSON number: -?(0|[1-9][0-9]*)(\.[0-9]+)?([eE][+-]?[0-9]+)?
bool is_json_number(std::string_view t) {
  size_t i = 0;
  const auto digits = [&] {
    const size_t from = i;
    while (i < t.size() && t[i] >= '0' && t[i] <= '9') ++i;
    return i > from;
  };
  if (i < t.size() && t[i] == '-') ++i;
  if (i < t.size() && t[i] == '0') {
    ++i;
  } else if (!digits()) {
    return false;
  }
  if (i < t.size() && t[i] == '.') {
    ++i;
    if (!digits()) return false;
  }
  if (i < t.size() && (t[i] == 'e' || t[i] == 'E')) {
    ++i;
    if (i < t.size() && (t[i] == '+' || t[i] == '-')) ++i;
    if (!digits()) return false;
  }
  return i == t.size();
}

}  // namespace

std::string extract_json_field(std::string_view text, std::string_view key) {
  return find_field(text, key).value;
}

std::string id_json(std::string_view request) {
  const RawField id = find_field(request, "id");
  if (id.quoted) return json_string(id.value);
  if (id.value.empty()) return "1";
  if (id.value == "null" || is_json_number(id.value)) return id.value;
  return "null";
}

std::string envelope(std::string_view id, std::string_view result_json) {
  std::string out;
  out.reserve(40 + id.size() + result_json.size());
  out += "{\"jsonrpc\":\"2.0\",\"id\":";
  out += id;
  out += ",\"result\":";
  out += result_json;
  out += '}';
  return out;
}

}  // namespace json_rpc

std::string RPCServer::process_json_rpc(const std::string& body) {
  return json_rpc::envelope(json_rpc::id_json(body), "null");
}

}  // namespace ZezozuRiziv
