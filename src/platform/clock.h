// The clocks: a steady one for every duration, the local civil time for
// printed timestamps only; the pause between polls; the locale's time separator.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace sockvane::platform {

struct CivilTime {
  // What a failed reading shows.
  int year = 1899, month = 12, day = 30;
  int hour = 0, minute = 0, second = 0, millisecond = 0;
  bool operator==(const CivilTime&) const = default;
};

// Milliseconds that pass at the pace of real time, time suspended included,
// whatever is done to the wall clock: a daylight-saving change or a clock
// step must not move an age or stall the loop.
int64_t SteadyMs();

// The civil fields change once a second; a poll with many events reads the
// clock for each.
struct LocalTimeCache {
  int64_t second = INT64_MIN;  // the wall-clock second `fields` are of
  CivilTime fields;
};

CivilTime LocalTime(LocalTimeCache& cache);

// Both clocks as the program reads them; tests put in clocks of their own.
struct Clock {
  int64_t (*steady_ms)() = SteadyMs;
  CivilTime (*local_time)(LocalTimeCache&) = LocalTime;
  LocalTimeCache cache;
};

void PauseMs(uint32_t milliseconds);

// Separator between hours, minutes and seconds in the user's locale; ":" when
// it has none that can stand in a timestamp.
std::string TimeSeparator();

// Whether a separator can stand in a timestamp: it must not break a CSV or
// JSON field nor read as a digit. Pure.
bool IsUsableTimeSeparator(std::string_view separator);

// The separator between the hour and minute conversions of a strftime
// format, or ":" when the format names none. Pure.
std::string TimeSeparatorFromFormat(std::string_view format);

}  // namespace sockvane::platform
