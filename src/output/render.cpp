#include "output/render.h"

#include "config/build_info.h"
#include "config/lists.h"
#include "output/console.h"
#include "output/safe_text.h"
#include "output/timestamp.h"
#include "track/text.h"

namespace sockvane::output {
namespace {

// One right-aligned column, never cut, preceded by its separating space.
// Aligned on what is shown: a masked control is one '?' however long it was.
void AppendColumn(std::string& out, std::string_view value, std::size_t width) {
  out += ' ';
  if (PlainPrefixLength(value) == value.size()) {
    if (value.size() < width) out.append(width - value.size(), ' ');
    out += value;
    return;
  }
  const std::size_t start = out.size();
  AppendMasked(out, value, MaskSet::kTerminal);
  const std::size_t shown = out.size() - start;
  if (shown < width) out.insert(start, width - shown, ' ');
}

template <typename Number>
void AppendNumberColumn(std::string& out, Number value, std::size_t width) {
  AppendColumn(out, track::DecimalText(value), width);
}

// The JSON string literal of `text`, appended.
// Well-formed UTF-8 passes; any other byte from 0x80 up is written as the
// \u00XX of its Latin-1 code point, so the line stays valid JSON and the
// byte can be recovered.
void AppendJson(std::string& out, std::string_view text) {
  static constexpr char kHex[] = "0123456789abcdef";
  out += '"';
  for (std::size_t i = 0; i < text.size(); ++i) {
    std::size_t plain = i;
    while (plain < text.size() && text[plain] >= 0x20 && text[plain] < 0x7F && text[plain] != '"' &&
           text[plain] != '\\') {
      ++plain;
    }
    out.append(text.substr(i, plain - i));
    if (plain == text.size()) break;
    i = plain;
    const char ch = text[i];
    const auto byte = static_cast<unsigned char>(ch);
    if (byte >= 0x80) {
      uint32_t code_point = 0;
      const std::size_t length = Utf8SequenceLength(text.substr(i), code_point);
      if (length == 0) {
        out += "\\u00";
        out += kHex[byte >> 4];
        out += kHex[byte & 0xF];
      } else {
        out.append(text.substr(i, length));
        i += length - 1;
      }
      continue;
    }
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
}

// A CSV text field: controls masked so that a record is one line that cannot
// drive a terminal, and a leading formula character defused with "'" so that
// a spreadsheet shows the value instead of running it.
void AppendCsvField(std::string& out, std::string_view value, bool double_quotes) {
  out += '"';
  if (!value.empty()) {
    const char first = value.front();
    if (first == '=' || first == '+' || first == '-' || first == '@' || first == '\t' || first == '\r')
      out += '\'';
  }
  const std::size_t start = out.size();
  if (PlainPrefixLength(value) == value.size()) {
    out += value;
  } else {
    AppendMasked(out, value, MaskSet::kControls);
  }
  if (double_quotes) {
    for (std::size_t i = out.find('"', start); i != std::string::npos; i = out.find('"', i + 2)) {
      out.insert(i, 1, '"');
    }
  }
  out += '"';
}

std::string TextLine(std::string_view event, const track::TConn& row, int32_t age,
                     std::string_view timestamp) {
  const track::ConnTexts c = track::TextsOf(row);
  std::string line;
  line.reserve(136 + c.process.size());
  AppendMasked(line, timestamp, MaskSet::kTerminal);
  AppendColumn(line, event, 6);
  AppendColumn(line, c.proto, 3);
  AppendColumn(line, c.pid, 8);
  AppendColumn(line, c.process, 20);
  AppendNumberColumn(line, row.src_port, 5);
  AppendColumn(line, c.dst_ip, 39);
  AppendNumberColumn(line, row.dst_port, 5);
  AppendColumn(line, c.state, 12);
  AppendNumberColumn(line, age, 6);
  return line;
}

std::string JsonLine(std::string_view event, const track::TConn& row, int32_t age,
                     std::string_view timestamp) {
  const track::ConnTexts c = track::TextsOf(row);
  std::string line;
  line.reserve(200 + c.process.size());
  line += "{\"time\":";
  AppendJson(line, timestamp);
  line += ",\"event\":";
  AppendJson(line, event);
  line += ",\"proto\":";
  AppendJson(line, c.proto);
  line += ",\"pid\":";
  AppendJson(line, c.pid);
  line += ",\"process\":";
  AppendJson(line, c.process);
  line += ",\"src_ip\":";
  AppendJson(line, c.src_ip);
  line += ",\"src_port\":";
  track::AppendDecimal(line, row.src_port);
  line += ",\"dst_ip\":";
  AppendJson(line, c.dst_ip);
  line += ",\"dst_port\":";
  track::AppendDecimal(line, row.dst_port);
  line += ",\"state\":";
  AppendJson(line, c.state);
  line += ",\"age_seconds\":";
  track::AppendDecimal(line, age);
  line += '}';
  return line;
}

std::string CsvLine(std::string_view event, const track::TConn& row, int32_t age,
                    std::string_view timestamp) {
  const track::ConnTexts c = track::TextsOf(row);
  std::string line;
  AppendCsvField(line, timestamp, false);
  line += ',';
  AppendCsvField(line, event, false);
  line += ',';
  AppendCsvField(line, c.proto, false);
  line += ',';
  AppendCsvField(line, c.pid, false);
  line += ',';
  AppendCsvField(line, c.process, true);
  line += ',';
  AppendCsvField(line, c.src_ip, false);
  line += ',';
  track::AppendDecimal(line, row.src_port);
  line += ',';
  AppendCsvField(line, c.dst_ip, false);
  line += ',';
  track::AppendDecimal(line, row.dst_port);
  line += ',';
  AppendCsvField(line, c.state, false);
  line += ',';
  track::AppendDecimal(line, age);
  return line;
}

}  // namespace

std::string JsonQuote(std::string_view text) {
  std::string out;
  out.reserve(text.size() + 2);
  AppendJson(out, text);
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
    line += ",\"new\":" + track::DecimalText(stats.new_count);
    line += ",\"closed\":" + track::DecimalText(stats.closed_count);
    line += ",\"state\":" + track::DecimalText(stats.state_count);
    line += ",\"active\":" + track::DecimalText(stats.active);
    line += '}';
    return line + eol;
  }
  std::string line = "STATS uptime=" + track::DecimalText(stats.uptime_seconds);
  line += "s new=" + track::DecimalText(stats.new_count);
  line += " closed=" + track::DecimalText(stats.closed_count);
  line += " state=" + track::DecimalText(stats.state_count);
  line += " active=" + track::DecimalText(stats.active);
  if (format == "csv") return "# " + line + eol;

