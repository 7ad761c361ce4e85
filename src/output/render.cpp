#include "output/render.h"

#include <array>

#include "config/build_info.h"
#include "output/console.h"
#include "output/safe_text.h"
#include "output/timestamp.h"
#include "track/text.h"

namespace sockvane::output {
namespace {

// One right-aligned column, never cut. Aligned on what is shown: a masked
// control is one '?' however long it was.
void AppendColumn(std::string& out, std::string_view value, std::size_t width) {
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
void AppendCsvField(std::string& out, std::string_view value) {
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
  for (std::size_t i = out.find('"', start); i != std::string::npos; i = out.find('"', i + 2)) {
    out.insert(i, 1, '"');
  }
  out += '"';
}

// The columns of an event line in their order.
struct Column {
  std::string_view key;         // JSON key and CSV field name
  std::string_view text_label;  // its piece of the text header, as wide as it stands there; "" when text
                                // lines leave the column out
  uint8_t text_width;           // text lines right-align the value in this many bytes, never cutting it
  bool number;                  // bare in JSON and CSV
};

constexpr Column kColumns[] = {
    {"time", "TIME        ", 0, false},
    {"event", "EVENT", 6, false},
    {"proto", "PROTO", 3, false},
    {"pid", "     PID", 8, false},
    {"process", "PROCESS             ", 20, false},
    {"src_ip", "", 0, false},
    {"src_port", "SPORT", 5, true},
    {"dst_ip", "DST-IP                                  ", 39, false},
    {"dst_port", "DPORT", 5, true},
    {"state", "STATE          ", 12, false},
    {"age_seconds", "AGE", 6, true},
};
constexpr std::size_t kColumnCount = std::size(kColumns);

// One event's values in column order, numbers as decimal text.
std::array<std::string, kColumnCount> ValuesOf(track::Event event, const track::TConn& row, int32_t age,
                                               std::string_view timestamp) {
  return {std::string(timestamp),
          std::string(track::EventName(event)),
          std::string(track::ProtoName(row.proto)),
          track::DecimalText(row.pid),
          std::string(track::ProcessText(row)),
          track::Ipv6ToText(row.src_ip),
          track::DecimalText(row.src_port),
          track::Ipv6ToText(row.dst_ip),
          track::DecimalText(row.dst_port),
          track::TcpStateName(row.state),
          track::DecimalText(age)};
}

}  // namespace

std::string JsonQuote(std::string_view text) {
  std::string out;
  out.reserve(text.size() + 2);
  AppendJson(out, text);
  return out;
}

std::string ColumnHeader(config::Format format) {
  std::string header;
  for (const Column& column : kColumns) {
    if (format == config::Format::kCsv) {
      if (!header.empty()) header += ',';
      header += column.key;
    } else if (format == config::Format::kText && !column.text_label.empty()) {
      if (!header.empty()) header += ' ';
      header += column.text_label;
    }
  }
  return header;
}

std::string FormatEvent(track::Event event, const track::TConn& connection, int32_t age,
                        std::string_view timestamp, config::Format format) {
  const auto values = ValuesOf(event, connection, age, timestamp);
  std::string line;
  line.reserve(200 + track::ProcessText(connection).size());
  if (format == config::Format::kJsonl) line += '{';
  for (std::size_t i = 0; i < kColumnCount; ++i) {
    const Column& column = kColumns[i];
    if (format == config::Format::kJsonl) {
      line += i > 0 ? ",\"" : "\"";
      line += column.key;
      line += "\":";
      if (column.number) {
        line += values[i];
      } else {
        AppendJson(line, values[i]);
      }
    } else if (format == config::Format::kCsv) {
      if (i > 0) line += ',';
      if (column.number) {
        line += values[i];
      } else {
        AppendCsvField(line, values[i]);
      }
    } else if (!column.text_label.empty()) {
      if (i > 0) line += ' ';
      AppendColumn(line, values[i], column.text_width);
    }
  }
  if (format == config::Format::kJsonl) line += '}';
  return line;
}

std::string FormatStatsReport(const StatsInput& stats, std::string_view timestamp, config::Format format) {
  using track::DecimalText;
  const std::string eol = config::kEol;
  if (format == config::Format::kJsonl) {
    return "{\"type\":\"stats\",\"time\":" + JsonQuote(timestamp) +
           ",\"new\":" + DecimalText(stats.new_count) + ",\"closed\":" + DecimalText(stats.closed_count) +
           ",\"state\":" + DecimalText(stats.state_count) + ",\"active\":" + DecimalText(stats.active) + "}" +
           eol;
  }
  const std::string line =
      "STATS uptime=" + DecimalText(stats.uptime_seconds) + "s new=" + DecimalText(stats.new_count) +
      " closed=" + DecimalText(stats.closed_count) + " state=" + DecimalText(stats.state_count) +
      " active=" + DecimalText(stats.active);
  if (format == config::Format::kCsv) return "# " + line + eol;

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

RenderContext MakeRenderContext(const config::Settings& settings, platform::Clock& clock, Console& console,
                                std::string time_separator) {
  RenderContext context;
  context.format = settings.format;
  context.timestamp = settings.timestamp;
  context.events = settings.events;
  context.time_separator = std::move(time_separator);
  context.clock = &clock;
  context.console = &console;
  return context;
}

namespace {

const std::string& Timestamp(RenderContext& context) {
  const platform::CivilTime now = context.clock->local_time(context.clock->cache);
  if (context.stamp.empty() || now != context.stamped) {
    context.stamp = TimestampText(now, context.timestamp, context.time_separator);
    context.stamped = now;
  }
  return context.stamp;
}

}  // namespace

void RenderEvent(RenderContext& context, track::Event event, const track::TConn& connection, int32_t age) {
  if (!context.events.test(track::Bit(event))) return;
  std::string line = FormatEvent(event, connection, age, Timestamp(context), context.format);
  line += config::kEol;
  WriteOut(*context.console, line);
}

void PrintStatsReport(RenderContext& context, const StatsInput& stats) {
  WriteOut(*context.console, FormatStatsReport(stats, Timestamp(context), context.format));
  FlushOut(*context.console);
}

}  // namespace sockvane::output
