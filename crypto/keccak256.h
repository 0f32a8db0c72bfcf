// Keccak-256, the Ethereum hash (the original Keccak padding, not SHA3-256).
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string_view>

namespace RozeveCrypto {

using Hash256 = std::array<uint8_t, 32>;

Hash256 keccak256(const uint8_t* data, size_t len);
inline Hash256 keccak256(std::string_view bytes) {
  return keccak256(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size());
}

}  // namespace RozeveCrypto
