#include "crypto/sha256.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

using RozeveCrypto::bytes_to_hex;
using RozeveCrypto::hex_to_bytes;
using RozeveCrypto::SHA256;

struct KnownDigest {
  std::string name;
  std::string message;
  std::string hex;
};

// FIPS 180-4 examples and lengths around the padding boundary, the latter
// taken from the system's sha256sum over runs of 'a'.
std::vector<KnownDigest> known_digests() {
  return {
      {"empty", "", "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855"},
      {"abc", "abc", "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad"},
      {"two_block_448_bits", "abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq",
       "248d6a61d20638b8e5c026930c3e6039a33ce45964ff2167f6ecedd419db06c1"},
      {"a55", std::string(55, 'a'),
       "9f4390f8d30c2dd92ec9f095b65e2b9ae9b0a925a5258e241c9f1e910f734318"},
      {"a56", std::string(56, 'a'),
       "b35439a4ac6f0948b6d6f9e3c6af0f5f590ce20f1bde7090ef7970686ec6738a"},
      {"a63", std::string(63, 'a'),
       "7d3e74a05d7db15bce4ad9ec0658ea98e3f06eeecf16b4c6fff2da457ddc2f34"},
      {"a64", std::string(64, 'a'),
       "ffe054fe7ae0cb6dc65c3af9b61d5209f439851db43d0ba5997337df154668eb"},
      {"a65", std::string(65, 'a'),
       "635361c48bb9eab14198e76ea8ab7f1a41685d6ad62aa9146d301d4f17eb0ae0"},
      {"a119", std::string(119, 'a'),
       "31eba51c313a5c08226adf18d4a359cfdfd8d2e816b13f4af952f7ea6584dcfb"},
      {"a120", std::string(120, 'a'),
       "2f3d335432c70b580af0e8e1b3674a7c020d683aa5f73aaaedfdc55af904c21c"},
      {"million_a", std::string(1000000, 'a'),
       "cdc76e5c9914fb9281a1c7e284d73e67f1809a48a497200e046d39ccc7112cd0"},
  };
}

class Sha256KnownAnswer : public ::testing::TestWithParam<KnownDigest> {};

TEST_P(Sha256KnownAnswer, HashString) {
  EXPECT_EQ(SHA256::hash_string(GetParam().message), GetParam().hex);
}

TEST_P(Sha256KnownAnswer, HashBytesAndDigestAgree) {
  const std::string& m = GetParam().message;
  const auto bytes = SHA256::hash_bytes(reinterpret_cast<const uint8_t*>(m.data()), m.size());
  ASSERT_EQ(bytes.size(), 32u);
  EXPECT_EQ(bytes_to_hex(bytes), GetParam().hex);

  SHA256 h;
  h.update(m);
  EXPECT_EQ(h.digest_hex(), GetParam().hex);
}

TEST_P(Sha256KnownAnswer, ByteAtATime) {
  const std::string& m = GetParam().message;
  SHA256 h;
  for (char c : m) {
    const uint8_t b = static_cast<uint8_t>(c);
    h.update(&b, 1);
  }
  EXPECT_EQ(h.digest_hex(), GetParam().hex);
}

INSTANTIATE_TEST_SUITE_P(Fips, Sha256KnownAnswer, ::testing::ValuesIn(known_digests()),
                         [](const auto& info) { return info.param.name; });

TEST(Sha256Update, EverySplitPointGivesTheSameDigest) {
  // Long enough to cross two block boundaries.
  std::string message;
  for (int i = 0; i < 150; ++i) message.push_back(static_cast<char>('!' + i % 90));
  const std::string whole = SHA256::hash_string(message);
  for (size_t split = 0; split <= message.size(); ++split) {
    SHA256 h;
    h.update(message.substr(0, split));
    h.update(message.substr(split));
    EXPECT_EQ(h.digest_hex(), whole) << "split at " << split;
  }
}

