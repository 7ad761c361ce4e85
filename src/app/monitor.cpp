#include "app/monitor.h"

#include <cstdint>
#include <string>
#include <utility>

#include "app/allowlist.h"
#include "app/command_line.h"
#include "config/build_info.h"
#include "output/console.h"
#include "source/clock.h"
#include "source/socket_table.h"
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
void ReadFleeting(MonitorState& state, const FleetingReader& read_fleeting) {
  track::ClearSnapshot(state.fleeting);
  track::Snapshot& fleeting = state.fleeting;
  const filter::Filters& filters = state.filters;
  const track::ClockFn now = state.now;
  read_fleeting([&fleeting, &filters, now](track::TConn&& row) {
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

int64_t PollCycle(MonitorState& state, const TableReader& read_table, const FleetingReader& read_fleeting) {
  const double cycle_start = state.now();
  track::ClearSnapshot(*state.current);
  track::Snapshot& current = *state.current;
  const filter::Filters& filters = state.filters;
  const track::ClockFn now = state.now;
  state.last_read_ok = read_table(
      [&current, &filters, now](track::TConn&& row) {
        if (filter::PassesFilters(row, filters)) track::AddRow(current, std::move(row), now());
      },
      [&filters](const track::TConn& row) { return filter::PassesOwnerlessFilters(row, filters); },
      state.settings.ipv6);
  if (state.last_read_ok) {
    track::SealSnapshot(current);
    if (read_fleeting) ReadFleeting(state, read_fleeting);
    const output::RenderContext& render = state.render;
    track::CompareSnapshots(
        current, *state.previous, state.counters, state.process_counts,
        [&render](std::string_view event, const track::TConn& connection, int32_t age) {
          output::RenderEvent(render, event, connection, age);
        },
        now, read_fleeting ? &state.fleeting : nullptr);
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

int RunMonitor(int argc, const char* const* argv, const TableReader& read_table,
               const FleetingSource* fleeting) {
  source::PrepareStdStreams();
  output::UseStdoutWriter(PlatformStdout());
  MonitorState state;
  state.settings = ParseOptions(argc, argv);
  StartMonitor(state);
  // A single scan has no next poll to hand what they hear to: they would only
  // cost its start (the tracer's loading most).
  if (state.settings.once) fleeting = nullptr;
  if (fleeting != nullptr) {
    if (std::string line = fleeting->start(); !line.empty()) output::WriteErr(line + config::kEol);
  }
  bool owner_problem_told = false;
  for (;;) {
    const int64_t elapsed_ms = PollCycle(state, read_table, fleeting != nullptr ? fleeting->read : nullptr);
    if (fleeting != nullptr) {
      if (std::string notice = fleeting->losses(); !notice.empty()) output::WriteErr(notice + config::kEol);
    }
    if (std::string why = source::OwnerSearchProblem(); !why.empty() && !owner_problem_told) {
      // Every owner reads PID 0 then: that must not pass for a host of ownerless sockets.
      output::WriteErr("sockvane: could not search for socket owners: " + why + config::kEol);
      owner_problem_told = true;
    }
    if (state.settings.once) break;
    output::EndIfReaderGone();
    const uint32_t pause = PauseAfterCycle(state.settings.interval_ms, elapsed_ms);
    if (fleeting != nullptr) {
      fleeting->pause(pause);  // also when 0: it drains what arrived
    } else if (pause > 0) {
      source::PauseMs(pause);
    }
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
