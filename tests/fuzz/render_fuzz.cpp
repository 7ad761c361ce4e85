// Event lines, statistics reports and timestamps from arbitrary field values.
// Each layout is read back the way its consumers read it: JSON by a strict
// parser, CSV by an RFC 4180 reader, the text layout against its column rules.
#include <fuzzer/FuzzedDataProvider.h>

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "../support/text_rows.h"
#include "config/build_info.h"
#include "fuzz_check.h"
#include "output/render.h"
#include "output/safe_text.h"
#include "output/timestamp.h"
#include "track/compare.h"
#include "track/conn.h"

namespace {

namespace out = sockvane::output;
using sockvane::testing::TextRow;
using sockvane::track::TConn;

// ---- a strict JSON reader, enough for one flat object per line ----

struct JsonValue {
  bool is_string = false;
  std::string text;  // decoded string, or the number as written
};

struct JsonReader {
  std::string_view in;
  size_t pos = 0;

  bool AtEnd() const { return pos >= in.size(); }
  char Peek() const { return AtEnd() ? '\0' : in[pos]; }
  void SkipSpace() {
    while (!AtEnd() && (in[pos] == ' ' || in[pos] == '\t' || in[pos] == '\n' || in[pos] == '\r')) ++pos;
  }
  bool Take(char c) {
    if (Peek() != c || AtEnd()) return false;
    ++pos;
    return true;
  }

  static int Hex(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
  }

  // Bytes from 0x80 up are taken as they stand; the line as a whole is
  // checked to be UTF-8 on its own.
  std::optional<std::string> String() {
    if (!Take('"')) return std::nullopt;
    std::string s;
    while (true) {
      if (AtEnd()) return std::nullopt;
      const char c = in[pos++];
      if (c == '"') return s;
      if (static_cast<unsigned char>(c) < 0x20) return std::nullopt;
      if (c != '\\') {
        s.push_back(c);
        continue;
      }
      if (AtEnd()) return std::nullopt;
      const char e = in[pos++];
      switch (e) {
        case '"':
          s.push_back('"');
          break;
        case '\\':
          s.push_back('\\');
          break;
        case '/':
          s.push_back('/');
          break;
        case 'b':
          s.push_back('\b');
          break;
        case 'f':
          s.push_back('\f');
          break;
        case 'n':
          s.push_back('\n');
          break;
        case 'r':
          s.push_back('\r');
          break;
        case 't':
          s.push_back('\t');
          break;
        case 'u': {
          if (in.size() - pos < 4) return std::nullopt;
          int v = 0;
          for (int k = 0; k < 4; ++k) {
            const int h = Hex(in[pos++]);
            if (h < 0) return std::nullopt;
            v = v * 16 + h;
          }
          s.push_back(v < 0x100 ? static_cast<char>(v) : '?');
          break;
        }
        default:
          return std::nullopt;
      }
    }
  }

  static bool Digit(char c) { return c >= '0' && c <= '9'; }

  std::optional<std::string> Number() {
    const size_t start = pos;
    Take('-');
    if (Take('0')) {
      // no further integer digits after a leading zero
    } else if (Digit(Peek()) && !AtEnd()) {
      while (!AtEnd() && Digit(Peek())) ++pos;
    } else {
      return std::nullopt;
    }
    if (Take('.')) {
      if (AtEnd() || !Digit(Peek())) return std::nullopt;
      while (!AtEnd() && Digit(Peek())) ++pos;
    }
    if (!AtEnd() && (Peek() == 'e' || Peek() == 'E')) {
      ++pos;
      if (!Take('+')) Take('-');
      if (AtEnd() || !Digit(Peek())) return std::nullopt;
      while (!AtEnd() && Digit(Peek())) ++pos;
    }
    return std::string(in.substr(start, pos - start));
  }

