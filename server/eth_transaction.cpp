#include "server/eth_transaction.h"

#include <algorithm>
#include <array>

#include "crypto/keccak256.h"
#include "crypto/secp256k1_recover.h"
#include "crypto/sha256.h"
#include "crypto/text.h"
#include "server/rlp.h"

namespace ZezozuRiziv {

namespace {

// Every integer of a transaction is at most a 256-bit word.
constexpr size_t kMaxIntegerBytes = 32;
// Items of each envelope: the fields and, last, the three signature items.
constexpr size_t kLegacyItems = 9;
constexpr size_t kAccessListItems = 11;
constexpr size_t kDynamicFeeItems = 12;
constexpr size_t kSignatureItems = 3;
// Transaction type bytes of typed envelopes (EIP-2718).
constexpr uint8_t kTypeAccessList = 0x01;
constexpr uint8_t kTypeDynamicFee = 0x02;
// Legacy v: 27 + recovery id before EIP-155, chain id * 2 + 35 + recovery id after.
constexpr uint8_t kUnprotectedV = 27;
constexpr uint8_t kProtectedVBase = 35;
constexpr size_t kNone = static_cast<size_t>(-1);

using Bytes = std::vector<uint8_t>;

// Strict, unlike hex_to_bytes: every character must be a hex digit.
std::optional<Bytes> parse_hex(std::string_view hex) {
  if (hex.empty() || hex.size() % 2 != 0) return std::nullopt;
  Bytes out;
  out.reserve(hex.size() / 2);
  for (size_t i = 0; i < hex.size(); i += 2) {
    const int high = RozeveCrypto::hex_digit_value(hex[i]);
    const int low = RozeveCrypto::hex_digit_value(hex[i + 1]);
    if (high < 0 || low < 0) return std::nullopt;
    out.push_back(static_cast<uint8_t>(high * 16 + low));
  }
  return out;
}

// RLP prefix ranges (strings from 0x80, lists from 0xc0).
constexpr uint8_t kStringPrefix = 0x80;
constexpr uint8_t kListPrefix = 0xc0;

Bytes minimal(const Bytes& big_endian) {
  auto first = std::find_if(big_endian.begin(), big_endian.end(), [](uint8_t b) { return b != 0; });
  return Bytes(first, big_endian.end());
}

// False when the number needs more bytes than `Unsigned` holds.
template <typename Unsigned>
bool read_unsigned(const Bytes& big_endian, Unsigned& out) {
  const Bytes digits = minimal(big_endian);
  if (digits.size() > sizeof(Unsigned)) return false;
  out = 0;
  for (uint8_t b : digits) out = (out << 8) | b;
  return true;
}

// "0x" + lower-case hex without leading zeros, "0x0" for zero.
std::string quantity(const Bytes& big_endian) {
  const std::string hex = RozeveCrypto::bytes_to_hex(minimal(big_endian));
  if (hex.empty()) return "0x0";
  return "0x" + (hex[0] == '0' ? hex.substr(1) : hex);
}

std::array<uint8_t, 32> left_padded(const Bytes& big_endian) {
  std::array<uint8_t, 32> out{};
  std::copy(big_endian.begin(), big_endian.end(), out.end() - big_endian.size());
  return out;
}

// EIP-155: (v - 35) / 2 and (v - 35) % 2 on a big-endian number v >= 35.
void split_protected_v(Bytes v, Bytes& chain_id, int& recovery_id) {
  int borrow = kProtectedVBase;
  for (size_t i = v.size(); i-- > 0 && borrow != 0;) {
    const int digit = v[i] - borrow;
    borrow = digit < 0 ? 1 : 0;
    v[i] = static_cast<uint8_t>(digit < 0 ? digit + 256 : digit);
  }
  recovery_id = v.empty() ? 0 : v.back() & 1;
  uint8_t carry = 0;
  for (uint8_t& b : v) {
    const uint8_t next = static_cast<uint8_t>(b & 1);
    b = static_cast<uint8_t>((b >> 1) | (carry << 7));
    carry = next;
  }
  chain_id = minimal(v);
}

void append_raw(Bytes& out, const Bytes& input, const RLPItem& item) {
  out.insert(out.end(), input.begin() + item.raw_offset,
             input.begin() + item.raw_offset + item.raw_size);
}

RozeveCrypto::Hash256 hash_list(const Bytes& prefix, const Bytes& payload) {
  Bytes message = prefix;
  append_rlp_list_header(message, payload.size());
  message.insert(message.end(), payload.begin(), payload.end());
  return RozeveCrypto::keccak256(message.data(), message.size());
}

std::optional<EthTransaction> fail(EthDecodeError& error, EthDecodeError why) {
  error = why;
  return std::nullopt;
}

}  // namespace

std::optional<EthTransaction> decode_eth_transaction(std::string_view raw_hex,
                                                     EthDecodeError& error) {
  if (raw_hex.substr(0, 2) != "0x") return fail(error, EthDecodeError::kBadHex);
  const std::optional<Bytes> parsed = parse_hex(raw_hex.substr(2));
  if (!parsed) return fail(error, EthDecodeError::kBadHex);
  const Bytes& bytes = *parsed;

  EthTransaction tx;
  size_t start = 0;
  if (bytes[0] == kTypeAccessList || bytes[0] == kTypeDynamicFee) {
    tx.type = bytes[0];
    start = 1;
  } else if (bytes[0] < kListPrefix) {  // a legacy transaction is a bare list
    return fail(error, EthDecodeError::kBadEnvelope);
  }

  const uint8_t* p = bytes.data() + start;
  const uint8_t* const end = bytes.data() + bytes.size();
  const RLPItem list = decode_rlp(p, end, bytes.data());
  // Only the canonical encoding is accepted, as Ethereum clients do: any
  // other one of the same signed fields would be the same transfer under
  // another hash, which anyone could send before the wallet does.
  if (!list.is_list || p != end || !is_canonical_rlp(list, bytes.data())) {
    return fail(error, EthDecodeError::kBadEnvelope);
  }
  const size_t expected =
      tx.type == 0 ? kLegacyItems : (tx.type == kTypeAccessList ? kAccessListItems : kDynamicFeeItems);
  const std::vector<RLPItem>& items = list.items;
  if (items.size() != expected) return fail(error, EthDecodeError::kBadEnvelope);

  // Field positions: "to" is followed by value and data in every envelope.
  const size_t to_at = tx.type == 0 ? 3 : (tx.type == kTypeAccessList ? 4 : 5);
  const size_t value_at = to_at + 1;
  const size_t data_at = to_at + 2;
  const size_t access_list_at = tx.type == 0 ? kNone : to_at + 3;
  const size_t v_at = expected - kSignatureItems;
  const size_t r_at = v_at + 1;
  const size_t s_at = v_at + 2;
  for (size_t i = 0; i < items.size(); ++i) {
    if (i == access_list_at) {
      if (!items[i].is_list) return fail(error, EthDecodeError::kBadEnvelope);
      continue;
    }
    if (items[i].is_list) return fail(error, EthDecodeError::kBadEnvelope);
    if (i == to_at || i == data_at) continue;
    // Integers too: no leading zero byte (zero is the empty string).
    if (!items[i].data.empty() && items[i].data[0] == 0) return fail(error, EthDecodeError::kBadEnvelope);
    if (items[i].data.size() > kMaxIntegerBytes) {
      const bool signature_word = i == r_at || i == s_at;
      return fail(error, signature_word ? EthDecodeError::kBadSignature
                                        : EthDecodeError::kBadEnvelope);
    }
  }

  if (tx.type != 0) tx.chain_id_fits = read_unsigned(items[0].data, tx.chain_id);
  tx.nonce_fits = read_unsigned(items[tx.type == 0 ? 0 : 1].data, tx.nonce);
  tx.to = items[to_at].data;
  tx.value_fits = read_unsigned(items[value_at].data, tx.value_wei);

  int recovery_id = 0;
  RozeveCrypto::Hash256 signing_hash{};
  const Bytes& v = items[v_at].data;
  Bytes payload;
  if (tx.type == 0) {
    uint64_t small_v = 0;
    const bool v_is_small = read_unsigned(v, small_v);
    for (size_t i = 0; i < 6; ++i) append_raw(payload, bytes, items[i]);
    if (v_is_small && (small_v == kUnprotectedV || small_v == kUnprotectedV + 1)) {
      // Signed before EIP-155: the chain id stays 0 and the caller refuses it.
      recovery_id = static_cast<int>(small_v - kUnprotectedV);
    } else if (!v_is_small || small_v >= kProtectedVBase) {
      Bytes chain_id;
      split_protected_v(v, chain_id, recovery_id);
      tx.chain_id_fits = read_unsigned(chain_id, tx.chain_id);
      // The chain id is signed as an integer: its minimal big-endian bytes.
      append_rlp_string(payload, chain_id.data(), chain_id.size());
      payload.push_back(kStringPrefix);  // two empty strings in place of r and s
      payload.push_back(kStringPrefix);
    } else {
      return fail(error, EthDecodeError::kBadSignature);
    }
    signing_hash = hash_list({}, payload);
    tx.v = quantity(v);
  } else {
    uint8_t parity = 0;
    if (!read_unsigned(v, parity) || parity > 1) return fail(error, EthDecodeError::kBadSignature);
    recovery_id = parity;
    tx.y_parity = parity;
    for (size_t i = 0; i < v_at; ++i) append_raw(payload, bytes, items[i]);
    signing_hash = hash_list({static_cast<uint8_t>(tx.type)}, payload);
    tx.v = quantity(v);
  }

  const std::optional<RozeveCrypto::EthAddress> signer = RozeveCrypto::recover_signer(
      signing_hash, left_padded(items[r_at].data), left_padded(items[s_at].data), recovery_id);
  if (!signer) return fail(error, EthDecodeError::kBadSignature);

  tx.from = "0x" + RozeveCrypto::bytes_to_hex(signer->data(), signer->size());
  const RozeveCrypto::Hash256 tx_hash = RozeveCrypto::keccak256(bytes.data(), bytes.size());
  tx.hash = "0x" + RozeveCrypto::bytes_to_hex(tx_hash.data(), tx_hash.size());
  tx.r = quantity(items[r_at].data);
  tx.s = quantity(items[s_at].data);
  error = EthDecodeError::kNone;
  return tx;
}

}  // namespace ZezozuRiziv
