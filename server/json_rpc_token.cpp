// The token contract a wallet shows RUZ through: eth_call answers its
// total supply, decimals, symbol, name and balances; eth_getCode gives it
// code so that wallets treat its address as a contract.

#include "crypto/json_writer.h"
#include "crypto/sha256.h"
#include "crypto/text.h"
#include "server/json_rpc.h"
#include "server/rpc_server.h"

namespace ZezozuRiziv::json_rpc {
namespace {

using RozeveCrypto::ascii_lower;
using RozeveCrypto::is_hex_text;

// The ABI encoding of a short string: offset word, length word, the bytes.
std::string abi_string(std::string_view text) {
  const uint8_t length = static_cast<uint8_t>(text.size());  // short texts only
  std::string out = "\"0x";
  out += std::string(62, '0') + "20";
  out += std::string(62, '0') + RozeveCrypto::bytes_to_hex(&length, 1);
  std::string word =
      RozeveCrypto::bytes_to_hex(reinterpret_cast<const uint8_t*>(text.data()), text.size());
  word.resize(64, '0');
  return out + word + "\"";
}

// The call's data ("data", or "input" as newer clients name it) without
// its "0x", lower-cased; empty when there is none or it is not hex.
std::string call_data(const JsonValue& request) {
  const std::optional<JsonValue> params = request.find("params");
  const std::optional<JsonValue> call = params ? params->at(0) : std::nullopt;
  if (!call) return {};
  std::optional<JsonValue> field = call->find("data");
  if (!field) field = call->find("input");
  const std::string data = field ? field->string().value_or("") : "";
  if (!data.starts_with("0x") || !is_hex_text(std::string_view(data).substr(2))) return {};
  return ascii_lower(std::string_view(data).substr(2));
}

}  // namespace

Answer token_call(RPCServer& server, const JsonValue& request) {
  // The selector and the owner come from the call's own data, never from a
  // search of the request: an address holding a selector's digits must not
  // change the answer.
  const std::string data = call_data(request);
  const std::string_view selector = std::string_view(data).substr(0, 8);
  if (selector == "18160ddd") {
    return Answer::ok("\"0x000000000000000000000000000000000000000000115eec47f6cf7e35000000\"");
  }
  if (selector == "313ce567") {
    return Answer::ok("\"0x0000000000000000000000000000000000000000000000000000000000000012\"");
  }
  if (selector == "95d89b41") return Answer::ok(abi_string("RUZ"));
  if (selector == "06fdde03") return Answer::ok(abi_string("Rozeve"));
  if (selector == "70a08231") {
    platform::ReadLock lock(server.chain_lock);
    // The address word follows the selector: 24 zero digits, then 40 digits.
    const std::string owner = data.size() >= 72 ? "0x" + data.substr(32, 40)
                                                : server.current_wallet_address;
    unsigned __int128 wei = 0;
    if (owner.size() == 42 && is_hex_text(std::string_view(owner).substr(2))) {
      wei = static_cast<unsigned __int128>(server.state.get_balance(owner)) * kWeiPerAtomic;
    }
    const std::string digits = to_hex_quantity(wei).substr(2);
    std::string word = "0x";
    word.append(64 - digits.size(), '0').append(digits);
    return Answer::ok(json_string(word));
  }
  return Answer::ok("\"0x0000000000000000000000000000000000000000000000000000000000000001\"");
}

Answer token_code(const JsonValue& request) {
  return Answer::ok(address_param(request) == kTokenContract
                        ? "\"0x608060405234801561001057600080fd5b50\""
                        : "\"0x\"");
}

}  // namespace ZezozuRiziv::json_rpc
