// Builds without the tracer: it never loads.
#include "source/tracer.h"

namespace sockvane::source {

struct TracerKernel {};

void TracerKernelDeleter::operator()(TracerKernel* kernel) const {
  delete kernel;
}

bool StartTracer(Tracer&, const std::string&, bool, std::string& why) {
  why = "not built in";
  return false;
}

bool TracerActive(const Tracer&) {
  return false;
}

void DrainTracer(Tracer&, std::vector<TracedSocket>&, uint64_t&) {}

bool WalkHeldSockets(Tracer&, HeldSockets& out, std::string& why) {
  out = HeldSockets{};
  why = "not built in";
  return false;
}

bool TracerReadsTables(const Tracer&) {
  return false;
}

bool ReadTableIterators(Tracer&, const sv_table_filter&, bool, bool, std::vector<RawSocket>&,
                        std::string& why) {
  why = "not built in";
  return false;
}

}  // namespace sockvane::source
