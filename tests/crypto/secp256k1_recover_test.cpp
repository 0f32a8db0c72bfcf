#include "crypto/secp256k1_recover.h"

#include <gtest/gtest.h>
#include <secp256k1.h>
#include <secp256k1_recovery.h>

#include <array>
#include <string>
#include <thread>
#include <vector>

#include "crypto/sha256.h"

namespace {

using RozeveCrypto::bytes_to_hex;
using RozeveCrypto::EthAddress;
using RozeveCrypto::Hash256;
using RozeveCrypto::hex_to_bytes;
using RozeveCrypto::keccak256;
using RozeveCrypto::recover_signer;
using Word = std::array<uint8_t, 32>;

Word word(const std::string& hex) {
  const auto bytes = hex_to_bytes(hex);
  Word out{};
  std::copy(bytes.begin(), bytes.end(), out.end() - bytes.size());
  return out;
}

std::string address_hex(const std::optional<EthAddress>& a) {
  return a ? bytes_to_hex(a->data(), a->size()) : std::string("(none)");
}

// a - b on 256-bit big-endian numbers, a >= b.
Word subtract(const Word& a, const Word& b) {
  Word out{};
  int borrow = 0;
  for (int i = 31; i >= 0; --i) {
    int d = a[i] - b[i] - borrow;
    borrow = d < 0;
    out[i] = static_cast<uint8_t>(d + (borrow ? 256 : 0));
  }
  return out;
}

Word add_one(Word w) {
  for (int i = 31; i >= 0 && ++w[i] == 0; --i) {
  }
  return w;
}

const Word kOrder = word("fffffffffffffffffffffffffffffffebaaedce6af48a03bbfd25e8cd0364141");
const Word kHalfOrder = word("7fffffffffffffffffffffffffffffff5d576e7357a4501ddfe92f46681b20a0");

// The EIP-155 example: private key 32 bytes of 0x46, chain 1, v = 37.
const Hash256 kEipDigest = word("daf5a779ae972f972197303d7b574746c7ef83eadac0f2791ad23db92e4c8e53");
const Word kEipR = word("28ef61340bd939bc2195fe537567866003e1a15d3c71ff63e1590620aa636276");
const Word kEipS = word("67cbe9d8997f761aecb703304b3800ccf555c9f3dc64214b297fb1966a3b6d83");
const std::string kEipSigner = "9d8a62f656a8d1615c1294fd71e9cfb3e4855a4f";

TEST(RecoverSigner, Eip155Example) {
  EXPECT_EQ(address_hex(recover_signer(kEipDigest, kEipR, kEipS, 0)), kEipSigner);
}

TEST(RecoverSigner, OtherRecoveryIdGivesAnotherKey) {
  const auto other = recover_signer(kEipDigest, kEipR, kEipS, 1);
  EXPECT_NE(address_hex(other), kEipSigner);
}

TEST(RecoverSigner, OtherDigestGivesAnotherKey) {
  Hash256 digest = kEipDigest;
  digest[5] ^= 0x01;
  EXPECT_NE(address_hex(recover_signer(digest, kEipR, kEipS, 0)), kEipSigner);
}

struct Refusal {
  std::string name;
  Word r;
  Word s;
  int recovery_id;
};

TEST(RecoverSigner, RefusesMalformedSignatures) {
  const std::vector<Refusal> cases = {
      {"recovery id -1", kEipR, kEipS, -1},
      {"recovery id 2", kEipR, kEipS, 2},
      {"recovery id 3", kEipR, kEipS, 3},
      {"r zero", Word{}, kEipS, 0},
      {"s zero", kEipR, Word{}, 0},
      {"r equal to n", kOrder, kEipS, 0},
      {"r above n", add_one(kOrder), kEipS, 0},
      {"s equal to n", kEipR, kOrder, 0},
      {"s just above n/2", kEipR, add_one(kHalfOrder), 0},
      // The high-s twin signs the same message with the other recovery id;
      // Ethereum accepts only the low one.
      {"high-s twin", kEipR, subtract(kOrder, kEipS), 1},
  };
  for (const Refusal& c : cases) {
    EXPECT_FALSE(recover_signer(kEipDigest, c.r, c.s, c.recovery_id).has_value()) << c.name;
  }
}

TEST(RecoverSigner, AcceptsSEqualToHalfOrder) {
  // The boundary itself is low; some key recovers for it.
  EXPECT_TRUE(recover_signer(kEipDigest, kEipR, kHalfOrder, 0).has_value() ||
              recover_signer(kEipDigest, kEipR, kHalfOrder, 1).has_value());
}

// Signatures made by libsecp256k1 with the EIP-155 example's key recover
// to that key's published address, for either recovery id.
TEST(RecoverSigner, FreshSignaturesOfTheExampleKey) {
  secp256k1_context* ctx = secp256k1_context_create(SECP256K1_CONTEXT_NONE);
  ASSERT_NE(ctx, nullptr);
  Word key;
  key.fill(0x46);
  bool seen[2] = {false, false};
  for (int i = 0; i < 16; ++i) {
    const Hash256 digest = keccak256("message " + std::to_string(i));
    secp256k1_ecdsa_recoverable_signature sig;
    ASSERT_TRUE(secp256k1_ecdsa_sign_recoverable(ctx, &sig, digest.data(), key.data(), nullptr,
                                                 nullptr));
    uint8_t compact[64];
    int recid = 0;
    secp256k1_ecdsa_recoverable_signature_serialize_compact(ctx, compact, &recid, &sig);
    Word r, s;
    std::copy(compact, compact + 32, r.begin());
    std::copy(compact + 32, compact + 64, s.begin());
    seen[recid] = true;
    EXPECT_EQ(address_hex(recover_signer(digest, r, s, recid)), kEipSigner) << i;
  }
  secp256k1_context_destroy(ctx);
  EXPECT_TRUE(seen[0] && seen[1]) << "both recovery ids should appear in 16 signatures";
}

TEST(RecoverSigner, SharedAcrossThreads) {
  std::vector<std::thread> threads;
  std::vector<std::string> results(8);
  for (size_t t = 0; t < results.size(); ++t) {
    threads.emplace_back(
        [&results, t] { results[t] = address_hex(recover_signer(kEipDigest, kEipR, kEipS, 0)); });
  }
  for (auto& th : threads) th.join();
  for (const auto& r : results) EXPECT_EQ(r, kEipSigner);
}

}  // namespace
