#include <fcntl.h>
#include <gtest/gtest.h>
#include <io.h>
#include <windows.h>

#include <cmath>
#include <cstdio>

#include "source/clock.h"
#include "source/std_streams.h"
#include "track/day_count.h"

namespace sockvane::source {
namespace {

TEST(ClockWindows, NowDaysIsTheLocalTimeOfDay) {
  SYSTEMTIME before;
  GetLocalTime(&before);
  const double now = NowDays();
  // 2000-01-01 is day 36526; anything earlier means a broken epoch.
  EXPECT_GT(now, 36526.0);
  const double day_ms = (now - std::floor(now)) * 86400000.0;
  const double local_ms =
      ((before.wHour * 60.0 + before.wMinute) * 60.0 + before.wSecond) * 1000.0 + before.wMilliseconds;
  // Within a few seconds, unless midnight fell between the two readings.
  const double gap = std::fabs(day_ms - local_ms);
  EXPECT_TRUE(gap < 5000.0 || gap > 86400000.0 - 5000.0) << day_ms << " vs " << local_ms;
}

TEST(ClockWindows, PauseMovesTheClockOn) {
  const double start = NowDays();
  PauseMs(60);
  const double waited_ms = (NowDays() - start) * 86400000.0;
  EXPECT_GE(waited_ms, 40.0);
}

// The day count reads back as the civil date GetLocalTime gives.
TEST(ClockWindows, NowDaysIsTheLocalDate) {
  SYSTEMTIME before;
  GetLocalTime(&before);
  const track::CivilTime now = track::CivilFromDays(NowDays());
  SYSTEMTIME after;
  GetLocalTime(&after);
  const bool as_before = now.year == before.wYear && now.month == before.wMonth && now.day == before.wDay;
  const bool as_after = now.year == after.wYear && now.month == after.wMonth && now.day == after.wDay;
  EXPECT_TRUE(as_before || as_after) << now.year << "-" << now.month << "-" << now.day;
}

TEST(ClockWindows, TimeSeparatorIsTheLocaleSetting) {
  char expected[16] = {};
  const int length = GetLocaleInfoA(LOCALE_USER_DEFAULT, LOCALE_STIME, expected, sizeof(expected));
  const std::string separator = TimeSeparator();
  ASSERT_FALSE(separator.empty());
  EXPECT_EQ(separator.find('\0'), std::string::npos);
  EXPECT_EQ(separator, length > 1 ? std::string(expected) : std::string(":"));
}

TEST(StdStreamsWindows, StandardStreamsAreBinary) {
  PrepareStdStreams();
  // _setmode answers the mode it replaces.
  EXPECT_EQ(_setmode(_fileno(stdout), _O_BINARY), _O_BINARY);
  EXPECT_EQ(_setmode(_fileno(stderr), _O_BINARY), _O_BINARY);
}

}  // namespace
}  // namespace sockvane::source
