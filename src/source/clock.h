// The local wall clock, the pause between polls and the regional time separator.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace sockvane::source {

// Local time as a day count since 1899-12-30, millisecond resolution.
double NowDays();

void PauseMs(uint32_t milliseconds);

// Separator between hours, minutes and seconds in the user's locale; ":" by default.
std::string TimeSeparator();

// Separator between the hour and minute conversions of a strftime format, or
// ":" when the format names none.
std::string TimeSeparatorFromFormat(std::string_view format);

}  // namespace sockvane::source
