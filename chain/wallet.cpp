#include "chain/wallet.h"

#include <exception>
#include <fstream>
#include <iterator>

#include "crypto/sha256.h"
#include "platform/file_system.h"

namespace ZezozuRiziv {

namespace {

// The value between the two quotes that follow the first "name": in the text;
// empty when the key or a quote is missing.
std::string extract_w_field(const std::string& text, const std::string& name) {
  const std::string key = "\"" + name + "\":";
  size_t key_pos = text.find(key);
  if (key_pos == std::string::npos) return "";
  size_t open = text.find('"', key_pos + key.size());
  if (open == std::string::npos) return "";
  size_t close = text.find('"', open + 1);
  if (close == std::string::npos) return "";
  return text.substr(open + 1, close - open - 1);
}

}  // namespace

Wallet::Wallet(const RozeveCrypto::KeyPair& key_pair) : keys(key_pair) {}

Wallet Wallet::generate() { return Wallet(RozeveCrypto::CryptoKeys::generate_keypair()); }

Wallet Wallet::from_private_key(const std::string& private_key) {
  RozeveCrypto::KeyPair key_pair;
  key_pair.private_key = private_key;
  key_pair.public_key = RozeveCrypto::SHA256::hash_string("RUZ_PUB:" + private_key);
  key_pair.address = RozeveCrypto::CryptoKeys::private_key_to_address(private_key);
  return Wallet(key_pair);
}

Transaction Wallet::create_transfer(const std::string& to, uint64_t amount, uint64_t fee,
                                    uint64_t nonce) const {
  Transaction tx(TxType::TRANSFER, keys.address, to, amount, fee, nonce, 0);
  tx.sign(keys.private_key);
  return tx;
}

Transaction Wallet::create_stake(uint64_t amount, uint64_t fee, uint64_t nonce) const {
  Transaction tx(TxType::STAKE, keys.address, keys.address, amount, fee, nonce, 0);
  tx.sign(keys.private_key);
  return tx;
}

Transaction Wallet::create_unstake(uint64_t amount, uint64_t fee, uint64_t nonce) const {
  Transaction tx(TxType::UNSTAKE, keys.address, keys.address, amount, fee, nonce, 0);
  tx.sign(keys.private_key);
  return tx;
}

bool Wallet::save_to_file(const std::string& path) const {
  std::string text;
  text.reserve(64 + keys.address.size() + keys.private_key.size() + keys.public_key.size());
  text += "{\n";
  text += "  \"address\": \"" + keys.address + "\",\n";
  text += "  \"private_key\": \"" + keys.private_key + "\",\n";
  text += "  \"public_key\": \"" + keys.public_key + "\"\n";
  text += "}\n";
  // The file holds the private key: owner-only, and never half-written.
  return platform::replace_file(path, text, platform::FileAccess::kOwnerOnly) ==
         platform::ReplaceResult::kReplaced;
}

Wallet Wallet::load_from_file(const std::string& path) {
  std::string text;
  try {
    std::ifstream file(path, std::ios::binary);
    if (!file.is_open()) return Wallet();
    text.assign(std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>());
  } catch (const std::exception&) {
    return Wallet();
  }
  RozeveCrypto::KeyPair key_pair;
  key_pair.address = extract_w_field(text, "address");
  key_pair.private_key = extract_w_field(text, "private_key");
  key_pair.public_key = extract_w_field(text, "public_key");
  return Wallet(key_pair);
}

}  // namespace ZezozuRiziv
