// The text forms of a local time held as a day count.
#pragma once

#include <string>
#include <string_view>

namespace sockvane::output {

// "iso8601": YYYY-MM-DDTHH:MM:SS.mmm; anything else: HH<sep>MM<sep>SS.mmm.
std::string TimestampText(double now_days, std::string_view style, std::string_view separator = ":");

}  // namespace sockvane::output
