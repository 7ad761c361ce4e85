#include "track/day_count.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <limits>

namespace sockvane::track {
namespace {

constexpr double kMs = 1.0 / 86400000.0;

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

TEST(DayNumber, CountsFromTheLastDayOf1899) {
  struct Case {
    int64_t year;
    int month, day;
    int64_t want;
  };
  const Case cases[] = {
      {1899, 12, 30, 0},    {1899, 12, 31, 1},   {1900, 3, 1, 61},      {1970, 1, 1, 25569},
      {2000, 2, 29, 36585}, {2024, 5, 1, 45413}, {1600, 1, 1, -109571}, {9999, 12, 31, 2958465},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(DayNumber(c.year, c.month, c.day), c.want) << c.year << "-" << c.month << "-" << c.day;
  }
}

// Both readings taken by a clock that counts whole milliseconds: the result
// must be that count, whatever rounding the day count suffered.
TEST(MillisecondsBetween, SettlesOnWholeMilliseconds) {
  struct Case {
    double earlier, later;
    int64_t want;
  };
  const double day = 45413.0;
  const Case cases[] = {
      {day, day, 0},
      {day, day + 1 * kMs, 1},
      {day, day + 5000 * kMs, 5000},
      {day + 5000 * kMs, day, -5000},
      {day + 0.123456789, day + 0.123456789 + 999 * kMs, 999},
      {0.0, 1.0, 86400000},
      {day, day + 0.4 * kMs, 0},
      {day, day + 0.6 * kMs, 1},
      {0.0, std::nan(""), 0},
      {std::nan(""), 0.0, 0},
      {0.0, 1e300, INT64_MAX},
      {0.0, -1e300, INT64_MIN},
      {0.0, std::numeric_limits<double>::infinity(), INT64_MAX},
      {0.0, 1e11, 8640000000000000000},  // still within int64
      {0.0, 1.1e11, INT64_MAX},
      {0.0, 1e14 / 86400000.0, 100000000000000},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(MillisecondsBetween(c.earlier, c.later), c.want) << c.earlier << " -> " << c.later;
  }
  for (int64_t start_ms = 0; start_ms < 86400000; start_ms += 86400000 / 991) {
    for (int64_t apart : {1, 7, 500, 999, 1000, 60000, -1, -500}) {
      const double start = day + static_cast<double>(start_ms) / 86400000.0;
      const double later = day + static_cast<double>(start_ms + apart) / 86400000.0;
      ASSERT_EQ(MillisecondsBetween(start, later), apart) << start_ms << " + " << apart;
    }
  }
}

TEST(ElapsedSeconds, TruncatesTowardZeroAndKeepsTheEnds) {
  struct Case {
    double apart_ms;
    int64_t want;
  };
  const Case cases[] = {
      {0, 0}, {999, 0}, {1000, 1}, {1999, 1}, {-999, 0}, {-1000, -1}, {-1999, -1}, {86400000, 86400},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(ElapsedSeconds(45413.0, 45413.0 + c.apart_ms * kMs), c.want) << c.apart_ms;
  }
  EXPECT_EQ(ElapsedSeconds(0.0, 1e300), INT64_MAX);
  EXPECT_EQ(ElapsedSeconds(0.0, -1e300), INT64_MIN);
  EXPECT_EQ(ElapsedSeconds(0.0, std::nan("")), 0);
}

}  // namespace
}  // namespace sockvane::track
