// Two consecutive polls into events, counters and per-process tallies.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "track/conn.h"
#include "track/day_count.h"
#include "track/snapshot.h"

namespace sockvane::track {

struct Counters {
  uint64_t new_count = 0;
  uint64_t closed_count = 0;
  uint64_t state_count = 0;
};

struct ProcessEntry {
  std::string name;  // "process (pid)" as first seen
  uint64_t count = 0;
};

// Insertion order; names compared with ASCII case ignored.
struct ProcessCounts {
  std::vector<ProcessEntry> entries;
  std::unordered_map<std::string, std::size_t> index;  // folded name -> entry
};

void CountNewSocket(ProcessCounts& counts, const TConn& connection);

// Called once per event: "new", "state" or "closed".
using EventSink = std::function<void(std::string_view event, const TConn& connection, int32_t age)>;
using ClockFn = double (*)();

// ElapsedSeconds from first_seen to now, its low 32 bits.
int32_t AgeSeconds(double first_seen, double now);

// New and state events over `current` in key order, then closed events over
// `previous`; carries first_seen forward into `current`. Both tables sealed.
// `fleeting`, when given and sealed, holds sockets that opened and closed
// between two reads: each is "new" in the first pass and "closed" in the
// second, merged into key order, unless its key is in either table (the polls
// already report that key). Nothing of it is carried forward.
void CompareSnapshots(Snapshot& current, const Snapshot& previous, Counters& counters,
                      ProcessCounts& process_counts, const EventSink& sink, ClockFn now,
                      const Snapshot* fleeting = nullptr);

}  // namespace sockvane::track
