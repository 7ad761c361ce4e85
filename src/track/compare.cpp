#include "track/compare.h"

#include <cstdint>

#include "track/text.h"

namespace sockvane::track {
namespace {

void Emit(const EventSink& sink, std::string_view event, const TConn& connection, int32_t age) {
  if (sink) sink(event, connection, age);
}

}  // namespace

void CountNewSocket(ProcessCounts& counts, const TConn& connection) {
  std::string name;
  name.reserve(connection.process.size() + connection.pid.size() + 3);
  name += connection.process;
  name += " (";
  name += connection.pid;
  name += ')';
  std::string folded = AsciiLower(name);
  auto found = counts.index.find(folded);
  if (found != counts.index.end()) {
    ++counts.entries[found->second].count;
    return;
  }
  counts.index.emplace(std::move(folded), counts.entries.size());
  counts.entries.push_back(ProcessEntry{std::move(name), 1});
}

int32_t AgeSeconds(double first_seen, double now) {
  return static_cast<int32_t>(static_cast<uint32_t>(static_cast<uint64_t>(ElapsedSeconds(first_seen, now))));
}

void CompareSnapshots(Snapshot& current, const Snapshot& previous, Counters& counters,
                      ProcessCounts& process_counts, const EventSink& sink, ClockFn now) {
  // Both tables are sorted by one total order, so one walk in step finds every
  // key of one in the other, as a binary search per row would.
  std::size_t p = 0;
  for (TConn& row : current.rows) {
    int order = 1;
    while (p < previous.rows.size() && (order = CompareKeys(previous.rows[p].key, row.key)) < 0) ++p;
    if (p < previous.rows.size() && order == 0) {
      const TConn& before = previous.rows[p];
      row.first_seen = before.first_seen;
      // The clock is read only when there is an event to date.
      if (row.state != before.state) {
        ++counters.state_count;
        Emit(sink, "state", row, AgeSeconds(row.first_seen, now()));
      }
      continue;
    }
    ++counters.new_count;
    CountNewSocket(process_counts, row);
    Emit(sink, "new", row, 0);
  }

  std::size_t c = 0;
  for (const TConn& row : previous.rows) {
    int order = 1;
    while (c < current.rows.size() && (order = CompareKeys(current.rows[c].key, row.key)) < 0) ++c;
    if (c < current.rows.size() && order == 0) continue;
    ++counters.closed_count;
    Emit(sink, "closed", row, AgeSeconds(row.first_seen, now()));
  }
}

}  // namespace sockvane::track
