// The demonstration as a user sees it: the real binary, line by line.
#include <regex>
#include <string>
#include <vector>

#include "app_test_support.h"
#include "chain/state.h"
#include "chain/tokenomics.h"

namespace {

using rozeve_test::BinaryFixture;
using rozeve_test::read_text;
using rozeve_test::split_lines;

// Expected lines with {ADDR} and {HASH} standing for values that change every run.
std::regex line_pattern(const std::string& expected) {
  std::string pattern;
  for (size_t i = 0; i < expected.size();) {
    if (expected.compare(i, 6, "{ADDR}") == 0) {
      pattern += "RUZ[0-9a-f]{40}";
      i += 6;
    } else if (expected.compare(i, 6, "{HASH}") == 0) {
      pattern += "[0-9a-f]{64}";
      i += 6;
    } else {
      const char c = expected[i++];
      if (std::string("\\^$.|?*+()[]{}").find(c) != std::string::npos) pattern += '\\';
      pattern += c;
    }
  }
  return std::regex(pattern);
}

std::vector<std::string> expected_demo_lines() {
  return split_lines(read_text(ROZEVE_TEST_DATA_DIR "/demo_output.txt"));
}

void expect_demo_output(const std::vector<std::string>& actual,
                        const std::vector<std::string>& expected) {
  ASSERT_EQ(actual.size(), expected.size());
  for (size_t i = 0; i < expected.size(); ++i) {
    EXPECT_TRUE(std::regex_match(actual[i], line_pattern(expected[i])))
        << "line " << i + 1 << ":\n  got:      [" << actual[i] << "]\n  expected: ["
        << expected[i] << "]";
  }
}

// Lines without run-specific values, to compare two runs.
std::vector<std::string> figures_only(const std::vector<std::string>& lines) {
  std::vector<std::string> kept;
  const std::regex varying("RUZ[0-9a-f]{40}|[0-9a-f]{64}");
  for (const std::string& line : lines) {
    if (!std::regex_search(line, varying)) kept.push_back(line);
  }
  return kept;
}

class DemoTest : public BinaryFixture {};

TEST_F(DemoTest, PrintsEveryPhaseAndAppliesBothBlocks) {
  const auto result = run("demo");
  ASSERT_EQ(result.exit_code, 0);
  EXPECT_EQ(result.err, "");
  expect_demo_output(split_lines(result.out), expected_demo_lines());

  // Blocks 0, 1 and 2 are in the log, one line each.
  const auto log = split_lines(read_text(dir_ / "data_demo" / "blocks.dat"));
  ASSERT_EQ(log.size(), 3u);
  for (size_t i = 0; i < log.size(); ++i) {
    EXPECT_EQ(log[i].rfind("{\"index\":" + std::to_string(i) + ",", 0), 0u) << log[i];
  }

  // The saved state carries the block rewards and fee shares, not only the transfers.
  using ZezozuRiziv::State;
  const State state = State::deserialize(read_text(dir_ / "data_demo" / "state.json"));
  EXPECT_EQ(ZezozuRiziv::Tokenomics::format_amount(state.get_total_circulating()),
            "21015028.960000 RUZ");
  EXPECT_EQ(state.get_total_staked(), 200'000'000'000u);
}

TEST_F(DemoTest, TwoRunsGiveTheSameFigures) {
  const auto first = run("demo");
  const auto second = run("demo");
  ASSERT_EQ(first.exit_code, 0);
  ASSERT_EQ(second.exit_code, 0);
  EXPECT_EQ(figures_only(split_lines(first.out)), figures_only(split_lines(second.out)));
  EXPECT_EQ(split_lines(read_text(dir_ / "data_demo" / "blocks.dat")).size(), 3u);
}

TEST_F(DemoTest, NoArgumentPrintsBannerAndUsageThenRunsTheDemo) {
  const auto result = run("");
  ASSERT_EQ(result.exit_code, 0);
  const auto lines = split_lines(result.out);
  const auto demo = expected_demo_lines();
  // Banner (its 9 lines), usage (6 lines and an empty one), the announcement, then the demo.
  const std::vector<std::string> usage = {
      "Utilizzo della CLI Rozeve Blockchain:",
      "  rozeve demo                          - Esegue test end-to-end completo della catena",
      "  rozeve wallet new                    - Crea una nuova coppia di chiavi e indirizzo RUZ",
      "  rozeve wallet balance <indirizzo>    - Controlla saldo disponibile e in stake",
      "  rozeve chain info                    - Mostra lo stato e l'altezza della blockchain",
      "  rozeve chain dump                    - Stampa tutti i blocchi presenti su disco",
      "",
      "Avvio automatico della modalita' DEMO...",
  };
  constexpr size_t kBannerLines = 9;
  ASSERT_EQ(lines.size(), kBannerLines + usage.size() + demo.size());
  for (size_t i = 0; i < kBannerLines; ++i) EXPECT_EQ(lines[i], demo[i]);
  for (size_t i = 0; i < usage.size(); ++i) EXPECT_EQ(lines[kBannerLines + i], usage[i]);
  expect_demo_output({lines.begin() + kBannerLines + usage.size(), lines.end()}, demo);
}

}  // namespace
