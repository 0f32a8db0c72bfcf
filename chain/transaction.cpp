#include "chain/transaction.h"

#include <chrono>
#include <exception>
#include <utility>

#include "chain/record_text.h"
#include "crypto/crypto_keys.h"
#include "crypto/sha256.h"

namespace ZezozuRiziv {

uint64_t now_unix_seconds() {
  const auto since_epoch = std::chrono::system_clock::now().time_since_epoch();
  return static_cast<uint64_t>(std::chrono::duration_cast<std::chrono::seconds>(since_epoch).count());
}

std::string tx_type_to_string(TxType type) {
  switch (type) {
    case TxType::TRANSFER:
      return "TRANSFER";
    case TxType::STAKE:
      return "STAKE";
    case TxType::UNSTAKE:
      return "UNSTAKE";
    case TxType::COINBASE_REWARD:
      return "COINBASE_REWARD";
    case TxType::GENESIS:
      return "GENESIS";
  }
  return "UNKNOWN";
}

TxType string_to_tx_type(const std::string& name) {
  if (name == "STAKE") return TxType::STAKE;
  if (name == "UNSTAKE") return TxType::UNSTAKE;
  if (name == "COINBASE_REWARD") return TxType::COINBASE_REWARD;
  if (name == "GENESIS") return TxType::GENESIS;
  return TxType::TRANSFER;
}

Transaction::Transaction(TxType type, std::string sender, std::string recipient, uint64_t amount,
                         uint64_t fee, uint64_t nonce, uint64_t timestamp)
    : type(type),
      sender(std::move(sender)),
      recipient(std::move(recipient)),
      amount(amount),
      fee(fee),
      nonce(nonce),
      timestamp(timestamp == 0 ? now_unix_seconds() : timestamp) {
  tx_hash = calculate_hash();
}

std::string Transaction::calculate_hash() const {
  std::string text;
  text.reserve(sender.size() + recipient.size() + 100);
  text += tx_type_to_string(type);
  text += ':';
  text += sender;
  text += ':';
  text += recipient;
  text += ':';
  append_decimal(text, amount);
  text += ':';
  append_decimal(text, fee);
  text += ':';
  append_decimal(text, nonce);
  text += ':';
  append_decimal(text, timestamp);
  return RozeveCrypto::SHA256::double_hash_string(text);
}

void Transaction::sign(const std::string& private_key) {
  tx_hash = calculate_hash();
  signature = RozeveCrypto::CryptoKeys::sign_message(tx_hash, private_key);
}

bool Transaction::verify() const {
  using RozeveCrypto::CryptoKeys;
  if (calculate_hash() != tx_hash) return false;
  if (type == TxType::COINBASE_REWARD || type == TxType::GENESIS) return true;
  if (!CryptoKeys::is_valid_address(sender)) return false;
  // Only a transfer moves coins to another account; a stake's recipient is
  // the wallet's own bookkeeping and is not checked.
  if (type == TxType::TRANSFER && !CryptoKeys::is_valid_address(recipient)) return false;
  if (signature.empty()) return false;
  return CryptoKeys::verify_signature(tx_hash, signature, sender);
}

std::string Transaction::serialize() const {
  std::string out;
  out.reserve(sender.size() + recipient.size() + tx_hash.size() + signature.size() + 200);
  out += '{';
  append_quoted_pair(out, "\"type\":", tx_type_to_string(type));
  append_quoted_pair(out, ",\"sender\":", sender);
  append_quoted_pair(out, ",\"recipient\":", recipient);
  append_bare_pair(out, ",\"amount\":", amount);
  append_bare_pair(out, ",\"fee\":", fee);
  append_bare_pair(out, ",\"nonce\":", nonce);
  append_bare_pair(out, ",\"timestamp\":", timestamp);
  append_quoted_pair(out, ",\"tx_hash\":", tx_hash);
  append_quoted_pair(out, ",\"signature\":", signature);
  out += '}';
  return out;
}

std::optional<Transaction> Transaction::deserialize(const std::string& text) {
  try {
    Transaction tx;
    const auto text_field = [&text](const char* key, std::string& field) {
      return read_text_field(text, key, field);
    };
    const auto number_field = [&text](const char* key, uint64_t& field) {
      return read_number_field(text, key, field);
    };

    std::string type_name;
    if (!text_field("type", type_name)) return std::nullopt;
    tx.type = string_to_tx_type(type_name);
    if (!text_field("sender", tx.sender) || !text_field("recipient", tx.recipient) ||
        !number_field("amount", tx.amount) || !number_field("fee", tx.fee) ||
        !number_field("nonce", tx.nonce) || !number_field("timestamp", tx.timestamp) ||
        !text_field("tx_hash", tx.tx_hash) || !text_field("signature", tx.signature)) {
      return std::nullopt;
    }
    return tx;
  } catch (const std::exception&) {
    // Only allocation can throw here; the record is skipped like any bad one.
    return std::nullopt;
  }
}

}  // namespace ZezozuRiziv
