// The signer of an Ethereum signature: secp256k1 public-key recovery.
#pragma once

#include <array>
#include <cstdint>
#include <optional>

#include "crypto/keccak256.h"

namespace RozeveCrypto {

using EthAddress = std::array<uint8_t, 20>;

// The address (last 20 bytes of keccak-256 of the uncompressed public key)
// that signed `digest` with (r, s, recovery_id 0 or 1). nullopt when the
// signature is malformed, r or s is out of range, s is in the upper half of
// the curve order (refused as Ethereum refuses it), or no key recovers.
std::optional<EthAddress> recover_signer(const Hash256& digest, const std::array<uint8_t, 32>& r,
                                         const std::array<uint8_t, 32>& s, int recovery_id);

}  // namespace RozeveCrypto
