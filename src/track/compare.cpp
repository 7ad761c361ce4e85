#include "track/compare.h"

#include <cmath>
#include <cstdint>

namespace sockvane::track {
namespace {

std::string Folded(std::string_view text) {
  std::string out(text);
  for (char& c : out) {
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  }
  return out;
}

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
  std::string folded = Folded(name);
  auto found = counts.index.find(folded);
  if (found != counts.index.end()) {
    ++counts.entries[found->second].count;
    return;
  }
  counts.index.emplace(std::move(folded), counts.entries.size());
  counts.entries.push_back(ProcessEntry{std::move(name), 1});
}

int64_t ElapsedSeconds(double earlier, double later) {
  const double days = later - earlier;
  if (std::isnan(days)) return 0;
  // Readings are whole milliseconds, but a day count cannot hold most of them
  // exactly: 10 s apart may come out as 9.9999994 s. Settle on the nearest
  // millisecond first, then truncate toward zero.
  const double ms = days * 86400000.0;
  if (std::fabs(ms) < 1e15) return std::llround(ms) / 1000;
  // Out of int64 range the conversion would be undefined; such clocks are
  // broken anyway, so pin them to the ends of the range.
  const double seconds = days * 86400.0;
  if (seconds >= 9223372036854775807.0) return INT64_MAX;
  if (seconds <= -9223372036854775808.0) return INT64_MIN;
  return static_cast<int64_t>(seconds);
}

int32_t AgeSeconds(double first_seen, double now) {
  return static_cast<int32_t>(static_cast<uint32_t>(static_cast<uint64_t>(ElapsedSeconds(first_seen, now))));
}

void CompareSnapshots(Snapshot& current, const Snapshot& previous, Counters& counters,
                      ProcessCounts& process_counts, const EventSink& sink, ClockFn now,
                      const Snapshot* fleeting) {
  static const Snapshot kNone;
  const std::vector<TConn>& brief = (fleeting != nullptr ? *fleeting : kNone).rows;
  auto reportable = [&](const TConn& row) {
    return FindKey(current, row.key) == kNotFound && FindKey(previous, row.key) == kNotFound;
  };
  // Emits the fleeting rows not yet emitted that rank before `key` (all of
  // them when `key` is null).
  std::size_t f = 0;
  auto fleeting_before = [&](const std::string* key, bool opening) {
    for (; f < brief.size() && (key == nullptr || CompareKeys(brief[f].key, *key) < 0); ++f) {
      if (!reportable(brief[f])) continue;
      if (opening) {
        ++counters.new_count;
        CountNewSocket(process_counts, brief[f]);
        Emit(sink, "new", brief[f], 0);
      } else {
        ++counters.closed_count;
        Emit(sink, "closed", brief[f], AgeSeconds(brief[f].first_seen, now()));
      }
    }
  };

  // Both tables are sorted by one total order, so one walk in step finds every
  // key of one in the other, as a binary search per row would.
  std::size_t p = 0;
  for (TConn& row : current.rows) {
    fleeting_before(&row.key, true);
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
  fleeting_before(nullptr, true);

  f = 0;
  std::size_t c = 0;
  for (const TConn& row : previous.rows) {
    fleeting_before(&row.key, false);
    int order = 1;
    while (c < current.rows.size() && (order = CompareKeys(current.rows[c].key, row.key)) < 0) ++c;
    if (c < current.rows.size() && order == 0) continue;
    ++counters.closed_count;
    Emit(sink, "closed", row, AgeSeconds(row.first_seen, now()));
  }
  fleeting_before(nullptr, false);
}

}  // namespace sockvane::track
