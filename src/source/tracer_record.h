// The tracer's ring records, turned into TracedSocket values. Pure: the BPF
// side may be a different build than this reader, so every record is checked.
#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <string>
#include <utility>

#include "source/tracer.h"

namespace sockvane::source {

// One record as the ring hands it over. False, leaving `out` unspecified,
// when it is shorter than its fixed part, its name runs past its end, or its
// family or protocol is not one the tracer sends. `task_start_ns` tells
// processes that had the same PID apart.
bool DecodeOwnerRecord(const void* data, std::size_t size, TracedSocket& out, uint64_t& task_start_ns);

// Names of the processes records came from, by PID and start time. A process
// that closes its sockets while it exits no longer has an image to name, but
// its earlier connect or accept did.
struct OwnerNames {
  std::map<std::pair<uint32_t, uint64_t>, std::string> by_task;
};

// Keeps a record's name, or gives a nameless record the one its process had.
// Holds at most `limit` processes; forgets them all when full.
void CarryOwnerName(OwnerNames& names, uint64_t task_start_ns, TracedSocket& socket,
                    std::size_t limit = 4096);

}  // namespace sockvane::source
