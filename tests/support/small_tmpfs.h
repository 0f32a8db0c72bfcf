// A small tmpfs mounted over a test directory, so that a test can fill a
// disk for real. Mounting needs root and a machine that allows it; a test
// that gets none says why and skips.
#pragma once

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>

namespace rozeve_test {

class SmallTmpfs {
 public:
  SmallTmpfs(const std::filesystem::path& dir, const std::string& size) : dir_(dir) {
    std::filesystem::create_directories(dir);
    const std::string command = "mount -t tmpfs -o size=" + size + " rozeve_test '" +
                                dir.string() + "' > /dev/null 2>&1";
    mounted_ = std::system(command.c_str()) == 0;
  }
  ~SmallTmpfs() {
    if (mounted_) (void)std::system(("umount '" + dir_.string() + "' > /dev/null 2>&1").c_str());
  }
  SmallTmpfs(const SmallTmpfs&) = delete;
  SmallTmpfs& operator=(const SmallTmpfs&) = delete;

  bool mounted() const { return mounted_; }

  // Fills what is left with one file; it can be removed to free the space.
  void fill(const std::string& name = "filler") const {
    std::ofstream out(dir_ / name, std::ios::binary);
    const std::string chunk(4096, 'x');
    while (out.write(chunk.data(), static_cast<std::streamsize>(chunk.size()))) {
    }
  }
  void unfill(const std::string& name = "filler") const { std::filesystem::remove(dir_ / name); }

 private:
  std::filesystem::path dir_;
  bool mounted_ = false;
};

}  // namespace rozeve_test

// Skips the calling test when the tmpfs could not be mounted.
#define ROZEVE_REQUIRE_TMPFS(fs)                                                      \
  if (!(fs).mounted()) {                                                              \
    GTEST_SKIP() << "no tmpfs could be mounted here (needs root and mount rights)"; \
  }
