// Ledger transactions, their hash, signature and one-line record text.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

namespace ZezozuRiziv {

// The system clock in whole Unix seconds: the time of ledger records.
uint64_t now_unix_seconds();

enum class TxType : uint32_t {
  TRANSFER = 0,
  STAKE = 1,
  UNSTAKE = 2,
  COINBASE_REWARD = 3,
  GENESIS = 4,
};

// The table name; "UNKNOWN" for a value outside it.
std::string tx_type_to_string(TxType type);
// Exact names only; every other text (including "TRANSFER") is TRANSFER.
TxType string_to_tx_type(const std::string& name);

struct Transaction {
  TxType type = TxType::TRANSFER;
  std::string sender;     // any text for COINBASE_REWARD and GENESIS
  std::string recipient;  // a wallet's own address for its STAKE and UNSTAKE
  uint64_t amount = 0;    // atomic units
  uint64_t fee = 0;       // atomic units
  uint64_t nonce = 0;
  uint64_t timestamp = 0;  // Unix seconds
  std::string signature;   // 64 hex digits, empty while unsigned
  std::string tx_hash;     // covers every field above except the signature

  Transaction() = default;
  // A timestamp of 0 means now. Sets tx_hash; leaves the signature empty.
  Transaction(TxType type, std::string sender, std::string recipient, uint64_t amount,
              uint64_t fee, uint64_t nonce, uint64_t timestamp);

  // double_hash_string("TYPE:sender:recipient:amount:fee:nonce:timestamp").
  std::string calculate_hash() const;
  // Recomputes tx_hash, then signs it with the key.
  void sign(const std::string& private_key);
  // Hash matches; for other than COINBASE_REWARD/GENESIS also valid addresses
  // (the recipient only for TRANSFER) and a well-formed signature.
  [[nodiscard]] bool verify() const;

  // {"type":"…","sender":"…","recipient":"…","amount":N,"fee":N,"nonce":N,
  //  "timestamp":N,"tx_hash":"…","signature":"…"} on one line, unescaped.
  std::string serialize() const;
  // nullopt when a number is not a number (or overflows) or a text field
  // holds a control byte; missing keys read as empty texts and zeros.
  [[nodiscard]] static std::optional<Transaction> deserialize(const std::string& text);
};

}  // namespace ZezozuRiziv
