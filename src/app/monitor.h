// The main sequence and the poll loop.
#pragma once

#include <functional>
#include <string>
#include <vector>

#include "config/options.h"
#include "filter/filters.h"
#include "output/console.h"
#include "output/render.h"
#include "platform/clock.h"
#include "source/socket_table.h"
#include "track/compare.h"
#include "track/snapshot.h"

namespace sockvane::app {

// The socket source the loop reads; tests hand their own rows in.
using TableReader = std::function<bool(const source::RowConsumer&, const source::RowWanted&, bool ipv6)>;

// Sockets that opened and closed since the last read, which the read could not
// see; called right after a good read. Each row's `life_ms` holds its known
// life (0 when unknown).
using FleetingReader = std::function<void(const source::RowConsumer&)>;

// The layer that hears of such sockets; the program's own is the OS's.
struct FleetingSource {
  std::function<std::string()> start;  // at start: a line for standard error, or ""
  FleetingReader read;
  std::function<void(uint32_t ms)> pause;  // the pause between polls
  std::function<std::string()> losses;     // a loss notice for standard error, or ""
};

// Everything one run holds. The two tables swap roles every good poll.
struct MonitorState {
  config::Settings settings;
  filter::Filters filters;
  track::Snapshot tables[2];
  track::Snapshot* previous = &tables[0];
  track::Snapshot* current = &tables[1];
  track::Snapshot short_lived;  // this poll's sockets that lived between two reads
  track::Counters counters;
  track::ProcessCounts process_counts;
  platform::Clock clock;    // tests run on clocks of their own
  output::Console console;  // and read what it writes
  output::RenderContext render;
  int64_t start_time = 0;  // steady milliseconds, as every time below
  int64_t last_stats_time = 0;
  bool last_read_ok = true;
  bool table_unreadable_said = false;
};

// After parsing: loads the allowlist (ending through UsageError when it cannot
// be loaded), notes the start time and prints the banner or header.
// `time_separator` is the locale's.
void StartMonitor(MonitorState& state, std::string time_separator = ":");

// One poll: read, compare, swap, statistics when due. A failed read leaves
// `previous` as it was, so nothing is reported closed for it.
// Returns the cycle's duration in milliseconds.
int64_t PollCycle(MonitorState& state, const TableReader& read_table,
                  const FleetingReader& read_short_lived = nullptr);

// The pause after a cycle that took `elapsed_ms`; never longer than the interval.
uint32_t PauseAfterCycle(int32_t interval_ms, int64_t elapsed_ms);

// Statistics totals of the run as the report shows them.
output::StatsInput CurrentStats(const MonitorState& state);

int RunMonitor(int argc, const char* const* argv, const TableReader& read_table,
               const FleetingSource* fleeting = nullptr);

}  // namespace sockvane::app
