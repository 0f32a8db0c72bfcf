// Wallet-signed transfers made in C++ as a wallet makes them: a secp256k1
// key, its Ethereum address, and legacy EIP-155 transfers signed with it.
#pragma once

#include <secp256k1.h>
#include <secp256k1_recovery.h>

#include <array>
#include <cstdint>
#include <string>
#include <vector>

#include "crypto/keccak256.h"
#include "crypto/sha256.h"
#include "server/rlp.h"

namespace rozeve_test {

class EthKey {
 public:
  // A key of 32 bytes of `fill` (any byte but 0).
  explicit EthKey(uint8_t fill) {
    secret_.fill(fill);
    secp256k1_pubkey pubkey;
    if (secp256k1_ec_pubkey_create(context(), &pubkey, secret_.data()) != 1) return;
    uint8_t uncompressed[65];
    size_t len = sizeof uncompressed;
    secp256k1_ec_pubkey_serialize(context(), uncompressed, &len, &pubkey,
                                  SECP256K1_EC_UNCOMPRESSED);
    const RozeveCrypto::Hash256 hash = RozeveCrypto::keccak256(uncompressed + 1, 64);
    address_ = "0x" + RozeveCrypto::bytes_to_hex(hash.data() + 12, 20);
  }

  const std::string& address() const { return address_; }

  // "0x" + the hex of a signed legacy transfer of `value_wei` to `to` (a
  // "0x" address), gas price 1 gwei, gas 21,000, on `chain_id`.
  std::string legacy_transfer(uint64_t nonce, const std::string& to, unsigned __int128 value_wei,
                              uint64_t chain_id = 202677) const {
    std::vector<std::vector<uint8_t>> fields = {
        integer(nonce), integer(1'000'000'000), integer(21'000), address_bytes(to),
        integer(value_wei), {}};
    std::vector<std::vector<uint8_t>> signing = fields;
    signing.push_back(integer(chain_id));
    signing.push_back({});
    signing.push_back({});
    const std::vector<uint8_t> message = list(signing);
    const RozeveCrypto::Hash256 digest = RozeveCrypto::keccak256(message.data(), message.size());
    secp256k1_ecdsa_recoverable_signature sig;
    if (secp256k1_ecdsa_sign_recoverable(context(), &sig, digest.data(), secret_.data(), nullptr,
                                         nullptr) != 1) {
      return "";
    }
    uint8_t compact[64];
    int recovery_id = 0;
    secp256k1_ecdsa_recoverable_signature_serialize_compact(context(), compact, &recovery_id, &sig);
    fields.push_back(integer(chain_id * 2 + 35 + static_cast<uint64_t>(recovery_id)));
    fields.push_back(trimmed(compact, 32));
    fields.push_back(trimmed(compact + 32, 32));
    const std::vector<uint8_t> raw = list(fields);
    return "0x" + RozeveCrypto::bytes_to_hex(raw.data(), raw.size());
  }

 private:
  static secp256k1_context* context() {
    static secp256k1_context* const ctx = secp256k1_context_create(SECP256K1_CONTEXT_NONE);
    return ctx;
  }
  // Big-endian without leading zeros (0 is the empty string).
  static std::vector<uint8_t> integer(unsigned __int128 value) {
    std::vector<uint8_t> out;
    while (value != 0) {
      out.insert(out.begin(), static_cast<uint8_t>(value & 0xff));
      value >>= 8;
    }
    return out;
  }
  static std::vector<uint8_t> trimmed(const uint8_t* data, size_t len) {
    while (len > 0 && *data == 0) {
      ++data;
      --len;
    }
    return std::vector<uint8_t>(data, data + len);
  }
  static std::vector<uint8_t> address_bytes(const std::string& address) {
    std::vector<uint8_t> out;
    for (size_t i = 2; i + 1 < address.size(); i += 2) {
      out.push_back(static_cast<uint8_t>(std::stoi(address.substr(i, 2), nullptr, 16)));
    }
    return out;
  }
  static std::vector<uint8_t> list(const std::vector<std::vector<uint8_t>>& items) {
    std::vector<uint8_t> body;
    for (const auto& item : items) ZezozuRiziv::append_rlp_string(body, item.data(), item.size());
    std::vector<uint8_t> out;
    ZezozuRiziv::append_rlp_list_header(out, body.size());
    out.insert(out.end(), body.begin(), body.end());
    return out;
  }

  std::array<uint8_t, 32> secret_{};
  std::string address_;
};

}  // namespace rozeve_test
