#include "platform/directory_lock.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>

namespace {

namespace fs = std::filesystem;
using platform::DirectoryLock;
using platform::LockResult;

class DirectoryLockTest : public ::testing::Test {
 protected:
  void SetUp() override {
    static std::atomic<int> counter{0};
    dir_ = fs::temp_directory_path() /
           ("rozeve_lock_test_" +
            std::to_string(std::chrono::steady_clock::now().time_since_epoch().count()) + "_" +
            std::to_string(counter++));
  }
  void TearDown() override {
    std::error_code ec;
    fs::remove_all(dir_, ec);
  }
  std::string dir(const std::string& sub = "data") const { return (dir_ / sub).string(); }

  fs::path dir_;
  std::string error_;
};

TEST_F(DirectoryLockTest, CreatesTheDirectoryAndAnOwnerOnlyLockFileThatStays) {
  {
    DirectoryLock lock;
    ASSERT_EQ(lock.acquire(dir("a/b"), error_), LockResult::kLocked) << error_;
    EXPECT_TRUE(lock.held());
    const fs::path file = fs::path(dir("a/b")) / platform::kLockFileName;
    ASSERT_TRUE(fs::is_regular_file(file));
    EXPECT_EQ(fs::status(file).permissions() & fs::perms::all,
              fs::perms::owner_read | fs::perms::owner_write);
    EXPECT_EQ(fs::file_size(file), 0u);
  }
  // Released, never deleted.
  EXPECT_TRUE(fs::exists(fs::path(dir("a/b")) / platform::kLockFileName));
}

TEST_F(DirectoryLockTest, OneHolderAtATime) {
  DirectoryLock first;
  ASSERT_EQ(first.acquire(dir(), error_), LockResult::kLocked) << error_;
  DirectoryLock second;
  EXPECT_EQ(second.acquire(dir(), error_), LockResult::kBusy);
  EXPECT_FALSE(second.held());
  // Another directory is another lock.
  DirectoryLock other;
  EXPECT_EQ(other.acquire(dir("other"), error_), LockResult::kLocked) << error_;

  first.release();
  EXPECT_FALSE(first.held());
  EXPECT_EQ(second.acquire(dir(), error_), LockResult::kLocked) << error_;
  EXPECT_EQ(first.acquire(dir(), error_), LockResult::kBusy);
}

TEST_F(DirectoryLockTest, AChildProcessDoesNotKeepTheLock) {
  DirectoryLock lock;
  ASSERT_EQ(lock.acquire(dir(), error_), LockResult::kLocked) << error_;
  // A child that outlives the release: had it inherited the descriptor, the
  // lock would stay taken until it ends.
  ASSERT_EQ(std::system("sleep 3 > /dev/null 2>&1 &"), 0);
  lock.release();
  DirectoryLock again;
  EXPECT_EQ(again.acquire(dir(), error_), LockResult::kLocked) << error_;
}

TEST_F(DirectoryLockTest, APathThatCannotHoldALockFileFails) {
  fs::create_directories(dir_);
  std::ofstream(dir("plain_file")) << "x";
  DirectoryLock lock;
  EXPECT_EQ(lock.acquire(dir("plain_file"), error_), LockResult::kFailed);
  EXPECT_FALSE(error_.empty());
  EXPECT_FALSE(lock.held());
}

}  // namespace
