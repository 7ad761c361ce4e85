#include "output/render.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <optional>
#include <utility>
#include <vector>

#include "config/build_info.h"
#include "output/console.h"
#include "output/safe_text.h"
#include "output/timestamp.h"
#include "support/text_rows.h"

namespace sockvane::output {
namespace {

using config::Format;
using track::Event;

const std::string kEol = config::kEol;

track::TConn Browser(std::string state = "ESTABLISHED") {
  return testing::RowFromTexts(
      {"TCP", "4312", "browser.exe", "192.168.1.20", 50123, "203.0.113.5", 443, std::move(state)});
}

TEST(FormatEvent, TextLayoutWorkedExample) {
  EXPECT_EQ(FormatEvent(Event::kNew, Browser(), 0, "14:03:07.045", Format::kText),
            "14:03:07.045    new TCP     4312          browser.exe 50123                             "
            "203.0.113.5   443  ESTABLISHED      0");
  EXPECT_EQ(FormatEvent(Event::kState, Browser("CLOSE_WAIT"), 2, "14:03:09.512", Format::kText),
            "14:03:09.512  state TCP     4312          browser.exe 50123                             "
            "203.0.113.5   443   CLOSE_WAIT      2");
  EXPECT_EQ(FormatEvent(Event::kClosed, Browser("CLOSE_WAIT"), 4, "14:03:11.020", Format::kText),
            "14:03:11.020 closed TCP     4312          browser.exe 50123                             "
            "203.0.113.5   443   CLOSE_WAIT      4");
  EXPECT_EQ(FormatEvent(Event::kNew, Browser(), 0, "14:03:07.045", Format::kText).size(), 125u);
  // Any format that is not exactly jsonl or csv is text.
  EXPECT_EQ(FormatEvent(Event::kNew, Browser(), 0, "t", Format::kTextWithoutBanner),
            FormatEvent(Event::kNew, Browser(), 0, "t", Format::kText));
}

TEST(FormatEvent, TextColumnsGrowAndNeverCut) {
  track::TConn row = Browser();
  row.process = track::MakeProcessName("a-very-long-process-name.exe");  // 28 bytes
  const std::string wide = FormatEvent(Event::kNew, row, 1234567, "14:03:07.045", Format::kText);
  EXPECT_NE(wide.find(" a-very-long-process-name.exe 50123 "), std::string::npos) << wide;
  EXPECT_EQ(wide.substr(wide.size() - 8), " 1234567");
  EXPECT_EQ(wide.size(), 125u + 8 + 1);

  const std::string iso = FormatEvent(Event::kNew, Browser(), 0, "2024-05-01T14:03:07.045", Format::kText);
  EXPECT_EQ(iso.size(), 136u);

  // A row without a process name: a column of spaces; the numbers of an
  // empty row show as themselves.
  track::TConn empty;
  EXPECT_EQ(FormatEvent(Event::kNew, empty, 0, "T", Format::kText),
            "T    new TCP        0" + std::string(1 + 20, ' ') + "     0" + std::string(1 + 37, ' ') +
                "::     0" + std::string(1 + 11, ' ') + "0      0");
}

TEST(FormatEvent, TextLayoutReplacesControlBytes) {
  track::TConn row = Browser();
  row.process = track::MakeProcessName("evil\x1b[2J\r\nfake\x7f.exe");
  row.state = 13;  // no name: shown as its number
  const std::string line = FormatEvent(Event::kNew, row, 0, "14:03:07.045", Format::kText);
  EXPECT_NE(line.find(" evil?[2J??fake?.exe "), std::string::npos) << line;
  EXPECT_NE(line.find("   13      0"), std::string::npos) << line;
  for (char c : line) EXPECT_FALSE(static_cast<unsigned char>(c) < 0x20 || c == 0x7F);
  // Bytes from 0x80 up are left alone.
  row.process = track::MakeProcessName("caf\xE9.exe");
  EXPECT_NE(FormatEvent(Event::kNew, row, 0, "t", Format::kText).find("caf\xE9.exe"), std::string::npos);
}

TEST(FormatEvent, JsonWorkedExample) {
  EXPECT_EQ(FormatEvent(Event::kNew, Browser(), 0, "14:03:07.045", Format::kJsonl),
            "{\"time\":\"14:03:07.045\",\"event\":\"new\",\"proto\":\"TCP\",\"pid\":\"4312\",\"process\":"
            "\"browser.exe\",\"src_ip\":\"192.168.1.20\",\"src_port\":50123,\"dst_ip\":\"203.0.113.5\","
            "\"dst_port\":443,\"state\":\"ESTABLISHED\",\"age_seconds\":0}");
}

TEST(FormatEvent, CsvWorkedExample) {
  EXPECT_EQ(
      FormatEvent(Event::kNew, Browser(), 0, "14:03:07.045", Format::kCsv),
      "\"14:03:07.045\",\"new\",\"TCP\",\"4312\",\"browser.exe\",\"192.168.1.20\",50123,\"203.0.113.5\","
      "443,\"ESTABLISHED\",0");
}

TEST(FormatEvent, ExtraFieldsFollowInTheOrderGivenInEveryFormat) {
  using config::ExtraField;
  track::TConn seen = Browser();
  seen.uid = 65534;
  seen.direction = track::Direction::kIn;
  seen.owner_from = track::OwnerFrom::kFd;
  seen.process = track::MakeProcessName("browser.exe", "=sv\x1b[2J-1.scope");
  const track::TConn unknown = Browser();
  const std::vector<ExtraField> all = {ExtraField::kOwnerFrom, ExtraField::kUnit, ExtraField::kDirection,
                                       ExtraField::kUser, ExtraField::kUid};
  struct Case {
    const track::TConn* row;
    std::vector<ExtraField> extra;
    std::string user;
    std::string json_tail, csv_tail;
  };
  const Case cases[] = {
      {&seen, all, "nobody",
       R"(,"owner_from":"fd","unit":"=sv?[2J-1.scope","direction":"in","user":"nobody","uid":65534})",
       R"(,"fd","'=sv?[2J-1.scope","in","nobody",65534)"},
      {&unknown, all, "", R"(,"owner_from":"","unit":"","direction":"","user":"","uid":null})",
       R"(,"","","","",)"},
      {&seen, {ExtraField::kUid}, "", R"("age_seconds":0,"uid":65534})", R"(,0,65534)"},
  };
  for (const Case& c : cases) {
    const std::string json = FormatEvent(Event::kNew, *c.row, 0, "t", Format::kJsonl, c.extra, c.user);
    EXPECT_EQ(json.substr(json.size() - std::min(json.size(), c.json_tail.size())), c.json_tail);
    const std::string csv = FormatEvent(Event::kNew, *c.row, 0, "t", Format::kCsv, c.extra, c.user);
    EXPECT_EQ(csv.substr(csv.size() - std::min(csv.size(), c.csv_tail.size())), c.csv_tail);
    // As many CSV fields as header names (no field holds a comma here).
    const std::string names = ColumnHeader(Format::kCsv, c.extra);
    EXPECT_EQ(std::count(csv.begin(), csv.end(), ','), std::count(names.begin(), names.end(), ','));
    // Text: the fixed header is 2 wider than a line of the time style; past
    // it each label ends where its values end, one blank before the next.
    const std::string text =
        FormatEvent(Event::kNew, *c.row, 0, "14:03:07.045", Format::kText, c.extra, c.user);
    const std::string header = ColumnHeader(Format::kText, c.extra).substr(2);
    ASSERT_EQ(text.size(), header.size()) << text;
    EXPECT_EQ(text.substr(0, 125), FormatEvent(Event::kNew, *c.row, 0, "14:03:07.045", Format::kText));
    for (size_t i = 125; i + 1 < header.size(); ++i) {
      if (header[i] != ' ' && header[i + 1] == ' ') {
        EXPECT_EQ(text[i + 1], ' ') << i << ": " << text;
      }
    }
  }
  EXPECT_EQ(ColumnHeader(Format::kCsv, all),
            "time,event,proto,pid,process,src_ip,src_port,dst_ip,dst_port,state,age_seconds,owner_from,unit,"
            "direction,user,uid");
  EXPECT_EQ(ColumnHeader(Format::kJsonl, all), "");
}

TEST(FormatEvent, QuotesAndBackslashesPerFormat) {
  track::TConn row = Browser();
  row.process = track::MakeProcessName("say \"hi\"\\x");
  row.state = 4294967295u;
  EXPECT_NE(FormatEvent(Event::kNew, row, 0, "t", Format::kJsonl).find("\"process\":\"say \\\"hi\\\"\\\\x\""),
            std::string::npos);
  const std::string csv = FormatEvent(Event::kNew, row, 0, "t", Format::kCsv);
  EXPECT_NE(csv.find(",\"say \"\"hi\"\"\\x\","), std::string::npos) << csv;
  EXPECT_NE(csv.find(",\"4294967295\","), std::string::npos) << csv;
}

TEST(FormatEvent, NegativeAgeHasAMinusSignInEveryFormat) {
  const track::TConn row = Browser();
  const std::string text = FormatEvent(Event::kClosed, row, -3600, "t", Format::kText);
  EXPECT_EQ(text.substr(text.size() - 7), "  -3600");
  EXPECT_NE(FormatEvent(Event::kClosed, row, -3600, "t", Format::kJsonl).find(",\"age_seconds\":-3600}"),
            std::string::npos);
  const std::string csv = FormatEvent(Event::kClosed, row, -3600, "t", Format::kCsv);
  EXPECT_EQ(csv.substr(csv.size() - 6), ",-3600");
  EXPECT_NE(FormatEvent(Event::kClosed, row, INT32_MIN, "t", Format::kCsv).find(",-2147483648"),
            std::string::npos);
}

TEST(JsonQuote, EveryByteClass) {
  std::string all;
  for (int b = 0; b < 256; ++b) all += static_cast<char>(b);
  std::string expected = "\"";
  for (int b = 0; b < 256; ++b) {
    if (b == '"') {
      expected += "\\\"";
    } else if (b == '\\') {
      expected += "\\\\";
    } else if (b == '\n') {
      expected += "\\n";
    } else if (b == '\r') {
      expected += "\\r";
    } else if (b == '\t') {
      expected += "\\t";
    } else if (b < 0x20) {
      expected += '?';
    } else if (b >= 0x80) {
      // In this run no byte from 0x80 up starts a well-formed sequence.
      char escape[8];
      std::snprintf(escape, sizeof escape, "\\u%04x", b);
      expected += escape;
    } else {
      expected += static_cast<char>(b);
    }
  }
  expected += '"';
  EXPECT_EQ(JsonQuote(all), expected);
  EXPECT_EQ(JsonQuote(""), "\"\"");
  EXPECT_EQ(JsonQuote(std::string("a\0b", 3)), "\"a?b\"");
}

TEST(JsonQuote, WellFormedUtf8PassesEveryOtherHighByteIsEscaped) {
  const struct {
    std::string text, quoted;
  } cases[] = {
      {"caf\xC3\xA9", "\"caf\xC3\xA9\""},                        // U+00E9
      {"caf\xE9sh", "\"caf\\u00e9sh\""},                         // Latin-1, not UTF-8
      {"\xE2\x82\xAC", "\"\xE2\x82\xAC\""},                      // U+20AC
      {"\xF0\x9F\x98\x80", "\"\xF0\x9F\x98\x80\""},              // U+1F600
      {"\xF4\x8F\xBF\xBF", "\"\xF4\x8F\xBF\xBF\""},              // U+10FFFF, the last
      {"\xC2\x80\xE2\x80\xAE", "\"\xC2\x80\xE2\x80\xAE\""},      // C1 and bidi are valid JSON
      {"a\x7F", "\"a\x7F\""},                                    // so is DEL
      {"\xC0\xAF", "\"\\u00c0\\u00af\""},                        // overlong '/'
      {"\xE0\x80\xAF", "\"\\u00e0\\u0080\\u00af\""},             // overlong, three bytes
      {"\xED\xA0\x80", "\"\\u00ed\\u00a0\\u0080\""},             // surrogate U+D800
      {"\xF4\x90\x80\x80", "\"\\u00f4\\u0090\\u0080\\u0080\""},  // past U+10FFFF
      {"\xE2\x82", "\"\\u00e2\\u0082\""},                        // cut short at the end
      {"\xE2\x82x", "\"\\u00e2\\u0082x\""},                      // cut short before ASCII
      {"\xE2\xE2\x82\xAC", "\"\\u00e2\xE2\x82\xAC\""},           // a bad lead, then a good one
      {"\x80\xBF\xFE\xFF", "\"\\u0080\\u00bf\\u00fe\\u00ff\""},
  };
  for (const auto& c : cases) EXPECT_EQ(JsonQuote(c.text), c.quoted) << c.quoted;
}

TEST(SafeText, ReplacesControlBytesOnly) {
  std::string all;
  for (int b = 0; b < 256; ++b) all += static_cast<char>(b);
  const std::string safe = SafeText(all);
  ASSERT_EQ(safe.size(), 256u);
  for (int b = 0; b < 256; ++b) {
    // Alone, 0x80-0x9F are the 8-bit C1 controls.
    const char expected = (b < 0x20 || (b >= 0x7F && b <= 0x9F)) ? '?' : static_cast<char>(b);
    EXPECT_EQ(safe[b], expected) << b;
  }
}

TEST(SafeText, OneQuestionMarkPerMaskedCharacter) {
  const struct {
    std::string text, terminal, controls;  // SafeText, and the CSV mask
  } cases[] = {
      {"a\x1b[2Jb", "a?[2Jb", "a?[2Jb"},
      {"\xC2\x80x\xC2\x9F", "?x?", "?x?"},                           // C1 as UTF-8
      {"\xC2\xA0\xC3\xA9", "\xC2\xA0\xC3\xA9", "\xC2\xA0\xC3\xA9"},  // U+00A0, U+00E9
      {"\x9B"
       "2J",
       "?2J", "?2J"},                     // 8-bit CSI
      {"caf\xE9", "caf\xE9", "caf\xE9"},  // Latin-1 stays
      {"gpj.\xE2\x80\xAE"
       "exe",
       "gpj.?exe",
       "gpj.\xE2\x80\xAE"
       "exe"},  // U+202E
      {"\xE2\x80\xAA\xE2\x80\xAD\xE2\x81\xA6\xE2\x81\xA9", "????",
       "\xE2\x80\xAA\xE2\x80\xAD\xE2\x81\xA6\xE2\x81\xA9"},                  // U+202A, 202D, 2066, 2069
      {"a\xE2\x80\xA8z\xE2\x80\xA9", "a?z?", "a\xE2\x80\xA8z\xE2\x80\xA9"},  // U+2028, U+2029
      {"\xE2\x80\xA7\xE2\x80\xAF\xE2\x81\xA5\xE2\x81\xAA",                   // neighbours stay
       "\xE2\x80\xA7\xE2\x80\xAF\xE2\x81\xA5\xE2\x81\xAA",
       "\xE2\x80\xA7\xE2\x80\xAF\xE2\x81\xA5\xE2\x81\xAA"},
      {"\xE2\x80", "\xE2?", "\xE2?"},              // cut short: the lead stays, 0x80 is a C1 byte
      {"\xED\xA0\x80", "\xED\xA0?", "\xED\xA0?"},  // surrogate: bytes alone
      {"x\x7F\ty\r\n", "x??y??", "x??y??"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(SafeText(c.text), c.terminal) << c.terminal;
    std::string controls;
    AppendMasked(controls, c.text, MaskSet::kControls);
    EXPECT_EQ(controls, c.controls) << c.controls;
  }
}

TEST(PlainPrefixLength, StopsAtTheFirstByteOutsidePrintableAscii) {
  for (std::size_t length = 0; length <= 24; ++length) {
    std::string plain;
    for (std::size_t i = 0; i < length; ++i) plain += static_cast<char>(i % 2 == 0 ? 0x20 : 0x7E);
    EXPECT_EQ(PlainPrefixLength(plain), length);
    for (std::size_t at = 0; at < length; ++at) {
      for (const unsigned char bad : {0x00, 0x1F, 0x7F, 0x80, 0x9F, 0xC3, 0xFF}) {
        std::string text = plain;
        text[at] = static_cast<char>(bad);
        EXPECT_EQ(PlainPrefixLength(text), at) << "length " << length << " byte " << int{bad} << " at " << at;
      }
    }
  }
}

TEST(Utf8SequenceLength, WellFormedSequencesOnly) {
  const struct {
    std::string text;
    std::size_t length;
    uint32_t code_point;
  } cases[] = {
      {"", 0, 0},
      {"A", 1, 0x41},
      {std::string(1, '\0'), 1, 0},
      {"\xC2\x80", 2, 0x80},
      {"\xDF\xBF", 2, 0x7FF},
      {"\xE0\xA0\x80", 3, 0x800},
      {"\xED\x9F\xBF", 3, 0xD7FF},
      {"\xEE\x80\x80", 3, 0xE000},
      {"\xEF\xBF\xBF", 3, 0xFFFF},
      {"\xF0\x90\x80\x80", 4, 0x10000},
      {"\xF4\x8F\xBF\xBF", 4, 0x10FFFF},
      {"\xC3\xA9xyz", 2, 0xE9},  // only the first sequence counts
      {"\x80", 0, 0},
      {"\xC1\xBF", 0, 0},
      {"\xE0\x9F\xBF", 0, 0},
      {"\xED\xA0\x80", 0, 0},
      {"\xF0\x8F\xBF\xBF", 0, 0},
      {"\xF4\x90\x80\x80", 0, 0},
      {"\xF5\x80\x80\x80", 0, 0},
      {"\xC3", 0, 0},
      {"\xC3\x41", 0, 0},
      {"\xE2\x82\x41", 0, 0},
  };
  for (const auto& c : cases) {
    uint32_t code_point = 0;
    EXPECT_EQ(Utf8SequenceLength(c.text, code_point), c.length) << c.text;
    if (c.length != 0) {
      EXPECT_EQ(code_point, c.code_point) << c.text;
    }
  }
}

TEST(FormatEvent, TextColumnsAlignOnTheMaskedText) {
  track::TConn row = Browser();
  row.process = track::MakeProcessName(
      "a\xE2\x80\xAE"
      "b");  // shown as a?b: three columns, padded to 20
  const std::string line = FormatEvent(Event::kNew, row, 0, "14:03:07.045", Format::kText);
  EXPECT_EQ(line.size(), 125u) << line;
  EXPECT_NE(line.find(std::string(17, ' ') + "a?b 50123"), std::string::npos) << line;
}

TEST(FormatEvent, CsvMasksControlsAndDefusesFormulas) {
  const struct {
    std::string process, field;
  } cases[] = {
      {"=HYPERLINK(\"http://x\")", "\"'=HYPERLINK(\"\"http://x\"\")\""},
      {"+1", "\"'+1\""},
      {"-2", "\"'-2\""},
      {"@SUM(A1)", "\"'@SUM(A1)\""},
      {"\tx", "\"'?x\""},
      {"\rx", "\"'?x\""},
      {"a=b", "\"a=b\""},
      {"evil\x1b]0;T\x07\r\n", "\"evil?]0;T???\""},
      {"\x1b[2J", "\"?[2J\""},
      {"x\x9B"
       "2J\xC2\x85y",
       "\"x?2J?y\""},
      {"caf\xE9\xE2\x80\xAE", "\"caf\xE9\xE2\x80\xAE\""},  // other bytes are kept
      {"", "\"\""},
  };
  for (const auto& c : cases) {
    track::TConn row = Browser();
    row.process = track::MakeProcessName(c.process);
    const std::string csv = FormatEvent(Event::kNew, row, 0, "t", Format::kCsv);
    EXPECT_NE(csv.find(",\"4312\"," + c.field + ",\"192.168.1.20\","), std::string::npos) << csv;
  }
}

track::ProcessCounts TwoProcesses() {
  track::ProcessCounts counts;
  counts.entries = {{"browser.exe (4312)", 9}, {"mailer.exe (2210)", 3}};
  return counts;
}

TEST(FormatStatsReport, WorkedExampleInThreeForms) {
  const track::ProcessCounts counts = TwoProcesses();
  StatsInput stats{60, 12, 10, 3, 25, &counts};
  EXPECT_EQ(FormatStatsReport(stats, "14:04:07.046", Format::kText),
            "STATS uptime=60s new=12 closed=10 state=3 active=25" + kEol +
                "TOP PROCESSES (observed NEW sockets):" + kEol + "  browser.exe (4312): 9" + kEol +
                "  mailer.exe (2210): 3" + kEol);
  EXPECT_EQ(FormatStatsReport(stats, "14:04:07.046", Format::kCsv),
            "# STATS uptime=60s new=12 closed=10 state=3 active=25" + kEol);
  EXPECT_EQ(
      FormatStatsReport(stats, "14:04:07.046", Format::kJsonl),
      "{\"type\":\"stats\",\"time\":\"14:04:07.046\",\"new\":12,\"closed\":10,\"state\":3,\"active\":25}" +
          kEol);
}

TEST(FormatStatsReport, EmptyNegativeAndUnsafe) {
  StatsInput empty;
  EXPECT_EQ(FormatStatsReport(empty, "t", Format::kText), "STATS uptime=0s new=0 closed=0 state=0 active=0" +
                                                              kEol +
                                                              "TOP PROCESSES (observed NEW sockets):" + kEol);
  StatsInput back{-3600, 1, 0, 0, 1, nullptr};
  EXPECT_EQ(FormatStatsReport(back, "t", Format::kCsv),
            "# STATS uptime=-3600s new=1 closed=0 state=0 active=1" + kEol);
  track::ProcessCounts counts;
  counts.entries = {{"x\x1b]0;owned\x07 (1)", 18446744073709551615ull}};
  StatsInput unsafe{0, 0, 0, 0, 0, &counts};
  const std::string report = FormatStatsReport(unsafe, "t", Format::kText);
  EXPECT_NE(report.find("  x?]0;owned? (1): 18446744073709551615" + kEol), std::string::npos) << report;
}

platform::CivilTime g_now;
platform::CivilTime TestClock(platform::LocalTimeCache&) {
  return g_now;
}

TEST(RenderEvent, SelectsByEventsWritesTheLineAndTakesTheTimeFromTheClock) {
  platform::Clock clock;
  clock.local_time = TestClock;
  std::string captured;
  Console console{"", &captured};
  RenderContext context = MakeRenderContext(config::Settings(), clock, console, ":");
  g_now = {2024, 5, 1, 14, 3, 7, 45};
  RenderEvent(context, Event::kNew, Browser(), 0);
  RenderEvent(context, Event::kClosed, Browser(), 4);  // not selected by default
  RenderEvent(context, Event::kState, Browser(), 2);
  context.events = track::EventSet().set(track::Bit(Event::kState)).set(track::Bit(Event::kClosed));
  context.format = Format::kCsv;
  context.timestamp = config::TimestampStyle::kIso8601;
  context.stamp.clear();  // a run keeps its style: the cache knows only the time
  RenderEvent(context, Event::kNew, Browser(), 0);
  RenderEvent(context, Event::kClosed, Browser(), 4);
  context.time_separator = ".";
  context.timestamp = config::TimestampStyle::kTime;
  context.stamp.clear();
  context.format = Format::kJsonl;
  RenderEvent(context, Event::kState, Browser(), 2);
  FlushOut(console);
  EXPECT_EQ(captured, FormatEvent(Event::kNew, Browser(), 0, "14:03:07.045", Format::kText) + kEol +
                          FormatEvent(Event::kClosed, Browser(), 4, "2024-05-01T14:03:07.045", Format::kCsv) +
                          kEol + FormatEvent(Event::kState, Browser(), 2, "14.03.07.045", Format::kJsonl) +
                          kEol);
}

std::vector<uint32_t> g_looked_up;
std::optional<std::string> TestUsers(uint32_t uid) {
  g_looked_up.push_back(uid);
  return uid == 65534 ? std::optional<std::string>("nobody") : std::nullopt;
}

TEST(RenderEvent, LooksUpEachUserOnceAndOnlyWhenAsked) {
  platform::Clock clock;
  clock.local_time = TestClock;
  std::string captured;
  Console console{"", &captured};
  RenderContext context = MakeRenderContext(config::Settings(), clock, console, ":");
  context.users.lookup = TestUsers;
  context.format = Format::kCsv;
  track::TConn row = Browser();
  std::string want;
  const std::pair<uint32_t, std::string> lines[] = {
      {4242, ""}, {65534, "nobody"}, {65534, "nobody"}, {4242, "4242"}, {track::kNoUid, ""}};
  for (const auto& [uid, user] : lines) {
    row.uid = uid;
    RenderEvent(context, Event::kNew, row, 0);
    want += FormatEvent(Event::kNew, row, 0, context.stamp, Format::kCsv, context.extra, user) + kEol;
    context.extra = {config::ExtraField::kUser};  // the first line does not ask
  }
  FlushOut(console);
  EXPECT_EQ(g_looked_up, (std::vector<uint32_t>{65534, 4242}));
  EXPECT_EQ(captured, want);
}

TEST(PrintStatsReport, WritesTheFormattedReport) {
  config::Settings settings;
  settings.format = Format::kJsonl;
  platform::Clock clock;
  clock.local_time = TestClock;
  std::string captured;
  Console console{"", &captured};
  RenderContext context = MakeRenderContext(settings, clock, console, ":");
  g_now = {2024, 5, 1, 14, 4, 7, 46};
  const track::ProcessCounts counts = TwoProcesses();
  PrintStatsReport(context, StatsInput{60, 12, 10, 3, 25, &counts});
  EXPECT_EQ(
      captured,
      "{\"type\":\"stats\",\"time\":\"14:04:07.046\",\"new\":12,\"closed\":10,\"state\":3,\"active\":25}" +
          kEol);
}

}  // namespace
}  // namespace sockvane::output
