// The JSON-RPC's parameters and quantities: what the methods read from a
// request and how they write numbers as wallets expect them.
#include "crypto/text.h"
#include "server/json_rpc.h"

namespace ZezozuRiziv::json_rpc {

using RozeveCrypto::ascii_lower;
using RozeveCrypto::is_hex_text;

std::string to_hex_quantity(unsigned __int128 value) {
  static constexpr char kDigits[] = "0123456789abcdef";
  if (value == 0) return "0x0";
  char buffer[32];
  size_t n = 0;
  while (value != 0) {
    buffer[n++] = kDigits[static_cast<unsigned>(value & 0xf)];
    value >>= 4;
  }
  std::string out = "0x";
  while (n > 0) out += buffer[--n];
  return out;
}

std::string to_hex_quantity(uint64_t value) {
  return to_hex_quantity(static_cast<unsigned __int128>(value));
}

std::string to_hex_wei(uint64_t atomic) {
  return to_hex_quantity(static_cast<unsigned __int128>(atomic) * kWeiPerAtomic);
}

std::optional<std::string> string_param(const JsonValue& request, size_t index) {
  const std::optional<JsonValue> params = request.find("params");
  if (!params) return std::nullopt;
  const std::optional<JsonValue> param = params->at(index);
  if (!param) return std::nullopt;
  return param->string();
}

std::string address_param(const JsonValue& request) {
  const std::string address = string_param(request, 0).value_or("");
  // Only a real address becomes a state key: a quote or a comma in a key
  // would break state.json.
  if (address.size() != 42 || !address.starts_with("0x") ||
      !is_hex_text(std::string_view(address).substr(2))) {
    return {};
  }
  return ascii_lower(address);
}

std::string hash_param(const JsonValue& request) { return string_param(request, 0).value_or(""); }

std::string encode_wallet_signature(int type, std::string_view r, std::string_view s,
                                    std::string_view v) {
  const auto padded = [](std::string_view quantity) {
    const std::string_view digits = quantity.starts_with("0x") ? quantity.substr(2) : quantity;
    return std::string(digits.size() < 64 ? 64 - digits.size() : 0, '0') + std::string(digits);
  };
  const std::string_view v_digits = v.starts_with("0x") ? v.substr(2) : v;
  return "eth" + std::to_string(type) + ":" + padded(r) + padded(s) + ":" + std::string(v_digits);
}

std::optional<WalletSignature> decode_wallet_signature(std::string_view text) {
  // "eth" + type digit + ':' + 128 hex digits + ':' + v digits
  if (text.size() < 3 + 1 + 1 + 128 + 1 + 1 || !text.starts_with("eth") || text[4] != ':' ||
      text[5 + 128] != ':') {
    return std::nullopt;
  }
  const char type = text[3];
  if (type < '0' || type > '2') return std::nullopt;
  const std::string_view rs = text.substr(5, 128);
  const std::string_view v = text.substr(5 + 128 + 1);
  if (!is_hex_text(rs) || !is_hex_text(v) || v.size() > 16) return std::nullopt;
  const auto quantity = [](std::string_view digits) {
    const size_t first = digits.find_first_not_of('0');
    return first == std::string_view::npos ? std::string("0x0")
                                           : "0x" + ascii_lower(digits.substr(first));
  };
  return WalletSignature{type - '0', quantity(rs.substr(0, 64)), quantity(rs.substr(64)),
                         quantity(v)};
}

}  // namespace ZezozuRiziv::json_rpc
