// What the tracer's BPF programs hand over, turned into plain values. Pure:
// the BPF side may be a different build than this reader, so every byte is
// checked.
#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <string>
#include <string_view>
#include <utility>

#include "source/tracer.h"

namespace sockvane::source {

// One hook record as the ring hands it over. False, leaving `out` unspecified,
// when it is shorter than its fixed part, its name runs past its end, or its
// family, protocol or kind is not one the tracer sends, or it has no cookie.
// `task_start_ns` tells processes that had the same PID apart.
bool DecodeOwnerRecord(const void* data, std::size_t size, TracedSocket& out, uint64_t& task_start_ns);

// Appends the whole entries at the start of `data` (a stretch of the walk's
// output) to `out` and returns how many bytes they took; an entry cut at the
// end is left for the next stretch. False when an entry is malformed.
bool DecodeHeldSockets(const uint8_t* data, std::size_t size, HeldSockets& out, std::size_t& used);

// Appends the whole entries at the start of `data` (a stretch of the task
// pass's output) to `out` and returns how many bytes they took. False when
// one is malformed.
bool DecodeTaskRuns(const uint8_t* data, std::size_t size, std::vector<TaskRun>& out, std::size_t& used);

// Names of the processes records came from, by PID and start time. A process
// that closes its sockets while it exits no longer has an image to name, but
// its earlier connect did.
struct OwnerNames {
  std::map<std::pair<uint32_t, uint64_t>, std::string> by_task;
};

// Keeps a record's name, or gives a nameless record the one its process had.
// Holds at most `limit` processes; forgets them all when full.
void CarryOwnerName(OwnerNames& names, uint64_t task_start_ns, TracedSocket& socket,
                    std::size_t limit = 4096);

// The mount point of the cgroup2 file system in /proc/self/mountinfo text,
// "" when there is none. Attached there, a hook sees every process this
// program can see.
std::string Cgroup2Mount(std::string_view mountinfo);

}  // namespace sockvane::source
