// One key pair that builds signed transactions, and its wallet file.
#pragma once

#include <cstdint>
#include <string>

#include "chain/transaction.h"
#include "crypto/crypto_keys.h"

namespace ZezozuRiziv {

class Wallet {
 public:
  RozeveCrypto::KeyPair keys;

  Wallet() = default;
  explicit Wallet(const RozeveCrypto::KeyPair& key_pair);

  static Wallet generate();
  // Derives the public key and address from the text; not validated.
  static Wallet from_private_key(const std::string& private_key);

  const std::string& address() const { return keys.address; }
  const std::string& private_key() const { return keys.private_key; }
  const std::string& public_key() const { return keys.public_key; }

  // Signed transactions stamped now; the caller supplies nonce and fee.
  Transaction create_transfer(const std::string& to, uint64_t amount, uint64_t fee,
                              uint64_t nonce) const;
  Transaction create_stake(uint64_t amount, uint64_t fee, uint64_t nonce) const;
  Transaction create_unstake(uint64_t amount, uint64_t fee, uint64_t nonce) const;

  // Writes the five-line wallet file crash-safely, readable by its owner
  // only (it holds the private key); false when it could not be written.
  [[nodiscard]] bool save_to_file(const std::string& path) const;
  // A wallet with empty fields when the file cannot be read.
  static Wallet load_from_file(const std::string& path);
};

}  // namespace ZezozuRiziv
