#include "server/eth_transaction.h"

#include <gtest/gtest.h>
#include <secp256k1.h>
#include <secp256k1_recovery.h>

#include <array>
#include <cctype>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "crypto/keccak256.h"
#include "crypto/sha256.h"
#include "server/rlp.h"

namespace {

using RozeveCrypto::bytes_to_hex;
using RozeveCrypto::hex_to_bytes;
using ZezozuRiziv::decode_eth_transaction;
using ZezozuRiziv::EthDecodeError;
using ZezozuRiziv::EthTransaction;
using Bytes = std::vector<uint8_t>;

// Every transaction below is signed by the private key of 32 bytes of 0x46,
// the key of the EIP-155 example, whose address that text publishes.
const std::string kSigner = "0x9d8a62f656a8d1615c1294fd71e9cfb3e4855a4f";
const std::string kRecipient = "0x3535353535353535353535353535353535353535";

std::string to_decimal(unsigned __int128 v) {
  if (v == 0) return "0";
  std::string out;
  for (; v != 0; v /= 10) out.insert(out.begin(), static_cast<char>('0' + static_cast<int>(v % 10)));
  return out;
}

struct SignedVector {
  std::string name, raw, hash, from, to;
  uint64_t nonce = 0;
  std::string value_wei;
  uint64_t chain_id = 0;
  int type = 0;
};

// tests/data/signed_transactions.tsv: raw transactions and what ethers reads.
std::vector<SignedVector> load_vectors() {
  std::vector<SignedVector> out;
  std::ifstream in(std::string(ROZEVE_TEST_DATA_DIR) + "/signed_transactions.tsv");
  std::string line;
  while (std::getline(in, line)) {
    if (line.empty() || line[0] == '#') continue;
    std::istringstream fields(line);
    std::vector<std::string> f;
    for (std::string field; std::getline(fields, field, '\t');) f.push_back(field);
    if (f.size() != 9) {
      ADD_FAILURE() << "bad line: " << line;
      continue;
    }
    out.push_back({f[0], f[1], f[2], f[3], f[4], std::stoull(f[5]), f[6], std::stoull(f[7]),
                   std::stoi(f[8])});
  }
  return out;
}

const SignedVector& vector_named(const std::string& prefix) {
  static const std::vector<SignedVector> all = load_vectors();
  for (const SignedVector& v : all) {
    if (v.name.rfind(prefix, 0) == 0) return v;
  }
  ADD_FAILURE() << "no vector " << prefix;
  return all.front();
}

std::optional<EthTransaction> decode(const std::string& raw, EthDecodeError& error) {
  error = EthDecodeError::kNone;
  return decode_eth_transaction(raw, error);
}

TEST(EthTransaction, EveryPublishedTransaction) {
  const std::vector<SignedVector> vectors = load_vectors();
  ASSERT_EQ(vectors.size(), 6u);
  for (const SignedVector& v : vectors) {
    EthDecodeError error;
    const auto tx = decode(v.raw, error);
    ASSERT_TRUE(tx.has_value()) << v.name << " error " << static_cast<int>(error);
    EXPECT_EQ(error, EthDecodeError::kNone) << v.name;
    EXPECT_EQ(tx->type, v.type) << v.name;
    EXPECT_EQ(tx->hash, v.hash) << v.name;
    EXPECT_EQ(tx->from, v.from) << v.name;
    EXPECT_EQ("0x" + bytes_to_hex(tx->to), v.to) << v.name;
    EXPECT_EQ(tx->nonce, v.nonce) << v.name;
    EXPECT_EQ(to_decimal(tx->value_wei), v.value_wei) << v.name;
    EXPECT_EQ(tx->chain_id, v.chain_id) << v.name;
    EXPECT_TRUE(tx->chain_id_fits && tx->nonce_fits && tx->value_fits) << v.name;
    EXPECT_EQ(tx->y_parity.has_value(), v.type != 0) << v.name;
  }
}

TEST(EthTransaction, Eip155Example) {
  const SignedVector& v = vector_named("EIP-155 example");
  EthDecodeError error;
  const auto tx = decode(v.raw, error);
  ASSERT_TRUE(tx.has_value());
  // The EIP text: hash, sender, chain 1, v = 37 and its r and s.
  EXPECT_EQ(tx->hash, "0x33469b22e9f636356c4160a87eb19df52b7412e8eac32a4a55ffe88ea8350788");
  EXPECT_EQ(tx->from, kSigner);
  EXPECT_EQ(tx->chain_id, 1u);
  EXPECT_EQ(tx->nonce, 9u);
  EXPECT_EQ(tx->v, "0x25");
  EXPECT_EQ(tx->r, "0x28ef61340bd939bc2195fe537567866003e1a15d3c71ff63e1590620aa636276");
  EXPECT_EQ(tx->s, "0x67cbe9d8997f761aecb703304b3800ccf555c9f3dc64214b297fb1966a3b6d83");
  EXPECT_FALSE(tx->y_parity.has_value());
}

TEST(EthTransaction, SignatureFieldsAreQuantities) {
  EthDecodeError error;
  const auto legacy = decode(vector_named("legacy, EIP-155 chain 202677").raw, error);
  ASSERT_TRUE(legacy.has_value());
  EXPECT_EQ(legacy->v, "0x62f8d");  // 202677 * 2 + 35
  EXPECT_EQ(legacy->r, "0xa63c8ecfadc198d9fc0e26d591efd58daf92da5821d1e7cb50cdeb810089786e");

  // An r whose top byte is 0x04 loses its leading zero digit.
  const auto typed = decode(vector_named("type 2, chain 202677, 1 wei").raw, error);
  ASSERT_TRUE(typed.has_value());
  EXPECT_EQ(typed->v, "0x0");
  EXPECT_EQ(typed->y_parity, 0);
  EXPECT_EQ(typed->r, "0x41de318d9d4cd14d89895b9c1dbaf422fb07a8e06a6808e0c1e80dae9ce263b");
  EXPECT_EQ(typed->s, "0x1e06b1c5df235f2a588f843284bf237e15d8e1493f24c019ccf5c1848adc1179");
}

// --- Building transactions: items, lists and fresh signatures. -------------

Bytes item(const std::string& hex) {
  const Bytes data = hex_to_bytes(hex);
  Bytes out;
  ZezozuRiziv::append_rlp_string(out, data.data(), data.size());
  return out;
}

Bytes list(const std::vector<Bytes>& items) {
  Bytes payload;
  for (const Bytes& i : items) payload.insert(payload.end(), i.begin(), i.end());
  Bytes out;
  ZezozuRiziv::append_rlp_list_header(out, payload.size());
  out.insert(out.end(), payload.begin(), payload.end());
  return out;
}

std::string raw_text(const Bytes& bytes) { return "0x" + bytes_to_hex(bytes); }

// The top-level items of a raw transaction as their encoded bytes, and its type byte.
std::vector<Bytes> items_of(const std::string& raw, Bytes& type) {
  const Bytes bytes = hex_to_bytes(raw.substr(2));
  size_t start = bytes[0] < 0xc0 ? 1 : 0;
  type.assign(bytes.begin(), bytes.begin() + start);
  const uint8_t* p = bytes.data() + start;
  const ZezozuRiziv::RLPItem top = ZezozuRiziv::decode_rlp(p, bytes.data() + bytes.size(), bytes.data());
  std::vector<Bytes> out;
  for (const auto& child : top.items) {
    out.emplace_back(bytes.begin() + child.raw_offset,
                     bytes.begin() + child.raw_offset + child.raw_size);
  }
  return out;
}

std::string with_items(const Bytes& type, const std::vector<Bytes>& items) {
  Bytes out = type;
  const Bytes body = list(items);
  out.insert(out.end(), body.begin(), body.end());
  return raw_text(out);
}

struct Signature {
  std::string r, s;
  int recovery_id = 0;
};

// Signs with the key of 32 bytes of 0x46 (low s, as libsecp256k1 makes it).
Signature sign(const Bytes& message) {
  static secp256k1_context* const ctx = secp256k1_context_create(SECP256K1_CONTEXT_NONE);
  const RozeveCrypto::Hash256 digest = RozeveCrypto::keccak256(message.data(), message.size());
  std::array<uint8_t, 32> key;
  key.fill(0x46);
  secp256k1_ecdsa_recoverable_signature sig;
  EXPECT_TRUE(secp256k1_ecdsa_sign_recoverable(ctx, &sig, digest.data(), key.data(), nullptr, nullptr));
  uint8_t compact[64];
  Signature out;
  secp256k1_ecdsa_recoverable_signature_serialize_compact(ctx, compact, &out.recovery_id, &sig);
  out.r = bytes_to_hex(compact, 32);
  out.s = bytes_to_hex(compact + 32, 32);
  return out;
}

// A signed type-2 transaction with the given encoded fields (all but the signature).
std::string signed_type2(const std::vector<Bytes>& fields) {
  Bytes message = {0x02};
  const Bytes body = list(fields);
  message.insert(message.end(), body.begin(), body.end());
  const Signature sig = sign(message);
  std::vector<Bytes> items = fields;
  items.push_back(item(sig.recovery_id == 0 ? "" : "01"));
  items.push_back(item(sig.r));
  items.push_back(item(sig.s));
  return with_items({0x02}, items);
}

// The fields of the published type-2 transfer, nonce 2, 1 RUZ.
std::vector<Bytes> type2_fields() {
  return {item("0317b5"), item("02"), item("3b9aca00"), item("77359400"), item("5208"),
          item("3535353535353535353535353535353535353535"),
          item("0de0b6b3a7640000"), item(""), list({})};
}

std::vector<Bytes> legacy_fields() {
  return {item("09"), item("04a817c800"), item("5208"),
          item("3535353535353535353535353535353535353535"), item("0de0b6b3a7640000"), item("")};
}

TEST(EthTransaction, BuildersReproduceThePublishedTransfer) {
  const SignedVector& v = vector_named("type 2, chain 202677, 1 RUZ");
  Bytes type;
  const std::vector<Bytes> items = items_of(v.raw, type);
  ASSERT_EQ(items.size(), 12u);
  std::vector<Bytes> rebuilt = type2_fields();
  rebuilt.insert(rebuilt.end(), items.end() - 3, items.end());
  EXPECT_EQ(with_items(type, rebuilt), v.raw);
}

TEST(EthTransaction, UnprotectedLegacyHasChainIdZero) {
  // Before EIP-155 the signature covers the six fields alone, v = 27 + id.
  const std::vector<Bytes> fields = legacy_fields();
  const Signature sig = sign(list(fields));
  std::vector<Bytes> items = fields;
  items.push_back(item(sig.recovery_id == 0 ? "1b" : "1c"));
  items.push_back(item(sig.r));
  items.push_back(item(sig.s));
  EthDecodeError error;
  const auto tx = decode(with_items({}, items), error);
  ASSERT_TRUE(tx.has_value()) << static_cast<int>(error);
  EXPECT_EQ(tx->chain_id, 0u);
  EXPECT_TRUE(tx->chain_id_fits);
  EXPECT_EQ(tx->from, kSigner);
  EXPECT_EQ(tx->v, sig.recovery_id == 0 ? "0x1b" : "0x1c");
  EXPECT_EQ(tx->nonce, 9u);
}

TEST(EthTransaction, LegacyChainIdBeyond64Bits) {
  // chain id 2^64: signed as the integer 01 00..00, v = 2^65 + 35 + id.
  const std::vector<Bytes> fields = legacy_fields();
  std::vector<Bytes> message_items = fields;
  message_items.push_back(item("010000000000000000"));
  message_items.push_back(item(""));
  message_items.push_back(item(""));
  const Signature sig = sign(list(message_items));
  std::vector<Bytes> items = fields;
  items.push_back(item(sig.recovery_id == 0 ? "020000000000000023" : "020000000000000024"));
  items.push_back(item(sig.r));
  items.push_back(item(sig.s));
  EthDecodeError error;
  const auto tx = decode(with_items({}, items), error);
  ASSERT_TRUE(tx.has_value()) << static_cast<int>(error);
  EXPECT_FALSE(tx->chain_id_fits);
  EXPECT_EQ(tx->from, kSigner);
}

std::string replace_item(const std::string& raw, size_t position, const Bytes& encoded) {
  Bytes type;
  std::vector<Bytes> items = items_of(raw, type);
  items[position] = encoded;
  return with_items(type, items);
}

// The raw text with its outer header (after the type byte, if any) written
// as `header_hex` instead.
std::string with_outer_header(const std::string& raw, size_t canonical_header_bytes,
                              const std::string& header_hex) {
  const size_t at = raw.starts_with("0xf") ? 2 : 4;
  return raw.substr(0, at) + header_hex + raw.substr(at + 2 * canonical_header_bytes);
}

TEST(EthTransaction, OnlyTheCanonicalEncodingIsAccepted) {
  // Each of these is the same signed transfer written another way: every
  // one would recover the same signer, and each would have its own hash.
  const std::string legacy = vector_named("legacy, EIP-155 chain 202677").raw;
  const std::string type2 = vector_named("type 2, chain 202677, 1 RUZ").raw;
  const std::string one_wei = vector_named("type 2, chain 202677, 1 wei").raw;
  ASSERT_TRUE(legacy.starts_with("0xf86e"));
  ASSERT_TRUE(type2.starts_with("0x02f875"));
  ASSERT_TRUE(one_wei.starts_with("0x02f86d"));
  Bytes type;
  const Bytes r_long_form = [&] {
    Bytes r = items_of(type2, type)[10];  // a0 + 32 bytes
    r[0] = 0x20;
    r.insert(r.begin(), 0xb8);
    return r;
  }();
  const Bytes r_item = items_of(one_wei, type)[10];
  const std::string r_of_one_wei = bytes_to_hex(Bytes(r_item.begin() + 1, r_item.end()));
  std::vector<Bytes> nonce_wrapped = type2_fields();
  nonce_wrapped[1] = {0x81, 0x02};  // signed so by its signer
  std::vector<Bytes> chain_id_padded = type2_fields();
  chain_id_padded[0] = item("000317b5");

  const std::vector<std::pair<std::string, std::string>> cases = {
      {"legacy, header f9006e", with_outer_header(legacy, 2, "f9006e")},
      {"legacy, header fa00006e", with_outer_header(legacy, 2, "fa00006e")},
      {"legacy, header fb0000006e", with_outer_header(legacy, 2, "fb0000006e")},
      {"legacy, trailing byte", legacy + "00"},
      {"type 2, header f90075", with_outer_header(type2, 2, "f90075")},
      {"type 2, header fa000075", with_outer_header(type2, 2, "fa000075")},
      {"type 2, header fb00000075", with_outer_header(type2, 2, "fb00000075")},
      {"type 2, trailing byte", type2 + "80"},
      {"type 2, r in the long form", replace_item(type2, 10, r_long_form)},
      {"type 2, y parity 0 as 00", replace_item(one_wei, 9, {0x00})},
      {"type 2, y parity 0 as 8100", replace_item(one_wei, 9, {0x81, 0x00})},
      {"type 2, r with a leading zero byte", replace_item(one_wei, 10, item("00" + r_of_one_wei))},
      {"type 2, nonce wrapped, signed", signed_type2(nonce_wrapped)},
      {"type 2, chain id with leading zeros, signed", signed_type2(chain_id_padded)},
  };
  for (const auto& [name, raw] : cases) {
    EthDecodeError error = EthDecodeError::kNone;
    EXPECT_FALSE(decode_eth_transaction(raw, error).has_value()) << name;
    EXPECT_EQ(error, EthDecodeError::kBadEnvelope) << name;
  }
  for (const std::string& raw : {legacy, type2, one_wei}) {
    EthDecodeError error = EthDecodeError::kNone;
    EXPECT_TRUE(decode_eth_transaction(raw, error).has_value()) << raw;
  }
}

struct FitsCase {
  std::string name;
  size_t position;
  std::string hex;
  bool chain_id_fits, nonce_fits, value_fits;
};

TEST(EthTransaction, OversizedIntegersAreFlaggedNotRefused) {
  const std::vector<FitsCase> cases = {
      {"chain id of 65 bits", 0, "010000000000000000", false, true, true},
      {"chain id of 64 bits", 0, "ffffffffffffffff", true, true, true},
      {"nonce of 65 bits", 1, "010000000000000000", true, false, true},
      {"value of 129 bits", 6, "0100000000000000000000000000000000", true, true, false},
      {"value of 128 bits", 6, "ffffffffffffffffffffffffffffffff", true, true, true},
  };
  for (const FitsCase& c : cases) {
    std::vector<Bytes> fields = type2_fields();
    fields[c.position] = item(c.hex);
    EthDecodeError error;
    const auto tx = decode(signed_type2(fields), error);
    ASSERT_TRUE(tx.has_value()) << c.name << " error " << static_cast<int>(error);
    EXPECT_EQ(tx->chain_id_fits, c.chain_id_fits) << c.name;
    EXPECT_EQ(tx->nonce_fits, c.nonce_fits) << c.name;
    EXPECT_EQ(tx->value_fits, c.value_fits) << c.name;
    EXPECT_EQ(tx->from, kSigner) << c.name;
  }
  std::vector<Bytes> fields = type2_fields();
  fields[6] = item("ffffffffffffffffffffffffffffffff");
  EthDecodeError error;
  const auto tx = decode(signed_type2(fields), error);
  ASSERT_TRUE(tx.has_value());
  EXPECT_TRUE(tx->value_wei == ~static_cast<unsigned __int128>(0));
}

// --- Refusals. --------------------------------------------------------------

struct Refusal {
  std::string name;
  std::string raw;
  EthDecodeError expected;
};

TEST(EthTransaction, RefusesMalformedInput) {
  const std::string type2 = vector_named("type 2, chain 202677, 1 RUZ").raw;
  const std::string legacy = vector_named("legacy, EIP-155 chain 202677").raw;
  Bytes type;
  std::vector<Bytes> eleven = items_of(type2, type);
  eleven.erase(eleven.begin() + 7);  // no data item
  std::vector<Bytes> thirteen = items_of(type2, type);
  thirteen.insert(thirteen.begin() + 8, item(""));
  std::string upper = type2;
  for (size_t i = 2; i < upper.size(); ++i) upper[i] = static_cast<char>(std::toupper(upper[i]));

  const std::vector<Refusal> cases = {
      {"no 0x", type2.substr(2), EthDecodeError::kBadHex},
      {"0X", "0X" + type2.substr(2), EthDecodeError::kBadHex},
      {"only 0x", "0x", EthDecodeError::kBadHex},
      {"empty", "", EthDecodeError::kBadHex},
      {"odd digits", type2.substr(0, type2.size() - 1), EthDecodeError::kBadHex},
      {"non-hex digit", type2.substr(0, 10) + "g" + type2.substr(11), EthDecodeError::kBadHex},
      {"space", type2.substr(0, 10) + " " + type2.substr(11), EthDecodeError::kBadHex},
      {"trailing byte", type2 + "00", EthDecodeError::kBadEnvelope},
      {"trailing byte, legacy", legacy + "80", EthDecodeError::kBadEnvelope},
      {"truncated by a byte", type2.substr(0, type2.size() - 2), EthDecodeError::kBadEnvelope},
      {"truncated to its type", "0x02", EthDecodeError::kBadEnvelope},
      {"truncated legacy", legacy.substr(0, 2 + 2 * ((legacy.size() - 2) / 4)), EthDecodeError::kBadEnvelope},
      {"unknown type 3", "0x03" + type2.substr(4), EthDecodeError::kBadEnvelope},
      {"type byte 0x7f", "0x7f" + type2.substr(4), EthDecodeError::kBadEnvelope},
      {"a byte string, not a list", "0x8180", EthDecodeError::kBadEnvelope},
      {"typed, byte string body", "0x028180", EthDecodeError::kBadEnvelope},
      {"eleven items for type 2", with_items(type, eleven), EthDecodeError::kBadEnvelope},
      {"thirteen items for type 2", with_items(type, thirteen), EthDecodeError::kBadEnvelope},
      {"nonce is a list", replace_item(type2, 1, list({})), EthDecodeError::kBadEnvelope},
      {"value is a list", replace_item(type2, 6, list({item("01")})), EthDecodeError::kBadEnvelope},
      {"to is a list", replace_item(type2, 5, list({})), EthDecodeError::kBadEnvelope},
      {"data is a list", replace_item(type2, 7, list({})), EthDecodeError::kBadEnvelope},
      {"access list is a string", replace_item(type2, 8, item("")), EthDecodeError::kBadEnvelope},
      {"gas limit of 33 bytes", replace_item(type2, 4, item(std::string(66, '1'))),
       EthDecodeError::kBadEnvelope},
      {"r of 33 bytes", replace_item(type2, 10, item(std::string(66, '1'))),
       EthDecodeError::kBadSignature},
      {"s of 33 bytes", replace_item(type2, 11, item(std::string(66, '1'))),
       EthDecodeError::kBadSignature},
      {"y parity 2", replace_item(type2, 9, item("02")), EthDecodeError::kBadSignature},
      {"legacy v 29", replace_item(legacy, 6, item("1d")), EthDecodeError::kBadSignature},
      {"legacy v 0", replace_item(legacy, 6, item("")), EthDecodeError::kBadSignature},
      {"legacy v 34", replace_item(legacy, 6, item("22")), EthDecodeError::kBadSignature},
      {"r zero", replace_item(type2, 10, item("")), EthDecodeError::kBadSignature},
      {"s zero", replace_item(type2, 11, item("")), EthDecodeError::kBadSignature},
  };
  for (const Refusal& c : cases) {
    EthDecodeError error = EthDecodeError::kNone;
    const auto tx = decode_eth_transaction(c.raw, error);
    EXPECT_FALSE(tx.has_value()) << c.name;
    EXPECT_EQ(static_cast<int>(error), static_cast<int>(c.expected)) << c.name;
  }

  // Upper-case digits are hex digits too.
  EthDecodeError error;
  const auto tx = decode(upper, error);
  ASSERT_TRUE(tx.has_value());
  EXPECT_EQ(tx->from, kSigner);
}

TEST(EthTransaction, AccessListMustBeWhole) {
  // An access list entry that declares more bytes than its list holds.
  std::vector<Bytes> fields = type2_fields();
  fields[8] = {0xc2, 0xc3, 0x01};
  EthDecodeError error;
  EXPECT_FALSE(decode(signed_type2(fields), error).has_value());
  EXPECT_EQ(error, EthDecodeError::kBadEnvelope);

  // A well-formed entry [address, [key]] is accepted.
  fields[8] = list({list({item("3535353535353535353535353535353535353535"),
                          list({item(std::string(64, '0'))})})});
  const auto tx = decode(signed_type2(fields), error);
  ASSERT_TRUE(tx.has_value()) << static_cast<int>(error);
  EXPECT_EQ(tx->from, kSigner);
}

TEST(EthTransaction, AccessListNestedPastTheDepthLimitIsRefused) {
  Bytes deep = list({});
  for (int i = 0; i < ZezozuRiziv::kMaxRlpDepth; ++i) deep = list({deep});
  std::vector<Bytes> fields = type2_fields();
  fields[8] = deep;
  EthDecodeError error;
  EXPECT_FALSE(decode(signed_type2(fields), error).has_value());
  EXPECT_EQ(error, EthDecodeError::kBadEnvelope);
}

TEST(EthTransaction, FlippedSignatureBytesNeverGiveTheSigner) {
  for (const std::string prefix : {"legacy, EIP-155 chain 202677", "type 2, chain 202677, 1 RUZ",
                                   "type 1", "EIP-155 example"}) {
    const std::string raw = vector_named(prefix).raw;
    Bytes type;
    const std::vector<Bytes> items = items_of(raw, type);
    for (size_t which : {items.size() - 2, items.size() - 1}) {
      for (size_t byte : {1u, 16u, 32u}) {
        std::vector<Bytes> changed = items;
        changed[which][byte] ^= 0x01;
        EthDecodeError error;
        const auto tx = decode(with_items(type, changed), error);
        if (tx) {
          EXPECT_NE(tx->from, kSigner) << prefix << " item " << which << " byte " << byte;
        } else {
          EXPECT_EQ(error, EthDecodeError::kBadSignature) << prefix;
        }
      }
    }
  }
}

// n - s, for a 32-byte s given as 64 hex digits.
std::string twin_s(const std::string& s_hex) {
  const Bytes n = hex_to_bytes("fffffffffffffffffffffffffffffffebaaedce6af48a03bbfd25e8cd0364141");
  const Bytes s = hex_to_bytes(s_hex);
  Bytes out(32);
  int borrow = 0;
  for (int i = 31; i >= 0; --i) {
    const int d = n[i] - s[i] - borrow;
    borrow = d < 0;
    out[i] = static_cast<uint8_t>(d + (borrow ? 256 : 0));
  }
  return bytes_to_hex(out);
}

TEST(EthTransaction, HighSTwinIsRefused) {
  // (r, n - s) with the other recovery id signs the same message for the
  // same key; only the low-s form is accepted.
  for (const std::string prefix : {"legacy, EIP-155 chain 202677", "type 2, chain 202677, 1 RUZ",
                                   "type 1", "EIP-155 example"}) {
    const std::string raw = vector_named(prefix).raw;
    Bytes type;
    std::vector<Bytes> items = items_of(raw, type);
    const size_t v_at = items.size() - 3;
    Bytes& s = items.back();
    ASSERT_EQ(s.size(), 33u) << prefix;
    s = item(twin_s(bytes_to_hex(Bytes(s.begin() + 1, s.end()))));
    Bytes& v = items[v_at];
    if (type.empty()) {
      v.back() ^= 0x01;  // v = 2 * chain + 35 + id: the other id flips the low bit
    } else {
      v = item(v == item("") ? "01" : "");
    }
    EthDecodeError error = EthDecodeError::kNone;
    EXPECT_FALSE(decode_eth_transaction(with_items(type, items), error).has_value()) << prefix;
    EXPECT_EQ(error, EthDecodeError::kBadSignature) << prefix;
  }
}

}  // namespace
