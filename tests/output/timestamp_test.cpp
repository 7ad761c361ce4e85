#include "output/timestamp.h"

#include <gtest/gtest.h>

namespace sockvane::output {
namespace {

using config::TimestampStyle;

TEST(TimestampText, BothStyles) {
  const platform::CivilTime when{2024, 5, 1, 14, 3, 7, 45};
  EXPECT_EQ(TimestampText(when, TimestampStyle::kIso8601), "2024-05-01T14:03:07.045");
  EXPECT_EQ(TimestampText(when, TimestampStyle::kTime), "14:03:07.045");
  EXPECT_EQ(TimestampText(when, TimestampStyle::kTime, "."), "14.03.07.045");
  EXPECT_EQ(TimestampText(when, TimestampStyle::kIso8601, "."), "2024-05-01T14:03:07.045");
  EXPECT_EQ(TimestampText({987, 1, 2, 3, 4, 5, 6}, TimestampStyle::kIso8601), "0987-01-02T03:04:05.006");
  EXPECT_EQ(TimestampText({12345, 1, 2, 3, 4, 5, 6}, TimestampStyle::kIso8601), "12345-01-02T03:04:05.006");
}

}  // namespace
}  // namespace sockvane::output
