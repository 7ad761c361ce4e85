#include <cstdio>
#include <cstdlib>
#include <new>

#include "app/monitor.h"
#include "config/build_info.h"
#include "source/source.h"

namespace {

// Memory can run out anywhere, also where an exception may not pass (a
// noexcept function, a destructor), so the end is the same everywhere: said
// without allocating, and without unwinding into code that would allocate.
[[noreturn]] void EndOutOfMemory() {
  std::fputs(sockvane::config::kProgramName, stderr);
  std::fputs(": out of memory", stderr);
  std::fputs(sockvane::config::kEol, stderr);
  std::_Exit(1);
}

}  // namespace

int main(int argc, char** argv) {
  std::set_new_handler(EndOutOfMemory);
  const auto source = sockvane::source::MakeSystemSource();
  return sockvane::app::RunMonitor(argc, argv, *source);
}
