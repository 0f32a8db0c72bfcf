// Runs the real rozeve binary in a scratch directory and captures what it prints.
#pragma once

#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "chain/state.h"
#include "storage/ledger.h"
#include "storage/storage.h"

namespace rozeve_test {

// The state a start rebuilds from the data directory's files (state.json,
// blocks.dat and credits.dat), read without changing them; empty when they
// do not rebuild.
inline ZezozuRiziv::State logged_state(const std::filesystem::path& data_dir) {
  ZezozuRiziv::Storage storage(data_dir.string());
  ZezozuRiziv::State state;
  ZezozuRiziv::CatchUpReport report;
  const ZezozuRiziv::LedgerResult read =
      ZezozuRiziv::Ledger(storage, state).load_and_catch_up(report);
  EXPECT_TRUE(read.ok) << read.error;
  return read.ok ? state : ZezozuRiziv::State();
}

struct RunResult {
  int exit_code = -1;
  std::string out;
  std::string err;
};

inline std::string read_text(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

inline std::vector<std::string> split_lines(const std::string& text) {
  std::vector<std::string> lines;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  return lines;
}

class BinaryFixture : public ::testing::Test {
 protected:
  void SetUp() override {
    const auto* info = ::testing::UnitTest::GetInstance()->current_test_info();
    dir_ = std::filesystem::temp_directory_path() /
           ("rozeve_app_" + std::string(info->name()) + "_" +
            std::to_string(std::chrono::steady_clock::now().time_since_epoch().count()));
    std::filesystem::create_directories(dir_);
  }
  void TearDown() override { std::filesystem::remove_all(dir_); }

  // Standard input is closed: no command may wait on it.
  RunResult run(const std::string& args) {
    const std::string command = "cd '" + dir_.string() + "' && '" ROZEVE_BINARY "' " + args +
                                " > out.txt 2> err.txt < /dev/null; echo $? > rc.txt";
    RunResult result;
    if (std::system(command.c_str()) != 0) return result;
    result.exit_code = std::stoi(read_text(dir_ / "rc.txt"));
    result.out = read_text(dir_ / "out.txt");
    result.err = read_text(dir_ / "err.txt");
    return result;
  }

  std::filesystem::path dir_;
};

}  // namespace rozeve_test
