#include "track/day_count.h"

#include <cmath>

namespace sockvane::track {
namespace {

constexpr int64_t kMsPerDay = 86400000;
// 1970-01-01 counted from 1899-12-30.
constexpr int64_t kUnixEpochDay = 25569;
// Far beyond any real clock, and small enough that no arithmetic below overflows.
constexpr double kDayLimit = 1e9;

int64_t FloorDiv(int64_t a, int64_t b) {
  return a / b - ((a % b != 0) && ((a < 0) != (b < 0)));
}

// Days since 1970-01-01 of a proleptic Gregorian date (H. Hinnant's algorithm).
int64_t DaysFromUnixEpoch(int64_t y, int m, int d) {
  y -= m <= 2;
  const int64_t era = FloorDiv(y, 400);
  const int64_t yoe = y - era * 400;
  const int64_t doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
  const int64_t doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
  return era * 146097 + doe - 719468;
}

void CivilDateFromUnixDays(int64_t z, int64_t& y, int& m, int& d) {
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

int64_t DayNumber(int64_t year, int month, int day) {
  return DaysFromUnixEpoch(year, month, day) + kUnixEpochDay;
}

double DaysFromCivil(const CivilTime& t) {
  const int64_t days = DayNumber(t.year, t.month, t.day);
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
  CivilDateFromUnixDays(day - kUnixEpochDay, year, t.month, t.day);
  t.year = static_cast<int>(year);
  t.millisecond = static_cast<int>(ms_of_day % 1000);
  ms_of_day /= 1000;
  t.second = static_cast<int>(ms_of_day % 60);
  ms_of_day /= 60;
  t.minute = static_cast<int>(ms_of_day % 60);
  t.hour = static_cast<int>(ms_of_day / 60);
  return t;
}

int64_t MillisecondsBetween(double earlier, double later) {
  const double ms = (later - earlier) * static_cast<double>(kMsPerDay);
  if (std::isnan(ms)) return 0;
  // Out of int64 range the conversion would be undefined; such clocks are
  // broken anyway, so pin them to the ends of the range.
  if (ms >= 9e18) return INT64_MAX;
  if (ms <= -9e18) return INT64_MIN;
  return std::llround(ms);
}

int64_t ElapsedSeconds(double earlier, double later) {
  const int64_t ms = MillisecondsBetween(earlier, later);
  if (ms == INT64_MAX || ms == INT64_MIN) return ms;
  return ms / 1000;
}

}  // namespace sockvane::track
