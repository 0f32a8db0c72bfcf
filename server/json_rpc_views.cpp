// What a wallet reads of the chain: blocks, transactions and receipts, from
// the stored chain and the server's records of wallet transfers.

#include "chain/accounts.h"
#include "crypto/json_writer.h"
#include "crypto/text.h"
#include "server/json_rpc.h"
#include "server/rpc_server.h"

namespace ZezozuRiziv::json_rpc {
namespace {

using RozeveCrypto::ascii_lower;
using RozeveCrypto::is_hex_text;

constexpr char kZeroAddress[] = "0x0000000000000000000000000000000000000000";

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
// REQUIRES: the chain lock held.
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

// --- transactions -----------------------------------------------------------

// What both lookups need of a transfer, from the server's records or from
// the stored chain.
struct FoundTx {
  std::string hash, from, to, block_hash, signature;
  uint64_t nonce = 0, value = 0, block_number = 0;
};

std::optional<FoundTx> find_transaction(const RPCServer& server, std::string_view hash)
    REQUIRES_SHARED(server.chain_lock) {
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

}  // namespace

Answer block_view(RPCServer& server, const JsonValue& request) {
  // Without a string there is no block asked for: answering the last one
  // would describe a block the caller did not name.
  const std::optional<std::string> asked = string_param(request, 0);
  if (!asked) {
    return Answer::error(kInvalidParams,
                         "Parametro del blocco non valido: serve una stringa con un numero "
                         "esadecimale, un'etichetta (latest, earliest, pending, safe, finalized) "
                         "o l'hash del blocco");
  }
  platform::ReadLock lock(server.chain_lock);
  const Block* block = find_block(server.storage, *asked);
  return Answer::ok(block ? block_object(*block) : "null");
}

Answer transaction_view(RPCServer& server, const JsonValue& request) {
  platform::ReadLock lock(server.chain_lock);
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

Answer receipt_view(RPCServer& server, const JsonValue& request) {
  platform::ReadLock lock(server.chain_lock);
  const auto found = find_transaction(server, hash_param(request));
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

}  // namespace ZezozuRiziv::json_rpc
