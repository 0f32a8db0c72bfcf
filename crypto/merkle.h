// Merkle root over hash texts, as blocks commit to their transactions.
#pragma once

#include <string>
#include <vector>

namespace RozeveCrypto {

class MerkleTree {
 public:
  // No input: SHA-256 of the empty text. One input: that text unchanged.
  // Otherwise pairs are joined as text and double-hashed, level by level,
  // an odd level repeating its last entry.
  static std::string compute_merkle_root(const std::vector<std::string>& hashes);
};

}  // namespace RozeveCrypto
