// The text forms of a local civil time.
#pragma once

#include <string>
#include <string_view>

#include "config/options.h"
#include "platform/clock.h"

namespace sockvane::output {

// kIso8601: YYYY-MM-DDTHH:MM:SS.mmm; kTime: HH<sep>MM<sep>SS.mmm.
std::string TimestampText(const platform::CivilTime& time, config::TimestampStyle style,
                          std::string_view separator = ":");

}  // namespace sockvane::output
