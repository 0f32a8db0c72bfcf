// The zone file named in TZ once at start: local time stays what it was.
#include <gtest/gtest.h>

#include <cstdlib>
#include <ctime>
#include <optional>
#include <string>

#include "platform/process.h"

namespace {

// The local wall clock of `t`, as text, in the zone TZ names now.
std::string local_time_of(std::time_t t) {
  tzset();
  std::tm local{};
  if (localtime_r(&t, &local) == nullptr) return "";
  char text[64];
  return std::string(text, std::strftime(text, sizeof text, "%F %T %z", &local));
}

// Puts TZ back as it was when the test began.
class TimeZoneTest : public ::testing::Test {
 protected:
  TimeZoneTest() {
    if (const char* tz = std::getenv("TZ")) saved_ = tz;
  }
  ~TimeZoneTest() override {
    if (saved_) {
      setenv("TZ", saved_->c_str(), 1);
    } else {
      unsetenv("TZ");
    }
    tzset();
  }
  std::optional<std::string> saved_;
};

TEST_F(TimeZoneTest, AnUnsetZoneNamesTheMachinesZoneFileAndKeepsLocalTime) {
  unsetenv("TZ");
  tzset();
  const std::time_t winter = 1767225600;  // 2026-01-01 00:00 UTC
  const std::time_t summer = 1782864000;  // 2026-07-01 00:00 UTC
  const std::string winter_before = local_time_of(winter);
  const std::string summer_before = local_time_of(summer);

  platform::settle_time_zone();
  ASSERT_NE(std::getenv("TZ"), nullptr);
  EXPECT_STREQ(std::getenv("TZ"), ":/etc/localtime");
  EXPECT_EQ(local_time_of(winter), winter_before);
  EXPECT_EQ(local_time_of(summer), summer_before);
}

TEST_F(TimeZoneTest, AZoneThatIsSetIsLeftAsItIs) {
  setenv("TZ", "Europe/Rome", 1);
  platform::settle_time_zone();
  EXPECT_STREQ(std::getenv("TZ"), "Europe/Rome");
  EXPECT_EQ(local_time_of(1782864000), "2026-07-01 02:00:00 +0200");
}

}  // namespace
