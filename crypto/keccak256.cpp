#include "crypto/keccak256.h"

namespace RozeveCrypto {

namespace {

// Bytes absorbed per permutation: 1600 bits of state less twice the 256-bit output.
constexpr size_t kRate = 136;
constexpr int kRounds = 24;

constexpr uint64_t kRoundConstants[kRounds] = {
    0x0000000000000001ULL, 0x0000000000008082ULL, 0x800000000000808aULL, 0x8000000080008000ULL,
    0x000000000000808bULL, 0x0000000080000001ULL, 0x8000000080008081ULL, 0x8000000000008009ULL,
    0x000000000000008aULL, 0x0000000000000088ULL, 0x0000000080008009ULL, 0x000000008000000aULL,
    0x000000008000808bULL, 0x800000000000008bULL, 0x8000000000008089ULL, 0x8000000000008003ULL,
    0x8000000000008002ULL, 0x8000000000000080ULL, 0x000000000000800aULL, 0x800000008000000aULL,
    0x8000000080008081ULL, 0x8000000000008080ULL, 0x0000000080000001ULL, 0x8000000080008008ULL,
};

// The rho rotations and the pi destinations, in the order in which the
// combined rho-pi walk visits the lanes, starting from lane 1.
constexpr int kRotations[24] = {1,  3,  6,  10, 15, 21, 28, 36, 45, 55, 2,  14,
                                27, 41, 56, 8,  25, 43, 62, 18, 39, 61, 20, 44};
constexpr int kPiLanes[24] = {10, 7,  11, 17, 18, 3, 5,  16, 8,  21, 24, 4,
                              15, 23, 19, 13, 12, 2, 20, 14, 22, 9,  6,  1};

uint64_t rotl(uint64_t x, int n) { return (x << n) | (x >> (64 - n)); }

void keccak_f1600(uint64_t a[25]) {
  for (int round = 0; round < kRounds; ++round) {
    uint64_t c[5];
    for (int x = 0; x < 5; ++x) c[x] = a[x] ^ a[x + 5] ^ a[x + 10] ^ a[x + 15] ^ a[x + 20];
    for (int x = 0; x < 5; ++x) {
      const uint64_t d = c[(x + 4) % 5] ^ rotl(c[(x + 1) % 5], 1);
      for (int y = 0; y < 25; y += 5) a[y + x] ^= d;
    }
    uint64_t carried = a[1];
    for (int i = 0; i < 24; ++i) {
      const int lane = kPiLanes[i];
      const uint64_t next = a[lane];
      a[lane] = rotl(carried, kRotations[i]);
      carried = next;
    }
    for (int y = 0; y < 25; y += 5) {
      uint64_t row[5];
      for (int x = 0; x < 5; ++x) row[x] = a[y + x];
      for (int x = 0; x < 5; ++x) a[y + x] = row[x] ^ (~row[(x + 1) % 5] & row[(x + 2) % 5]);
    }
    a[0] ^= kRoundConstants[round];
  }
}

// Lanes are little-endian whatever the host's byte order.
void absorb_block(uint64_t state[25], const uint8_t* block) {
  for (size_t i = 0; i < kRate / 8; ++i) {
    uint64_t lane = 0;
    for (int b = 7; b >= 0; --b) lane = (lane << 8) | block[i * 8 + b];
    state[i] ^= lane;
  }
  keccak_f1600(state);
}

}  // namespace

Hash256 keccak256(const uint8_t* data, size_t len) {
  uint64_t state[25] = {};
  while (len >= kRate) {
    absorb_block(state, data);
    data += kRate;
    len -= kRate;
  }
  // Keccak's own padding (0x01 ... 0x80), which Ethereum kept; SHA3-256
  // would put 0x06 here. Both bits land in one byte when one byte is left.
  uint8_t last[kRate] = {};
  for (size_t i = 0; i < len; ++i) last[i] = data[i];
  last[len] ^= 0x01;
  last[kRate - 1] ^= 0x80;
  absorb_block(state, last);

  Hash256 out{};
  for (size_t i = 0; i < out.size(); ++i) out[i] = static_cast<uint8_t>(state[i / 8] >> (8 * (i % 8)));
  return out;
}

}  // namespace RozeveCrypto
