#include "crypto/crypto_keys.h"

#include <gtest/gtest.h>

#include <set>
#include <string>
#include <vector>

#include "crypto/sha256.h"

namespace {

using RozeveCrypto::CryptoKeys;
using RozeveCrypto::KeyPair;
using RozeveCrypto::SHA256;

// Fixed vector, computed outside with printf ... | sha256sum (and xxd -r -p
// for the double hash) for the private key of 64 '1's.
const std::string kFixedPrivate(64, '1');
const std::string kFixedPublic = "2e1d84c0252eee085da30964039377b2876f9c9d5860ef8fc7b0a5a1b192be82";
const std::string kFixedAddress = "RUZfbc0a2fb033179b8bf284dc9aef0ce028349d0b7";
// sign_message("hello", 64 '1's)
const std::string kFixedSignature =
    "a2b61fdf9d685da5a9a47722470adcdbbce5ebcb39c1c1710c3ebeb1fb164e1e";
// sign_message("hello", "")
const std::string kEmptyKeySignature =
    "981a33204c5896f90313d887339d52f0d7d4ab8aa2b1c1bd6e6c5ef363917536";
// sign_message(64 '1's, "hello"): message and key swapped
const std::string kSwappedSignature =
    "2e8384a422f703ffd46c4063900451de919213e27eeb1f7b3dfd12b234b327e0";

bool is_lower_hex(const std::string& s) {
  for (char c : s) {
    if (!((c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'))) return false;
  }
  return true;
}

TEST(KeyPair, GeneratedPairHasTheDocumentedForm) {
  const KeyPair kp = CryptoKeys::generate_keypair();
  ASSERT_EQ(kp.private_key.size(), 64u);
  EXPECT_TRUE(is_lower_hex(kp.private_key));
  ASSERT_EQ(kp.public_key.size(), 64u);
  EXPECT_TRUE(is_lower_hex(kp.public_key));
  ASSERT_EQ(kp.address.size(), 43u);
  EXPECT_EQ(kp.address.substr(0, 3), "RUZ");
  EXPECT_TRUE(is_lower_hex(kp.address.substr(3)));
  EXPECT_TRUE(CryptoKeys::is_valid_address(kp.address));
}

TEST(KeyPair, DerivationsAgree) {
  const KeyPair kp = CryptoKeys::generate_keypair();
  EXPECT_EQ(kp.public_key, SHA256::hash_string("RUZ_PUB:" + kp.private_key));
  EXPECT_EQ(CryptoKeys::private_key_to_address(kp.private_key), kp.address);
  EXPECT_EQ(CryptoKeys::derive_address_from_pubkey(kp.public_key), kp.address);
}

TEST(KeyPair, SuccessiveCallsDiffer) {
  std::set<std::string> keys;
  for (int i = 0; i < 16; ++i) keys.insert(CryptoKeys::generate_keypair().private_key);
  EXPECT_EQ(keys.size(), 16u);
}

TEST(KeyPair, FixedPrivateKeyVector) {
  EXPECT_EQ(SHA256::hash_string("RUZ_PUB:" + kFixedPrivate), kFixedPublic);
  EXPECT_EQ(CryptoKeys::derive_address_from_pubkey(kFixedPublic), kFixedAddress);
  EXPECT_EQ(CryptoKeys::private_key_to_address(kFixedPrivate), kFixedAddress);
  EXPECT_TRUE(CryptoKeys::is_valid_address(kFixedAddress));
}

TEST(KeyPair, AnyTextIsAcceptedAsKey) {
  const std::string from_empty = CryptoKeys::private_key_to_address("");
  EXPECT_EQ(from_empty.size(), 43u);
  EXPECT_TRUE(CryptoKeys::is_valid_address(from_empty));
  EXPECT_TRUE(CryptoKeys::is_valid_address(CryptoKeys::derive_address_from_pubkey("not a key")));
}

struct AddressCase {
  std::string name;
  std::string address;
  bool valid;
};

std::string replace_at(std::string s, size_t pos, char c) {
  s[pos] = c;
  return s;
}

std::vector<AddressCase> address_cases() {
  const std::string hex40 = "0123456789abcdefABCDEF0123456789abcdefAB";
  return {
      {"native_fixed", kFixedAddress, true},
      // Checksum d0b7 written as D0B7.
      {"native_checksum_upper", "RUZfbc0a2fb033179b8bf284dc9aef0ce028349D0B7", false},
      {"native_prefix_lower", "ruzfbc0a2fb033179b8bf284dc9aef0ce028349d0b7", false},
      {"native_prefix_mixed", "RuZfbc0a2fb033179b8bf284dc9aef0ce028349d0b7", false},
      // First body digit f -> 0; that body's checksum is 0834, not d0b7.
      {"native_body_changed", replace_at(kFixedAddress, 3, '0'), false},
      {"native_body_upper_case", "RUZFBC0A2FB033179B8BF284DC9AEF0CE028349d0b7", false},
      {"native_checksum_digit_changed", replace_at(kFixedAddress, 42, '8'), false},
      // Its checksum (computed outside) matches, but the body is not hex.
      {"native_body_not_hex", "RUZzz-not hex body, but 36 chars long!!b27a", false},
      {"native_too_short", kFixedAddress.substr(0, 42), false},
      {"native_too_long", kFixedAddress + "0", false},
      {"eth_lower", "0x" + std::string(40, 'a'), true},
      {"eth_mixed_case", "0x" + hex40, true},
      {"eth_upper_prefix", "0X" + hex40, true},
      {"eth_digits", "0x1000000000000000000000000000000000000002", true},
      {"eth_39_digits", "0x" + hex40.substr(0, 39), false},
      {"eth_41_digits", "0x" + hex40 + "a", false},
      {"eth_non_hex_digit", "0x" + replace_at(hex40, 17, 'g'), false},
      {"eth_non_hex_last", "0x" + replace_at(hex40, 39, 'z'), false},
      {"eth_bad_prefix_letter", "0y" + hex40, false},
      {"eth_bad_prefix_digit", "1x" + hex40, false},
      {"eth_no_prefix_42_digits", hex40 + "00", false},
      {"reward_pool_name", "0xzerirorivi_reward_pool_vault", false},
      {"empty", "", false},
      {"one_char", "R", false},
      {"hex_64", std::string(64, 'a'), false},
  };
}

class AddressValidation : public ::testing::TestWithParam<AddressCase> {};

TEST_P(AddressValidation, IsValidAddress) {
  EXPECT_EQ(CryptoKeys::is_valid_address(GetParam().address), GetParam().valid)
      << GetParam().address;
}

INSTANTIATE_TEST_SUITE_P(Table, AddressValidation, ::testing::ValuesIn(address_cases()),
                         [](const auto& info) { return info.param.name; });

struct SignatureCase {
  std::string name;
  std::string message;
  std::string signature;
  std::string address;
  bool accepted;
};

class SignatureVerification : public ::testing::TestWithParam<SignatureCase> {};

TEST_P(SignatureVerification, FormOnly) {
  const auto& c = GetParam();
  EXPECT_EQ(CryptoKeys::verify_signature(c.message, c.signature, c.address), c.accepted);
}

INSTANTIATE_TEST_SUITE_P(
    Table, SignatureVerification,
    ::testing::Values(
        SignatureCase{"real_signature", "hello", kFixedSignature, kFixedAddress, true},
        // Content is not examined: any 64 characters from a valid address pass.
        SignatureCase{"any_64_chars", "other message", std::string(64, 'Z'), kFixedAddress, true},
        SignatureCase{"empty_message", "", std::string(64, '0'), kFixedAddress, true},
        SignatureCase{"eth_address", "m", std::string(64, 'a'),
                      "0x000000000000000000000000000000000000dead", true},
        SignatureCase{"63_chars", "hello", std::string(63, 'a'), kFixedAddress, false},
        SignatureCase{"65_chars", "hello", std::string(65, 'a'), kFixedAddress, false},
        SignatureCase{"empty_signature", "hello", "", kFixedAddress, false},
        SignatureCase{"invalid_address", "hello", kFixedSignature,
                      "ruzfbc0a2fb033179b8bf284dc9aef0ce028349d0b7", false},
        SignatureCase{"empty_address", "hello", kFixedSignature, "", false}),
    [](const auto& info) { return info.param.name; });

TEST(SignMessage, FixedVectors) {
  EXPECT_EQ(CryptoKeys::sign_message("hello", kFixedPrivate), kFixedSignature);
  EXPECT_EQ(CryptoKeys::sign_message("hello", ""), kEmptyKeySignature);
  EXPECT_EQ(CryptoKeys::sign_message(kFixedPrivate, "hello"), kSwappedSignature);
}

TEST(SignMessage, DeterministicAndSensitiveToBothInputs) {
  const KeyPair a = CryptoKeys::generate_keypair();
  const KeyPair b = CryptoKeys::generate_keypair();
  const std::string sig = CryptoKeys::sign_message("tx", a.private_key);
  EXPECT_EQ(sig.size(), 64u);
  EXPECT_TRUE(is_lower_hex(sig));
  EXPECT_EQ(CryptoKeys::sign_message("tx", a.private_key), sig);
  EXPECT_NE(CryptoKeys::sign_message("tx", b.private_key), sig);
  EXPECT_NE(CryptoKeys::sign_message("tx2", a.private_key), sig);
  EXPECT_NE(CryptoKeys::sign_message(a.private_key, "tx"), sig);
}

}  // namespace
