#include "track/compare.h"

#include <algorithm>
#include <cstdint>

#include "track/text.h"

namespace sockvane::track {
namespace {

void Emit(const EventSink& sink, Event event, const TConn& connection, int32_t age) {
  if (sink) sink(event, connection, age);
}

}  // namespace

void CountNewSocket(ProcessCounts& counts, const TConn& connection) {
  std::string name(ProcessText(connection));
  name += " (";
  AppendDecimal(name, connection.pid);
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

std::string_view EventName(Event event) {
  static constexpr std::string_view kNames[] = {"new", "closed", "state"};
  return kNames[static_cast<std::size_t>(event)];
}

int32_t AgeSeconds(int64_t first_seen, int64_t now_ms) {
  // Unsigned: a broken clock's difference must not overflow.
  const uint64_t difference = static_cast<uint64_t>(now_ms) - static_cast<uint64_t>(first_seen);
  const auto seconds = static_cast<int64_t>(difference) / 1000;
  return static_cast<int32_t>(static_cast<uint32_t>(static_cast<uint64_t>(seconds)));
}

namespace {

// The rows of one pass that have events, put in key order. Their key texts
// are built here, few per poll but for the first, when every row is new: so
// each takes 12 bytes and its key text the bytes it has, one allocation.
struct KeyedEvent {
  uint32_t offset = 0;  // the key in `keys`
  uint32_t index = 0;   // the row
  uint8_t length = 0;   // a key is at most 106 bytes
  bool is_new = false;
  bool short_lived = false;  // the row is in the table of sockets no read saw
};

// The row an event stands for.
struct EventRows {
  const std::deque<TConn>& rows;
  const std::deque<TConn>& short_lived;
  const TConn& operator()(const KeyedEvent& event) const {
    return event.short_lived ? short_lived[event.index] : rows[event.index];
  }
};

void SortByKey(const EventRows& row_of, std::vector<KeyedEvent>& events) {
  if (events.size() < 2) return;
  std::string keys;
  keys.reserve(events.size() * 44);  // an IPv4 key; longer ones grow it
  std::string key;
  for (KeyedEvent& event : events) {
    ConnectionKeyInto(row_of(event), key);
    event.offset = static_cast<uint32_t>(keys.size());
    event.length = static_cast<uint8_t>(key.size());
    keys += key;
  }
  const std::string_view all = keys;
  // Keys of one table are distinct, and a short-lived row shares no key with
  // either table, so no tie remains to break.
  std::sort(events.begin(), events.end(), [all](const KeyedEvent& x, const KeyedEvent& y) {
    return CompareKeys(all.substr(x.offset, x.length), all.substr(y.offset, y.length)) < 0;
  });
}

bool HasKeyOf(const Snapshot& table, const TConn& row) {
  const auto found = std::lower_bound(table.rows.begin(), table.rows.end(), row,
                                      [](const TConn& a, const TConn& b) { return CompareRows(a, b) < 0; });
  return found != table.rows.end() && CompareRows(*found, row) == 0;
}

}  // namespace

void CompareSnapshots(Snapshot& current, const Snapshot& previous, Counters& counters,
                      ProcessCounts& process_counts, const EventSink& sink, int64_t now_ms,
                      const Snapshot* short_lived) {
  static const Snapshot kNone;
  const std::deque<TConn>& lived = (short_lived != nullptr ? *short_lived : kNone).rows;
  // A short-lived socket whose key a poll lists is left to the polls.
  std::vector<uint32_t> reportable;
  for (std::size_t i = 0; i < lived.size(); ++i) {
    if (!HasKeyOf(current, lived[i]) && !HasKeyOf(previous, lived[i])) {
      reportable.push_back(static_cast<uint32_t>(i));
    }
  }

  // Both tables are sorted by CompareRows, so one walk in step finds every
  // key of one in the other; no text is built for a socket that stays as it was.
  std::vector<KeyedEvent> events;
  std::size_t p = 0;
  for (std::size_t i = 0; i < current.rows.size(); ++i) {
    TConn& row = current.rows[i];
    int order = 1;
    while (p < previous.rows.size() && (order = CompareRows(previous.rows[p], row)) < 0) ++p;
    if (p < previous.rows.size() && order == 0) {
      const TConn& before = previous.rows[p];
      row.first_seen = before.first_seen;
      if (row.state != before.state)
        events.push_back(KeyedEvent{0, static_cast<uint32_t>(i), 0, false, false});
      continue;
    }
    events.push_back(KeyedEvent{0, static_cast<uint32_t>(i), 0, true, false});
  }
  for (const uint32_t i : reportable) events.push_back(KeyedEvent{0, i, 0, true, true});
  SortByKey(EventRows{current.rows, lived}, events);
  for (const KeyedEvent& event : events) {
    const TConn& row = EventRows{current.rows, lived}(event);
    if (event.is_new) {
      ++counters.new_count;
      CountNewSocket(process_counts, row);
      Emit(sink, Event::kNew, row, 0);
    } else {
      ++counters.state_count;
      Emit(sink, Event::kState, row, AgeSeconds(row.first_seen, now_ms));
    }
  }

  events.clear();
  std::size_t c = 0;
  for (std::size_t i = 0; i < previous.rows.size(); ++i) {
    const TConn& row = previous.rows[i];
    int order = 1;
    while (c < current.rows.size() && (order = CompareRows(current.rows[c], row)) < 0) ++c;
    if (c < current.rows.size() && order == 0) continue;
    events.push_back(KeyedEvent{0, static_cast<uint32_t>(i), 0, false, false});
  }
  for (const uint32_t i : reportable) events.push_back(KeyedEvent{0, i, 0, false, true});
  SortByKey(EventRows{previous.rows, lived}, events);
  for (const KeyedEvent& event : events) {
    const TConn& row = EventRows{previous.rows, lived}(event);
    ++counters.closed_count;
    Emit(sink, Event::kClosed, row, AgeSeconds(row.first_seen, now_ms));
  }
}

}  // namespace sockvane::track
