#include "crypto/crypto_keys.h"

#include <chrono>
#include <cstdint>
#include <exception>
#include <random>

#include "crypto/sha256.h"
#include "crypto/text.h"

namespace RozeveCrypto {

namespace {

constexpr char kNativePrefix[] = "RUZ";
constexpr char kPublicKeyTag[] = "RUZ_PUB:";
constexpr size_t kPrefixLength = 3;
// Hex digits of hash_string(public_key) kept as the address body.
constexpr size_t kBodyLength = 36;
// Hex digits of the double hash kept as the checksum.
constexpr size_t kChecksumLength = 4;
constexpr size_t kNativeAddressLength = kPrefixLength + kBodyLength + kChecksumLength;  // 43
// "0x" plus 40 hex digits.
constexpr size_t kEthAddressLength = 42;
constexpr size_t kSignatureLength = 64;
// Random bytes in a private key.
constexpr size_t kPrivateKeyBytes = 32;

std::string checksum_of(const std::string& body) {
  return SHA256::double_hash_string(kNativePrefix + body).substr(0, kChecksumLength);
}

// One 32-bit value from the default random device; 0 when it is unavailable,
// the clock in the seed still varying the key.
uint32_t read_random_device() {
  try {
    std::random_device device("default");
    return static_cast<uint32_t>(device());
  } catch (const std::exception&) {
    return 0;
  }
}

}  // namespace

KeyPair CryptoKeys::generate_keypair() {
  const uint32_t r = read_random_device();
  const uint64_t now_ns = static_cast<uint64_t>(
      std::chrono::duration_cast<std::chrono::nanoseconds>(
          std::chrono::system_clock::now().time_since_epoch())
          .count());
  std::mt19937_64 engine(static_cast<uint64_t>(r) ^ now_ns);

  uint8_t bytes[kPrivateKeyBytes];
  for (size_t i = 0; i < kPrivateKeyBytes; i += 4) {
    // The upper half of each 64-bit output, written most significant byte first.
    const uint32_t word = static_cast<uint32_t>(engine() >> 32);
    bytes[i] = static_cast<uint8_t>(word >> 24);
    bytes[i + 1] = static_cast<uint8_t>(word >> 16);
    bytes[i + 2] = static_cast<uint8_t>(word >> 8);
    bytes[i + 3] = static_cast<uint8_t>(word);
  }

  KeyPair pair;
  pair.private_key = bytes_to_hex(bytes, kPrivateKeyBytes);
  pair.public_key = SHA256::hash_string(kPublicKeyTag + pair.private_key);
  pair.address = derive_address_from_pubkey(pair.public_key);
  return pair;
}

std::string CryptoKeys::derive_address_from_pubkey(const std::string& public_key) {
  const std::string body = SHA256::hash_string(public_key).substr(0, kBodyLength);
  return kNativePrefix + body + checksum_of(body);
}

std::string CryptoKeys::private_key_to_address(const std::string& private_key) {
  return derive_address_from_pubkey(SHA256::hash_string(kPublicKeyTag + private_key));
}

std::string CryptoKeys::sign_message(const std::string& message, const std::string& private_key) {
  const std::string inner = SHA256::hash_string(private_key + ":" + message);
  return SHA256::hash_string("SIG:" + inner + ":" + private_key);
}

bool CryptoKeys::verify_signature(const std::string& /*message*/, const std::string& signature,
                                  const std::string& address) {
  // Only the form is checked: there is no public-key operation to run.
  return signature.size() == kSignatureLength && is_valid_address(address);
}

bool CryptoKeys::is_valid_address(const std::string& address) {
  if (address.size() == kEthAddressLength) {
    if (address[0] != '0' || (address[1] != 'x' && address[1] != 'X')) return false;
    for (size_t i = 2; i < address.size(); ++i) {
      if (hex_digit_value(address[i]) < 0) return false;
    }
    return true;
  }
  if (address.size() == kNativeAddressLength) {
    if (address.compare(0, kPrefixLength, kNativePrefix) != 0) return false;
    // The body is what key derivation writes: lower-case hex digits. A
    // checksum alone would admit any 36 bytes, quotes and braces included,
    // and an address becomes a key of the state text.
    const std::string body = address.substr(kPrefixLength, kBodyLength);
    for (char c : body) {
      if (!((c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'))) return false;
    }
    return address.compare(kPrefixLength + kBodyLength, kChecksumLength, checksum_of(body)) == 0;
  }
  return false;
}

std::string CryptoKeys::address_key(const std::string& address) {
  if (address.starts_with(kNativePrefix) && is_valid_address(address)) return address;
  return ascii_lower(address);
}

}  // namespace RozeveCrypto
