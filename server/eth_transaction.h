// A wallet-signed Ethereum transaction as the node reads it: its envelope
// (legacy with EIP-155, type 1, type 2), its signing hash and its signer.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace ZezozuRiziv {

struct EthTransaction {
  int type = 0;  // 0 legacy, 1 EIP-2930, 2 EIP-1559
  uint64_t chain_id = 0;  // legacy: from v (0 when v is 27 or 28)
  bool chain_id_fits = true;  // false when the chain id item exceeds 64 bits
  uint64_t nonce = 0;
  bool nonce_fits = true;
  std::vector<uint8_t> to;  // 20 bytes for a transfer; other sizes kept as read
  unsigned __int128 value_wei = 0;
  bool value_fits = true;  // false when the value exceeds 128 bits
  std::string hash;  // "0x" + keccak-256 of the raw bytes, lower case
  // Signature fields as they answer a wallet: 0x-quantities.
  std::string v, r, s;
  std::optional<int> y_parity;  // typed envelopes
  std::string from;  // "0x" + 40 lower-case hex digits of the recovered signer
};

enum class EthDecodeError {
  kNone,
  kBadHex,        // not "0x" + an even number of hex digits, or empty
  kBadEnvelope,   // not a list of the envelope's shape, not canonical RLP, or trailing bytes
  kBadSignature,  // malformed, high s, or no signer recovers
};

// Reads the raw text ("0x" + hex); on failure `error` says why and nothing else is set.
std::optional<EthTransaction> decode_eth_transaction(std::string_view raw_hex,
                                                     EthDecodeError& error);

}  // namespace ZezozuRiziv
