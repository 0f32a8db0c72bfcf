// Hash-based key pairs, checksummed native addresses and signatures.
//
// There is no asymmetric cryptography here: a signature is checked only for
// its form (64 characters from a valid address), so it does not prove who
// made it.
#pragma once

#include <string>

namespace RozeveCrypto {

struct KeyPair {
  std::string private_key;  // 64 lower-case hex digits (32 random bytes)
  std::string public_key;   // hash_string("RUZ_PUB:" + private_key)
  std::string address;      // native address of public_key (43 characters)
};

class CryptoKeys {
 public:
  // A fresh random key pair; builds its own random device and engine.
  static KeyPair generate_keypair();
  // "RUZ" + first 36 digits of hash_string(public_key) + 4-digit checksum.
  static std::string derive_address_from_pubkey(const std::string& public_key);
  static std::string private_key_to_address(const std::string& private_key);
  // hash_string("SIG:" + hash_string(private_key + ":" + message) + ":" + private_key).
  static std::string sign_message(const std::string& message, const std::string& private_key);
  // True when the signature is 64 characters long and the address is valid;
  // the message and the signature's characters are not examined.
  static bool verify_signature(const std::string& message, const std::string& signature,
                               const std::string& address);
  // A 43-character native address ("RUZ", 36 lower-case hex digits and a
  // matching checksum), or "0x"/"0X" followed by 40 hex digits.
  [[nodiscard]] static bool is_valid_address(const std::string& address);
  // The one spelling under which an address is kept and looked up: a valid
  // native address as written (its "RUZ" prefix and checksum are
  // case-exact: lower-cased it would name no account at all), any other
  // text with its ASCII capitals lower-cased, as wallet addresses are kept.
  static std::string address_key(const std::string& address);
};

}  // namespace RozeveCrypto
