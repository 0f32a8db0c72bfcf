#include "crypto/sha256.h"

#include <cstdlib>
#include <cstring>

namespace RozeveCrypto {

namespace {

constexpr uint32_t kRoundConstants[64] = {
    0x428a2f98, 0x71374491, 0xb5c0fbcf, 0xe9b5dba5, 0x3956c25b, 0x59f111f1, 0x923f82a4,
    0xab1c5ed5, 0xd807aa98, 0x12835b01, 0x243185be, 0x550c7dc3, 0x72be5d74, 0x80deb1fe,
    0x9bdc06a7, 0xc19bf174, 0xe49b69c1, 0xefbe4786, 0x0fc19dc6, 0x240ca1cc, 0x2de92c6f,
    0x4a7484aa, 0x5cb0a9dc, 0x76f988da, 0x983e5152, 0xa831c66d, 0xb00327c8, 0xbf597fc7,
    0xc6e00bf3, 0xd5a79147, 0x06ca6351, 0x14292967, 0x27b70a85, 0x2e1b2138, 0x4d2c6dfc,
    0x53380d13, 0x650a7354, 0x766a0abb, 0x81c2c92e, 0x92722c85, 0xa2bfe8a1, 0xa81a664b,
    0xc24b8b70, 0xc76c51a3, 0xd192e819, 0xd6990624, 0xf40e3585, 0x106aa070, 0x19a4c116,
    0x1e376c08, 0x2748774c, 0x34b0bcb5, 0x391c0cb3, 0x4ed8aa4a, 0x5b9cca4f, 0x682e6ff3,
    0x748f82ee, 0x78a5636f, 0x84c87814, 0x8cc70208, 0x90befffa, 0xa4506ceb, 0xbef9a3f7,
    0xc67178f2};

constexpr uint32_t kInitialHash[8] = {0x6a09e667, 0xbb67ae85, 0x3c6ef372, 0xa54ff53a,
                                      0x510e527f, 0x9b05688c, 0x1f83d9ab, 0x5be0cd19};

constexpr size_t kBlockBytes = 64;
// Padding must leave the last 8 bytes of a block for the message length.
constexpr size_t kLengthOffset = 56;
constexpr size_t kDigestBytes = 32;

}  // namespace

SHA256::SHA256() : bit_count_(0) {
  std::memcpy(state_, kInitialHash, sizeof(state_));
  std::memset(buffer_, 0, sizeof(buffer_));
}

uint32_t SHA256::rotr(uint32_t x, uint32_t n) { return (x >> n) | (x << (32 - n)); }
uint32_t SHA256::ch(uint32_t x, uint32_t y, uint32_t z) { return (x & y) ^ (~x & z); }
uint32_t SHA256::maj(uint32_t x, uint32_t y, uint32_t z) { return (x & y) ^ (x & z) ^ (y & z); }
uint32_t SHA256::ep0(uint32_t x) { return rotr(x, 2) ^ rotr(x, 13) ^ rotr(x, 22); }
uint32_t SHA256::ep1(uint32_t x) { return rotr(x, 6) ^ rotr(x, 11) ^ rotr(x, 25); }
uint32_t SHA256::sig0(uint32_t x) { return rotr(x, 7) ^ rotr(x, 18) ^ (x >> 3); }
uint32_t SHA256::sig1(uint32_t x) { return rotr(x, 17) ^ rotr(x, 19) ^ (x >> 10); }

void SHA256::transform() {
  uint32_t w[64];
  for (int i = 0; i < 16; ++i) {
    w[i] = (static_cast<uint32_t>(buffer_[4 * i]) << 24) |
           (static_cast<uint32_t>(buffer_[4 * i + 1]) << 16) |
           (static_cast<uint32_t>(buffer_[4 * i + 2]) << 8) |
           static_cast<uint32_t>(buffer_[4 * i + 3]);
  }
  for (int i = 16; i < 64; ++i) {
    w[i] = sig1(w[i - 2]) + w[i - 7] + sig0(w[i - 15]) + w[i - 16];
  }

  uint32_t a = state_[0], b = state_[1], c = state_[2], d = state_[3];
  uint32_t e = state_[4], f = state_[5], g = state_[6], h = state_[7];
  for (int i = 0; i < 64; ++i) {
    const uint32_t t1 = h + ep1(e) + ch(e, f, g) + kRoundConstants[i] + w[i];
    const uint32_t t2 = ep0(a) + maj(a, b, c);
    h = g;
    g = f;
    f = e;
    e = d + t1;
    d = c;
    c = b;
    b = a;
    a = t1 + t2;
  }
  state_[0] += a;
  state_[1] += b;
  state_[2] += c;
  state_[3] += d;
  state_[4] += e;
  state_[5] += f;
  state_[6] += g;
  state_[7] += h;
}

void SHA256::update(const uint8_t* data, size_t len) {
  for (size_t i = 0; i < len; ++i) {
    buffer_[(bit_count_ / 8) % kBlockBytes] = data[i];
    bit_count_ += 8;
    if (bit_count_ % (kBlockBytes * 8) == 0) transform();
  }
}

void SHA256::update(const std::string& text) {
  update(reinterpret_cast<const uint8_t*>(text.data()), text.size());
}

std::vector<uint8_t> SHA256::digest() {
  size_t p = (bit_count_ / 8) % kBlockBytes;
  buffer_[p] = 0x80;
  if (p >= kLengthOffset) {
    std::memset(buffer_ + p + 1, 0, kBlockBytes - p - 1);
    transform();
    std::memset(buffer_, 0, kLengthOffset);
  } else {
    std::memset(buffer_ + p + 1, 0, kLengthOffset - p - 1);
  }
  for (int i = 0; i < 8; ++i) {
    buffer_[kLengthOffset + i] = static_cast<uint8_t>(bit_count_ >> (56 - 8 * i));
  }
  transform();

  std::vector<uint8_t> out(kDigestBytes);
  for (int i = 0; i < 8; ++i) {
    out[4 * i] = static_cast<uint8_t>(state_[i] >> 24);
    out[4 * i + 1] = static_cast<uint8_t>(state_[i] >> 16);
    out[4 * i + 2] = static_cast<uint8_t>(state_[i] >> 8);
    out[4 * i + 3] = static_cast<uint8_t>(state_[i]);
  }
  return out;
}

std::string SHA256::digest_hex() { return bytes_to_hex(digest()); }

std::vector<uint8_t> SHA256::hash_bytes(const uint8_t* data, size_t len) {
  SHA256 h;
  h.update(data, len);
  return h.digest();
}

std::string SHA256::hash_string(const std::string& text) {
  SHA256 h;
  h.update(text);
  return h.digest_hex();
}

std::string SHA256::double_hash_string(const std::string& text) {
  SHA256 first;
  first.update(text);
  const std::vector<uint8_t> inner = first.digest();
  // The second pass hashes the raw digest, not its hex text.
  return bytes_to_hex(hash_bytes(inner.data(), inner.size()));
}

std::string bytes_to_hex(const uint8_t* data, size_t len) {
  static constexpr char kDigits[] = "0123456789abcdef";
  std::string out;
  out.reserve(len * 2);
  for (size_t i = 0; i < len; ++i) {
    out.push_back(kDigits[data[i] >> 4]);
    out.push_back(kDigits[data[i] & 0x0f]);
  }
  return out;
}

std::string bytes_to_hex(const std::vector<uint8_t>& bytes) {
  return bytes_to_hex(bytes.data(), bytes.size());
}

std::vector<uint8_t> hex_to_bytes(const std::string& hex) {
  std::vector<uint8_t> out;
  out.reserve((hex.size() + 1) / 2);
  for (size_t i = 0; i < hex.size(); i += 2) {
    // strtol needs a terminated piece; it stops at the first non-digit and
    // gives 0 when there is none, which is the lenient reading callers expect.
    const std::string piece = hex.substr(i, 2);
    const long value = std::strtol(piece.c_str(), nullptr, 16);
    out.push_back(static_cast<uint8_t>(static_cast<unsigned long>(value) & 0xff));
  }
  return out;
}

}  // namespace RozeveCrypto
