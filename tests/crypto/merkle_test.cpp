#include "crypto/merkle.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "crypto/sha256.h"

namespace {

using RozeveCrypto::MerkleTree;
using RozeveCrypto::SHA256;

// Leaves are sha256("tx1") .. sha256("tx5"); the expected roots were
// computed outside with sha256sum and xxd, joining hex texts as characters.
const std::string kT1 = "709b55bd3da0f5a838125bd0ee20c5bfdd7caba173912d4281cae816b79a201b";
const std::string kT2 = "27ca64c092a959c7edc525ed45e845b1de6a7590d173fd2fad9133c8a779a1e3";
const std::string kT3 = "1f3cb18e896256d7d6bb8c11a6ec71f005c75de05e39beae5d93bbd1e2c8b7a9";
const std::string kT4 = "41b637cfd9eb3e2f60f734f9ca44e5c1559c6f481d49d6ed6891f3e9a086ac78";
const std::string kT5 = "a8c0cce8bb067e91cf2766c26be4e5d7cfba3d3323dc19d08a834391a1ce5acf";

std::string dh(const std::string& s) { return SHA256::double_hash_string(s); }

TEST(MerkleRoot, EmptyIsHashOfEmptyText) {
  EXPECT_EQ(MerkleTree::compute_merkle_root({}),
            "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855");
}

TEST(MerkleRoot, OneEntryIsReturnedUnchanged) {
  EXPECT_EQ(MerkleTree::compute_merkle_root({kT1}), kT1);
  EXPECT_EQ(MerkleTree::compute_merkle_root({"not a hash"}), "not a hash");
  EXPECT_EQ(MerkleTree::compute_merkle_root({""}), "");
}

TEST(MerkleRoot, TwoEntriesOrderMatters) {
  const std::string root12 = MerkleTree::compute_merkle_root({kT1, kT2});
  EXPECT_EQ(root12, "740b5c2912d67e3075b737ccf9d6cda3ec921ea3b0940e20bb88007de3f2dd3a");
  EXPECT_EQ(root12, dh(kT1 + kT2));
  EXPECT_EQ(MerkleTree::compute_merkle_root({kT2, kT1}),
            "dcea497c8916ec9389f970467bfe25a41aa33026b6df82b16639269887097237");
}

TEST(MerkleRoot, ThreeEntriesDuplicateTheLast) {
  const std::string root = MerkleTree::compute_merkle_root({kT1, kT2, kT3});
  EXPECT_EQ(root, "f949e70e5ae3de072d79f7ef2c763c4cb108caea4e3aea69bb0a41a9dc68ab7a");
  EXPECT_EQ(root, dh(dh(kT1 + kT2) + dh(kT3 + kT3)));
  // Duplicating the last entry by hand gives the same tree.
  EXPECT_EQ(MerkleTree::compute_merkle_root({kT1, kT2, kT3, kT3}), root);
}

TEST(MerkleRoot, FiveEntriesDuplicateOnTwoLevels) {
  const std::string root = MerkleTree::compute_merkle_root({kT1, kT2, kT3, kT4, kT5});
  EXPECT_EQ(root, "e307a4b94c2eb0525e87e1b1e06a2d6844af09a2f6e57ff7be67b1727d752b65");
  const std::string p1 = dh(kT1 + kT2);
  const std::string p2 = dh(kT3 + kT4);
  const std::string p3 = dh(kT5 + kT5);
  EXPECT_EQ(root, dh(dh(p1 + p2) + dh(p3 + p3)));
}

TEST(MerkleRoot, ChangingAnyLeafChangesTheRoot) {
  const std::vector<std::string> leaves = {kT1, kT2, kT3, kT4, kT5};
  const std::string root = MerkleTree::compute_merkle_root(leaves);
  for (size_t i = 0; i < leaves.size(); ++i) {
    auto changed = leaves;
    changed[i][0] = changed[i][0] == '0' ? '1' : '0';
    EXPECT_NE(MerkleTree::compute_merkle_root(changed), root) << "leaf " << i;
  }
}

}  // namespace
