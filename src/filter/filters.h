// The row filter chain.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "config/options.h"

namespace sockvane::track {
struct TConn;
}

namespace sockvane::filter {

// Option lists and the allowlist parsed once, so that a row is judged without
// splitting texts again. Results equal those of the plain chain.
struct Filters {
  // Parsed option lists and allowlist; layout private to filter/.
  config::Settings settings;
  std::vector<std::string> allowlist;
};

Filters CompileFilters(const config::Settings& settings, const std::vector<std::string>& allowlist);

// The eleven steps in order, on the parsed form.
bool PassesFilters(const track::TConn& row, const Filters& filters);

// The same chain computed from the texts on every call; the reference that
// the parsed form must agree with.
bool PassesFiltersPlain(const track::TConn& row, const config::Settings& settings,
                        const std::vector<std::string>& allowlist);

}  // namespace sockvane::filter
