// The Ethereum JSON-RPC: envelope, batches and the read methods.
#include "server/json_rpc.h"

#include <iostream>
#include <mutex>
#include <shared_mutex>

#include "chain/accounts.h"
#include "crypto/sha256.h"
#include "crypto/text.h"
#include "crypto/json_writer.h"
#include "server/rpc_server.h"
#include "storage/ledger.h"

namespace ZezozuRiziv {
namespace json_rpc {
namespace {

using RozeveCrypto::ascii_lower;
using RozeveCrypto::is_hex_text;

constexpr std::string_view kBlanks = " \t\r\n";
constexpr uint64_t kWeiPerAtomic = 1'000'000'000'000ULL;
// What a new wallet finds on its first balance query: 100 RUZ.
constexpr uint64_t kWelcomeCredit = 100'000'000;
constexpr char kZeroAddress[] = "0x0000000000000000000000000000000000000000";
constexpr char kTokenContract[] = "0x1000000000000000000000000000000000000001";
constexpr uint64_t kEmptyChainTimestamp = 1'700'000'000;
// The fixed fee the node quotes: gas price, priority fee and every block's
// base fee (1 gwei), so that wallets see one EIP-1559 chain.
constexpr char kFeeQuote[] = "\"0x3b9aca00\"";

std::string quoted(std::string_view text) { return json_string(text); }

// A quantity of up to 64 bits ("0x" + 1 to 16 hex digits).
std::optional<uint64_t> parse_quantity(std::string_view text) {
  if (!text.starts_with("0x") || text.size() < 3 || text.size() > 18) return std::nullopt;
  if (!is_hex_text(text.substr(2))) return std::nullopt;
  uint64_t value = 0;
  for (char c : text.substr(2)) {
    const int digit = c <= '9' ? c - '0' : (c | 0x20) - 'a' + 10;
    value = value * 16 + static_cast<uint64_t>(digit);
  }
  return value;
}

bool is_block_hash(std::string_view text) {
  return text.size() == 66 && text.starts_with("0x") && is_hex_text(text.substr(2));
}

// --- blocks -----------------------------------------------------------------

std::string block_object(const Block& block) {
  std::string out = "{\"number\":\"" + to_hex_quantity(block.index) + "\",";
  out += "\"hash\":" + quoted("0x" + block.block_hash) + ",";
  out += "\"parentHash\":" + quoted("0x" + block.prev_hash) + ",";
  out +=
      "\"nonce\":\"0x0000000000000042\","
      "\"sha3Uncles\":\"0x1dcc4de8dec75d7aab85b567b6ccd41ad312451b948a7413f0a142fd40d49347\","
      "\"logsBloom\":\"0x00000000000000000000000000000000000000000000000000000000000000000000000000000000\","
      "\"transactionsRoot\":\"0x56e81f171bcc55a6ff8345e692c0f86e5b48e01b996cadc001622fb5e363b421\","
      "\"stateRoot\":\"0x56e81f171bcc55a6ff8345e692c0f86e5b48e01b996cadc001622fb5e363b421\","
      "\"miner\":\"0x0000000000000000000000000000000000000000\","
      "\"difficulty\":\"0x1\","
      "\"totalDifficulty\":\"0x1\","
      "\"extraData\":\"0x526f7a657665\","
      "\"size\":\"0x100\","
      "\"gasLimit\":\"0x1fffffffffffff\","
      "\"gasUsed\":\"0x5208\",";
  out += std::string("\"baseFeePerGas\":") + kFeeQuote + ",";
  out += "\"timestamp\":\"" + to_hex_quantity(block.timestamp) + "\",";
  out += "\"transactions\":[]}";
  return out;
}

// The block a "block" parameter names: a tag, a hex height or a hash.
const Block* find_block(const Storage& storage, const std::string& asked) {
  const std::vector<Block>& chain = storage.get_blocks_cached();
  if (chain.empty()) return nullptr;
  if (asked == "latest" || asked == "pending" || asked == "safe" || asked == "finalized") {
    return &chain.back();
  }
  if (asked == "earliest") return &chain.front();
  if (is_block_hash(asked)) return storage.find_block_by_id(asked);
  if (const auto height = parse_quantity(asked)) {
    return storage.find_block_by_id(std::to_string(*height));
  }
  return nullptr;
}

Answer get_block(RPCServer& server, const JsonValue& request) {
  // Without a string there is no block asked for: answering the last one
  // would describe a block the caller did not name.
  const std::optional<std::string> asked = string_param(request, 0);
  if (!asked) {
    return Answer::error(kInvalidParams,
                         "Parametro del blocco non valido: serve una stringa con un numero "
                         "esadecimale, un'etichetta (latest, earliest, pending, safe, finalized) "
                         "o l'hash del blocco");
  }
  std::shared_lock lock(server.chain_lock);
  const Block* block = find_block(server.storage, *asked);
  return Answer::ok(block ? block_object(*block) : "null");
}

// --- transactions -----------------------------------------------------------

// What both lookups need of a transfer, from the server's records or from
// the stored chain.
struct FoundTx {
  std::string hash, from, to, block_hash, signature;
  uint64_t nonce = 0, value = 0, block_number = 0;
};

std::optional<FoundTx> find_transaction(const RPCServer& server, std::string_view hash) {
  if (hash.empty()) return std::nullopt;
  const std::string key = ascii_lower(hash);
  if (const auto it = server.evm_transactions.find(key); it != server.evm_transactions.end()) {
    const RPCServer::StoredEvmTx& r = it->second;
    return FoundTx{r.hash, r.from, r.to, r.block_hash, r.signature, r.nonce, r.value, r.block_number};
  }
  const Block* block = nullptr;
  const Transaction* tx = nullptr;
  if (!server.storage.find_tx_by_hash(key, block, tx)) return std::nullopt;
  std::string stored_hash = ascii_lower(tx->tx_hash);
  if (!stored_hash.starts_with("0x")) stored_hash = "0x" + stored_hash;
  return FoundTx{stored_hash, tx->sender, tx->recipient, "0x" + block->block_hash,
                 tx->signature, tx->nonce,  tx->amount,    block->index};
}

Answer get_transaction(RPCServer& server, const JsonValue& request) {
  std::shared_lock lock(server.chain_lock);
  const auto found = find_transaction(server, hash_param(request));
  if (!found) return Answer::ok("null");
  const auto signature = decode_wallet_signature(found->signature);
  JsonWriter json;
  json.begin_object()
      .field("hash", found->hash)
      .field("nonce", to_hex_quantity(found->nonce))
      .field("blockHash", found->block_hash)
      .field("blockNumber", to_hex_quantity(found->block_number))
      .field("transactionIndex", "0x0")
      .field("from", found->from)
      .field("to", found->to)
      .field("value", to_hex_wei(found->value))
      .field("gasPrice", "0x3b9aca00")
      .field("gas", "0x5208")
      .field("input", "0x")
      .field("type", to_hex_quantity(static_cast<uint64_t>(signature ? signature->type : 2)))
      .field("chainId", to_hex_quantity(server.chain_id));
  if (signature) {
    json.field("v", signature->v).field("r", signature->r).field("s", signature->s);
    if (signature->type != 0) json.field("yParity", signature->v);
  }
  json.end_object();
  return Answer::ok(json.take());
}

Answer get_receipt(RPCServer& server, const JsonValue& request) {
  std::shared_lock lock(server.chain_lock);
  const std::string hash = hash_param(request);
  const auto found = find_transaction(server, hash);
  if (!found) return Answer::ok("null");
  const bool plain_recipient =
      !found->to.empty() && found->to != kZeroAddress && found->to != kBurnAddress;
  std::string out = "{\"transactionHash\":" + quoted(found->hash) + ",";
  out += "\"transactionIndex\":\"0x0\",";
  out += "\"blockHash\":" + quoted(found->block_hash) + ",";
  out += "\"blockNumber\":\"" + to_hex_quantity(found->block_number) + "\",";
  out += "\"from\":" + quoted(found->from) + ",";
  if (plain_recipient) {
    out += "\"to\":" + quoted(found->to) + ",\"contractAddress\":null,";
  } else {
    out += std::string("\"to\":null,\"contractAddress\":\"") + kTokenContract + "\",";
  }
  out +=
      "\"cumulativeGasUsed\":\"0x5208\",\"gasUsed\":\"0x5208\",\"status\":\"0x1\",\"logs\":[]}";
  return Answer::ok(out);
}

// --- balances ---------------------------------------------------------------

Answer get_balance(RPCServer& server, const JsonValue& request) {
  const std::string address = address_param(request);
  if (address.empty()) return Answer::ok("\"0x0\"");
  uint64_t balance;
  {
    std::shared_lock lock(server.chain_lock);
    balance = server.state.get_balance(address);
  }
  if (balance == 0) {
    std::unique_lock lock(server.chain_lock);
    server.current_wallet_address = address;
    balance = server.state.get_balance(address);
    // Checked again under the exclusive lock: another request may have credited it.
    if (balance == 0) {
      // Saved now, or with the rest of the request when it opened a batch.
      if (LedgerResult credited = Ledger(server.storage, server.state)
                                      .credit_in_request(address, kWelcomeCredit);
          !credited) {
        return Answer::error(kServerError, credited.error);
      }
      std::cout << "[FAUCET AUTOMATICO] Nuovo wallet MetaMask " << address
                << " -> 100 RUZ accreditati!" << std::endl;
      balance = server.state.get_balance(address);
    }
  }
  return Answer::ok(quoted(to_hex_wei(balance)));
}

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

Answer call(RPCServer& server, std::string_view request) {
  std::shared_lock lock(server.chain_lock);
  if (request.find("18160ddd") != std::string_view::npos) {
    return Answer::ok("\"0x000000000000000000000000000000000000000000115eec47f6cf7e35000000\"");
  }
  if (request.find("313ce567") != std::string_view::npos) {
    return Answer::ok("\"0x0000000000000000000000000000000000000000000000000000000000000012\"");
  }
  if (request.find("95d89b41") != std::string_view::npos) return Answer::ok(abi_string("RUZ"));
  if (request.find("06fdde03") != std::string_view::npos) return Answer::ok(abi_string("Rozeve"));
  if (const size_t at = request.find("70a08231"); at != std::string_view::npos) {
    std::string owner;
    if (request.size() - at >= 72) {
      owner = ascii_lower("0x" + std::string(request.substr(at + 32, 40)));
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
    return Answer::ok(quoted(word));
  }
  return Answer::ok("\"0x0000000000000000000000000000000000000000000000000000000000000001\"");
}

// --- the method table -------------------------------------------------------

Answer answer_method(RPCServer& server, std::string_view method, const JsonValue& request) {
  if (method == "eth_chainId") return Answer::ok(quoted(to_hex_quantity(server.chain_id)));
  if (method == "net_version") return Answer::ok(quoted(std::to_string(server.chain_id)));
  if (method == "eth_syncing") return Answer::ok("false");
  if (method == "net_listening") return Answer::ok("true");
  if (method == "eth_accounts") return Answer::ok("[]");
  if (method == "eth_gasPrice" || method == "eth_maxPriorityFeePerGas") return Answer::ok(kFeeQuote);
  if (method == "eth_estimateGas") return Answer::ok("\"0x5208\"");
  if (method == "eth_feeHistory") {
    return Answer::ok(
        std::string("{\"oldestBlock\":\"0x0\",\"reward\":[[") + kFeeQuote + "]],\"baseFeePerGas\":[" +
        kFeeQuote + "," + kFeeQuote + "],\"gasUsedRatio\":[0.0]}");
  }
  if (method == "web3_clientVersion") return Answer::ok("\"ZezozuRiziv/v2.0.0-cpp17-ultra/windows\"");
  if (method == "eth_getCode") {
    return Answer::ok(request.raw().find("1000000000000000000000000000000000000001") != std::string_view::npos
                          ? "\"0x608060405234801561001057600080fd5b50\""
                          : "\"0x\"");
  }
  if (method == "eth_blockNumber") {
    std::shared_lock lock(server.chain_lock);
    const auto& chain = server.storage.get_blocks_cached();
    return Answer::ok(quoted(to_hex_quantity(chain.empty() ? 0 : chain.back().index)));
  }
  if (method == "eth_getTransactionCount") {
    const std::string address = address_param(request);
    std::shared_lock lock(server.chain_lock);
    return Answer::ok(quoted(to_hex_quantity(address.empty() ? 0 : server.state.get_nonce(address))));
  }
  if (method == "eth_getBalance") return get_balance(server, request);
  if (method == "eth_getBlockByNumber" || method == "eth_getBlockByHash") {
    return get_block(server, request);
  }
  if (method == "eth_getTransactionByHash") return get_transaction(server, request);
  if (method == "eth_getTransactionReceipt") return get_receipt(server, request);
  if (method == "eth_call") return call(server, request.raw());
  if (method == "eth_sendRawTransaction") return send_raw_transaction(server, request.raw());
  return Answer::ok("null");
}

std::string invalid_request(std::string_view id, std::string_view why) {
  return envelope(id, Answer::error(kInvalidRequest, "Richiesta JSON-RPC non valida: " + std::string(why)));
}

std::string answer_one(RPCServer& server, const JsonValue& request) {
  if (!request.is_object()) return invalid_request("null", "serve un oggetto");
  const std::optional<std::string> id = id_json(request);
  if (!id) return invalid_request("null", "l'id deve essere una stringa, un numero o null");
  // No method at all is answered as an unknown one: a null result.
  std::string method;
  if (const auto field = request.find("method")) {
    if (!field->is_string()) return invalid_request(*id, "il metodo deve essere una stringa");
    method = *field->string();
  }
  return envelope(*id, answer_method(server, method, request));
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

std::string hash_param(std::string_view request_text) {
  const std::optional<JsonDocument> document = JsonDocument::parse(request_text);
  return document ? hash_param(document->root()) : std::string();
}

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
  if (!root.is_array()) return answer_one(*this, root);

  // A batch, as ethers sends by default: one answer per element, in order.
  if (root.size() == 0) return envelope("null", Answer::error(kInvalidRequest, "Richiesta batch vuota"));
  if (root.size() > kMaxBatchRequests) {
    return envelope("null", Answer::error(kInvalidRequest,
                                          "Richiesta batch troppo grande (massimo " +
                                              std::to_string(kMaxBatchRequests) + " richieste)"));
  }
  std::string out = "[";
  for (const JsonValue& element : root.elements()) {
    if (out.size() > 1) out += ',';
    out += answer_one(*this, element);
  }
  out += ']';
  return out;
}

}  // namespace ZezozuRiziv
