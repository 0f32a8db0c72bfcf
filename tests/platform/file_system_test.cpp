#include "platform/file_system.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

#include "small_tmpfs.h"

namespace {

namespace fs = std::filesystem;
using platform::FileAccess;
using platform::ReplaceResult;

class FileSystemTest : public ::testing::Test {
 protected:
  void SetUp() override {
    static std::atomic<int> counter{0};
    const auto stamp = std::chrono::steady_clock::now().time_since_epoch().count();
    dir_ = fs::temp_directory_path() /
           ("rozeve_fs_test_" + std::to_string(stamp) + "_" + std::to_string(counter++));
    fs::create_directories(dir_);
  }
  void TearDown() override {
    std::error_code ec;
    fs::remove_all(dir_, ec);
  }

  std::string path(const std::string& name) const { return (dir_ / name).string(); }

  static std::string read(const std::string& p) {
    std::ifstream in(p, std::ios::binary);
    std::ostringstream ss;
    ss << in.rdbuf();
    return ss.str();
  }

  static void write_raw(const std::string& p, const std::string& content) {
    std::ofstream out(p, std::ios::binary | std::ios::trunc);
    out << content;
  }

  fs::path dir_;
};

TEST_F(FileSystemTest, ReplaceCreatesAndLeavesNoTemporary) {
  const std::string p = path("state.json");
  EXPECT_EQ(platform::replace_file(p, "{\"a\":1}"), ReplaceResult::kReplaced);
  EXPECT_EQ(read(p), "{\"a\":1}");
  EXPECT_FALSE(fs::exists(p + ".tmp"));
}

TEST_F(FileSystemTest, ReplaceOverwritesLongerContentWhole) {
  const std::string p = path("state.json");
  write_raw(p, std::string(1000, 'x'));
  EXPECT_EQ(platform::replace_file(p, "short"), ReplaceResult::kReplaced);
  EXPECT_EQ(read(p), "short");
  EXPECT_FALSE(fs::exists(p + ".tmp"));
}

TEST_F(FileSystemTest, ReplaceWritesEmptyAndLargeContent) {
  const std::string p = path("f");
  EXPECT_EQ(platform::replace_file(p, ""), ReplaceResult::kReplaced);
  EXPECT_TRUE(fs::exists(p));
  EXPECT_EQ(fs::file_size(p), 0u);

  std::string big(3 * 1024 * 1024 + 7, '\0');
  for (size_t i = 0; i < big.size(); ++i) big[i] = static_cast<char>(i * 31);
  EXPECT_EQ(platform::replace_file(p, big), ReplaceResult::kReplaced);
  EXPECT_EQ(read(p), big);
}

TEST_F(FileSystemTest, ReplaceOwnerOnlyGivesMode0600) {
  const std::string p = path("validator.key");
  // A stale temporary with wide permissions must not pass them on.
  write_raw(p + ".tmp", "stale");
  fs::permissions(p + ".tmp", fs::perms::all);
  ASSERT_EQ(platform::replace_file(p, "secret", FileAccess::kOwnerOnly), ReplaceResult::kReplaced);
  const fs::perms perms = fs::status(p).permissions() & fs::perms::all;
  EXPECT_EQ(perms, fs::perms::owner_read | fs::perms::owner_write);
  EXPECT_EQ(read(p), "secret");
}

TEST_F(FileSystemTest, ReplaceDefaultIsNotWorldWritable) {
  const std::string p = path("plain");
  ASSERT_EQ(platform::replace_file(p, "x"), ReplaceResult::kReplaced);
  const fs::perms perms = fs::status(p).permissions();
  EXPECT_NE(perms & fs::perms::owner_read, fs::perms::none);
  EXPECT_EQ(perms & (fs::perms::others_write | fs::perms::group_write), fs::perms::none);
}

TEST_F(FileSystemTest, ReplaceIntoMissingDirectoryFailsToWrite) {
  const std::string p = path("missing/sub/state.json");
  EXPECT_EQ(platform::replace_file(p, "x"), ReplaceResult::kWriteFailed);
  EXPECT_FALSE(fs::exists(path("missing")));
}

TEST_F(FileSystemTest, FailedWriteLeavesOldContent) {
  // A directory in the temporary file's place cannot be opened for writing,
  // even by root, so the write step fails before anything is renamed.
  const std::string p = path("game_world.dat");
  write_raw(p, "old content\n");
  fs::create_directory(p + ".tmp");
  EXPECT_EQ(platform::replace_file(p, "new content\n"), ReplaceResult::kWriteFailed);
  EXPECT_EQ(read(p), "old content\n");
}

TEST_F(FileSystemTest, FailedRenameKeepsCompleteTemporary) {
  // A non-empty directory cannot be replaced by a file.
  const std::string p = path("target");
  fs::create_directories(p + "/inner");
  EXPECT_EQ(platform::replace_file(p, "complete"), ReplaceResult::kRenameFailed);
  EXPECT_EQ(read(p + ".tmp"), "complete");
  EXPECT_TRUE(fs::is_directory(p));
}

TEST_F(FileSystemTest, ReplaceWithPathWithoutSlash) {
  // The directory of a bare file name is the working directory.
  const fs::path old_cwd = fs::current_path();
  fs::current_path(dir_);
  const ReplaceResult r = platform::replace_file("bare.txt", "here");
  fs::current_path(old_cwd);
  EXPECT_EQ(r, ReplaceResult::kReplaced);
  EXPECT_EQ(read(path("bare.txt")), "here");
}

TEST_F(FileSystemTest, WriteInPlaceTruncatesAndWrites) {
  const std::string p = path("state.json");
  write_raw(p, std::string(100, 'z'));
  EXPECT_TRUE(platform::write_file_in_place(p, "fresh"));
  EXPECT_EQ(read(p), "fresh");
  EXPECT_TRUE(platform::write_file_in_place(path("new"), "n"));
  EXPECT_EQ(read(path("new")), "n");
  EXPECT_FALSE(platform::write_file_in_place(path("missing/x"), "n"));
}

TEST_F(FileSystemTest, AppendCreatesAndAddsLineFeeds) {
  const std::string p = path("blocks.dat");
  EXPECT_TRUE(platform::append_line(p, "{\"index\":0}"));
  EXPECT_TRUE(platform::append_line(p, "{\"index\":1}"));
  EXPECT_EQ(read(p), "{\"index\":0}\n{\"index\":1}\n");
}

TEST_F(FileSystemTest, AppendEmptyLineIsALineFeed) {
  const std::string p = path("log");
  EXPECT_TRUE(platform::append_line(p, ""));
  EXPECT_TRUE(platform::append_line(p, "a"));
  EXPECT_EQ(read(p), "\na\n");
}

TEST_F(FileSystemTest, AppendAfterTornTailStartsOnFreshLine) {
  const std::string p = path("blocks.dat");
  write_raw(p, "{\"index\":0}\n{\"ind");
  EXPECT_TRUE(platform::append_line(p, "{\"index\":1}"));
  EXPECT_EQ(read(p), "{\"index\":0}\n{\"ind\n{\"index\":1}\n");
  // After the repair the file ends cleanly, so no extra blank line appears.
  EXPECT_TRUE(platform::append_line(p, "{\"index\":2}"));
  EXPECT_EQ(read(p), "{\"index\":0}\n{\"ind\n{\"index\":1}\n{\"index\":2}\n");
}

TEST_F(FileSystemTest, AppendToEmptyExistingFileAddsNoLeadingLineFeed) {
  const std::string p = path("empty");
  write_raw(p, "");
  EXPECT_TRUE(platform::append_line(p, "x"));
  EXPECT_EQ(read(p), "x\n");
}

TEST_F(FileSystemTest, AppendInMissingDirectoryFails) {
  EXPECT_FALSE(platform::append_line(path("missing/blocks.dat"), "x"));
  EXPECT_FALSE(fs::exists(path("missing")));
}

TEST_F(FileSystemTest, AppendToDirectoryFails) {
  fs::create_directory(path("adir"));
  EXPECT_FALSE(platform::append_line(path("adir"), "x"));
}

// ---- appends that fail, and their undo ----

TEST_F(FileSystemTest, AppendReportsTheSizeBeforeAndTruncateUndoesIt) {
  const std::string log = path("log");
  uint64_t before = 99;
  ASSERT_TRUE(platform::append_line(log, "one", &before));
  EXPECT_EQ(before, 0u);
  write_raw(log, read(log) + "torn");  // a crash's fragment
  ASSERT_TRUE(platform::append_line(log, "two", &before));
  EXPECT_EQ(before, 8u);
  EXPECT_EQ(read(log), "one\ntorn\ntwo\n");
  ASSERT_TRUE(platform::truncate_file(log, before));
  EXPECT_EQ(read(log), "one\ntorn");
  EXPECT_FALSE(platform::truncate_file(path("missing"), 0));
}

TEST_F(FileSystemTest, AnAppendThatMeetsAFullDiskLeavesNoHalfLine) {
  rozeve_test::SmallTmpfs disk(dir_ / "disk", "64k");
  ROZEVE_REQUIRE_TMPFS(disk);
  const std::string log = (dir_ / "disk" / "log").string();
  ASSERT_TRUE(platform::append_line(log, "first"));
  disk.fill();
  // Larger than anything left: at most part of it can be written.
  EXPECT_FALSE(platform::append_line(log, std::string(200'000, 'b')));
  EXPECT_EQ(read(log), "first\n");
  disk.unfill();
  ASSERT_TRUE(platform::append_line(log, "second"));
  EXPECT_EQ(read(log), "first\nsecond\n");
}

TEST_F(FileSystemTest, ReadWholeFileTellsMissingFromUnreadable) {
  std::string out = "old";
  EXPECT_EQ(platform::read_whole_file(path("none"), out), platform::ReadResult::kMissing);
  fs::create_directory(path("dir"));
  EXPECT_EQ(platform::read_whole_file(path("dir"), out), platform::ReadResult::kFailed);
  write_raw(path("f"), std::string(200'000, 'z'));
  ASSERT_EQ(platform::read_whole_file(path("f"), out), platform::ReadResult::kRead);
  EXPECT_EQ(out, std::string(200'000, 'z'));
  EXPECT_EQ(platform::path_kind(path("none")), platform::PathKind::kMissing);
  EXPECT_EQ(platform::path_kind(path("dir")), platform::PathKind::kOther);
  EXPECT_EQ(platform::path_kind(path("f")), platform::PathKind::kRegular);
}

TEST_F(FileSystemTest, ProbeFindsADirectoryThatCannotTakeAWrite) {
  EXPECT_TRUE(platform::probe_writable_directory(dir_.string()));
  EXPECT_TRUE(fs::is_empty(dir_));  // the probe cleans up after itself
  EXPECT_FALSE(platform::probe_writable_directory(path("missing")));
  rozeve_test::SmallTmpfs disk(dir_ / "disk", "64k");
  ROZEVE_REQUIRE_TMPFS(disk);
  disk.fill();
  EXPECT_FALSE(platform::probe_writable_directory((dir_ / "disk").string()));
}

}  // namespace
