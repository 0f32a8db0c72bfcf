#include "chain/block.h"

#include <algorithm>
#include <exception>

#include "chain/record_text.h"
#include "crypto/crypto_keys.h"
#include "crypto/merkle.h"
#include "crypto/sha256.h"

namespace ZezozuRiziv {

namespace {

// A bare block value also ends at ']', so that a number written last before
// a closing bracket still reads.
constexpr std::string_view kBlockBareStops = ",}]";
constexpr std::string_view kTransactionsOpening = "\"transactions\":[";
// Fixed room for the keys and numbers of one record, on top of its texts.
constexpr size_t kRecordOverhead = 200;

size_t estimated_size(const Transaction& tx) {
  return tx.sender.size() + tx.recipient.size() + tx.tx_hash.size() + tx.signature.size() +
         kRecordOverhead;
}

}  // namespace

Block::Block(uint64_t index, const std::string& prev_hash, const std::string& validator,
             const std::vector<Transaction>& transactions, uint64_t timestamp)
    : index(index),
      timestamp(timestamp == 0 ? now_unix_seconds() : timestamp),
      prev_hash(prev_hash),
      validator(validator),
      transactions(transactions) {
  merkle_root = calculate_merkle_root();
  block_hash = calculate_hash();
}

std::string Block::calculate_merkle_root() const {
  std::vector<std::string> hashes;
  hashes.reserve(transactions.size());
  for (const Transaction& tx : transactions) hashes.push_back(tx.tx_hash);
  return RozeveCrypto::MerkleTree::compute_merkle_root(hashes);
}

std::string Block::calculate_hash() const {
  std::string text;
  text.reserve(prev_hash.size() + merkle_root.size() + validator.size() + 50);
  append_decimal(text, index);
  text += ':';
  append_decimal(text, timestamp);
  text += ':';
  text += prev_hash;
  text += ':';
  text += merkle_root;
  text += ':';
  text += validator;
  return RozeveCrypto::SHA256::double_hash_string(text);
}

void Block::seal(const std::string& private_key) {
  merkle_root = calculate_merkle_root();
  block_hash = calculate_hash();
  validator_signature = index == 0 ? std::string("GENESIS_SIGNATURE")
                                   : RozeveCrypto::CryptoKeys::sign_message(block_hash, private_key);
}

bool Block::verify() const {
  using RozeveCrypto::CryptoKeys;
  if (calculate_hash() != block_hash) return false;
  if (calculate_merkle_root() != merkle_root) return false;
  if (index == 0) return true;
  if (!CryptoKeys::is_valid_address(validator) ||
      !CryptoKeys::verify_signature(block_hash, validator_signature, validator)) {
    return false;
  }
  for (const Transaction& tx : transactions) {
    if (!tx.verify()) return false;
  }
  return true;
}

std::string Block::serialize() const {
  size_t size = prev_hash.size() + merkle_root.size() + validator.size() +
                validator_signature.size() + block_hash.size() + kRecordOverhead;
  for (const Transaction& tx : transactions) size += estimated_size(tx) + 1;

  std::string out;
  out.reserve(size);
  out += '{';
  append_bare_pair(out, "\"index\":", index);
  append_bare_pair(out, ",\"timestamp\":", timestamp);
  append_quoted_pair(out, ",\"prev_hash\":", prev_hash);
  append_quoted_pair(out, ",\"merkle_root\":", merkle_root);
  append_quoted_pair(out, ",\"validator\":", validator);
  append_quoted_pair(out, ",\"validator_signature\":", validator_signature);
  append_quoted_pair(out, ",\"block_hash\":", block_hash);
  append_bare_pair(out, ",\"tx_count\":", transactions.size());
  out += ",\"transactions\":[";
  for (size_t i = 0; i < transactions.size(); ++i) {
    if (i > 0) out += ',';
    out += transactions[i].serialize();
  }
  out += "]}";
  return out;
}

std::optional<Block> Block::deserialize(const std::string& text) {
  try {
    Block block;
    const auto text_field = [&text](const char* key, std::string& field) {
      return read_text_field(text, key, field, kBlockBareStops);
    };
    const auto number_field = [&text](const char* key, uint64_t& field) {
      return read_number_field(text, key, field, kBlockBareStops);
    };

    // The block's own keys precede its transactions in the text, so the
    // first occurrence of each is the block's. tx_count is not trusted: the
    // array is what counts.
    if (!number_field("index", block.index) || !number_field("timestamp", block.timestamp) ||
        !text_field("prev_hash", block.prev_hash) ||
        !text_field("merkle_root", block.merkle_root) ||
        !text_field("validator", block.validator) ||
        !text_field("validator_signature", block.validator_signature) ||
        !text_field("block_hash", block.block_hash)) {
      return std::nullopt;
    }

    const size_t opening = text.find(kTransactionsOpening);
    if (opening == std::string::npos) return block;
    size_t pos = opening + kTransactionsOpening.size();
    // Every record opens with its own '{': counting them bounds the work and
    // the memory before anything is built (8 MiB of "{}" would otherwise
    // become four million records).
    const size_t records = static_cast<size_t>(
        std::count(text.begin() + static_cast<std::ptrdiff_t>(pos), text.end(), '{'));
    if (records > kMaxBlockTransactions) return std::nullopt;
    block.transactions.reserve(records);
    while (pos < text.size()) {
      const size_t open = text.find('{', pos);
      if (open == std::string::npos) break;
      const size_t close = text.find('}', open + 1);
      if (close == std::string::npos) break;
      auto tx = Transaction::deserialize(text.substr(open, close - open + 1));
      // One unreadable transaction makes the whole block unreadable: a block
      // missing a transaction would no longer match its Merkle root anyway.
      if (!tx) return std::nullopt;
      block.transactions.push_back(std::move(*tx));
      pos = close + 1;
    }
    return block;
  } catch (const std::exception&) {
    // Only allocation can throw here; the record is skipped like any bad one.
    return std::nullopt;
  }
}

Block Block::create_genesis_block(const std::string& treasury_address) {
  Transaction genesis_tx(TxType::GENESIS, "GENESIS", treasury_address, kGenesisSupply, 0, 0,
                         kGenesisTimestamp);
  // Set after hashing: the signature is outside the transaction hash.
  genesis_tx.signature = "GENESIS_VALIDATED";
  Block block(0, std::string(64, '0'), "GENESIS", {genesis_tx}, kGenesisTimestamp);
  block.seal("");
  return block;
}

}  // namespace ZezozuRiziv
