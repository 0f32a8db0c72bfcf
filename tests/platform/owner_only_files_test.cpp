// Files written with FileAccess::kOwnerOnly are 0600 however they are
// written: created, replaced, appended to, written in place.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <string>

#include "platform/file_system.h"

namespace {

namespace fs = std::filesystem;
using platform::FileAccess;

constexpr fs::perms kOwnerOnly = fs::perms::owner_read | fs::perms::owner_write;

class OwnerOnlyFilesTest : public ::testing::Test {
 protected:
  void SetUp() override {
    static std::atomic<int> counter{0};
    dir_ = fs::temp_directory_path() /
           ("rozeve_modes_test_" +
            std::to_string(std::chrono::steady_clock::now().time_since_epoch().count()) + "_" +
            std::to_string(counter++));
    fs::create_directories(dir_);
  }
  void TearDown() override {
    std::error_code ec;
    fs::remove_all(dir_, ec);
  }
  std::string path(const std::string& name) const { return (dir_ / name).string(); }
  static fs::perms mode(const std::string& p) { return fs::status(p).permissions() & fs::perms::all; }
  // A file left by an older run, readable by everyone.
  void plant_readable(const std::string& p, const std::string& content) {
    std::ofstream(p, std::ios::binary) << content;
    fs::permissions(p, fs::perms::owner_read | fs::perms::owner_write | fs::perms::group_read |
                           fs::perms::others_read);
  }

  fs::path dir_;
};

TEST_F(OwnerOnlyFilesTest, AppendCreatesAndNarrows) {
  const std::string created = path("new.dat");
  ASSERT_TRUE(platform::append_line(created, "a", nullptr, FileAccess::kOwnerOnly));
  EXPECT_EQ(mode(created), kOwnerOnly);

  const std::string old = path("old.dat");
  plant_readable(old, "x\n");
  ASSERT_TRUE(platform::append_line(old, "y", nullptr, FileAccess::kOwnerOnly));
  EXPECT_EQ(mode(old), kOwnerOnly);

  // A log kept open for appending is narrowed when it is opened.
  const std::string log = path("log.dat");
  plant_readable(log, "x\n");
  platform::AppendFile file;
  ASSERT_TRUE(file.open(log, FileAccess::kOwnerOnly));
  EXPECT_EQ(mode(log), kOwnerOnly);

  // The default keeps what is there.
  const std::string plain = path("plain.dat");
  plant_readable(plain, "x\n");
  ASSERT_TRUE(platform::append_line(plain, "y"));
  EXPECT_NE(mode(plain) & fs::perms::others_read, fs::perms::none);
}

TEST_F(OwnerOnlyFilesTest, ReplaceAndWriteInPlaceNarrowAnOldFile) {
  const std::string replaced = path("state.json");
  plant_readable(replaced, "old");
  ASSERT_EQ(platform::replace_file(replaced, "new", FileAccess::kOwnerOnly),
            platform::ReplaceResult::kReplaced);
  EXPECT_EQ(mode(replaced), kOwnerOnly);

  const std::string in_place = path("world.dat");
  plant_readable(in_place, "old");
  ASSERT_TRUE(platform::write_file_in_place(in_place, "new", FileAccess::kOwnerOnly));
  EXPECT_EQ(mode(in_place), kOwnerOnly);
}

TEST_F(OwnerOnlyFilesTest, ATemporaryLeftByAFailedRenameIsOwnerOnly) {
  const std::string target = path("blocked");
  fs::create_directories(fs::path(target) / "x");
  EXPECT_EQ(platform::replace_file(target, "secret", FileAccess::kOwnerOnly),
            platform::ReplaceResult::kRenameFailed);
  EXPECT_EQ(mode(target + ".tmp"), kOwnerOnly);
}

}  // namespace
