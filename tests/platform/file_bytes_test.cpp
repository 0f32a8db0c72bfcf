// platform::FileBytes: a whole file read into memory, and a file that is
// cut or grown while it is read fails the read instead of ending the
// process (a mapped file cut short raises SIGBUS on its next touch).
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>

#include "platform/file_system.h"

namespace {

namespace fs = std::filesystem;
using platform::FileBytes;

class FileBytesTest : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_ = fs::temp_directory_path() /
           ("rozeve_file_bytes_" +
            std::to_string(std::chrono::steady_clock::now().time_since_epoch().count()));
    fs::create_directories(dir_);
  }
  void TearDown() override { fs::remove_all(dir_); }
  std::string write(const std::string& name, const std::string& bytes) {
    const std::string path = (dir_ / name).string();
    std::ofstream(path, std::ios::binary | std::ios::trunc) << bytes;
    return path;
  }
  fs::path dir_;
};

TEST_F(FileBytesTest, ReadsWhatIsThereAndRefusesWhatIsNot) {
  struct Case {
    const char* name;
    std::string bytes;
  };
  const Case cases[] = {
      {"empty", ""},
      {"one byte", "x"},
      {"lines", "A|1\nP|2\n"},
      {"several chunks", std::string((20 << 20) + 3, 'q')},
  };
  for (const Case& c : cases) {
    FileBytes file;
    ASSERT_EQ(file.open(write("f", c.bytes), 1ULL << 32), FileBytes::Result::kRead) << c.name;
    EXPECT_EQ(file.bytes(), c.bytes) << c.name;
  }
  FileBytes file;
  EXPECT_EQ(file.open((dir_ / "missing").string(), 100), FileBytes::Result::kMissing);
  EXPECT_EQ(file.open(dir_.string(), 100), FileBytes::Result::kFailed);
  EXPECT_EQ(file.open(write("big", std::string(101, 'b')), 100), FileBytes::Result::kTooBig);
  EXPECT_EQ(file.open(write("edge", std::string(100, 'b')), 100), FileBytes::Result::kRead);
  EXPECT_EQ(file.bytes().size(), 100u);
}

// Another process cutting and restoring the file while it is read: every
// read is whole or fails, and the process lives on.
TEST_F(FileBytesTest, AFileCutWhileItIsReadFailsTheReadWholeOrNothing) {
  const std::string whole((48 << 20), 'w');
  const std::string path = write("world", whole);
  std::atomic<bool> done{false};
  std::atomic<int> cuts{0};
  std::thread cutter([&] {
    while (!done.load()) {
      fs::resize_file(path, whole.size() / 3);
      fs::resize_file(path, whole.size());
      ++cuts;
    }
  });
  int read = 0;
  int failed = 0;
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(3);
  while (std::chrono::steady_clock::now() < deadline && read + failed < 400) {
    FileBytes file;
    const FileBytes::Result result = file.open(path, 1ULL << 32);
    ASSERT_TRUE(result == FileBytes::Result::kRead || result == FileBytes::Result::kFailed);
    if (result == FileBytes::Result::kRead) {
      ++read;
      // Whole at one of the two sizes it had, never a short read passed off as whole.
      EXPECT_TRUE(file.bytes().size() == whole.size() || file.bytes().size() == whole.size() / 3);
    } else {
      ++failed;
    }
  }
  done = true;
  cutter.join();
  EXPECT_GT(cuts.load(), 0);
  EXPECT_GT(read + failed, 0);
}

}  // namespace
