// What a start of the node reads of the game world: game_world.dat, then
// the record lines of the journal's whole changes.
#pragma once

#include <cstdint>
#include <fstream>
#include <iterator>
#include <string>
#include <string_view>
#include <vector>

#include "game/store/world_journal.h"
#include "game/store/world_records.h"

namespace rozeve_test {

// The world as its files hold it, one line per record: the world file's
// lines, then the journal's record lines, each taking the place of the
// earlier line of the same record (a community line its whole block, a
// "CERH" line a community's own line, a "CERMU" line a member's), a "PC"
// line giving its player's "P" line and its community's totals, and each
// removal line taking the records it names out; a change the world file's
// mark ("J") covers leaves the communities as the file has them. Missing
// files read as empty.
inline std::string saved_world_text(const std::string& data_dir) {
  const auto read = [](const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  };
  const auto fields_of = [](std::string_view text) {
    std::vector<std::string> f;
    size_t start = 0;
    for (;;) {
      const size_t bar = text.find('|', start);
      f.emplace_back(text.substr(start, bar == std::string_view::npos ? std::string_view::npos : bar - start));
      if (bar == std::string_view::npos) break;
      start = bar + 1;
    }
    return f;
  };
  const auto join = [](const std::vector<std::string>& f, size_t from, size_t to) {
    std::string text;
    for (size_t i = from; i < to && i < f.size(); ++i) text += (i == from ? "" : "|") + f[i];
    return text;
  };
  struct Line {
    std::string tag, key, text;
    bool live = true;
    std::string second;  // the second field
  };
  std::vector<Line> lines;
  const auto drop = [&lines](const std::vector<std::string>& tags, const std::string* key) {
    for (Line& l : lines) {
      for (const std::string& tag : tags) {
        if (l.tag == tag && (key == nullptr || l.key == *key)) l.live = false;
      }
    }
  };
  const auto find = [&lines](const std::string& tag, const std::string& key, const std::string* second) -> Line* {
    for (Line& l : lines) {
      if (l.live && l.tag == tag && l.key == key && (second == nullptr || l.second == *second)) return &l;
    }
    return nullptr;
  };
  // The field `index` of a line's text set to `value`.
  const auto set_field = [&](Line& l, size_t index, const std::string& value) {
    std::vector<std::string> f = fields_of(l.text);
    if (index < f.size()) f[index] = value;
    l.text = join(f, 0, f.size());
  };
  uint64_t mark = 0;
  bool covered = false;  // a change the world file's communities hold
  const auto add = [&](std::string_view text) {
    const std::vector<std::string> f = fields_of(text);
    std::string tag = f[0];
    const std::string key = f.size() > 1 ? f[1] : std::string();
    const std::string second = f.size() > 2 ? f[2] : std::string();
    const std::vector<std::string> community = {"CER", "CERM", "CERMSG"};
    if (tag == "J") {
      mark = std::stoull(key);
      return;
    }
    if (tag == ZezozuRiziv::kRemovalTag) {
      if (key == "QC" || key == "SB") {
        drop({key}, nullptr);
      } else if (key == "CER" || key == "CERM" || key == "CERMSG") {
        if (covered) return;
        if (key == "CER") {
          drop(community, &second);
        } else if (key == "CERM") {
          const std::string address = f.size() > 3 ? f[3] : std::string();
          while (Line* l = find("CERM", second, &address)) l->live = false;
        } else {
          uint64_t n = f.size() > 3 ? std::stoull(f[3]) : 0;
          for (Line& l : lines) {
            if (n > 0 && l.live && l.tag == "CERMSG" && l.key == second) {
              l.live = false;
              --n;
            }
          }
        }
      } else {
        drop({key}, &second);
      }
      return;
    }
    std::string line(text);
    if (tag == "PC") {
      // The player as a "P" line; its community's totals into the
      // community's lines.
      line = "P|" + join(f, 1, 30);
      tag = 'P';  // a char: GCC 12 warns falsely (-Wrestrict) on copying "P" here
      const std::string cer_id = f.size() > 20 ? f[20] : std::string();
      if (!covered && !cer_id.empty()) {
        if (Line* c = find("CER", cer_id, nullptr); c != nullptr && f.size() > 30) set_field(*c, 9, f[30]);
        if (Line* m = find("CERM", cer_id, &key); m != nullptr && f.size() > 31) set_field(*m, 6, f[31]);
      }
    }
    if (covered && (tag == "CER" || tag == "CERH" || tag == "CERM" || tag == "CERMU" || tag == "CERMSG")) return;
    if (tag == "CERH") {
      line = "CER" + line.substr(4);
      if (Line* c = find("CER", key, nullptr)) {
        c->text = line;
      } else {
        lines.push_back({"CER", key, line, true, second});
      }
      return;
    }
    if (tag == "CERMU") {
      line = "CERM" + line.substr(5);
      if (Line* m = find("CERM", key, &second)) {
        m->text = line;
      } else {
        lines.push_back({"CERM", key, line, true, second});
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
          l = {tag, key, line, true, second};
          return;
        }
      }
    }
    lines.push_back({tag, key, line, true, second});
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
  const ZezozuRiziv::JournalScan scan = ZezozuRiziv::scan_journal(journal);
  for (size_t i = 0; i < scan.records.size(); ++i) {
    covered = scan.record_seqs[i] != 0 && scan.record_seqs[i] <= mark;
    add(scan.records[i]);
  }
  std::string text;
  for (const Line& l : lines) {
    if (l.live) text += l.text + '\n';
  }
  return text;
}

}  // namespace rozeve_test
