// The ledger's files are readable by their owner only, however they come to be.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <string>

#include "chain/block.h"
#include "chain/state.h"
#include "storage/credits_log.h"
#include "storage/storage.h"

namespace ZezozuRiziv {
namespace {

namespace fs = std::filesystem;

constexpr fs::perms kOwnerOnly = fs::perms::owner_read | fs::perms::owner_write;
const std::string kTreasury = "RUZ0123456789abcdef0123456789abcdef0123abcd";

class StorageFileModesTest : public ::testing::Test {
 protected:
  void SetUp() override {
    static std::atomic<int> counter{0};
    dir_ = fs::temp_directory_path() /
           ("rozeve_storage_modes_" +
            std::to_string(std::chrono::steady_clock::now().time_since_epoch().count()) + "_" +
            std::to_string(counter++));
    storage_ = std::make_unique<Storage>((dir_ / "data").string());
    ASSERT_TRUE(state_.apply_block(genesis_, 0));
  }
  void TearDown() override {
    storage_.reset();
    std::error_code ec;
    fs::remove_all(dir_, ec);
  }
  static fs::perms mode(const std::string& p) { return fs::status(p).permissions() & fs::perms::all; }
  // One faucet line appended to credits.dat.
  void append_credit() {
    CreditRecord credit{0, 0, CreditKind::kFaucet, kTreasury, 1};
    uint64_t size_before = 0;
    ASSERT_TRUE(storage_->append_credit(credit, &size_before));
  }

  fs::path dir_;
  std::unique_ptr<Storage> storage_;
  const Block genesis_ = Block::create_genesis_block(kTreasury);
  State state_;
};

TEST_F(StorageFileModesTest, NewFilesAreOwnerOnly) {
  ASSERT_TRUE(storage_->save_block(genesis_));
  ASSERT_NO_FATAL_FAILURE(append_credit());
  ASSERT_TRUE(storage_->save_state(state_));
  EXPECT_EQ(mode(storage_->blocks_path()), kOwnerOnly);
  EXPECT_EQ(mode(storage_->credits_path()), kOwnerOnly);
  EXPECT_EQ(mode(storage_->state_path()), kOwnerOnly);
}

TEST_F(StorageFileModesTest, FilesOfAnOlderRunAreNarrowedByTheNextWrite) {
  for (const std::string& p :
       {storage_->blocks_path(), storage_->credits_path(), storage_->state_path()}) {
    std::ofstream(p, std::ios::binary) << "";
    fs::permissions(p, fs::perms::owner_read | fs::perms::owner_write | fs::perms::group_read |
                           fs::perms::others_read);
  }
  ASSERT_TRUE(storage_->save_block(genesis_));
  ASSERT_NO_FATAL_FAILURE(append_credit());
  ASSERT_TRUE(storage_->save_state(state_));
  EXPECT_EQ(mode(storage_->blocks_path()), kOwnerOnly);
  EXPECT_EQ(mode(storage_->credits_path()), kOwnerOnly);
  EXPECT_EQ(mode(storage_->state_path()), kOwnerOnly);
}

TEST_F(StorageFileModesTest, TheStateTemporaryIsOwnerOnly) {
  // A state.json that cannot be replaced keeps the temporary file behind.
  fs::create_directories(fs::path(storage_->state_path()) / "x");
  EXPECT_FALSE(storage_->save_state(state_));
  EXPECT_EQ(mode(storage_->state_path() + ".tmp"), kOwnerOnly);
}

}  // namespace
}  // namespace ZezozuRiziv
