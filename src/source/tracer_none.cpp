// Builds without the tracer: it never loads.
#include "source/tracer.h"

namespace sockvane::source {

bool StartTracer(std::string& why) {
  why = "not built in";
  return false;
}

bool TracerActive() {
  return false;
}

void DrainTracer(std::vector<TracedSocket>&, uint64_t&) {}

}  // namespace sockvane::source
