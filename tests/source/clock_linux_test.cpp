#include <gtest/gtest.h>

#include <cmath>
#include <ctime>

#include "source/clock.h"

namespace sockvane::source {
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

TEST(NowDays, RealClock) {
  // The local day count from the C library's own view of the local offset.
  time_t now = time(nullptr);
  tm local{};
  localtime_r(&now, &local);
  double expected = static_cast<double>(now + local.tm_gmtoff) / 86400.0 + 25569.0;
  double got = NowDays();
  EXPECT_LT(std::fabs(got - expected) * 86400.0, 2.0) << got << " vs " << expected;
}

}  // namespace
}  // namespace sockvane::source
