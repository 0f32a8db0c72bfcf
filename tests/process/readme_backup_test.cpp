// The README's backup command, run as an operator runs it: twice in one
// day, and twice in one second, it never puts a backup inside another.
#include <filesystem>
#include <fstream>
#include <string>

#include "app_test_support.h"

namespace {

namespace fs = std::filesystem;
using rozeve_test::read_text;

const fs::path kReadme = fs::path(ROZEVE_TEST_DATA_DIR) / ".." / ".." / "README.md";

// The one command line of the README that makes a backup.
std::string backup_command() {
  for (const std::string& line : rozeve_test::split_lines(read_text(kReadme))) {
    if (line.find("backup-") != std::string::npos && line.find("data") != std::string::npos &&
        !line.starts_with("#") && !line.starts_with("`")) {
      return line;
    }
  }
  return "";
}

class ReadmeBackupTest : public rozeve_test::BinaryFixture {
 protected:
  // Runs the command with `date` answering `when` (a stand-in on PATH);
  // the shell's status.
  int backup_at(const std::string& command, const std::string& when) {
    const fs::path bin = dir_ / "bin";
    fs::create_directories(bin);
    {
      std::ofstream date(bin / "date");
      date << "#!/bin/sh\necho " << when << "\n";
    }
    fs::permissions(bin / "date", fs::perms::owner_all);
    std::ofstream(dir_ / "backup.sh") << command << "\n";
    const std::string shell = "cd '" + dir_.string() + "' && PATH='" + bin.string() +
                              "':\"$PATH\" sh backup.sh > /dev/null 2>&1";
    return std::system(shell.c_str());
  }
  // Every backup directory, and whether any holds a copy of `data` or of another backup.
  std::vector<fs::path> backups() const {
    std::vector<fs::path> found;
    for (const auto& entry : fs::directory_iterator(dir_)) {
      if (entry.path().filename().string().starts_with("backup-")) found.push_back(entry.path());
    }
    return found;
  }
};

TEST_F(ReadmeBackupTest, ABackupNeverLandsInsideAnEarlierOne) {
  const std::string command = backup_command();
  ASSERT_FALSE(command.empty()) << "no backup command in " << kReadme;
  fs::create_directories(dir_ / "data");
  std::ofstream(dir_ / "data" / "blocks.dat") << "one\n";

  EXPECT_EQ(backup_at(command, "20260101-101010"), 0);
  // Later the same day: a second backup beside the first.
  std::ofstream(dir_ / "data" / "blocks.dat", std::ios::app) << "two\n";
  EXPECT_EQ(backup_at(command, "20260101-181818"), 0);
  // The same second again: refused, nothing copied anywhere.
  EXPECT_NE(backup_at(command, "20260101-181818"), 0);

  const std::vector<fs::path> made = backups();
  EXPECT_EQ(made.size(), 2u);
  for (const fs::path& backup : made) {
    for (const auto& entry : fs::directory_iterator(backup)) {
      const std::string name = entry.path().filename().string();
      EXPECT_TRUE(name != "data" && !name.starts_with("backup-")) << entry.path();
    }
  }
  const fs::path first = made[0].filename().string() < made[1].filename().string() ? made[0] : made[1];
  const fs::path second = first == made[0] ? made[1] : made[0];
  EXPECT_EQ(read_text(first / "blocks.dat"), "one\n");
  EXPECT_EQ(read_text(second / "blocks.dat"), "one\ntwo\n");
}

}  // namespace
