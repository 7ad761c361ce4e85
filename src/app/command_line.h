// The command line's outcome carried out: help, version and usage errors.
#pragma once

#include <string_view>

#include "config/options.h"

namespace sockvane::app {

// Parses argv; prints help or version and exits 0, or exits through UsageError;
// says on standard error which list items select nothing.
config::Settings ParseOptions(int argc, const char* const* argv);

// "sockvane: " + message on standard error, exit status 2; controls in the
// message (echoed arguments, file names) shown as '?'.
[[noreturn]] void UsageError(std::string_view message);

}  // namespace sockvane::app
