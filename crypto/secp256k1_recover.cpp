#include "crypto/secp256k1_recover.h"

#include <secp256k1.h>
#include <secp256k1_recovery.h>

#include <algorithm>

namespace RozeveCrypto {

namespace {

using Scalar = std::array<uint8_t, 32>;

// The curve order n, big-endian.
constexpr Scalar kCurveOrder = {
    0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFE,
    0xBA, 0xAE, 0xDC, 0xE6, 0xAF, 0x48, 0xA0, 0x3B, 0xBF, 0xD2, 0x5E, 0x8C, 0xD0, 0x36, 0x41, 0x41};

// n / 2, rounded down: an s above it has a twin n - s that signs the same
// message, so Ethereum accepts only the lower one (EIP-2).
constexpr Scalar kHalfCurveOrder = {
    0x7F, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF,
    0x5D, 0x57, 0x6E, 0x73, 0x57, 0xA4, 0x50, 0x1D, 0xDF, 0xE9, 0x2F, 0x46, 0x68, 0x1B, 0x20, 0xA0};

bool is_zero(const Scalar& x) {
  return std::all_of(x.begin(), x.end(), [](uint8_t b) { return b == 0; });
}

// Created once and never changed afterwards, so every thread may share it;
// the static's initialisation is thread-safe.
const secp256k1_context* context() {
  static secp256k1_context* const ctx = secp256k1_context_create(SECP256K1_CONTEXT_NONE);
  return ctx;
}

}  // namespace

std::optional<EthAddress> recover_signer(const Hash256& digest, const std::array<uint8_t, 32>& r,
                                         const std::array<uint8_t, 32>& s, int recovery_id) {
  // Ids 2 and 3 stand for an r beyond n, which an honest signer meets with
  // negligible chance; Ethereum's v cannot express them anyway.
  if (recovery_id != 0 && recovery_id != 1) return std::nullopt;
  if (is_zero(r) || is_zero(s)) return std::nullopt;
  // Equal-length big-endian numbers compare as their byte arrays do.
  if (r >= kCurveOrder || s >= kCurveOrder) return std::nullopt;
  if (s > kHalfCurveOrder) return std::nullopt;

  const secp256k1_context* ctx = context();
  if (ctx == nullptr) return std::nullopt;

  uint8_t compact[64];
  std::copy(r.begin(), r.end(), compact);
  std::copy(s.begin(), s.end(), compact + 32);
  secp256k1_ecdsa_recoverable_signature signature;
  if (!secp256k1_ecdsa_recoverable_signature_parse_compact(ctx, &signature, compact, recovery_id)) {
    return std::nullopt;
  }
  secp256k1_pubkey pubkey;
  if (!secp256k1_ecdsa_recover(ctx, &pubkey, &signature, digest.data())) return std::nullopt;

  uint8_t uncompressed[65];
  size_t size = sizeof(uncompressed);
  if (!secp256k1_ec_pubkey_serialize(ctx, uncompressed, &size, &pubkey,
                                     SECP256K1_EC_UNCOMPRESSED) ||
      size != sizeof(uncompressed)) {
    return std::nullopt;
  }
  // The address hashes the two coordinates, without the 0x04 tag.
  const Hash256 key_hash = keccak256(uncompressed + 1, 64);
  EthAddress address;
  std::copy(key_hash.end() - address.size(), key_hash.end(), address.begin());
  return address;
}

}  // namespace RozeveCrypto
