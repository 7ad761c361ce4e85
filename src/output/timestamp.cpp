#include "output/timestamp.h"

#include <cmath>
#include <cstdio>

namespace sockvane::output {
namespace {

constexpr int64_t kMsPerDay = 86400000;
// 1899-12-30 counted from 1970-01-01.
constexpr int64_t kEpochShift = -25569;
// Far beyond any real clock, and small enough that no arithmetic below overflows.
constexpr double kDayLimit = 1e9;

int64_t FloorDiv(int64_t a, int64_t b) {
  return a / b - ((a % b != 0) && ((a < 0) != (b < 0)));
}

// Days since 1970-01-01 of a proleptic Gregorian date (H. Hinnant's algorithm).
int64_t DaysFromCivilDate(int64_t y, int m, int d) {
  y -= m <= 2;
  const int64_t era = FloorDiv(y, 400);
  const int64_t yoe = y - era * 400;
  const int64_t doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
  const int64_t doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
  return era * 146097 + doe - 719468;
}

void CivilDateFromDays(int64_t z, int64_t& y, int& m, int& d) {
  z += 719468;
  const int64_t era = FloorDiv(z, 146097);
  const int64_t doe = z - era * 146097;
  const int64_t yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
  const int64_t doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
  const int64_t mp = (5 * doy + 2) / 153;
  d = static_cast<int>(doy - (153 * mp + 2) / 5 + 1);
  m = static_cast<int>(mp < 10 ? mp + 3 : mp - 9);
  y = yoe + era * 400 + (m <= 2);
}

}  // namespace

double DaysFromCivil(const CivilTime& t) {
  const int64_t days = DaysFromCivilDate(t.year, t.month, t.day) - kEpochShift;
  const int64_t ms = ((int64_t{t.hour} * 60 + t.minute) * 60 + t.second) * 1000 + t.millisecond;
  return static_cast<double>(days) + static_cast<double>(ms) / static_cast<double>(kMsPerDay);
}

CivilTime CivilFromDays(double days) {
  if (!std::isfinite(days)) days = 0;
  if (days > kDayLimit) days = kDayLimit;
  if (days < -kDayLimit) days = -kDayLimit;
  const int64_t total_ms = std::llround(days * static_cast<double>(kMsPerDay));
  const int64_t day = FloorDiv(total_ms, kMsPerDay);
  int64_t ms_of_day = total_ms - day * kMsPerDay;
  CivilTime t;
  int64_t year = 0;
  CivilDateFromDays(day + kEpochShift, year, t.month, t.day);
  t.year = static_cast<int>(year);
  t.millisecond = static_cast<int>(ms_of_day % 1000);
  ms_of_day /= 1000;
  t.second = static_cast<int>(ms_of_day % 60);
  ms_of_day /= 60;
  t.minute = static_cast<int>(ms_of_day % 60);
  t.hour = static_cast<int>(ms_of_day / 60);
  return t;
}

namespace {

// Zero-padded to `width` digits; the values here are never negative.
void AppendDigits(std::string& text, int value, int width) {
  char digits[8];
  for (int i = width - 1; i >= 0; --i) {
    digits[i] = static_cast<char>('0' + value % 10);
    value /= 10;
  }
  text.append(digits, static_cast<std::size_t>(width));
}

}  // namespace

std::string TimestampText(double now_days, std::string_view style, std::string_view separator) {
  const CivilTime t = CivilFromDays(now_days);
  std::string text;
  text.reserve(24);
  if (style == "iso8601") {
    if (t.year >= 0 && t.year <= 9999) {
      AppendDigits(text, t.year, 4);
    } else {
      char year[16];
      std::snprintf(year, sizeof year, "%04d", t.year);
      text += year;
    }
    text += '-';
    AppendDigits(text, t.month, 2);
    text += '-';
    AppendDigits(text, t.day, 2);
    text += 'T';
    separator = ":";
  }
  AppendDigits(text, t.hour, 2);
  text += separator;
  AppendDigits(text, t.minute, 2);
  text += separator;
  AppendDigits(text, t.second, 2);
  text += '.';
  AppendDigits(text, t.millisecond, 3);
  return text;
}

}  // namespace sockvane::output
