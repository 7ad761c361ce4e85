#include "app/monitor.h"

#include <cstdint>
#include <string>
#include <utility>

#include "app/allowlist.h"
#include "app/command_line.h"
#include "app/tuple_filter.h"
#include "config/build_info.h"
#include "output/console.h"
#include "source/clock.h"
#include "source/source.h"
#include "source/std_streams.h"
#include "track/day_count.h"

namespace sockvane::app {
namespace {

constexpr char kTextHeader[] =
    "TIME         EVENT PROTO      PID PROCESS              SPORT DST-IP                                   "
    "DPORT STATE           AGE";
constexpr char kCsvHeader[] =
    "time,event,proto,pid,process,src_ip,src_port,dst_ip,dst_port,state,age_seconds";

void PrintBanner(const config::Settings& settings) {
  std::string text;
  if (settings.output_format == "text") {
    text += "SOCKVANE ";
    text += config::kVersion;
    text += " | source=";
    text += config::kFingerprint;
    text += " | ";
    text += config::kWebAddress;
    text += " | polling=";
    text += std::to_string(settings.interval_ms);
    text += "ms";
    text += config::kEol;
    text += kTextHeader;
    text += config::kEol;
  } else if (settings.output_format == "csv") {
    text += kCsvHeader;
    text += config::kEol;
  }
  // Not flushed: the first event line or report flushes it.
  output::WriteOut(text);
}

// A run that cannot read the table must not pass for an idle host: say so
// when reads start failing and when they recover, once each time.
// A single scan says it at its end instead.
void ReportTableReadable(MonitorState& state) {
  if (state.settings.once || state.last_read_ok == !state.table_unreadable_said) return;
  state.table_unreadable_said = !state.last_read_ok;
  output::WriteErr(std::string(state.last_read_ok ? "sockvane: socket table readable again"
                                                  : "sockvane: could not read the socket table") +
                   config::kEol);
}

// Through the same filters as the read's rows, dated back by their known life.
void ReadShortLived(MonitorState& state, source::Source& source) {
  track::ClearSnapshot(state.fleeting);
  track::Snapshot& fleeting = state.fleeting;
  const filter::Filters& filters = state.filters;
  const track::ClockFn now = state.now;
  source.ReadShortLived([&fleeting, &filters, now](track::TConn&& row) {
    const double life = row.first_seen;
    if (filter::PassesFilters(row, filters)) track::AddRow(fleeting, std::move(row), now() - life);
  });
  track::SealSnapshot(fleeting);
}

output::WriteResult WriteStdout(std::string_view text, int& error) {
  switch (source::WriteStdout(text, error)) {
    case source::WriteResult::kDone:
      return output::WriteResult::kDone;
    case source::WriteResult::kReaderGone:
      return output::WriteResult::kReaderGone;
    case source::WriteResult::kFailed:
      break;
  }
  return output::WriteResult::kFailed;
}

// The console writes through the platform's checked writer.
output::StdoutWriter PlatformStdout() {
  return output::StdoutWriter{WriteStdout, source::StdoutReaderGone, source::EndForGoneReader};
}

}  // namespace

void StartMonitor(MonitorState& state) {
  state.filters = filter::CompileFilters(state.settings, {});
  if (!state.settings.allowlist_file.empty()) {
    // Parsed as read: a long list is never held as text.
    filter::AddressList& allowlist = state.filters.allowlist;
    std::string error;
    if (!LoadAllowlist(
            state.settings.allowlist_file,
            [&allowlist](std::string_view line) { filter::AddAllowlistLine(line, allowlist); }, error)) {
      UsageError("allowlist: " + error);
    }
    filter::FinishAddressList(allowlist);
  }
  state.render.settings = &state.settings;
  state.render.time_separator = source::TimeSeparator();
  state.render.now = state.now;
  state.start_time = state.now();
  state.last_stats_time = state.start_time;
  PrintBanner(state.settings);
}

output::StatsInput CurrentStats(const MonitorState& state) {
  output::StatsInput stats;
  stats.uptime_seconds = track::ElapsedSeconds(state.start_time, state.now());
  stats.new_count = state.counters.new_count;
  stats.closed_count = state.counters.closed_count;
  stats.state_count = state.counters.state_count;
  stats.active = static_cast<int32_t>(state.previous->rows.size());
  stats.process_counts = &state.process_counts;
  return stats;
}

int64_t PollCycle(MonitorState& state, source::Source& source) {
  const double cycle_start = state.now();
  track::ClearSnapshot(*state.current);
  track::Snapshot& current = *state.current;
  const filter::Filters& filters = state.filters;
  const track::ClockFn now = state.now;
  state.last_read_ok = source.ReadTcpTable(
      [&current, &filters, now](track::TConn&& row) {
        if (filter::PassesFilters(row, filters)) track::AddRow(current, std::move(row), now());
      },
      [&filters](const track::TConn& row) { return filter::PassesOwnerlessFilters(row, filters); });
  if (state.last_read_ok) {
    track::SealSnapshot(current);
    ReadShortLived(state, source);
    const output::RenderContext& render = state.render;
    track::CompareSnapshots(
        current, *state.previous, state.counters, state.process_counts,
        [&render](std::string_view event, const track::TConn& connection, int32_t age) {
          output::RenderEvent(render, event, connection, age);
        },
        now, &state.fleeting);
    // The poll's events reach a pipe together, as soon as they are known.
    output::FlushOut();
    std::swap(state.previous, state.current);
  } else {
    // Whatever a failed read handed over is not a poll.
    track::ClearSnapshot(current);
  }
  ReportTableReadable(state);

  if (state.settings.stats_seconds > 0 && track::MillisecondsBetween(state.last_stats_time, now()) >=
                                              int64_t{state.settings.stats_seconds} * 1000) {
    output::PrintStatsReport(state.render, CurrentStats(state));
    state.last_stats_time = now();
  }
  return track::MillisecondsBetween(cycle_start, now());
}

uint32_t PauseAfterCycle(int32_t interval_ms, int64_t elapsed_ms) {
  if (elapsed_ms >= interval_ms) return 0;
  // A clock set back makes the cycle look negative; never sleep past one interval.
  if (elapsed_ms < 0) return static_cast<uint32_t>(interval_ms);
  return static_cast<uint32_t>(interval_ms - elapsed_ms);
}

source::SourceSettings SourceSettingsOf(const MonitorState& state) {
  source::SourceSettings settings;
  settings.filter = TupleFilterOf(state.filters);
  settings.ipv6 = state.settings.ipv6;
  // A single scan has no next poll to hand short-lived sockets to: hearing of
  // them would only cost its start (the tracer's loading most).
  settings.short_lived = !state.settings.once;
  return settings;
}

int RunMonitor(int argc, const char* const* argv, source::Source& source) {
  source::PrepareStdStreams();
  output::UseStdoutWriter(PlatformStdout());
  MonitorState state;
  state.settings = ParseOptions(argc, argv);
  StartMonitor(state);
  if (std::string line = source.Start(SourceSettingsOf(state)); !line.empty())
    output::WriteErr(line + config::kEol);
  for (;;) {
    const int64_t elapsed_ms = PollCycle(state, source);
    for (const std::string& notice : source.Notices()) output::WriteErr(notice + config::kEol);
    if (state.settings.once) break;
    output::EndIfReaderGone();
    // Also when 0: the source drains what arrived meanwhile.
    source.Pause(PauseAfterCycle(state.settings.interval_ms, elapsed_ms));
  }
  if (!state.last_read_ok) {
    // A single scan that could not read the table must not look like an idle host.
    output::FlushOut();
    output::WriteErr(std::string("sockvane: could not read the socket table") + config::kEol);
    return 1;
  }
  if (state.settings.summary) output::PrintStatsReport(state.render, CurrentStats(state));
  output::FlushOut();
  track::ClearSnapshot(*state.previous);
  track::ClearSnapshot(*state.current);
  return 0;
}

}  // namespace sockvane::app
