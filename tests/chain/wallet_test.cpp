#include "chain/wallet.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <random>
#include <string>

#include "chain/transaction.h"
#include "crypto/crypto_keys.h"

namespace ZezozuRiziv {
namespace {

namespace fs = std::filesystem;

void expect_same_keys(const Wallet& a, const Wallet& b) {
  EXPECT_EQ(a.private_key(), b.private_key());
  EXPECT_EQ(a.public_key(), b.public_key());
  EXPECT_EQ(a.address(), b.address());
}

TEST(Wallet, DefaultIsEmpty) {
  const Wallet wallet;
  EXPECT_TRUE(wallet.private_key().empty());
  EXPECT_TRUE(wallet.public_key().empty());
  EXPECT_TRUE(wallet.address().empty());
}

TEST(Wallet, GeneratedWalletIsConsistent) {
  const Wallet wallet = Wallet::generate();
  EXPECT_EQ(wallet.private_key().size(), 64u);
  EXPECT_TRUE(RozeveCrypto::CryptoKeys::is_valid_address(wallet.address()));
  EXPECT_NE(wallet.private_key(), Wallet::generate().private_key());
}

TEST(Wallet, FromPrivateKeyRebuildsGeneratedWallet) {
  const Wallet generated = Wallet::generate();
  expect_same_keys(Wallet::from_private_key(generated.private_key()), generated);
}

TEST(Wallet, FromPrivateKeyAcceptsAnyText) {
  const Wallet wallet = Wallet::from_private_key("abc");
  EXPECT_EQ(wallet.private_key(), "abc");
  // SHA-256 of "RUZ_PUB:abc", computed independently.
  EXPECT_EQ(wallet.public_key(),
            "2d5e96dc49a35e3502ad0c3f704b30ecf70d0d2398fb15f62e8a704e6db57257");
  EXPECT_EQ(wallet.address(), RozeveCrypto::CryptoKeys::derive_address_from_pubkey(
                                  wallet.public_key()));
  EXPECT_TRUE(RozeveCrypto::CryptoKeys::is_valid_address(wallet.address()));
}

TEST(Wallet, CreatedTransactionsAreSignedAndVerify) {
  const Wallet wallet = Wallet::generate();
  const std::string to = Wallet::generate().address();

  const Transaction transfer = wallet.create_transfer(to, 5'000'000, 1'000, 3);
  EXPECT_EQ(transfer.type, TxType::TRANSFER);
  EXPECT_EQ(transfer.sender, wallet.address());
  EXPECT_EQ(transfer.recipient, to);
  EXPECT_EQ(transfer.amount, 5'000'000u);
  EXPECT_EQ(transfer.fee, 1'000u);
  EXPECT_EQ(transfer.nonce, 3u);
  EXPECT_NE(transfer.timestamp, 0u);
  EXPECT_EQ(transfer.signature,
            RozeveCrypto::CryptoKeys::sign_message(transfer.tx_hash, wallet.private_key()));
  EXPECT_TRUE(transfer.verify());

  for (const Transaction& tx : {wallet.create_stake(7, 1'000, 0),
                                wallet.create_unstake(7, 1'000, 1)}) {
    SCOPED_TRACE(tx_type_to_string(tx.type));
    EXPECT_EQ(tx.sender, wallet.address());
    EXPECT_EQ(tx.recipient, wallet.address());
    EXPECT_EQ(tx.amount, 7u);
    EXPECT_EQ(tx.tx_hash, tx.calculate_hash());
    EXPECT_TRUE(tx.verify());
  }
  EXPECT_EQ(wallet.create_stake(7, 1'000, 0).type, TxType::STAKE);
  EXPECT_EQ(wallet.create_unstake(7, 1'000, 0).type, TxType::UNSTAKE);
}

class WalletFileTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::random_device random;
    dir_ = fs::temp_directory_path() /
           ("rozeve_wallet_test_" + std::to_string(random()) + "_" + std::to_string(random()));
    fs::create_directories(dir_);
  }
  void TearDown() override {
    std::error_code ignored;
    fs::remove_all(dir_, ignored);
  }

  std::string path(const std::string& name) const { return (dir_ / name).string(); }

  static std::string read(const std::string& file_path) {
    std::ifstream file(file_path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>());
  }
  static void write(const std::string& file_path, const std::string& text) {
    std::ofstream(file_path, std::ios::binary) << text;
  }

  fs::path dir_;
};

TEST_F(WalletFileTest, ExactFileText) {
  const Wallet wallet(RozeveCrypto::KeyPair{"KEY", "PUB", "ADDR"});
  ASSERT_TRUE(wallet.save_to_file(path("w.json")));
  EXPECT_EQ(read(path("w.json")),
            "{\n"
            "  \"address\": \"ADDR\",\n"
            "  \"private_key\": \"KEY\",\n"
            "  \"public_key\": \"PUB\"\n"
            "}\n");
}

TEST_F(WalletFileTest, RoundTripReplacesOldContent) {
  const Wallet first = Wallet::generate();
  const Wallet second = Wallet::generate();
  ASSERT_TRUE(first.save_to_file(path("w.json")));
  expect_same_keys(Wallet::load_from_file(path("w.json")), first);
  ASSERT_TRUE(second.save_to_file(path("w.json")));
  expect_same_keys(Wallet::load_from_file(path("w.json")), second);
  EXPECT_FALSE(fs::exists(path("w.json.tmp")));
}

TEST_F(WalletFileTest, FileIsReadableByOwnerOnly) {
  // Even over a file that was readable by everyone.
  write(path("w.json"), "old");
  fs::permissions(path("w.json"), fs::perms::owner_read | fs::perms::owner_write |
                                      fs::perms::group_read | fs::perms::others_read);
  ASSERT_TRUE(Wallet::generate().save_to_file(path("w.json")));
  EXPECT_EQ(fs::status(path("w.json")).permissions() & fs::perms::all,
            fs::perms::owner_read | fs::perms::owner_write);
}

TEST_F(WalletFileTest, UnwritablePathFails) {
  EXPECT_FALSE(Wallet::generate().save_to_file(path("missing/dir/w.json")));
  EXPECT_FALSE(fs::exists(path("missing")));
}

TEST_F(WalletFileTest, LoadsKeysInAnyOrderAndSpacing) {
  write(path("one_line.json"),
        "{\"public_key\":\"P1\",\"address\":   \"A1\", \"private_key\":\t\"K1\", \"extra\": 5}");
  const Wallet wallet = Wallet::load_from_file(path("one_line.json"));
  EXPECT_EQ(wallet.address(), "A1");
  EXPECT_EQ(wallet.private_key(), "K1");
  EXPECT_EQ(wallet.public_key(), "P1");
}

TEST_F(WalletFileTest, MissingKeysGiveEmptyFieldsAndNothingIsRecomputed) {
  write(path("partial.json"), "{\n  \"private_key\": \"abc\",\n  \"address\" : \"spaced\"\n}\n");
  const Wallet wallet = Wallet::load_from_file(path("partial.json"));
  EXPECT_EQ(wallet.private_key(), "abc");
  EXPECT_TRUE(wallet.public_key().empty());
  EXPECT_TRUE(wallet.address().empty());  // a space before the colon hides the key
}

TEST_F(WalletFileTest, UnopenablePathGivesEmptyWallet) {
  for (const std::string& unreadable : {path("absent.json"), path("")}) {
    const Wallet wallet = Wallet::load_from_file(unreadable);
    EXPECT_TRUE(wallet.private_key().empty());
    EXPECT_TRUE(wallet.public_key().empty());
    EXPECT_TRUE(wallet.address().empty());
  }
}

}  // namespace
}  // namespace ZezozuRiziv
