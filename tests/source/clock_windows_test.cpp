#include <fcntl.h>
#include <gtest/gtest.h>
#include <io.h>
#include <windows.h>

#include <cmath>
#include <cstdio>

#include "source/clock.h"
#include "source/std_streams.h"

namespace sockvane::source {
namespace {

double FixedClock() {
  return 45000.25;
}

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

TEST(ClockWindows, TestingHookReplacesAndRestores) {
  SetClockForTesting(FixedClock);
  EXPECT_EQ(NowDays(), 45000.25);
  SetClockForTesting(nullptr);
  EXPECT_NE(NowDays(), 45000.25);
  EXPECT_GT(NowDays(), 36526.0);
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
