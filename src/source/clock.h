// The local wall clock, the pause between polls and the regional time separator.
#pragma once

#include <cstdint>
#include <string>

namespace sockvane::source {

// Local time as a day count since 1899-12-30, millisecond resolution.
double NowDays();

void PauseMs(uint32_t milliseconds);

// Separator between hours, minutes and seconds in the user's locale; ":" by default.
std::string TimeSeparator();

}  // namespace sockvane::source
