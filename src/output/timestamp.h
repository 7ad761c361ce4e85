// Local times as day counts since 1899-12-30, and their text forms.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace sockvane::output {

struct CivilTime {
  int year = 1899, month = 12, day = 30;
  int hour = 0, minute = 0, second = 0, millisecond = 0;
};

double DaysFromCivil(const CivilTime& t);
CivilTime CivilFromDays(double days);  // rounded to the millisecond

// "iso8601": YYYY-MM-DDTHH:MM:SS.mmm; anything else: HH<sep>MM<sep>SS.mmm.
std::string TimestampText(double now_days, std::string_view style, std::string_view separator = ":");

}  // namespace sockvane::output
