// Event lines and statistics reports in the text, JSON lines and CSV forms.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "config/options.h"
#include "output/safe_text.h"
#include "track/compare.h"
#include "track/conn.h"

namespace sockvane::output {

// A JSON string literal: \" \\ \n \r \t escaped, other bytes below 0x20 as '?',
// well-formed UTF-8 as it is, any other byte from 0x80 up as \u00XX.
std::string JsonQuote(std::string_view text);

// One event line without its line break. `format` "jsonl", "csv", or text.
std::string FormatEvent(std::string_view event, const track::TConn& connection, int32_t age,
                        std::string_view timestamp, std::string_view format);

struct StatsInput {
  int64_t uptime_seconds = 0;
  uint64_t new_count = 0, closed_count = 0, state_count = 0;
  int32_t active = 0;
  const track::ProcessCounts* process_counts = nullptr;
};

// The whole report, every line ended by kEol.
std::string FormatStatsReport(const StatsInput& stats, std::string_view timestamp, std::string_view format);

// What the renderer needs from the run: the settings and the clock, both
// always set.
struct RenderContext {
  const config::Settings* settings = nullptr;
  std::string time_separator = ":";
  track::ClockFn now = nullptr;
};

// Selection by --events, then the line. The caller flushes once the poll's
// events are written, so a large poll is not one system call per line.
void RenderEvent(const RenderContext& context, std::string_view event, const track::TConn& connection,
                 int32_t age);

void PrintStatsReport(const RenderContext& context, const StatsInput& stats);

}  // namespace sockvane::output
