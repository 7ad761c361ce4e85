// The unit from arbitrary /proc/PID/cgroup texts: bounded, one component of
// the v2 path, never a path separator or a line break.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "fuzz_check.h"
#include "source/unit.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  const std::string unit = sockvane::source::UnitFromCgroup(text);
  FUZZ_CHECK(unit.size() <= 255);
  FUZZ_CHECK(unit.find('/') == std::string::npos && unit.find('\n') == std::string::npos);
  FUZZ_CHECK(unit != "." && unit != "..");
  FUZZ_CHECK(unit.empty() || text.find("0::") != std::string_view::npos);
  return 0;
}
