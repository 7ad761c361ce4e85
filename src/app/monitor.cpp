#include "app/monitor.h"

#include <cstdint>
#include <string>
#include <utility>

#include "app/allowlist.h"
#include "app/command_line.h"
#include "config/build_info.h"
#include "output/console.h"
#include "platform/std_streams.h"
#include "source/socket_table.h"

namespace sockvane::app {
namespace {

void PrintBanner(output::Console& console, const config::Settings& settings) {
  std::string text;
  if (settings.format == config::Format::kText) {
    text = std::string("SOCKVANE ") + config::kVersion + " | source=" + config::kFingerprint + " | " +
           config::kWebAddress + " | polling=" + std::to_string(settings.interval_ms) + "ms" + config::kEol;
  }
  if (std::string header = output::ColumnHeader(settings.format, settings.extra); !header.empty()) {
    text += header;
    text += config::kEol;
  }
  // Not flushed: the first event line or report flushes it.
  output::WriteOut(console, text);
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
void ReadShortLived(MonitorState& state, const FleetingReader& read_short_lived) {
  track::ClearSnapshot(state.short_lived);
  track::Snapshot& short_lived = state.short_lived;
  const filter::Filters& filters = state.filters;
  const int64_t now = state.clock.steady_ms();
  read_short_lived([&short_lived, &filters, now](track::TConn&& row) {
    const int64_t life_ms = row.life_ms;
    if (filter::PassesFilters(row, filters)) track::AddRow(short_lived, std::move(row), now - life_ms);
  });
  track::SealSnapshot(short_lived);
}

}  // namespace

void StartMonitor(MonitorState& state, std::string time_separator) {
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
  state.render =
      output::MakeRenderContext(state.settings, state.clock, state.console, std::move(time_separator));
  state.start_time = state.clock.steady_ms();
  state.last_stats_time = state.start_time;
  PrintBanner(state.console, state.settings);
}

output::StatsInput CurrentStats(const MonitorState& state) {
  output::StatsInput stats;
  stats.uptime_seconds = (state.clock.steady_ms() - state.start_time) / 1000;
  stats.new_count = state.counters.new_count;
  stats.closed_count = state.counters.closed_count;
  stats.state_count = state.counters.state_count;
  stats.active = static_cast<int32_t>(state.previous->rows.size());
  stats.process_counts = &state.process_counts;
  return stats;
}

int64_t PollCycle(MonitorState& state, const TableReader& read_table,
                  const FleetingReader& read_short_lived) {
  int64_t (*const now)() = state.clock.steady_ms;
  const int64_t cycle_start = now();
  track::ClearSnapshot(*state.current);
  track::Snapshot& current = *state.current;
  const filter::Filters& filters = state.filters;
  state.last_read_ok = read_table(
      [&current, &filters, now](track::TConn&& row) {
        if (filter::PassesFilters(row, filters)) track::AddRow(current, std::move(row), now());
      },
      [&filters](const track::TConn& row) { return filter::PassesOwnerlessFilters(row, filters); },
      state.settings.ipv6);
  if (state.last_read_ok) {
    track::SealSnapshot(current);
    if (read_short_lived) ReadShortLived(state, read_short_lived);
    output::RenderContext& render = state.render;
    track::CompareSnapshots(
        current, *state.previous, state.counters, state.process_counts,
        [&render](track::Event event, const track::TConn& connection, int32_t age) {
          output::RenderEvent(render, event, connection, age);
        },
        now(), read_short_lived ? &state.short_lived : nullptr);
    // The poll's events reach a pipe together, as soon as they are known.
    output::FlushOut(state.console);
    std::swap(state.previous, state.current);
  } else {
    // Whatever a failed read handed over is not a poll.
    track::ClearSnapshot(current);
  }
  ReportTableReadable(state);

  if (state.settings.stats_seconds > 0 &&
      now() - state.last_stats_time >= int64_t{state.settings.stats_seconds} * 1000) {
    output::PrintStatsReport(state.render, CurrentStats(state));
    state.last_stats_time = now();
  }
  return now() - cycle_start;
}

uint32_t PauseAfterCycle(int32_t interval_ms, int64_t elapsed_ms) {
  if (elapsed_ms >= interval_ms) return 0;
  // A broken clock can make the cycle look negative; never sleep past one interval.
  if (elapsed_ms < 0) return static_cast<uint32_t>(interval_ms);
  return static_cast<uint32_t>(interval_ms - elapsed_ms);
}

int RunMonitor(int argc, const char* const* argv, const TableReader& read_table,
               const FleetingSource* fleeting) {
  platform::PrepareStdStreams();
  MonitorState state;
  state.settings = ParseOptions(argc, argv);
  StartMonitor(state, platform::TimeSeparator());
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
      platform::PauseMs(pause);
    }
  }
  if (!state.last_read_ok) {
    // A single scan that could not read the table must not look like an idle host.
    output::FlushOut(state.console);
    output::WriteErr(std::string("sockvane: could not read the socket table") + config::kEol);
    return 1;
  }
  if (state.settings.summary) output::PrintStatsReport(state.render, CurrentStats(state));
  output::FlushOut(state.console);
  track::ClearSnapshot(*state.previous);
  track::ClearSnapshot(*state.current);
  return 0;
}

}  // namespace sockvane::app
