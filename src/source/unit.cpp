#include "source/unit.h"

namespace sockvane::source {

std::string UnitFromCgroup(std::string_view text) {
  constexpr std::string_view kV2 = "0::";
  // The v2 line, at the start or after a line break; the path ends at the next.
  size_t start = 0;
  while (text.substr(start, kV2.size()) != kV2) {
    start = text.find('\n', start);
    if (start == std::string_view::npos) return {};
    ++start;
  }
  std::string_view path = text.substr(start + kV2.size());
  path = path.substr(0, path.find('\n'));
  std::string_view last;
  std::string_view unit;
  while (!path.empty()) {
    const size_t slash = path.find('/');
    const std::string_view component = path.substr(0, slash);
    path = slash == std::string_view::npos ? std::string_view() : path.substr(slash + 1);
    // A path outside our cgroup namespace climbs with "..": no name there.
    if (component.empty() || component == "." || component == "..") continue;
    last = component;
    if (component.ends_with(".service") || component.ends_with(".scope")) unit = component;
  }
  if (unit.empty()) unit = last;
  return std::string(unit.substr(0, 255));
}

}  // namespace sockvane::source