  // A flat object of strings and numbers; anything else is a failure here.
  std::optional<std::vector<std::pair<std::string, JsonValue>>> FlatObject() {
    std::vector<std::pair<std::string, JsonValue>> members;
    SkipSpace();
    if (!Take('{')) return std::nullopt;
    SkipSpace();
    if (Take('}')) return members;
    while (true) {
      SkipSpace();
      std::optional<std::string> key = String();
      if (!key) return std::nullopt;
      SkipSpace();
      if (!Take(':')) return std::nullopt;
      SkipSpace();
      JsonValue value;
      if (Peek() == '"' && !AtEnd()) {
        std::optional<std::string> s = String();
        if (!s) return std::nullopt;
        value.is_string = true;
        value.text = std::move(*s);
      } else {
        std::optional<std::string> n = Number();
        if (!n) return std::nullopt;
        value.text = std::move(*n);
      }
      members.emplace_back(std::move(*key), std::move(value));
      SkipSpace();
      if (Take('}')) break;
      if (!Take(',')) return std::nullopt;
    }
    SkipSpace();
    if (!AtEnd()) return std::nullopt;  // one value per line, nothing after it
    return members;
  }
};

// ---- what each layout must carry ----

// Length of the UTF8-char of RFC 3629 that starts `s`, 0 when none does.
size_t Utf8CharLength(std::string_view s) {
  auto in = [&s](size_t i, unsigned lo, unsigned hi) {
    return i < s.size() && static_cast<unsigned char>(s[i]) >= lo && static_cast<unsigned char>(s[i]) <= hi;
  };
  auto tail = [&in](size_t from, size_t to) {
    for (size_t i = from; i < to; ++i) {
      if (!in(i, 0x80, 0xBF)) return false;
    }
    return true;
  };
  if (in(0, 0x00, 0x7F)) return 1;
  if (in(0, 0xC2, 0xDF) && tail(1, 2)) return 2;
  if (in(0, 0xE0, 0xE0) && in(1, 0xA0, 0xBF) && tail(2, 3)) return 3;
  if ((in(0, 0xE1, 0xEC) || in(0, 0xEE, 0xEF)) && tail(1, 3)) return 3;
  if (in(0, 0xED, 0xED) && in(1, 0x80, 0x9F) && tail(2, 3)) return 3;
  if (in(0, 0xF0, 0xF0) && in(1, 0x90, 0xBF) && tail(2, 4)) return 4;
  if (in(0, 0xF1, 0xF3) && tail(1, 4)) return 4;
  if (in(0, 0xF4, 0xF4) && in(1, 0x80, 0x8F) && tail(2, 4)) return 4;
  return 0;
}

bool IsUtf8(std::string_view s) {
  for (size_t i = 0; i < s.size();) {
    const size_t n = Utf8CharLength(s.substr(i));
    if (n == 0) return false;
    i += n;
  }
  return true;
}

// What a JSON string literal holds after JsonQuote: the control bytes it has
// no escape for become '?'; every other byte reads back, raw or as \u00XX.
std::string JsonVisible(std::string_view text) {
  std::string s(text);
  for (char& c : s) {
    if (static_cast<unsigned char>(c) < 0x20 && c != '\n' && c != '\r' && c != '\t') c = '?';
  }
  return s;
}

// The characters shown as '?', by their UTF-8 bytes: C1 controls are C2 80
// to C2 9F; the separators and bidirectional embeddings and overrides
// (U+2028 to U+202E) E2 80 A8 to E2 80 AE; the isolates E2 81 A6 to E2 81 A9.
bool MaskedSequence(std::string_view seq, bool terminal) {
  auto at = [&seq](size_t i) { return static_cast<unsigned char>(seq[i]); };
  if (seq.size() == 1) return at(0) < 0x20 || at(0) == 0x7F;
  if (seq.size() == 2) return at(0) == 0xC2 && at(1) <= 0x9F;
  if (!terminal || seq.size() != 3 || at(0) != 0xE2) return false;
  return (at(1) == 0x80 && at(2) >= 0xA8 && at(2) <= 0xAE) ||
         (at(1) == 0x81 && at(2) >= 0xA6 && at(2) <= 0xA9);
}

std::string Masked(std::string_view text, bool terminal) {
  std::string s;
  for (size_t i = 0; i < text.size();) {
    const size_t n = Utf8CharLength(text.substr(i));
    if (n == 0) {
      const auto b = static_cast<unsigned char>(text[i]);
      s += (b >= 0x80 && b <= 0x9F) ? '?' : text[i];
      ++i;
      continue;
    }
    const std::string_view seq = text.substr(i, n);
    if (MaskedSequence(seq, terminal)) {
      s += '?';
    } else {
      s += seq;
    }
    i += n;
  }
  return s;
}

std::string Printable(std::string_view text) {
  return Masked(text, true);
}

// A CSV value: controls masked, a formula start defused with a quote.
std::string CsvValue(std::string_view text) {
  const bool formula = !text.empty() && std::string_view("=+-@\t\r").find(text[0]) != std::string_view::npos;
  return (formula ? "'" : "") + Masked(text, false);
}

// Nothing a terminal acts on: no C0, DEL, C1 (raw or as UTF-8), bidi or separator.
void CheckShowable(std::string_view line) {
  for (size_t i = 0; i < line.size();) {
    const size_t n = Utf8CharLength(line.substr(i));
    if (n == 0) {
      const auto b = static_cast<unsigned char>(line[i]);
      FUZZ_CHECK(b > 0x9F);
      ++i;
      continue;
    }
    FUZZ_CHECK(!MaskedSequence(line.substr(i, n), true));
    i += n;
  }
}

std::string RightAligned(std::string_view value, size_t width) {
  std::string s;
  if (value.size() < width) s.append(width - value.size(), ' ');
  s += value;
  return s;
}

void CheckJsonQuote(std::string_view text) {
  const std::string quoted = out::JsonQuote(text);
  FUZZ_CHECK(IsUtf8(quoted));
  JsonReader reader{quoted};
  const std::optional<std::string> decoded = reader.String();
  FUZZ_CHECK(decoded.has_value());
  FUZZ_CHECK(reader.AtEnd());
  FUZZ_CHECK(*decoded == JsonVisible(text));
}

void CheckJsonLine(std::string_view line, std::string_view event, const TextRow& c, int32_t age,
                   std::string_view timestamp) {
  FUZZ_CHECK(line.find('\n') == std::string_view::npos && line.find('\r') == std::string_view::npos);
  FUZZ_CHECK(IsUtf8(line));
  JsonReader reader{line};
  const auto members = reader.FlatObject();
  if (!members) std::fprintf(stderr, "not JSON: %s\n", fuzz::Escaped(line).c_str());
  FUZZ_CHECK(members.has_value());
  const std::pair<const char*, std::optional<std::string>> expected[] = {
      {"time", JsonVisible(timestamp)},    {"event", JsonVisible(event)},
      {"proto", JsonVisible(c.proto)},     {"pid", JsonVisible(c.pid)},
      {"process", JsonVisible(c.process)}, {"src_ip", JsonVisible(c.src_ip)},
      {"src_port", std::nullopt},          {"dst_ip", JsonVisible(c.dst_ip)},
      {"dst_port", std::nullopt},          {"state", JsonVisible(c.state)},
      {"age_seconds", std::nullopt},
  };
  FUZZ_CHECK(members->size() == std::size(expected));
  for (size_t i = 0; i < std::size(expected); ++i) {
    const auto& [key, value] = (*members)[i];
    FUZZ_CHECK(key == expected[i].first);
    FUZZ_CHECK(value.is_string == expected[i].second.has_value());
    if (expected[i].second) FUZZ_CHECK(value.text == *expected[i].second);
  }
  // Bare integers, no fraction or exponent.
  FUZZ_CHECK((*members)[6].second.text == std::to_string(c.src_port));
  FUZZ_CHECK((*members)[8].second.text == std::to_string(c.dst_port));
  FUZZ_CHECK((*members)[10].second.text == std::to_string(age));
}

void CheckTextLine(std::string_view line, std::string_view event, const TextRow& c, int32_t age,
                   std::string_view timestamp) {
  CheckShowable(line);
  std::string expected = Printable(timestamp);
  const std::pair<std::string, size_t> columns[] = {
      {Printable(event), 6},           {Printable(c.proto), 3},         {Printable(c.pid), 8},
      {Printable(c.process), 20},      {std::to_string(c.src_port), 5}, {Printable(c.dst_ip), 39},
      {std::to_string(c.dst_port), 5}, {Printable(c.state), 12},        {std::to_string(age), 6},
  };
  for (const auto& [value, width] : columns) expected += " " + RightAligned(value, width);
  FUZZ_CHECK(line == expected);
}

// RFC 4180 fields of one record; nullopt when it is not well-formed CSV.
std::optional<std::vector<std::pair<bool, std::string>>> CsvFields(std::string_view record) {
  std::vector<std::pair<bool, std::string>> fields;
  size_t pos = 0;
  while (true) {
    std::string field;
    bool quoted = false;
    if (pos < record.size() && record[pos] == '"') {
      quoted = true;
      ++pos;
      while (true) {
        if (pos >= record.size()) return std::nullopt;  // unterminated
        if (record[pos] == '"') {
          if (pos + 1 < record.size() && record[pos + 1] == '"') {
            field.push_back('"');
            pos += 2;
            continue;
          }
          ++pos;
          break;
        }
        field.push_back(record[pos++]);
      }
      if (pos < record.size() && record[pos] != ',') return std::nullopt;  // text after the closing quote
    } else {
      while (pos < record.size() && record[pos] != ',') {
        const char c = record[pos++];
        if (c == '"' || c == '\n' || c == '\r') return std::nullopt;
        field.push_back(c);
      }
    }
    fields.emplace_back(quoted, std::move(field));
    if (pos >= record.size()) return fields;
    ++pos;  // the comma
  }
}

void CheckCsvLine(std::string_view line, std::string_view event, const TextRow& c, int32_t age,
                  std::string_view timestamp) {
  const auto fields = CsvFields(line);
  if (!fields) std::fprintf(stderr, "not CSV: %s\n", fuzz::Escaped(line).c_str());
  FUZZ_CHECK(fields.has_value());
  FUZZ_CHECK(fields->size() == 11);
  for (unsigned char b : line) FUZZ_CHECK(b >= 0x20 && b != 0x7F);
  const std::pair<bool, std::string> expected[] = {
      {true, CsvValue(timestamp)},         {true, CsvValue(event)},
      {true, CsvValue(c.proto)},           {true, CsvValue(c.pid)},
      {true, CsvValue(c.process)},         {true, CsvValue(c.src_ip)},
      {false, std::to_string(c.src_port)}, {true, CsvValue(c.dst_ip)},
      {false, std::to_string(c.dst_port)}, {true, CsvValue(c.state)},
      {false, std::to_string(age)},
  };
  for (size_t i = 0; i < 11; ++i) FUZZ_CHECK((*fields)[i] == expected[i]);
}

// The program makes these fields itself (names, digits, dotted addresses), so
// they never hold a double quote; only the process name can.
std::string WithoutQuotes(std::string text) {
  for (char& c : text) {
    if (c == '"') c = '\'';
  }
  return text;
}

void CheckTimestamp(const sockvane::platform::CivilTime& t, std::string_view separator) {
  const std::string iso = out::TimestampText(t, sockvane::config::TimestampStyle::kIso8601, separator);
  const std::string plain = out::TimestampText(t, sockvane::config::TimestampStyle::kTime, separator);
  FUZZ_CHECK(plain.size() == 10 + 2 * separator.size());
  // Year 0 to 9999: the fixed-width form.
  if (t.year >= 0 && t.year <= 9999) {
    FUZZ_CHECK(iso.size() == 23);
    for (size_t i = 0; i < iso.size(); ++i) {
      const char want = "0000-00-00T00:00:00.000"[i];
      FUZZ_CHECK(want == '0' ? (iso[i] >= '0' && iso[i] <= '9') : iso[i] == want);
    }
  }
}

void CheckStats(FuzzedDataProvider& in) {
  sockvane::track::ProcessCounts counts;
  const int n = in.ConsumeIntegralInRange(0, 4);
  for (int i = 0; i < n; ++i) {
    counts.entries.push_back({in.ConsumeRandomLengthString(40), in.ConsumeIntegral<uint64_t>()});
  }
  out::StatsInput stats;
  stats.uptime_seconds = in.ConsumeIntegral<int64_t>();
  stats.new_count = in.ConsumeIntegral<uint64_t>();
  stats.closed_count = in.ConsumeIntegral<uint64_t>();
  stats.state_count = in.ConsumeIntegral<uint64_t>();
  stats.active = in.ConsumeIntegral<int32_t>();
  stats.process_counts = &counts;
  const std::string timestamp = WithoutQuotes(in.ConsumeRandomLengthString(30));
  const std::string eol = sockvane::config::kEol;
  using sockvane::config::Format;
  for (const Format format : {Format::kText, Format::kJsonl, Format::kCsv}) {
    const std::string report = out::FormatStatsReport(stats, timestamp, format);
    FUZZ_CHECK(report.size() >= eol.size() && report.ends_with(eol));
    size_t start = 0;
    while (start < report.size()) {
      const size_t end = report.find(eol, start);
      FUZZ_CHECK(end != std::string::npos);
      const std::string_view line = std::string_view(report).substr(start, end - start);
      if (format == Format::kJsonl) {
        JsonReader reader{line};
        FUZZ_CHECK(reader.FlatObject().has_value());
      } else if (format == Format::kText) {
        CheckShowable(line);
      } else {
        for (unsigned char b : line) FUZZ_CHECK(b >= 0x20 && b != 0x7F);
      }
      start = end + eol.size();
    }
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  FuzzedDataProvider in(data, size);
  const uint8_t mode = in.ConsumeIntegral<uint8_t>();

  using sockvane::config::Format;
  const auto kind = static_cast<sockvane::track::Event>((mode & 3) % 3);
  const std::string event(sockvane::track::EventName(kind));
  std::string separator = ":";
  if (mode & 4) separator = in.ConsumeRandomLengthString(3);
  const sockvane::platform::CivilTime when{
      in.ConsumeIntegralInRange(-99999, 99999), in.ConsumeIntegralInRange(1, 12),
      in.ConsumeIntegralInRange(1, 31),         in.ConsumeIntegralInRange(0, 23),
      in.ConsumeIntegralInRange(0, 59),         in.ConsumeIntegralInRange(0, 59),
      in.ConsumeIntegralInRange(0, 999)};
  std::string timestamp = out::TimestampText(
      when, (mode & 8) ? sockvane::config::TimestampStyle::kIso8601 : sockvane::config::TimestampStyle::kTime,
      separator);
  if (mode & 16) timestamp = in.ConsumeRandomLengthString(32);

  // A row as the source gives it; its texts are what the lines must show.
  TConn row;
  row.proto = in.ConsumeBool() ? sockvane::track::Proto::kTcp : sockvane::track::Proto::kUdp;
  row.pid = in.ConsumeIntegral<uint32_t>();
  row.process = sockvane::track::MakeProcessName(in.ConsumeRandomLengthString(64));
  for (uint8_t& byte : row.src_ip) byte = in.ConsumeIntegral<uint8_t>();
  for (uint8_t& byte : row.dst_ip) byte = in.ConsumeIntegral<uint8_t>();
  if (in.ConsumeBool()) row.dst_ip = sockvane::track::AddressFromIpv4(in.ConsumeIntegral<uint32_t>());
  row.state = in.ConsumeIntegral<uint32_t>();
  row.src_port = in.ConsumeIntegral<uint16_t>();
  row.dst_port = in.ConsumeIntegral<uint16_t>();
  row.first_seen = in.ConsumeIntegral<int64_t>();
  const TextRow c = sockvane::testing::TextsOfRow(row);
  const int32_t age = in.ConsumeIntegral<int32_t>();

  CheckTimestamp(when, separator);
  for (const std::string* field : std::initializer_list<const std::string*>{
           &event, &timestamp, &c.proto, &c.pid, &c.process, &c.src_ip, &c.dst_ip, &c.state}) {
    CheckJsonQuote(*field);
  }

  CheckJsonLine(out::FormatEvent(kind, row, age, timestamp, Format::kJsonl), event, c, age, timestamp);
  CheckTextLine(out::FormatEvent(kind, row, age, timestamp, Format::kText), event, c, age, timestamp);

  // Only the process field may hold a double quote now; the timestamp text is the caller's.
  const std::string csv_timestamp = WithoutQuotes(timestamp);
  CheckCsvLine(out::FormatEvent(kind, row, age, csv_timestamp, Format::kCsv), event, c, age, csv_timestamp);

  // A format list passes as the text layout.
  FUZZ_CHECK(out::FormatEvent(kind, row, age, timestamp, Format::kTextWithoutBanner) ==
             out::FormatEvent(kind, row, age, timestamp, Format::kText));

  CheckStats(in);
  return 0;
}