TEST(Sha256Update, ZeroLengthUpdatesChangeNothing) {
  SHA256 h;
  h.update(nullptr, 0);
  h.update(std::string("ab"));
  h.update(std::string());
  h.update(std::string("c"));
  EXPECT_EQ(h.digest_hex(), "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");
}

TEST(Sha256Update, EmbeddedNulBytesAreHashed) {
  const std::string with_nul("a\0b", 3);
  EXPECT_NE(SHA256::hash_string(with_nul), SHA256::hash_string("ab"));
  EXPECT_NE(SHA256::hash_string(with_nul), SHA256::hash_string("a"));
}

TEST(Sha256DoubleHash, HashesTheRawDigestNotItsHex) {
  // Double SHA-256 of "abc", computed outside with sha256sum | xxd -r -p | sha256sum.
  const std::string expected = "4f8b42c22dd3729b519ba6f68d2da7cc5b2d606d05daed5ad5128cc03e6c6358";
  EXPECT_EQ(SHA256::double_hash_string("abc"), expected);

  const auto inner = SHA256::hash_bytes(reinterpret_cast<const uint8_t*>("abc"), 3);
  EXPECT_EQ(bytes_to_hex(SHA256::hash_bytes(inner.data(), inner.size())), expected);

  // Hashing the hex text twice is a different value.
  const std::string hex_twice = SHA256::hash_string(SHA256::hash_string("abc"));
  EXPECT_EQ(hex_twice, "dfe7a23fefeea519e9bbfdd1a6be94c4b2e4529dd6b7cbea83f9959c2621b13c");
  EXPECT_NE(SHA256::double_hash_string("abc"), hex_twice);
}

TEST(Sha256DoubleHash, EmptyText) {
  EXPECT_EQ(SHA256::double_hash_string(""),
            "5df6e0e2761359d30a8275058e299fcc0381534545f55cf43e41983f5d4c9456");
}

TEST(BytesToHex, LowerCaseZeroPaddedNoPrefix) {
  const std::vector<uint8_t> bytes = {0x00, 0x0f, 0xa0, 0xff};
  EXPECT_EQ(bytes_to_hex(bytes), "000fa0ff");
  EXPECT_EQ(bytes_to_hex(bytes.data(), bytes.size()), "000fa0ff");
  EXPECT_EQ(bytes_to_hex(std::vector<uint8_t>{}), "");
  EXPECT_EQ(bytes_to_hex(nullptr, 0), "");
}

struct HexCase {
  std::string text;
  std::vector<uint8_t> bytes;
};

class HexToBytes : public ::testing::TestWithParam<HexCase> {};

TEST_P(HexToBytes, ReadsLikeStrtolPerPiece) {
  EXPECT_EQ(hex_to_bytes(GetParam().text), GetParam().bytes) << "input \"" << GetParam().text
                                                             << "\"";
}

INSTANTIATE_TEST_SUITE_P(
    Lenient, HexToBytes,
    ::testing::Values(HexCase{"", {}}, HexCase{"abc", {0xab, 0x0c}}, HexCase{"AbCd", {0xab, 0xcd}},
                      HexCase{"zz10", {0x00, 0x10}}, HexCase{"1g", {0x01}},
                      HexCase{"-1", {0xff}}, HexCase{"a", {0x0a}}, HexCase{"g1", {0x00}},
                      HexCase{"0x", {0x00}}, HexCase{"+f", {0x0f}}, HexCase{" 7", {0x07}},
                      HexCase{"00ff10", {0x00, 0xff, 0x10}},
                      HexCase{"0x0a", {0x00, 0x0a}}));

TEST(HexRoundTrip, EvenLowerCaseHexComesBack) {
  const std::vector<std::string> texts = {
      "", "00", "ff", "0123456789abcdef", "deadbeef00",
      "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855"};
  for (const auto& t : texts) EXPECT_EQ(bytes_to_hex(hex_to_bytes(t)), t);

  std::vector<uint8_t> all(256);
  for (int i = 0; i < 256; ++i) all[i] = static_cast<uint8_t>(i);
  EXPECT_EQ(hex_to_bytes(bytes_to_hex(all)), all);
}

}  // namespace
