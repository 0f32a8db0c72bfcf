// The Ethereum JSON-RPC as a wallet sees the node: the envelope, the
// parameter readers and the method answers, read from the raw request text.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace ZezozuRiziv {
class RPCServer;
}

namespace ZezozuRiziv::json_rpc {

// Error codes of the JSON-RPC 2.0 specification that the node answers.
inline constexpr int kInvalidRequest = -32600;
inline constexpr int kInvalidParams = -32602;
inline constexpr int kServerError = -32000;

// A method's answer: a result in JSON form, or an error.
struct Answer {
  std::string result = "null";
  int error_code = 0;  // 0: a result
  std::string error_message;

  static Answer ok(std::string result_json) { return Answer{std::move(result_json), 0, {}}; }
  static Answer error(int code, std::string message) { return Answer{"null", code, std::move(message)}; }
};

// The value of the first "key" anywhere in the text, after its ':' and any
// blanks: a quoted value up to the next '"', else up to the first of
// ", } ] space CR LF tab". Empty when the key, the ':' or a value is missing.
std::string extract_json_field(std::string_view text, std::string_view key);

// The request's id as the answer repeats it: a string id quoted (escaped),
// a number as it stands, null as null; 1 when there is none. A bare id that
// is not a JSON number answers null, so the answer stays valid JSON.
std::string id_json(std::string_view request);

// {"jsonrpc":"2.0","id":<id>,"result":<result>} or, for an error,
// {"jsonrpc":"2.0","id":<id>,"error":{"code":<code>,"message":"<message>"}}.
std::string envelope(std::string_view id, const Answer& answer);

// The elements of a JSON array, as texts; nullopt when `text` is not one
// well-formed array at the top level.
std::optional<std::vector<std::string_view>> split_json_array(std::string_view text);

// "0x" + lower-case hex without leading zeros ("0x0" for 0).
std::string to_hex_quantity(uint64_t value);
std::string to_hex_quantity(unsigned __int128 value);
// Atomic units as wei (x 10^12, in 128 bits), as a quantity.
std::string to_hex_wei(uint64_t atomic);

// The first "0x" after "params": and the 42 characters from it, lower-cased,
// when they are "0x" + 40 hex digits; empty otherwise.
std::string address_param(std::string_view request);
// The first "0x" after "params": up to the first of " , ] } space CR LF;
// empty when there is none.
std::string hash_param(std::string_view request);
// The first parameter when it is a string (without its quotes); nullopt
// when there is no parameter or it is not a string.
std::optional<std::string> first_string_param(std::string_view request);

// The wallet's signature as the native record keeps it:
// "eth<type>:<r, 64 hex digits><s, 64 hex digits>:<v, hex>".
struct WalletSignature {
  int type = 0;
  std::string r, s, v;  // 0x-quantities
};
std::string encode_wallet_signature(int type, std::string_view r, std::string_view s,
                                    std::string_view v);
std::optional<WalletSignature> decode_wallet_signature(std::string_view text);

// eth_sendRawTransaction: the wallet transfer, sealed as a one-transaction block.
Answer send_raw_transaction(RPCServer& server, std::string_view request);

}  // namespace ZezozuRiziv::json_rpc