  std::string report = line + eol;
  report += "TOP PROCESSES (observed NEW sockets):";
  report += eol;
  if (stats.process_counts != nullptr) {
    for (const track::ProcessEntry& entry : stats.process_counts->entries) {
      report += "  ";
      report += SafeText(entry.name);
      report += ": ";
      track::AppendDecimal(report, entry.count);
      report += eol;
    }
  }
  return report;
}

// Events of one poll are rendered within the same millisecond or two; format
// each distinct reading once.
struct TimestampCache {
  double now = 0;
  std::string style, separator, text;
  bool valid = false;
};

const std::string& CachedTimestamp(double now, std::string_view style, std::string_view separator) {
  static TimestampCache cache;
  if (!cache.valid || cache.now != now || cache.style != style || cache.separator != separator) {
    cache.text = TimestampText(now, style, separator);
    cache.now = now;
    cache.style = style;
    cache.separator = separator;
    cache.valid = true;
  }
  return cache.text;
}

void RenderEvent(const RenderContext& context, std::string_view event, const track::TConn& connection,
                 int32_t age) {
  const config::Settings& settings = *context.settings;
  if (!config::ListContains(settings.events, event)) return;
  const std::string& timestamp =
      CachedTimestamp(context.now(), settings.timestamp_format, context.time_separator);
  std::string line = FormatEvent(event, connection, age, timestamp, settings.output_format);
  line += config::kEol;
  WriteOut(line);
}

void PrintStatsReport(const RenderContext& context, const StatsInput& stats) {
  const config::Settings& settings = *context.settings;
  const std::string timestamp =
      TimestampText(context.now(), settings.timestamp_format, context.time_separator);
  WriteOut(FormatStatsReport(stats, timestamp, settings.output_format));
  FlushOut();
}

}  // namespace sockvane::output
