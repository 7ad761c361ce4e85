#include "output/timestamp.h"

#include <gtest/gtest.h>

#include <limits>

#include "track/day_count.h"

namespace sockvane::output {
namespace {

TEST(TimestampText, BothStyles) {
  const double when = track::DaysFromCivil({2024, 5, 1, 14, 3, 7, 45});
  EXPECT_EQ(TimestampText(when, "iso8601"), "2024-05-01T14:03:07.045");
  EXPECT_EQ(TimestampText(when, "time"), "14:03:07.045");
  EXPECT_EQ(TimestampText(when, "anything else"), "14:03:07.045");
  EXPECT_EQ(TimestampText(when, "ISO8601"), "14:03:07.045");  // exact comparison
  EXPECT_EQ(TimestampText(when, "time", "."), "14.03.07.045");
  EXPECT_EQ(TimestampText(when, "iso8601", "."), "2024-05-01T14:03:07.045");
  EXPECT_EQ(TimestampText(track::DaysFromCivil({987, 1, 2, 3, 4, 5, 6}), "iso8601"),
            "0987-01-02T03:04:05.006");
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
