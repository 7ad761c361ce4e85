#include "output/render.h"

#include <array>
#include <span>

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

// The columns of an event line in their order: the fixed ones, then those
// --extra may add, in the order of config::ExtraField.
struct Column {
  std::string_view key;         // JSON key and CSV field name
  std::string_view text_label;  // its piece of the text header, as wide as it stands there; "" when text
                                // lines leave the column out
  uint8_t text_width;           // text lines right-align the value in this many bytes, never cutting it
  bool number;                  // bare in JSON and CSV; JSON null when empty
};

using config::kExtraFieldNames;
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
    {kExtraFieldNames[0], "   UID", 6, true},
    {kExtraFieldNames[1], "      USER", 10, false},
    {kExtraFieldNames[2], "DIRECTION", 9, false},
    {kExtraFieldNames[3], "                    UNIT", 24, false},
    {kExtraFieldNames[4], "OWNER_FROM", 10, false},
};
constexpr std::size_t kFixedCount = 11;
constexpr std::size_t kColumnCount = std::size(kColumns);
static_assert(kColumnCount == kFixedCount + std::size(kExtraFieldNames));

// The columns a line shows, in their order.
struct Shown {
  std::array<uint8_t, kColumnCount> index{};
  std::size_t count = 0;
};

Shown ShownColumns(std::span<const config::ExtraField> extra) {
  Shown shown;
  while (shown.count < kFixedCount) {
    shown.index[shown.count] = static_cast<uint8_t>(shown.count);
    ++shown.count;
  }
  for (config::ExtraField field : extra) {
    if (shown.count == kColumnCount) break;
    shown.index[shown.count++] = static_cast<uint8_t>(kFixedCount + static_cast<std::size_t>(field));
  }
  return shown;
}

// One column's value of one event, numbers as decimal text.
std::string ValueOf(std::size_t column, track::Event event, const track::TConn& row, int32_t age,
                    std::string_view timestamp, std::string_view user) {
  switch (column) {
    case 0:
      return std::string(timestamp);
    case 1:
      return std::string(track::EventName(event));
    case 2:
      return std::string(track::ProtoName(row.proto));
    case 3:
      return track::DecimalText(row.pid);
    case 4:
      return std::string(track::ProcessText(row));
    case 5:
      return track::Ipv6ToText(row.src_ip);
    case 6:
      return track::DecimalText(row.src_port);
    case 7:
      return track::Ipv6ToText(row.dst_ip);
    case 8:
      return track::DecimalText(row.dst_port);
    case 9:
      return track::TcpStateName(row.state);
    case 10:
      return track::DecimalText(age);
    case 11:
      return row.uid == track::kNoUid ? std::string() : track::DecimalText(row.uid);
    case 12:
      return std::string(user);
    case 13:
      return std::string(track::DirectionName(row.direction));
    case 14:
      return std::string(track::UnitText(row));
    default:
      return std::string(track::OwnerFromName(row.owner_from));
  }
}

}  // namespace

std::string JsonQuote(std::string_view text) {
  std::string out;
  out.reserve(text.size() + 2);
  AppendJson(out, text);
  return out;
}

std::string ColumnHeader(config::Format format, std::span<const config::ExtraField> extra) {
  const Shown shown = ShownColumns(extra);
  std::string header;
  for (std::size_t i = 0; i < shown.count; ++i) {
    const Column& column = kColumns[shown.index[i]];
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
                        std::string_view timestamp, config::Format format,
                        std::span<const config::ExtraField> extra, std::string_view user) {
  const Shown shown = ShownColumns(extra);
  std::string line;
  line.reserve(200 + track::ProcessText(connection).size());
  if (format == config::Format::kJsonl) line += '{';
  for (std::size_t i = 0; i < shown.count; ++i) {
    const Column& column = kColumns[shown.index[i]];
    const std::string value = ValueOf(shown.index[i], event, connection, age, timestamp, user);
    if (format == config::Format::kJsonl) {
      line += i > 0 ? ",\"" : "\"";
      line += column.key;
      line += "\":";
      if (!column.number) {
        AppendJson(line, value);
      } else {
        line += value.empty() ? "null" : value;
      }
    } else if (format == config::Format::kCsv) {
      if (i > 0) line += ',';
      if (column.number) {
        line += value;
      } else {
        AppendCsvField(line, value);
      }
    } else if (!column.text_label.empty()) {
      if (i > 0) line += ' ';
      AppendColumn(line, value, column.text_width);
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
  context.extra = settings.extra;
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
  std::string_view user;
  if (config::Asks(context.extra, config::ExtraField::kUser)) user = UserName(context.users, connection.uid);
  std::string line =
      FormatEvent(event, connection, age, Timestamp(context), context.format, context.extra, user);
  line += config::kEol;
  WriteOut(*context.console, line);
}

void PrintStatsReport(RenderContext& context, const StatsInput& stats) {
  WriteOut(*context.console, FormatStatsReport(stats, Timestamp(context), context.format));
  FlushOut(*context.console);
}

}  // namespace sockvane::output
