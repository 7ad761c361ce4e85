// Local times held as day counts since 1899-12-30, the fraction giving the
// time of day: their civil fields and the time between two readings. Pure.
#pragma once

#include <cstdint>

namespace sockvane::track {

struct CivilTime {
  int year = 1899, month = 12, day = 30;
  int hour = 0, minute = 0, second = 0, millisecond = 0;
};

// Days from 1899-12-30 to a proleptic Gregorian date.
int64_t DayNumber(int64_t year, int month, int day);

double DaysFromCivil(const CivilTime& t);
CivilTime CivilFromDays(double days);  // rounded to the millisecond

// Milliseconds from `earlier` to `later`, settled on the nearest millisecond:
// readings are whole milliseconds that a day count cannot always hold exactly,
// and 5 s apart must not come out as 4.9999999 s. NaN gives 0; beyond the
// int64 range the ends of the range.
int64_t MillisecondsBetween(double earlier, double later);

// MillisecondsBetween in whole seconds, truncated toward zero; the ends of
// the range stay the ends of the range. Ages and the uptime.
int64_t ElapsedSeconds(double earlier, double later);

}  // namespace sockvane::track
