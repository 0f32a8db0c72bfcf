// The token contract a wallet shows RUZ through: eth_call answers its
// total supply, decimals, symbol, name and balances; eth_getCode gives it
// code so that wallets treat its address as a contract.
#include <shared_mutex>

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

}  // namespace

Answer token_call(RPCServer& server, const JsonValue& request) {
  const std::string_view text = request.raw();
  std::shared_lock lock(server.chain_lock);
  if (text.find("18160ddd") != std::string_view::npos) {
    return Answer::ok("\"0x000000000000000000000000000000000000000000115eec47f6cf7e35000000\"");
  }
  if (text.find("313ce567") != std::string_view::npos) {
    return Answer::ok("\"0x0000000000000000000000000000000000000000000000000000000000000012\"");
  }
  if (text.find("95d89b41") != std::string_view::npos) return Answer::ok(abi_string("RUZ"));
  if (text.find("06fdde03") != std::string_view::npos) return Answer::ok(abi_string("Rozeve"));
  if (const size_t at = text.find("70a08231"); at != std::string_view::npos) {
    std::string owner;
    if (text.size() - at >= 72) {
      owner = ascii_lower("0x" + std::string(text.substr(at + 32, 40)));
    } else {
      owner = server.current_wallet_address;
    }
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
  return Answer::ok(request.raw().find("1000000000000000000000000000000000000001") !=
                            std::string_view::npos
                        ? "\"0x608060405234801561001057600080fd5b50\""
                        : "\"0x\"");
}

}  // namespace ZezozuRiziv::json_rpc
