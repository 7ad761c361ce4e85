#include "output/timestamp.h"

#include <gtest/gtest.h>

#include <limits>

namespace sockvane::output {
namespace {

TEST(CivilFromDays, KnownDayCounts) {
  struct Case {
    double days;
    int year, month, day, hour, minute, second, millisecond;
  };
  const Case cases[] = {
      {0.0, 1899, 12, 30, 0, 0, 0, 0},
      {1.0, 1899, 12, 31, 0, 0, 0, 0},
      {2.0, 1900, 1, 1, 0, 0, 0, 0},
      {60.0, 1900, 2, 28, 0, 0, 0, 0},  // 1900 was no leap year
      {61.0, 1900, 3, 1, 0, 0, 0, 0},
      {45413.0, 2024, 5, 1, 0, 0, 0, 0},
      {45352.5, 2024, 3, 1, 12, 0, 0, 0},
      {45351.0, 2024, 2, 29, 0, 0, 0, 0},
      {45413.0 + 0.9999999999, 2024, 5, 2, 0, 0, 0, 0},  // rounds up into the next day
      {2958465.0, 9999, 12, 31, 0, 0, 0, 0},
  };
  for (const Case& c : cases) {
    const CivilTime t = CivilFromDays(c.days);
    EXPECT_EQ(t.year, c.year) << c.days;
    EXPECT_EQ(t.month, c.month) << c.days;
    EXPECT_EQ(t.day, c.day) << c.days;
    EXPECT_EQ(t.hour, c.hour) << c.days;
    EXPECT_EQ(t.minute, c.minute) << c.days;
    EXPECT_EQ(t.second, c.second) << c.days;
    EXPECT_EQ(t.millisecond, c.millisecond) << c.days;
  }
}

// Every reading a whole millisecond comes back as that millisecond.
TEST(CivilFromDays, RoundTripsMilliseconds) {
  for (int ms = 0; ms < 86400000; ms += 4099) {
    const CivilTime in{2031, 12, 31, ms / 3600000, ms / 60000 % 60, ms / 1000 % 60, ms % 1000};
    const CivilTime out = CivilFromDays(DaysFromCivil(in));
    ASSERT_EQ(out.year, in.year);
    ASSERT_EQ(out.day, in.day);
    ASSERT_EQ(out.hour, in.hour) << ms;
    ASSERT_EQ(out.minute, in.minute) << ms;
    ASSERT_EQ(out.second, in.second) << ms;
    ASSERT_EQ(out.millisecond, in.millisecond) << ms;
  }
}

TEST(TimestampText, BothStyles) {
  const double when = DaysFromCivil({2024, 5, 1, 14, 3, 7, 45});
  EXPECT_EQ(TimestampText(when, "iso8601"), "2024-05-01T14:03:07.045");
  EXPECT_EQ(TimestampText(when, "time"), "14:03:07.045");
  EXPECT_EQ(TimestampText(when, "anything else"), "14:03:07.045");
  EXPECT_EQ(TimestampText(when, "ISO8601"), "14:03:07.045");  // exact comparison
  EXPECT_EQ(TimestampText(when, "time", "."), "14.03.07.045");
  EXPECT_EQ(TimestampText(when, "iso8601", "."), "2024-05-01T14:03:07.045");
  EXPECT_EQ(TimestampText(DaysFromCivil({987, 1, 2, 3, 4, 5, 6}), "iso8601"), "0987-01-02T03:04:05.006");
}

TEST(TimestampText, BrokenClockValuesDoNotCrash) {
  for (double days :
       {1e300, -1e300, std::numeric_limits<double>::quiet_NaN(), std::numeric_limits<double>::infinity()}) {
    EXPECT_EQ(TimestampText(days, "time").size(), 12u) << days;
    EXPECT_FALSE(TimestampText(days, "iso8601").empty());
  }
}

}  // namespace
}  // namespace sockvane::output
