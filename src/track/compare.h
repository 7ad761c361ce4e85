// Two consecutive polls into events, counters and per-process tallies.
#pragma once

#include <bitset>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "track/conn.h"
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

enum class Event : uint8_t { kNew, kClosed, kState };

// "new", "closed", "state".
std::string_view EventName(Event event);

// A set of events, bit n for the event of value n.
using EventSet = std::bitset<3>;
constexpr std::size_t Bit(Event event) {
  return static_cast<std::size_t>(event);
}

using EventSink = std::function<void(Event event, const TConn& connection, int32_t age)>;

// Whole seconds from `first_seen` to `now_ms`, truncated toward zero, its low 32 bits.
int32_t AgeSeconds(int64_t first_seen, int64_t now_ms);

// New and state events over `current` in key order, then closed events over
// `previous`; carries first_seen forward into `current`. Both tables sealed.
// `short_lived`, when given and sealed, holds sockets that opened and closed
// between two reads: each is new in the first pass and closed in the second,
// merged into key order, unless its key is in either table (the polls already
// report that key). Nothing of it is carried forward.
void CompareSnapshots(Snapshot& current, const Snapshot& previous, Counters& counters,
                      ProcessCounts& process_counts, const EventSink& sink, int64_t now_ms,
                      const Snapshot* short_lived = nullptr);

}  // namespace sockvane::track
