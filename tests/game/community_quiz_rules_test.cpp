// The pure rules behind communities and the quiz: id forms, text cuts, the
// quiz week, and the random sources.
#include <gtest/gtest.h>

#include <set>
#include <string>

#include "game/model/game_random.h"
#include "game/rules/community_quiz_rules.h"

namespace ZezozuRiziv {
namespace {

TEST(CommunityQuizRules, TextPrefixNeverSplitsACharacter) {
  struct Case {
    std::string text;
    size_t limit;
    std::string kept;
  };
  const Case cases[] = {
      {"abcdef", 6, "abcdef"},
      {"abcdefg", 6, "abcdef"},
      {"abcdè", 5, "abcd"},          // è is two bytes: both or none
      {"abcdè", 6, "abcdè"},
      {"ab🌱cd", 4, "ab"},           // a four-byte character
      {"ab🌱cd", 5, "ab"},
      {"ab🌱cd", 6, "ab🌱"},
      {"", 3, ""},
      {"a\x80\x80\x80\x80\x80", 3, "a\x80\x80"},  // not UTF-8: cut at the limit
  };
  for (const Case& c : cases) EXPECT_EQ(text_prefix(c.text, c.limit), c.kept) << c.text << " " << c.limit;
}

TEST(CommunityQuizRules, NamesTrimsAndCases) {
  EXPECT_EQ(trim_blanks(" \t a b \t "), "a b");
  EXPECT_EQ(trim_blanks(" \t "), "");
  EXPECT_EQ(trim_blanks("\na\n"), "\na\n");  // only spaces and tabs
  EXPECT_EQ(ascii_upper("aè-z"), "Aè-Z");
  EXPECT_EQ(address_display_name("0xsolarking_it_milano_cer01"), "0xsolark");
  EXPECT_EQ(address_display_name("0x1"), "0x1");
  EXPECT_EQ(quiz_author_fallback_name(""), "Player_");
  EXPECT_EQ(quiz_author_fallback_name("x"), "Player_");
  EXPECT_EQ(quiz_author_fallback_name("0x"), "Player_");
  EXPECT_EQ(quiz_author_fallback_name("0xabcdef0123"), "Player_abcdef");
}

TEST(CommunityQuizRules, IdsDropTheFirstFiveDigitsOfTheTime) {
  EXPECT_EQ(ms_without_first_digits(1'718'964'000'123ULL), "64000123");
  EXPECT_EQ(ms_without_first_digits(123'456), "6");
  EXPECT_EQ(ms_without_first_digits(12'345), "");
  EXPECT_EQ(ms_without_first_digits(0), "");

  const ScriptedGameRandom random({899, 0});
  std::set<std::string> taken;
  const auto is_taken = [&](const std::string& id) { return taken.count(id) != 0; };
  EXPECT_EQ(draw_free_id("cer_", 1'718'964'000'123ULL, random, is_taken), "cer_64000123_999");
  EXPECT_EQ(draw_free_id("qq_", 1'718'964'000'123ULL, random, is_taken), "qq_64000123_100");
  for (int n = 100; n <= 999; ++n) taken.insert("x_6_" + std::to_string(n));
  EXPECT_EQ(draw_free_id("x_", 123'456, random, is_taken), std::nullopt);
  taken.erase("x_6_500");
  EXPECT_EQ(draw_free_id("x_", 123'456, random, is_taken), "x_6_500");
}

TEST(CommunityQuizRules, TheQuizWeekTurnsAtMondayMidnightUtc) {
  // 2024-06-24 00:00:00 UTC was a Monday; 2024-06-23 00:00:00 UTC a Sunday.
  constexpr uint64_t kMonday = 1'719'187'200'000ULL;
  EXPECT_EQ(quiz_cycle_remaining_sec(kMonday), 604'800u);
  EXPECT_EQ(quiz_cycle_remaining_sec(kMonday + 999), 604'800u);
  EXPECT_EQ(quiz_cycle_remaining_sec(kMonday + 1000), 604'799u);
  EXPECT_EQ(quiz_cycle_remaining_sec(kMonday - 1000), 1u);
  EXPECT_EQ(quiz_cycle_remaining_sec(kMonday - 86'400'000), 86'400u);
  EXPECT_EQ(quiz_cycle_remaining_sec(0), 345'600u);  // Thursday 1970-01-01: four days to go
}

TEST(CommunityQuizRules, RandomSourcesStayBelowTheirBound) {
  const ScriptedGameRandom scripted({5, 1000});
  EXPECT_EQ(scripted.below(3), 2u);
  EXPECT_EQ(scripted.below(900), 100u);
  EXPECT_EQ(scripted.below(7), 5u);  // starts over
  EXPECT_EQ(scripted.draws(), 3u);
  std::set<uint64_t> seen;
  for (int i = 0; i < 2000; ++i) {
    const uint64_t v = system_game_random()->below(10);
    ASSERT_LT(v, 10u);
    seen.insert(v);
  }
  EXPECT_EQ(seen.size(), 10u);
}

}  // namespace
}  // namespace ZezozuRiziv
