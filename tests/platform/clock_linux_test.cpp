#include <gtest/gtest.h>

#include <ctime>

#include "platform/clock.h"

namespace sockvane::platform {
namespace {

TEST(TimeSeparatorFromFormat, HourMinuteSeparator) {
  const struct {
    const char* format;
    const char* separator;
  } cases[] = {
      {"%H:%M:%S", ":"},
      {"%H.%M.%S", "."},
      {"%T", ":"},
      {"%r", ":"},
      {"%R", ":"},
      {"%I:%M:%S %p", ":"},
      {"%p %I.%M.%S", "."},
      {"%OH.%OM.%OS", "."},                                 // alternative digits
      {"%-H.%M", "."},                                      // glibc flag, no seconds
      {"%H\xe6\x99\x82%M\xe5\x88\x86%S\xe7\xa7\x92", ":"},  // units after each field, not a separator
      {"%H%M%S", ":"},
      {"%H", ":"},
      {"", ":"},
      {"%", ":"},
      {"%H:%S", ":"},
      {"%k h %M h %S", " h "},
      // Separators that would break a CSV or JSON field fall back.
      {"%H\"%M\"%S", ":"},
      {"%H,%M,%S", ":"},
      {"%H\\%M\\%S", ":"},
      {"%H\t%M\t%S", ":"},
      {"%H0%M0%S", ":"},
  };
  for (const auto& c : cases) EXPECT_EQ(TimeSeparatorFromFormat(c.format), c.separator) << c.format;
}

TEST(LocalTime, TheCLibrarysLocalFieldsCachedPerSecond) {
  LocalTimeCache cache;
  for (int round = 0; round < 3; ++round) {
    // time() reads a coarse clock that can lag the one LocalTime reads by a tick.
    timespec ts{};
    clock_gettime(CLOCK_REALTIME, &ts);
    const time_t before = ts.tv_sec;
    const CivilTime got = LocalTime(cache);
    clock_gettime(CLOCK_REALTIME, &ts);
    const time_t after = ts.tv_sec;
    bool matched = false;
    for (time_t t = before; t <= after; ++t) {
      tm local{};
      localtime_r(&t, &local);
      matched = matched || (got.year == local.tm_year + 1900 && got.month == local.tm_mon + 1 &&
                            got.day == local.tm_mday && got.hour == local.tm_hour &&
                            got.minute == local.tm_min && got.second == local.tm_sec);
    }
    EXPECT_TRUE(matched) << got.hour << ":" << got.minute << ":" << got.second;
    EXPECT_LT(got.millisecond, 1000);
  }
}

TEST(SteadyMs, MovesOnWithThePause) {
  const int64_t start = SteadyMs();
  PauseMs(30);
  EXPECT_GE(SteadyMs() - start, 30);
}

}  // namespace
}  // namespace sockvane::platform
