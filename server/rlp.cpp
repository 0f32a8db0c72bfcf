#include "server/rlp.h"

namespace ZezozuRiziv {

namespace {

// Prefix ranges of the encoding.
constexpr uint8_t kShortStringBase = 0x80;  // 0x80..0xb7: string of 0..55 bytes
constexpr uint8_t kLongStringBase = 0xb7;   // 0xb8..0xbf: 1..8 length bytes follow
constexpr uint8_t kShortListBase = 0xc0;    // 0xc0..0xf7: list payload of 0..55 bytes
constexpr uint8_t kLongListBase = 0xf7;     // 0xf8..0xff: 1..8 length bytes follow
// Longest payload that the length fits in the prefix byte itself.
constexpr size_t kMaxShortLength = 55;
// Length fields wider than this cannot be held in 64 bits; the prefix
// ranges allow at most 8, the check keeps the accumulator honest.
constexpr int kMaxLengthBytes = 8;

// Reads a big-endian length of `count` bytes, advancing `p` over what it
// reads. False when the input ends first or the field is too wide.
bool read_length(const uint8_t*& p, const uint8_t* end, int count, uint64_t& length) {
  if (count > kMaxLengthBytes) {
    p = end;
    return false;
  }
  length = 0;
  for (int i = 0; i < count; ++i) {
    if (p == end) return false;
    length = (length << 8) | *p++;
  }
  return true;
}

// The size of the prefix at `at` (with its length bytes) and the payload
// size it declares, reading only the item's own `size` bytes. False when the
// length bytes are cut off or the prefix is not the canonical one.
bool read_canonical_header(const uint8_t* at, size_t size, size_t& header, uint64_t& payload) {
  const uint8_t prefix = at[0];
  if (prefix < kShortStringBase) {
    header = 0;
    payload = 1;
    return true;
  }
  const bool list = prefix >= kShortListBase;
  const size_t short_length = prefix - (list ? kShortListBase : kShortStringBase);
  header = 1;
  payload = 0;
  if (short_length <= kMaxShortLength) {
    payload = short_length;
    // One byte below 0x80 is its own encoding.
    return list || short_length != 1 || size < 2 || at[1] >= kShortStringBase;
  }
  header += short_length - kMaxShortLength;  // at most 8 length bytes
  if (header > size || at[1] == 0) return false;
  for (size_t i = 1; i < header; ++i) payload = (payload << 8) | at[i];
  return payload > kMaxShortLength;
}

void append_length(std::vector<uint8_t>& out, uint8_t base, size_t len) {
  if (len <= kMaxShortLength) {
    out.push_back(static_cast<uint8_t>(base + len));
    return;
  }
  uint8_t digits[sizeof(size_t)];
  int count = 0;
  for (size_t rest = len; rest != 0; rest >>= 8) digits[count++] = static_cast<uint8_t>(rest);
  out.push_back(static_cast<uint8_t>(base + kMaxShortLength + count));
  while (count > 0) out.push_back(digits[--count]);
}

}  // namespace

RLPItem decode_rlp(const uint8_t*& p, const uint8_t* end, const uint8_t* base, int depth) {
  RLPItem item;
  const uint8_t* const start = p;
  item.raw_offset = static_cast<size_t>(start - base);
  if (p >= end) return item;

  const uint8_t prefix = *p++;
  if (prefix < kShortStringBase) {
    item.data.push_back(prefix);
  } else if (prefix < kShortListBase) {
    uint64_t length = 0;
    if (prefix <= kLongStringBase) {
      length = prefix - kShortStringBase;
    } else if (!read_length(p, end, prefix - kLongStringBase, length)) {
      item.raw_size = static_cast<size_t>(p - start);
      return item;
    }
    // Compared against what is left, so no pointer past the end is formed.
    if (length <= static_cast<uint64_t>(end - p)) {
      item.data.assign(p, p + length);
      p += length;
    }
  } else {
    item.is_list = true;
    uint64_t length = 0;
    if (prefix <= kLongListBase) {
      length = prefix - kShortListBase;
    } else {
      read_length(p, end, prefix - kLongListBase, length);
    }
    const uint8_t* const payload_end =
        length > static_cast<uint64_t>(end - p) ? end : p + length;
    // Beyond the depth limit the payload is skipped, not decoded: the
    // recursion never follows the input's nesting further.
    if (depth < kMaxRlpDepth) {
      while (p < payload_end) item.items.push_back(decode_rlp(p, payload_end, base, depth + 1));
    }
    p = payload_end;
  }
  item.raw_size = static_cast<size_t>(p - start);
  return item;
}

bool is_canonical_rlp(const RLPItem& item, const uint8_t* base) {
  // The decoder cuts short whatever runs past its bound: the sizes it
  // recorded are compared with what each prefix declares.
  if (item.raw_size == 0) return false;
  size_t header = 0;
  uint64_t payload = 0;
  if (!read_canonical_header(base + item.raw_offset, item.raw_size, header, payload)) return false;
  if (payload != item.raw_size - header) return false;
  if (!item.is_list) return true;
  uint64_t children = 0;
  for (const RLPItem& child : item.items) {
    if (!is_canonical_rlp(child, base)) return false;
    children += child.raw_size;
  }
  return children == payload;
}

void append_rlp_string(std::vector<uint8_t>& out, const uint8_t* data, size_t len) {
  if (len == 1 && data[0] < kShortStringBase) {
    out.push_back(data[0]);
    return;
  }
  append_length(out, kShortStringBase, len);
  out.insert(out.end(), data, data + len);
}

void append_rlp_list_header(std::vector<uint8_t>& out, size_t payload_len) {
  append_length(out, kShortListBase, payload_len);
}

}  // namespace ZezozuRiziv
