#include "game/model/shared_text.h"

#include <gtest/gtest.h>

#include <string>
#include <thread>
#include <vector>

#include "game/store/world_records.h"

namespace ZezozuRiziv {
namespace {

bool same_chars(const SharedText& a, const SharedText& b) { return a.view().data() == b.view().data(); }

TEST(GameSharedText, CopiesShareTheCharactersAndCompareAsText) {
  const std::string owner = "0x00000000000000000000000000000000000000a1";
  SharedText a = owner;
  const SharedText b = a;
  EXPECT_TRUE(same_chars(a, b));
  EXPECT_EQ(a, owner);
  EXPECT_EQ(b, "0x00000000000000000000000000000000000000a1");
  EXPECT_EQ(a.size(), owner.size());
  EXPECT_EQ(a.str(), owner);
  a = "0xb";  // the copy keeps the old text
  EXPECT_EQ(b, owner);
  EXPECT_NE(a, b);
  EXPECT_GT(a, b);  // byte order, as std::string
  a.clear();
  EXPECT_TRUE(a.empty());
  EXPECT_EQ(a, "");
}

TEST(GameSharedText, EmptyTextsAndBytesBeyondAsciiSurviveAsTheyAre) {
  const std::vector<std::string> texts = {"", std::string("a\0b", 3), "caf\xC3\xA9", std::string(300, 'x')};
  for (const std::string& text : texts) {
    const SharedText shared = text;
    EXPECT_EQ(shared.str(), text);
    EXPECT_EQ(shared.empty(), text.empty());
  }
}

TEST(GameSharedText, APoolKeepsEachTextOnce) {
  TextPool pool;
  const SharedText first = pool.share(std::string("solar"));
  const SharedText second = pool.share("solar");
  EXPECT_TRUE(same_chars(first, second));
  EXPECT_FALSE(same_chars(first, pool.share("wind")));
  EXPECT_TRUE(pool.share("").empty());
}

TEST(GameSharedText, LotsReadFromOneWorldShareTheirRepeatedTexts) {
  TextPool pool;
  WorldFields fields;
  ParcelRecord a;
  ParcelRecord b;
  const std::string line_a = "L|45.00000_9.00000|45.0|9.0|0xowner|solar|1|6.0|0.0|Impianto|0|WC|0|0|0||0|1|||||web";
  const std::string line_b = "L|45.00100_9.00000|45.001|9.0|0xowner|solar|1|6.0|0.0|Impianto|0|WC|0|0|0||0|1|||||web";
  split_world_line(line_a, fields);
  ASSERT_TRUE(read_parcel_fields(fields, a, pool));
  split_world_line(line_b, fields);
  ASSERT_TRUE(read_parcel_fields(fields, b, pool));
  EXPECT_TRUE(same_chars(a.owner, b.owner));
  EXPECT_TRUE(same_chars(a.plant_type, b.plant_type));
  EXPECT_TRUE(same_chars(a.sale_currency, b.sale_currency));
  EXPECT_FALSE(same_chars(a.key, b.key));
  std::string written;
  append_parcel_line(written, a);
  EXPECT_EQ(written, "L|45.00000_9.00000|45.000000|9.000000|0xowner|solar|1|6.000000|0.000000|Impianto|0|WC|"
                     "0.000000|0.000000|0.000000||0|1|||||web\n");
}

TEST(GameSharedText, CopiesMadeAndDroppedOnManyThreadsLeaveTheTextWhole) {
  const SharedText text = std::string(64, 'q');
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([&] {
      for (int i = 0; i < 10'000; ++i) {
        SharedText copy = text;
        SharedText moved = std::move(copy);
        if (moved.size() != 64) ADD_FAILURE();
      }
    });
  }
  for (std::thread& t : threads) t.join();
  EXPECT_EQ(text.str(), std::string(64, 'q'));
}

}  // namespace
}  // namespace ZezozuRiziv
