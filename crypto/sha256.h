// SHA-256 (FIPS 180-4) and the lower-case hex text every hash travels as.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace RozeveCrypto {

// One running SHA-256 computation: construct, update any number of times,
// then digest once. digest() finalises the object; it is not reused.
class SHA256 {
 public:
  SHA256();

  void update(const uint8_t* data, size_t len);
  void update(const std::string& text);

  // The 32-byte digest. The object's last operation.
  std::vector<uint8_t> digest();
  // bytes_to_hex(digest()).
  std::string digest_hex();

  static std::vector<uint8_t> hash_bytes(const uint8_t* data, size_t len);
  // 64 lower-case hex digits of SHA-256(text).
  static std::string hash_string(const std::string& text);
  // 64 lower-case hex digits of SHA-256 over the raw 32-byte SHA-256(text),
  // never over its hex text.
  static std::string double_hash_string(const std::string& text);

 private:
  static uint32_t rotr(uint32_t x, uint32_t n);
  static uint32_t ch(uint32_t x, uint32_t y, uint32_t z);
  static uint32_t maj(uint32_t x, uint32_t y, uint32_t z);
  static uint32_t ep0(uint32_t x);
  static uint32_t ep1(uint32_t x);
  static uint32_t sig0(uint32_t x);
  static uint32_t sig1(uint32_t x);
  void transform();

  uint32_t state_[8];
  uint64_t bit_count_;
  uint8_t buffer_[64];
};

// Two lower-case hex digits per byte, high nibble first, no prefix.
std::string bytes_to_hex(const uint8_t* data, size_t len);
std::string bytes_to_hex(const std::vector<uint8_t>& bytes);

// Reads two characters at a time as strtol does in base 16 and keeps the low
// 8 bits of each piece; no validation (a piece without a leading hex digit is
// 0x00, a lone final digit is its own value). Callers strip any "0x" first.
std::vector<uint8_t> hex_to_bytes(const std::string& hex);

}  // namespace RozeveCrypto
