// What a start of the node reads of the game world: game_world.dat, then
// the record lines of the journal's whole changes.
#pragma once

#include <fstream>
#include <iterator>
#include <string>
#include <string_view>
#include <vector>

#include "game/world_journal.h"
#include "game/world_records.h"

namespace rozeve_test {

// The world as its files hold it, one line per record: the world file's
// lines, then the journal's record lines, each taking the place of the
// earlier line of the same record (a community line its whole block) and
// each removal line taking the records it names out. Missing files read as empty.
inline std::string saved_world_text(const std::string& data_dir) {
  const auto read = [](const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  };
  struct Line {
    std::string tag, key, text;
    bool live = true;
  };
  std::vector<Line> lines;
  const auto drop = [&lines](const std::vector<std::string>& tags, const std::string* key) {
    for (Line& l : lines) {
      for (const std::string& tag : tags) {
        if (l.tag == tag && (key == nullptr || l.key == *key)) l.live = false;
      }
    }
  };
  const auto add = [&](std::string_view text) {
    const size_t bar = text.find('|');
    const std::string tag(text.substr(0, bar));
    std::string key;
    std::string rest;
    if (bar != std::string_view::npos) {
      const std::string_view after = text.substr(bar + 1);
      key = std::string(after.substr(0, after.find('|')));
      if (after.find('|') != std::string_view::npos) rest = std::string(after.substr(after.find('|') + 1));
      rest = rest.substr(0, rest.find('|'));
    }
    const std::vector<std::string> community = {"CER", "CERM", "CERMSG"};
    if (tag == ZezozuRiziv::kRemovalTag) {
      if (key == "QC" || key == "SB") {
        drop({key}, nullptr);
      } else if (key == "CER") {
        drop(community, &rest);
      } else {
        drop({key}, &rest);
      }
      return;
    }
    // A record given anew takes its earlier line's place, so that a change
    // undone leaves the text as it was.
    const bool single = tag == "A" || tag == "ADM";
    if (single || tag == "U" || tag == "P" || tag == "L" || tag == "QQ" || tag == "CER") {
      for (Line& l : lines) {
        if (l.live && l.tag == tag && (single || l.key == key)) {
          if (tag == "CER") drop({"CERM", "CERMSG"}, &key);
          if (single) drop({tag}, nullptr);
          l = {tag, key, std::string(text)};
          return;
        }
      }
    }
    lines.push_back({tag, key, std::string(text)});
  };
  const std::string file = read(data_dir + "/game_world.dat");
  size_t pos = 0;
  while (pos < file.size()) {
    size_t lf = file.find('\n', pos);
    if (lf == std::string::npos) lf = file.size();
    if (lf > pos) add(std::string_view(file).substr(pos, lf - pos));
    pos = lf + 1;
  }
  const std::string journal = read(data_dir + "/" + ZezozuRiziv::kJournalFileName);
  for (const std::string_view line : ZezozuRiziv::scan_journal(journal).records) add(line);
  std::string text;
  for (const Line& l : lines) {
    if (l.live) text += l.text + '\n';
  }
  return text;
}

}  // namespace rozeve_test
