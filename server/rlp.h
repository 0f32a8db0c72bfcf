// RLP decoding of wallet-signed transactions.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace ZezozuRiziv {

// Lists nested deeper than this decode as empty items: no input can drive
// the recursive decoder into the stack's end.
inline constexpr int kMaxRlpDepth = 64;

struct RLPItem {
  std::vector<uint8_t> data;  // a byte string's payload (empty for a list)
  bool is_list = false;
  std::vector<RLPItem> items;  // a list's children, in order
  // Where the item's whole encoding (prefix included) lies in the input;
  // the signing payload is rebuilt from these exact bytes.
  size_t raw_offset = 0;
  size_t raw_size = 0;
};

// Decodes one item at `p` (advanced past it), never reading at or past
// `end`. Declared lengths running past the input cut a list short or make a
// byte string empty. `base` is the start of the whole input (for raw_offset).
RLPItem decode_rlp(const uint8_t*& p, const uint8_t* end, const uint8_t* base, int depth = 0);

// True when the item, and everything in it, is whole and in the one
// canonical encoding: each item exactly as long as its prefix declares, no
// list cut short by the depth limit, lengths without leading zero bytes and
// in the long form only beyond 55 bytes, and a single byte below 0x80 never
// wrapped as a one-byte string. `base` is the input given to decode_rlp.
[[nodiscard]] bool is_canonical_rlp(const RLPItem& item, const uint8_t* base);

// The canonical encoding of a byte string and of a list's header.
void append_rlp_string(std::vector<uint8_t>& out, const uint8_t* data, size_t len);
void append_rlp_list_header(std::vector<uint8_t>& out, size_t payload_len);

}  // namespace ZezozuRiziv
