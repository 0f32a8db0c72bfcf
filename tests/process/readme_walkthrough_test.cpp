// The README, run as a newcomer would: every shell block in document order
// against a real node on free ports, each answer compared with the one shown.
//
// Convention (also written in the README): in a ```sh block a line is a
// command (a trailing '\' continues it), and the lines after it that begin
// with "# " are its answer; "..." in an answer stands for any text. A block
// that must not run carries "<!-- not run: <reason> -->" on the line before
// its fence, with one of the reasons below; a block that needs the node
// stopped carries "<!-- run with the node stopped -->", and the walkthrough
// stops the node before it and starts it again after it. The test rewrites
// the port 127.0.0.1:8545 to the node's free port and ./build/rozeve to the
// binary.
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "app_node_process.h"
#include "app_test_support.h"

namespace {

using rozeve_test::read_text;
using rozeve_test::split_lines;

const std::filesystem::path kSourceDir = std::filesystem::path(ROZEVE_TEST_DATA_DIR) / ".." / "..";

// The blocks a test cannot run, each for a reason that a reader can check:
// how many of each the README may hold.
const std::map<std::string, int> kNotRunReasons = {
    {"installs packages, builds and starts the node", 1},
    {"installs packages, builds and runs every test", 1},
    {"the test starts the node itself", 1},
    {"waits for real time to pass", 1},
};

constexpr char kNotRunOpen[] = "<!-- not run: ";
constexpr char kNotRunClose[] = " -->";
constexpr char kNodeStopped[] = "<!-- run with the node stopped -->";
// The whole walkthrough, however loaded the machine: a bound, not a wait.
constexpr int kWalkthroughTimeoutS = 300;
// Polls of the node's port, 0.1 s apart, before its start counts as failed.
constexpr int kNodeStartPolls = 600;

struct Fence {
  int line = 0;
  std::string lang;
  std::string not_run_reason;  // empty: the block runs (for sh)
  bool node_stopped = false;   // runs while the node is stopped
  std::vector<std::string> body;
};

struct Heading {
  int line = 0;
  int level = 0;
  std::string title;
};

struct Readme {
  std::vector<Fence> fences;
  std::vector<Heading> headings;
  std::vector<std::string> problems;  // malformed Markdown
};

bool starts_with(const std::string& text, const std::string& prefix) {
  return text.compare(0, prefix.size(), prefix) == 0;
}

Readme parse_readme(const std::string& text) {
  Readme doc;
  const std::vector<std::string> lines = split_lines(text);
  bool in_fence = false;
  Fence open;
  for (size_t i = 0; i < lines.size(); ++i) {
    const std::string& line = lines[i];
    const int number = static_cast<int>(i) + 1;
    if (starts_with(line, "```")) {
      if (!in_fence) {
        open = Fence{number, line.substr(3), "", false, {}};
        if (open.lang.empty()) doc.problems.push_back("line " + std::to_string(number) + ": a fence without a language");
        if (i > 0 && starts_with(lines[i - 1], kNotRunOpen)) {
          const std::string& marker = lines[i - 1];
          const size_t end = marker.rfind(kNotRunClose);
          if (end == std::string::npos || end + 4 != marker.size() || end < sizeof(kNotRunOpen) - 1) {
            doc.problems.push_back("line " + std::to_string(number - 1) + ": a marker that does not close");
          } else {
            open.not_run_reason = marker.substr(sizeof(kNotRunOpen) - 1, end - (sizeof(kNotRunOpen) - 1));
          }
        }
        open.node_stopped = i > 0 && lines[i - 1] == kNodeStopped;
        in_fence = true;
      } else if (line == "```") {
        doc.fences.push_back(open);
        in_fence = false;
      } else {
        doc.problems.push_back("line " + std::to_string(number) + ": a fence opens inside the fence of line " +
                               std::to_string(open.line));
      }
      continue;
    }
    if (in_fence) {
      open.body.push_back(line);
    } else if (starts_with(line, "#")) {
      const size_t level = line.find_first_not_of('#');
      if (level == std::string::npos || line[level] != ' ') {
        doc.problems.push_back("line " + std::to_string(number) + ": a heading without a space");
      } else {
        doc.headings.push_back({number, static_cast<int>(level), line.substr(level + 1)});
      }
    } else if ((starts_with(line, kNotRunOpen) || line == kNodeStopped) &&
               (i + 1 >= lines.size() || !starts_with(lines[i + 1], "```"))) {
      doc.problems.push_back("line " + std::to_string(number) + ": a marker not right before a fence");
    }
  }
  if (in_fence) doc.problems.push_back("the fence of line " + std::to_string(open.line) + " never closes");
  return doc;
}

// One command of a shell block and the answer shown under it.
struct Step {
  int line = 0;
  std::string command;
  std::string expected;
  bool answered = false;  // an answer line was shown, if only an empty one
  bool node_stopped = false;
};

std::vector<Step> shell_steps(const Fence& fence) {
  std::vector<Step> steps;
  bool continued = false;
  for (size_t i = 0; i < fence.body.size(); ++i) {
    const std::string& line = fence.body[i];
    const int number = fence.line + 1 + static_cast<int>(i);
    if (continued) {
      steps.back().command += "\n" + line;
    } else if (line.empty()) {
      continue;
    } else if (starts_with(line, "# ") || line == "#") {
      if (steps.empty()) {
        ADD_FAILURE() << "README line " << number << ": an answer with no command above it";
        continue;
      }
      Step& step = steps.back();
      if (step.answered) step.expected += "\n";
      step.expected += line.size() > 2 ? line.substr(2) : "";
      step.answered = true;
    } else {
      steps.push_back({number, line, "", false, fence.node_stopped});
    }
    continued = !line.empty() && line.back() == '\\';
  }
  return steps;
}

// `pattern` with each "..." standing for any text, matched against the whole of `text`.
bool matches(const std::string& pattern, const std::string& text) {
  std::vector<std::string> pieces;
  for (size_t from = 0;;) {
    const size_t dots = pattern.find("...", from);
    pieces.push_back(pattern.substr(from, dots == std::string::npos ? std::string::npos : dots - from));
    if (dots == std::string::npos) break;
    from = dots + 3;
  }
  if (pieces.size() == 1) return text == pattern;
  if (!starts_with(text, pieces.front())) return false;
  size_t at = pieces.front().size();
  for (size_t i = 1; i + 1 < pieces.size(); ++i) {
    at = text.find(pieces[i], at);
    if (at == std::string::npos) return false;
    at += pieces[i].size();
  }
  const std::string& last = pieces.back();
  return text.size() >= at + last.size() && text.compare(text.size() - last.size(), last.size(), last) == 0;
}

std::string replace_all(std::string text, const std::string& from, const std::string& to) {
  for (size_t at = text.find(from); at != std::string::npos; at = text.find(from, at + to.size())) {
    text.replace(at, from.size(), to);
  }
  return text;
}

std::string trim_end(std::string text) {
  while (!text.empty() && (text.back() == '\n' || text.back() == ' ')) text.pop_back();
  return text;
}

const Readme& readme() {
  static const Readme doc = parse_readme(read_text(kSourceDir / "README.md"));
  return doc;
}

TEST(ReadmeTest, EveryFenceClosesAndTheOutlineIsSane) {
  const Readme& doc = readme();
  EXPECT_TRUE(doc.problems.empty()) << ::testing::PrintToString(doc.problems);
  ASSERT_FALSE(doc.headings.empty());
  EXPECT_EQ(doc.headings.front().level, 1);
  int previous = 1;
  for (size_t i = 1; i < doc.headings.size(); ++i) {
    const Heading& h = doc.headings[i];
    EXPECT_GE(h.level, 2) << "line " << h.line << ": a second title";
    EXPECT_LE(h.level, previous + 1) << "line " << h.line << ": a heading skips a level";
    previous = h.level;
  }
  // The sections in the order a user needs them.
  const std::vector<std::string> wanted = {"What the node is", "Run a node", "Play the game with curl",
                                           "Connect a wallet", "Reference", "What the node does not do"};
  size_t next = 0;
  for (const Heading& h : doc.headings) {
    if (h.level == 2 && next < wanted.size() && h.title == wanted[next]) ++next;
  }
  EXPECT_EQ(next, wanted.size()) << "missing, or out of order: " << (next < wanted.size() ? wanted[next] : "");
}

TEST(ReadmeTest, TheOpeningCommandsAreTheOnesCiRuns) {
  const Readme& doc = readme();
  ASSERT_GE(doc.fences.size(), 2u);
  const Fence& build = doc.fences[0];
  const Fence& test = doc.fences[1];
  ASSERT_EQ(build.body.size(), 1u);
  ASSERT_EQ(test.body.size(), 1u);
  EXPECT_LT(test.line, doc.headings.at(1).line) << "the two commands come before the first section";
  const std::vector<std::string> ci = split_lines(read_text(kSourceDir / ".ci" / "run"));
  ASSERT_FALSE(ci.empty());
  EXPECT_EQ(test.body[0], ci.back());
  EXPECT_NE(build.body[0].find("./build/rozeve node"), std::string::npos);
}

TEST(ReadmeTest, OnlyJustifiedBlocksAreNotRun) {
  std::map<std::string, int> seen;
  for (const Fence& fence : readme().fences) {
    if (fence.not_run_reason.empty()) continue;
    EXPECT_EQ(fence.lang, "sh") << "line " << fence.line << ": only shell blocks run";
    EXPECT_TRUE(kNotRunReasons.count(fence.not_run_reason))
        << "line " << fence.line << ": not a reason to skip a block: " << fence.not_run_reason;
    ++seen[fence.not_run_reason];
  }
  EXPECT_EQ(seen, kNotRunReasons);
}

TEST(ReadmeTest, TheWildcardMatchesAnyTextAndNothingElse) {
  EXPECT_TRUE(matches("abc", "abc"));
  EXPECT_FALSE(matches("abc", "abcd"));
  EXPECT_TRUE(matches("a...c", "abbbc"));
  EXPECT_TRUE(matches("a...c", "ac"));
  EXPECT_FALSE(matches("a...c", "abcd"));
  EXPECT_TRUE(matches("{\"a\":...,\"b\":...}", "{\"a\":1,\"b\":\"x\"}"));
  EXPECT_FALSE(matches("x...y...z", "xzy"));
  EXPECT_TRUE(matches("...", ""));
}

class ReadmeWalkthroughTest : public rozeve_test::BinaryFixture {};

TEST_F(ReadmeWalkthroughTest, EveryShellBlockAnswersAsShown) {
  // The README's own commands install curl: without it the walkthrough fails.
  ASSERT_EQ(std::system("command -v curl > /dev/null 2>&1"), 0) << "curl is not installed";
  std::vector<Step> steps;
  for (const Fence& fence : readme().fences) {
    if (fence.lang != "sh" || !fence.not_run_reason.empty()) continue;
    for (Step& step : shell_steps(fence)) steps.push_back(step);
  }
  ASSERT_GT(steps.size(), 20u);

  // The sun's times are the machine's local time: the README shows UTC.
  ASSERT_EQ(setenv("TZ", "UTC", 1), 0);
  uint16_t rpc_port = 0, p2p_port = 0;
  const std::string node_args = rozeve_test::local_node_args(rpc_port, p2p_port);
  const std::string info = "http://127.0.0.1:" + std::to_string(rpc_port) + "/api/info";

  // One shell for the whole walkthrough, as a user's terminal: variables
  // set by one block are there for the next. The shell runs the node too,
  // so that it can stop it for the blocks that need it stopped. A line
  // between steps tells their output apart.
  const std::string separator = "@@readme-step@@";
  std::string script =
      "cd '" + dir_.string() + "'\n"
      "node_start() {\n"
      "  '" ROZEVE_BINARY "' node --daemon " + node_args + " >> node.out 2>&1 < /dev/null &\n"
      "  NODE_PID=$!\n"
      "  for i in $(seq 1 " + std::to_string(kNodeStartPolls) + "); do\n"
      "    curl -s -o /dev/null '" + info + "' && return 0\n"
      "    kill -0 $NODE_PID 2> /dev/null || return 1\n"
      "    sleep 0.1\n"
      "  done\n"
      "  return 1\n"
      "}\n"
      "node_stop() { kill -TERM $NODE_PID && wait $NODE_PID; }\n"
      "trap 'kill -KILL $NODE_PID 2> /dev/null' EXIT\n"
      "trap 'exit 1' TERM INT\n"
      "node_start || { echo 'the node did not start'; exit 1; }\n";
  bool stopped = false;
  for (const Step& step : steps) {
    if (step.node_stopped != stopped) {
      script += step.node_stopped ? "node_stop || { echo 'the node did not stop cleanly'; exit 1; }\n"
                                  : "node_start || { echo 'the node did not start again'; exit 1; }\n";
      stopped = step.node_stopped;
    }
    std::string command = replace_all(step.command, "127.0.0.1:8545", "127.0.0.1:" + std::to_string(rpc_port));
    command = replace_all(command, "./build/rozeve", "'" ROZEVE_BINARY "'");
    script += "printf '\\n" + separator + "\\n'\n" + command + "\n";
  }
  if (stopped) script += "node_start || { echo 'the node did not start again'; exit 1; }\n";
  script += "node_stop || { echo 'the node did not stop cleanly'; exit 1; }\n";
  std::ofstream(dir_ / "walkthrough.sh") << script;
  const std::string run = "cd '" + dir_.string() + "' && timeout " + std::to_string(kWalkthroughTimeoutS) +
                          " bash walkthrough.sh < /dev/null > walkthrough.out 2>&1";
  EXPECT_EQ(std::system(run.c_str()), 0) << read_text(dir_ / "walkthrough.out") << read_text(dir_ / "node.out");

  const std::string out = read_text(dir_ / "walkthrough.out");
  std::vector<std::string> answers;
  for (size_t at = out.find(separator); at != std::string::npos;) {
    const size_t from = at + separator.size() + 1;
    const size_t next = out.find("\n" + separator, from);
    answers.push_back(trim_end(out.substr(from, next == std::string::npos ? std::string::npos : next - from)));
    at = next == std::string::npos ? next : next + 1;
  }
  ASSERT_EQ(answers.size(), steps.size()) << out;
  for (size_t i = 0; i < steps.size(); ++i) {
    EXPECT_TRUE(matches(steps[i].expected, answers[i]))
        << "README line " << steps[i].line << ": " << steps[i].command << "\n  shown: " << steps[i].expected
        << "\n  got:   " << answers[i];
  }
}

}  // namespace
