#include "game/model/text_safety.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace ZezozuRiziv {
namespace {

TEST(GameTextSafety, RecordKeysRefuseSeparatorsLineBreaksControlsQuotesAndBackslashes) {
  const std::vector<std::string> refused = {
      "0xab|cd", "0xab\ncd", "0xab\rcd", std::string("0xab\0cd", 7), "0xab\tcd", "0xab\x1f", "0xab\x7f",
      "0xab\"cd", "0xab\\cd", "45.1_9.2\nP|0xevil|999999|1|1|1|1", "0x\xff\xfe", "caf\xC3"};
  for (const std::string& text : refused) EXPECT_FALSE(is_safe_record_key(text)) << text;

  const std::vector<std::string> accepted = {"", "0xABCdef0123", "45.46415_9.18999", " 0xab ",
                                             "caf\xC3\xA9", "~!@#$%^&*()_+-=[]{};':,./<>?"};
  for (const std::string& text : accepted) EXPECT_TRUE(is_safe_record_key(text)) << text;
}

TEST(GameTextSafety, WorldTextLosesSeparatorsAndLineBreaksOnly) {
  EXPECT_EQ(clean_world_text("a|b\r\nc\"d\\e\tf"), "abc\"d\\e\tf");
  EXPECT_EQ(clean_world_text("|\r\n|"), "");
  EXPECT_EQ(clean_world_text("Comunit\xC3\xA0 \xE2\x98\x80\xEF\xB8\x8F"), "Comunit\xC3\xA0 \xE2\x98\x80\xEF\xB8\x8F");
  // Ill-formed UTF-8 is stored as U+FFFD, also where a removed byte split it.
  EXPECT_EQ(clean_world_text("Tetti\xFFSolari"), "Tetti\xEF\xBF\xBDSolari");
  EXPECT_EQ(clean_world_text("\xC3|\xA0"), "\xC3\xA0");
  EXPECT_EQ(clean_world_text("\xC3\n"), "\xEF\xBF\xBD");
}

TEST(GameTextSafety, BillboardFieldsAlsoLoseQuotesAndAreCut) {
  EXPECT_EQ(sanitize_billboard_field("Sole \"pieno\" | a\\b\r\n", 120), "Sole pieno  ab");
  EXPECT_EQ(sanitize_billboard_field(std::string(130, 'x'), 120), std::string(120, 'x'));
  // The cut counts bytes after cleaning and never splits a character.
  EXPECT_EQ(sanitize_billboard_field("||ab\xC3\xA9", 3), "ab");
  EXPECT_EQ(sanitize_billboard_field("||ab\xC3\xA9", 4), "ab\xC3\xA9");
  EXPECT_EQ(sanitize_billboard_field("\xF0\x9F\x8C\xB1\xF0\x9F\x8C\xB1", 7), "\xF0\x9F\x8C\xB1");
  EXPECT_EQ(sanitize_billboard_field("a\xFF" "b", 10), "a\xEF\xBF\xBD" "b");
  EXPECT_EQ(sanitize_billboard_field("|\n\r", 10), "");
}

TEST(GameTextSafety, KeysUsableWritesTheFirstRefusal) {
  std::string out = "untouched";
  EXPECT_TRUE(keys_usable("0xab", "45.1_9.2", out));
  EXPECT_TRUE(keys_usable("", out));
  EXPECT_EQ(out, "untouched");
  EXPECT_FALSE(keys_usable("0x\nab", "45.1_9.2\n", out));
  EXPECT_EQ(out, "{\"status\":\"error\",\"message\":\"Indirizzo wallet non valido.\"}");
  EXPECT_FALSE(keys_usable("0xab", "45.1|9.2", out));
  EXPECT_EQ(out, "{\"status\":\"error\",\"message\":\"Coordinate GPS catastali non valide\"}");
}

TEST(GameTextSafety, ErrorAnswerEscapesItsMessage) {
  EXPECT_EQ(error_json("Coordinate GPS catastali non valide"),
            "{\"status\":\"error\",\"message\":\"Coordinate GPS catastali non valide\"}");
  EXPECT_EQ(error_json("a \"b\"\n"), "{\"status\":\"error\",\"message\":\"a \\\"b\\\"\\n\"}");
}

}  // namespace
}  // namespace ZezozuRiziv
