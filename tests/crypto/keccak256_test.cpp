#include "crypto/keccak256.h"

#include <gtest/gtest.h>

#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "crypto/sha256.h"

namespace {

using RozeveCrypto::bytes_to_hex;
using RozeveCrypto::hex_to_bytes;
using RozeveCrypto::keccak256;

struct KnownDigest {
  std::string name;
  std::vector<uint8_t> input;
  std::string digest_hex;
};

// The vectors in tests/data/keccak256.tsv (computed outside with ethers).
std::vector<KnownDigest> load_vectors() {
  std::vector<KnownDigest> out;
  std::ifstream in(std::string(ROZEVE_TEST_DATA_DIR) + "/keccak256.tsv");
  std::string line;
  while (std::getline(in, line)) {
    if (line.empty() || line[0] == '#') continue;
    std::istringstream fields(line);
    std::string name, input, digest;
    std::getline(fields, name, '\t');
    std::getline(fields, input, '\t');
    std::getline(fields, digest, '\t');
    out.push_back({name, hex_to_bytes(input), digest});
  }
  return out;
}

std::string keccak_hex(const std::vector<uint8_t>& input) {
  const auto digest = keccak256(input.data(), input.size());
  return bytes_to_hex(digest.data(), digest.size());
}

TEST(Keccak256, EveryPublishedVector) {
  const std::vector<KnownDigest> vectors = load_vectors();
  // Empty text, "abc", 200 bytes (more than one 136-byte block) and 136
  // zero bytes (exactly one block, so padding takes a block of its own).
  ASSERT_EQ(vectors.size(), 4u);
  for (const KnownDigest& v : vectors) {
    EXPECT_EQ(keccak_hex(v.input), v.digest_hex) << v.name;
  }
}

TEST(Keccak256, TextAndPointerFormsAgree) {
  for (const KnownDigest& v : load_vectors()) {
    const std::string text(v.input.begin(), v.input.end());
    EXPECT_EQ(keccak256(text), keccak256(v.input.data(), v.input.size())) << v.name;
  }
}

TEST(Keccak256, IsNotSha3) {
  // SHA3-256 of the empty text (FIPS 202), which a 0x06 padding would give.
  EXPECT_NE(keccak_hex({}), "a7ffc6f8bf1ed76651c14756a061d662f580ff4de43b49fa82d80a4b80f8434a");
}

TEST(Keccak256, Eip155SigningHash) {
  // The signing data and its hash as printed in the EIP-155 text.
  const auto signing_data = hex_to_bytes(
      "ec098504a817c800825208943535353535353535353535353535353535353535880de0b6b3a764000080018080");
  EXPECT_EQ(keccak_hex(signing_data),
            "daf5a779ae972f972197303d7b574746c7ef83eadac0f2791ad23db92e4c8e53");
}

}  // namespace
