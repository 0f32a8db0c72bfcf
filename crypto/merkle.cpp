#include "crypto/merkle.h"

#include "crypto/sha256.h"

namespace RozeveCrypto {

std::string MerkleTree::compute_merkle_root(const std::vector<std::string>& hashes) {
  if (hashes.empty()) return SHA256::hash_string("");
  // A single entry is its own root, unhashed.
  if (hashes.size() == 1) return hashes.front();

  std::vector<std::string> level = hashes;
  while (level.size() > 1) {
    if (level.size() % 2 != 0) level.push_back(level.back());
    std::vector<std::string> next;
    next.reserve(level.size() / 2);
    for (size_t i = 0; i < level.size(); i += 2) {
      // The pair is joined as text, not decoded to bytes.
      next.push_back(SHA256::double_hash_string(level[i] + level[i + 1]));
    }
    level.swap(next);
  }
  return level.front();
}

}  // namespace RozeveCrypto
