// Event lines and statistics reports in the text, JSON lines and CSV forms.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "config/options.h"
#include "output/console.h"
#include "output/user_names.h"
#include "platform/clock.h"
#include "track/compare.h"
#include "track/conn.h"

namespace sockvane::output {

// A JSON string literal: \" \\ \n \r \t escaped, other bytes below 0x20 as '?',
// well-formed UTF-8 as it is, any other byte from 0x80 up as \u00XX.
std::string JsonQuote(std::string_view text);

// The line above the events: the text columns' labels, the CSV field names,
// or "" (JSON lines, text without banner). Without its line break.
std::string ColumnHeader(config::Format format, std::span<const config::ExtraField> extra = {});

// One event line without its line break; `extra` adds its fields after the
// others, `user` the name of the row's uid (only read when kUser is asked).
std::string FormatEvent(track::Event event, const track::TConn& connection, int32_t age,
                        std::string_view timestamp, config::Format format,
                        std::span<const config::ExtraField> extra = {}, std::string_view user = {});

struct StatsInput {
  int64_t uptime_seconds = 0;
  uint64_t new_count = 0, closed_count = 0, state_count = 0;
  int32_t active = 0;
  const track::ProcessCounts* process_counts = nullptr;
};

// The whole report, every line ended by kEol.
std::string FormatStatsReport(const StatsInput& stats, std::string_view timestamp, config::Format format);

// What the renderer needs from the run; `clock` and `console` always set.
struct RenderContext {
  config::Format format = config::Format::kText;
  config::TimestampStyle timestamp = config::TimestampStyle::kTime;
  track::EventSet events;
  std::vector<config::ExtraField> extra;
  UserNames users;  // looked up only when `extra` asks for the user
  std::string time_separator = ":";
  platform::Clock* clock = nullptr;
  Console* console = nullptr;
  // The events of one poll are rendered within a millisecond or two: each
  // distinct reading is formatted once.
  platform::CivilTime stamped;
  std::string stamp;
};

RenderContext MakeRenderContext(const config::Settings& settings, platform::Clock& clock, Console& console,
                                std::string time_separator);

// The line when the settings select the event. The caller flushes once the
// poll's events are written, so a large poll is not one system call per line.
void RenderEvent(RenderContext& context, track::Event event, const track::TConn& connection, int32_t age);

void PrintStatsReport(RenderContext& context, const StatsInput& stats);

}  // namespace sockvane::output
