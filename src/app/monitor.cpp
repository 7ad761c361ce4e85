#include "app/monitor.h"

#include <cstdint>
#include <string>
#include <utility>

#include "app/allowlist.h"
#include "app/command_line.h"
#include "app/tuple_filter.h"
#include "config/build_info.h"
#include "output/console.h"
#include "platform/clock.h"
#include "platform/std_streams.h"
#include "source/source.h"

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
void ReadShortLived(MonitorState& state, source::Source& source) {
  track::ClearSnapshot(state.short_lived);
  track::Snapshot& short_lived = state.short_lived;
  const filter::Filters& filters = state.filters;
  const int64_t now = state.clock.steady_ms();
  source.ReadShortLived([&short_lived, &filters, now](track::TConn&& row) {
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

namespace {

// Statistics when due; the cycle's duration.
int64_t FinishCycle(MonitorState& state, int64_t cycle_start) {
  int64_t (*const now)() = state.clock.steady_ms;
  if (state.settings.stats_seconds > 0 &&
      now() - state.last_stats_time >= int64_t{state.settings.stats_seconds} * 1000) {
    output::PrintStatsReport(state.render, CurrentStats(state));
    state.last_stats_time = now();
  }
  return now() - cycle_start;
}

}  // namespace

int64_t PollCycle(MonitorState& state, source::Source& source) {
  int64_t (*const now)() = state.clock.steady_ms;
  const int64_t cycle_start = now();
  track::ClearSnapshot(*state.current);
  track::Snapshot& current = *state.current;
  const filter::Filters& filters = state.filters;
  // One time for the whole read: what it lists is the table as of the read.
  const int64_t read_ms = now();
  state.last_read_ok = source.ReadTcpTable(
      [&current, &filters, read_ms](track::TConn&& row) {
        if (filter::PassesFilters(row, filters)) track::AddRow(current, std::move(row), read_ms);
      },
      [&filters](const track::TConn& row) { return filter::PassesOwnerlessFilters(row, filters); });
  if (state.last_read_ok) {
    // A table offered as the last one was, row for row, has no events: what
    // is left is to hear of short-lived sockets.
    const bool unchanged = track::SameOffer(current, *state.previous);
    if (!unchanged) track::SealSnapshot(current);
    ReadShortLived(state, source);
    if (unchanged && state.short_lived.rows.empty()) {
      track::ClearSnapshot(current);
      output::FlushOut(state.console);  // the banner, at a first poll of an empty table
      ReportTableReadable(state);
      return FinishCycle(state, cycle_start);
    }
    if (unchanged) track::SealSnapshot(current);
    output::RenderContext& render = state.render;
    track::CompareSnapshots(
        current, *state.previous, state.counters, state.process_counts,
        [&render](track::Event event, const track::TConn& connection, int32_t age) {
          output::RenderEvent(render, event, connection, age);
        },
        now(), &state.short_lived);
    // The poll's events reach a pipe together, as soon as they are known.
    output::FlushOut(state.console);
    std::swap(state.previous, state.current);
  } else {
    // Whatever a failed read handed over is not a poll.
    track::ClearSnapshot(current);
  }
  ReportTableReadable(state);
  return FinishCycle(state, cycle_start);
}

uint32_t PauseAfterCycle(int32_t interval_ms, int64_t elapsed_ms) {
  if (elapsed_ms >= interval_ms) return 0;
  // A broken clock can make the cycle look negative; never sleep past one interval.
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
  settings.direction = config::Asks(state.settings.extra, config::ExtraField::kDirection);
  settings.units = config::Asks(state.settings.extra, config::ExtraField::kUnit);
  return settings;
}

int RunMonitor(int argc, const char* const* argv, source::Source& source) {
  platform::PrepareStdStreams();
  MonitorState state;
  state.settings = ParseOptions(argc, argv);
  StartMonitor(state, platform::TimeSeparator());
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
