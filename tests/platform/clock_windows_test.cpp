#include <fcntl.h>
#include <gtest/gtest.h>
#include <io.h>
#include <windows.h>

#include <cstdio>

#include "platform/clock.h"
#include "platform/std_streams.h"

namespace sockvane::platform {
namespace {

TEST(ClockWindows, LocalTimeIsGetLocalTimes) {
  SYSTEMTIME before;
  GetLocalTime(&before);
  LocalTimeCache cache;
  const CivilTime now = LocalTime(cache);
  SYSTEMTIME after;
  GetLocalTime(&after);
  auto same_second = [&now](const SYSTEMTIME& t) {
    return now.year == t.wYear && now.month == t.wMonth && now.day == t.wDay && now.hour == t.wHour &&
           now.minute == t.wMinute && now.second == t.wSecond;
  };
  EXPECT_TRUE(same_second(before) || same_second(after))
      << now.hour << ":" << now.minute << ":" << now.second;
}

TEST(ClockWindows, PauseMovesTheSteadyClockOn) {
  const int64_t start = SteadyMs();
  PauseMs(60);
  EXPECT_GE(SteadyMs() - start, 40);
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
}  // namespace sockvane::platform
