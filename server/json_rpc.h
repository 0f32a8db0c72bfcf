// The Ethereum JSON-RPC as a wallet sees the node: the envelope, the
// parameter readers and the method answers. Requests are read with the JSON
// reader; a text that is not a JSON-RPC request is answered with an error.
//
// One concern per file: json_rpc.cpp (envelope, batches, the request's
// save), json_rpc_params.cpp (parameters and quantities),
// json_rpc_methods.cpp (the method table and the account reads),
// json_rpc_views.cpp (blocks, transactions, receipts), json_rpc_token.cpp
// (the token contract) and wallet_transfer.cpp (eth_sendRawTransaction).
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "server/json_reader.h"

namespace ZezozuRiziv {
class RPCServer;
}

namespace ZezozuRiziv::json_rpc {

// Error codes of the JSON-RPC 2.0 specification that the node answers.
inline constexpr int kParseError = -32700;
inline constexpr int kInvalidRequest = -32600;
inline constexpr int kInvalidParams = -32602;
inline constexpr int kServerError = -32000;

// A batch longer than this is refused whole, before any of it is answered:
// each element may credit a new wallet.
inline constexpr size_t kMaxBatchRequests = 1000;

// Wallets count in wei (18 decimals), the ledger in atomic units (6).
inline constexpr uint64_t kWeiPerAtomic = 1'000'000'000'000ULL;
// The address of the token contract wallets show RUZ through.
inline constexpr char kTokenContract[] = "0x1000000000000000000000000000000000000001";
// The fixed fee the node quotes (1 gwei): gas price, priority fee and every
// block's base fee, so that wallets see one EIP-1559 chain.
inline constexpr char kFeeQuote[] = "\"0x3b9aca00\"";

// A method's answer: a result in JSON form, or an error.
struct Answer {
  std::string result = "null";
  int error_code = 0;  // 0: a result
  std::string error_message;

  static Answer ok(std::string result_json) { return Answer{std::move(result_json), 0, {}}; }
  static Answer error(int code, std::string message) {
    return Answer{"null", code, std::move(message)};
  }
};

// The id the answer to `request` repeats, in JSON form: a string or a number
// exactly as the request wrote it, null as null, 1 when there is none;
// nullopt for an id of any other kind (the request is then invalid).
std::optional<std::string> id_json(const JsonValue& request);

// {"jsonrpc":"2.0","id":<id>,"result":<result>} or, for an error,
// {"jsonrpc":"2.0","id":<id>,"error":{"code":<code>,"message":"<message>"}}.
std::string envelope(std::string_view id, const Answer& answer);

// --- Parameters and quantities (json_rpc_params.cpp) ----------------------

// "0x" + lower-case hex without leading zeros ("0x0" for 0).
std::string to_hex_quantity(uint64_t value);
std::string to_hex_quantity(unsigned __int128 value);
// Atomic units as wei (x 10^12, in 128 bits), as a quantity.
std::string to_hex_wei(uint64_t atomic);

// The request's params[index] when it is a string (escapes resolved);
// nullopt when params is not an array, is shorter, or holds another kind.
std::optional<std::string> string_param(const JsonValue& request, size_t index);
// The first parameter, lower-cased, when it is "0x" + 40 hex digits; empty
// otherwise (only a real address ever becomes a state key).
std::string address_param(const JsonValue& request);
// The first parameter when it is a string (a hash, a raw transaction);
// empty otherwise.
std::string hash_param(const JsonValue& request);

// The wallet's signature as the native record keeps it:
// "eth<type>:<r, 64 hex digits><s, 64 hex digits>:<v, hex>".
struct WalletSignature {
  int type = 0;
  std::string r, s, v;  // 0x-quantities
};
std::string encode_wallet_signature(int type, std::string_view r, std::string_view s,
                                    std::string_view v);
std::optional<WalletSignature> decode_wallet_signature(std::string_view text);

// --- The answers ------------------------------------------------------------
// Each takes the chain lock itself (shared to read, exclusive to write):
// callers hold no lock.

// The method table: the answer to `method` for `request`; an unknown
// method gets a null result (json_rpc_methods.cpp).
Answer answer_method(RPCServer& server, std::string_view method, const JsonValue& request);

// eth_getBlockByNumber / eth_getBlockByHash, eth_getTransactionByHash and
// eth_getTransactionReceipt (json_rpc_views.cpp).
Answer block_view(RPCServer& server, const JsonValue& request);
Answer transaction_view(RPCServer& server, const JsonValue& request);
Answer receipt_view(RPCServer& server, const JsonValue& request);

// The token contract the wallet shows RUZ through: eth_call's answers and
// eth_getCode (json_rpc_token.cpp).
Answer token_call(RPCServer& server, const JsonValue& request);
Answer token_code(const JsonValue& request);

// eth_sendRawTransaction: the wallet transfer, sealed as a one-transaction
// block through the ledger (wallet_transfer.cpp).
Answer send_raw_transaction(RPCServer& server, const JsonValue& request);

}  // namespace ZezozuRiziv::json_rpc
