#include "server/rlp.h"

#include <gtest/gtest.h>

#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "crypto/sha256.h"

namespace {

using RozeveCrypto::bytes_to_hex;
using RozeveCrypto::hex_to_bytes;
using ZezozuRiziv::append_rlp_list_header;
using ZezozuRiziv::append_rlp_string;
using ZezozuRiziv::decode_rlp;
using ZezozuRiziv::is_canonical_rlp;
using ZezozuRiziv::kMaxRlpDepth;
using ZezozuRiziv::RLPItem;
using Bytes = std::vector<uint8_t>;

// An expected item, written in the data file as x<hex> (a byte string) or
// [item,item,...] (a list).
struct Shape {
  bool is_list = false;
  Bytes data;
  std::vector<Shape> items;
};

Shape parse_shape(const std::string& text, size_t& i) {
  Shape shape;
  if (text[i] == '[') {
    shape.is_list = true;
    ++i;
    while (text[i] != ']') {
      shape.items.push_back(parse_shape(text, i));
      if (text[i] == ',') ++i;
    }
    ++i;
    return shape;
  }
  EXPECT_EQ(text[i], 'x') << "at " << i << " of " << text;
  const size_t start = ++i;
  while (i < text.size() && text[i] != ',' && text[i] != ']') ++i;
  shape.data = hex_to_bytes(text.substr(start, i - start));
  return shape;
}

Bytes encode(const Shape& shape) {
  Bytes out;
  if (!shape.is_list) {
    append_rlp_string(out, shape.data.data(), shape.data.size());
    return out;
  }
  Bytes payload;
  for (const Shape& child : shape.items) {
    const Bytes encoded = encode(child);
    payload.insert(payload.end(), encoded.begin(), encoded.end());
  }
  append_rlp_list_header(out, payload.size());
  out.insert(out.end(), payload.begin(), payload.end());
  return out;
}

// The item matches the shape, and every child's raw bytes are its own
// encoding (these inputs are canonical).
void expect_matches(const RLPItem& item, const Shape& shape, const Bytes& input,
                    const std::string& path) {
  ASSERT_EQ(item.is_list, shape.is_list) << path;
  EXPECT_EQ(bytes_to_hex(item.data), bytes_to_hex(shape.data)) << path;
  ASSERT_LE(item.raw_offset + item.raw_size, input.size()) << path;
  const Bytes raw(input.begin() + item.raw_offset,
                  input.begin() + item.raw_offset + item.raw_size);
  EXPECT_EQ(bytes_to_hex(raw), bytes_to_hex(encode(shape))) << path;
  ASSERT_EQ(item.items.size(), shape.items.size()) << path;
  for (size_t i = 0; i < item.items.size(); ++i) {
    expect_matches(item.items[i], shape.items[i], input, path + "/" + std::to_string(i));
  }
}

struct PublishedCase {
  std::string name;
  Shape shape;
  Bytes encoding;
};

// tests/data/rlptest.tsv: the Ethereum test suite's RLP cases.
std::vector<PublishedCase> load_published() {
  std::vector<PublishedCase> out;
  std::ifstream in(std::string(ROZEVE_TEST_DATA_DIR) + "/rlptest.tsv");
  std::string line;
  while (std::getline(in, line)) {
    if (line.empty() || line[0] == '#') continue;
    std::istringstream fields(line);
    std::string name, shape, encoding;
    std::getline(fields, name, '\t');
    std::getline(fields, shape, '\t');
    std::getline(fields, encoding, '\t');
    size_t i = 0;
    out.push_back({name, parse_shape(shape, i), hex_to_bytes(encoding)});
  }
  return out;
}

RLPItem decode_all(const Bytes& input, size_t& consumed) {
  const uint8_t* p = input.data();
  const RLPItem item = decode_rlp(p, input.data() + input.size(), input.data());
  consumed = static_cast<size_t>(p - input.data());
  return item;
}

TEST(RlpPublished, DecodingGivesBackTheInput) {
  const std::vector<PublishedCase> cases = load_published();
  ASSERT_EQ(cases.size(), 28u);
  for (const PublishedCase& c : cases) {
    size_t consumed = 0;
    const RLPItem item = decode_all(c.encoding, consumed);
    EXPECT_EQ(consumed, c.encoding.size()) << c.name;
    EXPECT_EQ(item.raw_offset, 0u) << c.name;
    EXPECT_EQ(item.raw_size, c.encoding.size()) << c.name;
    expect_matches(item, c.shape, c.encoding, c.name);
  }
}

TEST(RlpPublished, EncodersGiveThePublishedBytes) {
  for (const PublishedCase& c : load_published()) {
    EXPECT_EQ(bytes_to_hex(encode(c.shape)), bytes_to_hex(c.encoding)) << c.name;
  }
}

struct LenientCase {
  std::string name;
  std::string input_hex;
  std::string expected;  // shape text, as in the data file
  size_t consumed;
};

TEST(RlpDecoder, MalformedInputNeverReadsPastTheEnd) {
  const std::vector<LenientCase> cases = {
      {"single byte", "05", "x05", 1},
      {"empty string", "80", "x", 1},
      {"empty list", "c0", "[]", 1},
      {"short string cut short", "836162", "x", 1},
      {"list past the input keeps what fits", "c50102", "[x01,x02]", 3},
      {"nested lists past the input", "c4c301", "[[x01]]", 3},
      {"string past its list's end", "c283616263", "[x,x61]", 3},
      {"long string, length bytes cut", "b901", "x", 2},
      {"long string past the input", "b8050102", "x", 2},
      {"8-byte length beyond any input", "bfffffffffffffffff01", "x", 9},
      {"8-byte length with leading zeros", "bf000000000000000161", "x61", 10},
      {"long list past the input", "f8050102", "[x01,x02]", 4},
      {"long list, 8-byte length", "ffffffffffffffffff0102", "[x01,x02]", 11},
      {"long list, length bytes cut", "f901", "[]", 2},
  };
  for (const LenientCase& c : cases) {
    // A buffer of its exact size lets the sanitizers see any overread.
    const Bytes input = hex_to_bytes(c.input_hex);
    size_t consumed = 0;
    const RLPItem item = decode_all(input, consumed);
    size_t i = 0;
    const Shape shape = parse_shape(c.expected, i);
    EXPECT_EQ(consumed, c.consumed) << c.name;
    EXPECT_EQ(item.raw_size, c.consumed) << c.name;
    ASSERT_EQ(item.is_list, shape.is_list) << c.name;
    EXPECT_EQ(bytes_to_hex(item.data), bytes_to_hex(shape.data)) << c.name;
    ASSERT_EQ(item.items.size(), shape.items.size()) << c.name;
    for (size_t k = 0; k < shape.items.size(); ++k) {
      EXPECT_EQ(bytes_to_hex(item.items[k].data), bytes_to_hex(shape.items[k].data)) << c.name;
    }
  }
}

TEST(RlpDecoder, EmptyInputIsAnEmptyString) {
  const Bytes input = {0x05};
  const uint8_t* p = input.data() + input.size();
  const RLPItem item = decode_rlp(p, p, input.data());
  EXPECT_EQ(p, input.data() + input.size());
  EXPECT_FALSE(item.is_list);
  EXPECT_TRUE(item.data.empty());
  EXPECT_EQ(item.raw_size, 0u);
}

TEST(RlpDecoder, RawOffsetsLocateEveryItem) {
  // ["cat", ["dog"], 0x0400] after two bytes that are not part of it.
  const Bytes input = hex_to_bytes("eeee" "cc" "83636174" "c483646f67" "820400");
  const uint8_t* p = input.data() + 2;
  const RLPItem item = decode_rlp(p, input.data() + input.size(), input.data());
  EXPECT_EQ(item.raw_offset, 2u);
  EXPECT_EQ(item.raw_size, 13u);
  ASSERT_EQ(item.items.size(), 3u);
  EXPECT_EQ(item.items[0].raw_offset, 3u);
  EXPECT_EQ(item.items[0].raw_size, 4u);
  EXPECT_EQ(item.items[1].raw_offset, 7u);
  EXPECT_EQ(item.items[1].raw_size, 5u);
  ASSERT_EQ(item.items[1].items.size(), 1u);
  EXPECT_EQ(item.items[1].items[0].raw_offset, 8u);
  EXPECT_EQ(item.items[2].raw_offset, 12u);
  EXPECT_EQ(item.items[2].raw_size, 3u);
}

// `levels` lists, each holding the next, the innermost holding 0x05.
Bytes nested(int levels) {
  Bytes inner = {0x05};
  for (int i = 0; i < levels; ++i) {
    Bytes outer;
    append_rlp_list_header(outer, inner.size());
    outer.insert(outer.end(), inner.begin(), inner.end());
    inner.swap(outer);
  }
  return inner;
}

TEST(RlpDecoder, NestingUpToTheLimitDecodes) {
  const Bytes input = nested(kMaxRlpDepth);
  size_t consumed = 0;
  const RLPItem root = decode_all(input, consumed);
  EXPECT_EQ(consumed, input.size());
  const RLPItem* item = &root;
  for (int level = 1; level < kMaxRlpDepth; ++level) {
    ASSERT_EQ(item->items.size(), 1u) << level;
    item = &item->items[0];
  }
  ASSERT_TRUE(item->is_list);
  ASSERT_EQ(item->items.size(), 1u);
  EXPECT_EQ(bytes_to_hex(item->items[0].data), "05");
}

TEST(RlpDecoder, NestingBeyondTheLimitIsEmptiedButConsumed) {
  const Bytes input = nested(kMaxRlpDepth + 1);
  size_t consumed = 0;
  const RLPItem root = decode_all(input, consumed);
  EXPECT_EQ(consumed, input.size());
  const RLPItem* item = &root;
  for (int level = 1; level <= kMaxRlpDepth; ++level) {
    ASSERT_EQ(item->items.size(), 1u) << level;
    item = &item->items[0];
  }
  EXPECT_TRUE(item->is_list);
  EXPECT_TRUE(item->items.empty());
  EXPECT_EQ(item->raw_size, 2u);  // c1 05: its whole encoding, skipped
}

TEST(RlpDecoder, HugeNestingDoesNotExhaustTheStack) {
  // Lists that each declare the rest of the input as their payload.
  constexpr int kLevels = 100000;
  Bytes input;
  for (int i = 0; i < kLevels; ++i) {
    input.push_back(0xff);
    input.insert(input.end(), 8, 0xff);
  }
  size_t consumed = 0;
  const RLPItem root = decode_all(input, consumed);
  EXPECT_EQ(consumed, input.size());
  int depth = 0;
  for (const RLPItem* item = &root; !item->items.empty(); item = &item->items[0]) ++depth;
  EXPECT_EQ(depth, kMaxRlpDepth);
}

struct CanonicalCase {
  std::string name;
  std::string input_hex;
  bool canonical;
};

TEST(RlpCanonical, OnlyTheOneEncodingIsCanonical) {
  const std::string s56(112, 'a');  // 56 bytes of 0xaa
  const std::vector<CanonicalCase> cases = {
      {"single byte", "05", true},
      {"zero byte", "00", true},
      {"empty string", "80", true},
      {"one byte from 0x80", "8180", true},
      {"two bytes", "820400", true},
      {"55 bytes", "b7" + std::string(110, 'a'), true},
      {"56 bytes, long form", "b838" + s56, true},
      {"empty list", "c0", true},
      {"list of two", "c20102", true},
      {"list of 56 bytes", "f838b7" + std::string(110, 'a'), true},
      {"nested", "c3c20102", true},
      {"a byte below 0x80 wrapped", "8105", false},
      {"zero byte wrapped", "8100", false},
      {"wrapped byte inside a list", "c28105", false},
      {"string, long form for 3 bytes", "b803616263", false},
      {"string, long form for 55 bytes", "b837" + std::string(110, 'a'), false},
      {"string length with a leading zero", "b90038" + s56, false},
      {"list, long form for 2 bytes", "f8020102", false},
      {"list length with a leading zero", "f900020102", false},
      {"list length with two leading zeros", "fa0000020102", false},
      {"list cut short", "c30102", false},
      {"string cut short", "836162", false},
      {"list with a child cut short", "c28361", false},
      {"long string, length bytes cut", "b9", false},
  };
  for (const CanonicalCase& c : cases) {
    const Bytes input = hex_to_bytes(c.input_hex);
    size_t consumed = 0;
    const RLPItem item = decode_all(input, consumed);
    EXPECT_EQ(is_canonical_rlp(item, input.data()), c.canonical) << c.name;
  }
  // Nesting past the decoder's depth limit is never whole.
  const Bytes deep = nested(kMaxRlpDepth + 1);
  size_t consumed = 0;
  EXPECT_FALSE(is_canonical_rlp(decode_all(deep, consumed), deep.data()));
  const Bytes limit = nested(kMaxRlpDepth);
  EXPECT_TRUE(is_canonical_rlp(decode_all(limit, consumed), limit.data()));
}

struct EncodeCase {
  std::string name;
  size_t length;
  std::string header_hex;
};

TEST(RlpEncoder, LengthBoundaries) {
  const std::vector<EncodeCase> strings = {
      {"empty", 0, "80"},       {"55 bytes", 55, "b7"},       {"56 bytes", 56, "b838"},
      {"255 bytes", 255, "b8ff"}, {"256 bytes", 256, "b90100"}, {"65536 bytes", 65536, "ba010000"},
  };
  for (const EncodeCase& c : strings) {
    const Bytes data(c.length, 0xaa);
    Bytes out;
    append_rlp_string(out, data.data(), data.size());
    ASSERT_EQ(out.size(), c.header_hex.size() / 2 + c.length) << c.name;
    EXPECT_EQ(bytes_to_hex(out.data(), c.header_hex.size() / 2), c.header_hex) << c.name;
  }
  const std::vector<EncodeCase> lists = {
      {"empty", 0, "c0"}, {"55 bytes", 55, "f7"}, {"56 bytes", 56, "f838"},
      {"1024 bytes", 1024, "f90400"},
  };
  for (const EncodeCase& c : lists) {
    Bytes out;
    append_rlp_list_header(out, c.length);
    EXPECT_EQ(bytes_to_hex(out), c.header_hex) << c.name;
  }
}

TEST(RlpEncoder, SingleBytes) {
  const std::vector<std::pair<uint8_t, std::string>> cases = {
      {0x00, "00"}, {0x7f, "7f"}, {0x80, "8180"}, {0xff, "81ff"}};
  for (const auto& [byte, hex] : cases) {
    Bytes out;
    append_rlp_string(out, &byte, 1);
    EXPECT_EQ(bytes_to_hex(out), hex);
  }
}

}  // namespace
