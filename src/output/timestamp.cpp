#include "output/timestamp.h"

#include <cstdio>

namespace sockvane::output {

std::string TimestampText(const platform::CivilTime& t, config::TimestampStyle style,
                          std::string_view separator) {
  char date[32] = "";
  if (style == config::TimestampStyle::kIso8601) {
    std::snprintf(date, sizeof date, "%04d-%02d-%02dT", t.year, t.month, t.day);
    separator = ":";
  }
  char seconds[16];
  std::snprintf(seconds, sizeof seconds, "%02d.%03d", t.second, t.millisecond);
  char hour[4], minute[4];
  std::snprintf(hour, sizeof hour, "%02d", t.hour);
  std::snprintf(minute, sizeof minute, "%02d", t.minute);
  return std::string(date) + hour + std::string(separator) + minute + std::string(separator) + seconds;
}

}  // namespace sockvane::output
