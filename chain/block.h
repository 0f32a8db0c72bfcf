// Blocks, the genesis block and the one-line block record text.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "chain/limits.h"
#include "chain/transaction.h"

namespace ZezozuRiziv {

// Supply created by the genesis block: 21,000,000 RUZ.
inline constexpr uint64_t kGenesisSupply = 21'000'000ULL * 1'000'000ULL;
inline constexpr uint64_t kGenesisTimestamp = 1'700'000'000;

struct Block {
  uint64_t index = 0;  // height; genesis is 0
  uint64_t timestamp = 0;
  std::string prev_hash;            // 64 '0' for genesis
  std::string merkle_root;          // over the transactions' tx_hash texts
  std::string validator;            // "GENESIS" for genesis
  std::string validator_signature;  // empty before sealing
  std::vector<Transaction> transactions;
  std::string block_hash;  // covers index, timestamp, prev_hash, merkle_root, validator

  Block() = default;
  // A timestamp of 0 means now. Sets merkle_root and block_hash.
  Block(uint64_t index, const std::string& prev_hash, const std::string& validator,
        const std::vector<Transaction>& transactions, uint64_t timestamp);

  std::string calculate_merkle_root() const;
  std::string calculate_hash() const;
  // Recomputes the root and the hash, then signs the hash ("GENESIS_SIGNATURE"
  // at index 0). The empty key is accepted.
  void seal(const std::string& private_key);
  // Hash and root match; above index 0 also a valid validator address, a
  // well-formed signature and verified transactions. Linkage, nonces and
  // balances are checked elsewhere.
  [[nodiscard]] bool verify() const;

  // {"index":N,"timestamp":N,"prev_hash":"…","merkle_root":"…","validator":"…",
  //  "validator_signature":"…","block_hash":"…","tx_count":N,"transactions":[…]}
  std::string serialize() const;
  // nullopt when a number is not a number, a text field holds a control
  // byte, a transaction fails to read, or the array holds more than
  // kMaxBlockTransactions records (counted before any is built).
  [[nodiscard]] static std::optional<Block> deserialize(const std::string& text);

  // Block 0: one GENESIS transaction of 21,000,000 RUZ to the treasury;
  // depends on nothing but the address.
  static Block create_genesis_block(const std::string& treasury_address);
};

}  // namespace ZezozuRiziv
