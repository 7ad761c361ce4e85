#include "output/render.h"

#include <charconv>

#include "config/build_info.h"
#include "config/lists.h"
#include "output/console.h"
#include "output/timestamp.h"
#include "source/clock.h"

namespace sockvane::output {
namespace {

template <typename Number>
void AppendNumber(std::string& out, Number value) {
  char digits[24];
  auto [end, error] = std::to_chars(digits, digits + sizeof digits, value);
  (void)error;
  out.append(digits, end);
}

template <typename Number>
std::string NumberText(Number value) {
  std::string text;
  AppendNumber(text, value);
  return text;
}

// One right-aligned column, never cut, preceded by its separating space.
void AppendColumn(std::string& out, std::string_view value, std::size_t width) {
  out += ' ';
  if (value.size() < width) out.append(width - value.size(), ' ');
  out += value;
}

void AppendQuotedField(std::string& out, std::string_view value) {
  out += '"';
  out += value;
  out += '"';
}

std::string TextLine(std::string_view event, const track::TConn& c, int32_t age, std::string_view timestamp) {
  std::string line = SafeText(timestamp);
  AppendColumn(line, SafeText(event), 6);
  AppendColumn(line, SafeText(c.proto), 3);
  AppendColumn(line, SafeText(c.pid), 8);
  AppendColumn(line, SafeText(c.process), 20);
  AppendColumn(line, NumberText(c.src_port), 5);
  AppendColumn(line, SafeText(c.dst_ip), 39);
  AppendColumn(line, NumberText(c.dst_port), 5);
  AppendColumn(line, SafeText(c.state), 12);
  AppendColumn(line, NumberText(age), 6);
  return line;
}

std::string JsonLine(std::string_view event, const track::TConn& c, int32_t age, std::string_view timestamp) {
  std::string line = "{\"time\":" + JsonQuote(timestamp);
  line += ",\"event\":" + JsonQuote(event);
  line += ",\"proto\":" + JsonQuote(c.proto);
  line += ",\"pid\":" + JsonQuote(c.pid);
  line += ",\"process\":" + JsonQuote(c.process);
  line += ",\"src_ip\":" + JsonQuote(c.src_ip);
  line += ",\"src_port\":";
  AppendNumber(line, c.src_port);
  line += ",\"dst_ip\":" + JsonQuote(c.dst_ip);
  line += ",\"dst_port\":";
  AppendNumber(line, c.dst_port);
  line += ",\"state\":" + JsonQuote(c.state);
  line += ",\"age_seconds\":";
  AppendNumber(line, age);
  line += '}';
  return line;
}

std::string CsvLine(std::string_view event, const track::TConn& c, int32_t age, std::string_view timestamp) {
  std::string line;
  AppendQuotedField(line, timestamp);
  line += ',';
  AppendQuotedField(line, event);
  line += ',';
  AppendQuotedField(line, c.proto);
  line += ',';
  AppendQuotedField(line, c.pid);
  line += ",\"";
  for (char ch : c.process) {
    if (ch == '"') line += '"';
    line += ch;
  }
  line += "\",";
  AppendQuotedField(line, c.src_ip);
  line += ',';
  AppendNumber(line, c.src_port);
  line += ',';
  AppendQuotedField(line, c.dst_ip);
  line += ',';
  AppendNumber(line, c.dst_port);
  line += ',';
  AppendQuotedField(line, c.state);
  line += ',';
  AppendNumber(line, age);
  return line;
}

double ReadNow(const RenderContext& context) {
  return context.now ? context.now() : source::NowDays();
}

}  // namespace

std::string JsonQuote(std::string_view text) {
  std::string out;
  out.reserve(text.size() + 2);
  out += '"';
  for (char ch : text) {
    const auto byte = static_cast<unsigned char>(ch);
    switch (byte) {
      case '"':
        out += "\\\"";
        break;
      case '\\':
        out += "\\\\";
        break;
      case '\n':
        out += "\\n";
        break;
      case '\r':
        out += "\\r";
        break;
      case '\t':
        out += "\\t";
        break;
      default:
        out += byte < 0x20 ? '?' : ch;
    }
  }
  out += '"';
  return out;
}

std::string SafeText(std::string_view text) {
  std::string out(text);
  for (char& ch : out) {
    const auto byte = static_cast<unsigned char>(ch);
    if (byte < 0x20 || byte == 0x7F) ch = '?';
  }
  return out;
}

std::string FormatEvent(std::string_view event, const track::TConn& connection, int32_t age,
                        std::string_view timestamp, std::string_view format) {
  if (format == "jsonl") return JsonLine(event, connection, age, timestamp);
  if (format == "csv") return CsvLine(event, connection, age, timestamp);
  return TextLine(event, connection, age, timestamp);
}

std::string FormatStatsReport(const StatsInput& stats, std::string_view timestamp, std::string_view format) {
  const std::string eol = config::kEol;
  if (format == "jsonl") {
    std::string line = "{\"type\":\"stats\",\"time\":" + JsonQuote(timestamp);
    line += ",\"new\":" + NumberText(stats.new_count);
    line += ",\"closed\":" + NumberText(stats.closed_count);
    line += ",\"state\":" + NumberText(stats.state_count);
    line += ",\"active\":" + NumberText(stats.active);
    line += '}';
    return line + eol;
  }
  std::string line = "STATS uptime=" + NumberText(stats.uptime_seconds);
  line += "s new=" + NumberText(stats.new_count);
  line += " closed=" + NumberText(stats.closed_count);
  line += " state=" + NumberText(stats.state_count);
  line += " active=" + NumberText(stats.active);
  if (format == "csv") return "# " + line + eol;

  std::string report = line + eol;
  report += "TOP PROCESSES (observed NEW sockets):";
  report += eol;
  if (stats.process_counts != nullptr) {
    for (const track::ProcessEntry& entry : stats.process_counts->entries) {
      report += "  ";
      report += SafeText(entry.name);
      report += ": ";
      AppendNumber(report, entry.count);
      report += eol;
    }
  }
  return report;
}

void RenderEvent(const RenderContext& context, std::string_view event, const track::TConn& connection,
                 int32_t age) {
  const config::Settings& settings = *context.settings;
  if (!config::ListContains(settings.events, event)) return;
  const std::string timestamp =
      TimestampText(ReadNow(context), settings.timestamp_format, context.time_separator);
  std::string line = FormatEvent(event, connection, age, timestamp, settings.output_format);
  line += config::kEol;
  WriteOut(line);
  FlushOut();
}

void PrintStatsReport(const RenderContext& context, const StatsInput& stats) {
  const config::Settings& settings = *context.settings;
  const std::string timestamp =
      TimestampText(ReadNow(context), settings.timestamp_format, context.time_separator);
  WriteOut(FormatStatsReport(stats, timestamp, settings.output_format));
  FlushOut();
}

}  // namespace sockvane::output
