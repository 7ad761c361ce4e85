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
#include "source/source.h"
#include "track/compare.h"
#include "track/snapshot.h"

namespace sockvane::app {

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
int64_t PollCycle(MonitorState& state, source::Source& source);

// The pause after a cycle that took `elapsed_ms`; never longer than the interval.
uint32_t PauseAfterCycle(int32_t interval_ms, int64_t elapsed_ms);

// Statistics totals of the run as the report shows them.
output::StatsInput CurrentStats(const MonitorState& state);

// How the source is started for this run's settings and filters.
source::SourceSettings SourceSettingsOf(const MonitorState& state);

// The program: `source` is started once the options are parsed.
int RunMonitor(int argc, const char* const* argv, source::Source& source);

}  // namespace sockvane::app
