#include "output/render.h"

#include <gtest/gtest.h>

#include "config/build_info.h"
#include "output/console.h"
#include "output/timestamp.h"

namespace sockvane::output {
namespace {

const std::string kEol = config::kEol;

track::TConn Browser(std::string state = "ESTABLISHED") {
  track::TConn row;
  row.proto = "TCP";
  row.pid = "4312";
  row.process = "browser.exe";
  row.src_ip = "192.168.1.20";
  row.src_port = 50123;
  row.dst_ip = "203.0.113.5";
  row.dst_port = 443;
  row.state = std::move(state);
  return row;
}

TEST(FormatEvent, TextLayoutWorkedExample) {
  EXPECT_EQ(FormatEvent("new", Browser(), 0, "14:03:07.045", "text"),
            "14:03:07.045    new TCP     4312          browser.exe 50123                             "
            "203.0.113.5   443  ESTABLISHED      0");
  EXPECT_EQ(FormatEvent("state", Browser("CLOSE_WAIT"), 2, "14:03:09.512", "text"),
            "14:03:09.512  state TCP     4312          browser.exe 50123                             "
            "203.0.113.5   443   CLOSE_WAIT      2");
  EXPECT_EQ(FormatEvent("closed", Browser("CLOSE_WAIT"), 4, "14:03:11.020", "text"),
            "14:03:11.020 closed TCP     4312          browser.exe 50123                             "
            "203.0.113.5   443   CLOSE_WAIT      4");
  EXPECT_EQ(FormatEvent("new", Browser(), 0, "14:03:07.045", "text").size(), 125u);
  // Any format that is not exactly jsonl or csv is text.
  EXPECT_EQ(FormatEvent("new", Browser(), 0, "t", "JSONL"), FormatEvent("new", Browser(), 0, "t", "text"));
}

TEST(FormatEvent, TextColumnsGrowAndNeverCut) {
  track::TConn row = Browser();
  row.process = "a-very-long-process-name.exe";  // 28 bytes
  const std::string wide = FormatEvent("new", row, 1234567, "14:03:07.045", "text");
  EXPECT_NE(wide.find(" a-very-long-process-name.exe 50123 "), std::string::npos) << wide;
  EXPECT_EQ(wide.substr(wide.size() - 8), " 1234567");
  EXPECT_EQ(wide.size(), 125u + 8 + 1);

  const std::string iso = FormatEvent("new", Browser(), 0, "2024-05-01T14:03:07.045", "text");
  EXPECT_EQ(iso.size(), 136u);

  track::TConn empty;
  EXPECT_EQ(FormatEvent("new", empty, 0, "T", "text"), "T    new" + std::string(1 + 3 + 1 + 8 + 1 + 20, ' ') +
                                                           "     0" + std::string(1 + 39, ' ') + "     0" +
                                                           std::string(1 + 12, ' ') + "      0");
}

TEST(FormatEvent, TextLayoutReplacesControlBytes) {
  track::TConn row = Browser();
  row.process = "evil\x1b[2J\r\nfake\x7f.exe";
  row.state = "EST\tAB";
  const std::string line = FormatEvent("new", row, 0, "14:03:07.045", "text");
  EXPECT_NE(line.find(" evil?[2J??fake?.exe "), std::string::npos) << line;
  EXPECT_NE(line.find(" EST?AB "), std::string::npos) << line;
  for (char c : line) EXPECT_FALSE(static_cast<unsigned char>(c) < 0x20 || c == 0x7F);
  // Bytes from 0x80 up are left alone.
  row.process = "caf\xE9.exe";
  EXPECT_NE(FormatEvent("new", row, 0, "t", "text").find("caf\xE9.exe"), std::string::npos);
}

TEST(FormatEvent, JsonWorkedExample) {
  EXPECT_EQ(FormatEvent("new", Browser(), 0, "14:03:07.045", "jsonl"),
            "{\"time\":\"14:03:07.045\",\"event\":\"new\",\"proto\":\"TCP\",\"pid\":\"4312\",\"process\":"
            "\"browser.exe\",\"src_ip\":\"192.168.1.20\",\"src_port\":50123,\"dst_ip\":\"203.0.113.5\","
            "\"dst_port\":443,\"state\":\"ESTABLISHED\",\"age_seconds\":0}");
}

TEST(FormatEvent, CsvWorkedExample) {
  EXPECT_EQ(
      FormatEvent("new", Browser(), 0, "14:03:07.045", "csv"),
      "\"14:03:07.045\",\"new\",\"TCP\",\"4312\",\"browser.exe\",\"192.168.1.20\",50123,\"203.0.113.5\","
      "443,\"ESTABLISHED\",0");
}

TEST(FormatEvent, QuotesAndBackslashesPerFormat) {
  track::TConn row = Browser();
  row.process = "say \"hi\"\\x";
  row.state = "A\"B";
  EXPECT_NE(FormatEvent("new", row, 0, "t", "jsonl").find("\"process\":\"say \\\"hi\\\"\\\\x\""),
            std::string::npos);
  const std::string csv = FormatEvent("new", row, 0, "t", "csv");
  EXPECT_NE(csv.find(",\"say \"\"hi\"\"\\x\","), std::string::npos) << csv;
  EXPECT_NE(csv.find(",\"A\"B\","), std::string::npos) << csv;  // only the process field is doubled
}

TEST(FormatEvent, NegativeAgeHasAMinusSignInEveryFormat) {
  const track::TConn row = Browser();
  const std::string text = FormatEvent("closed", row, -3600, "t", "text");
  EXPECT_EQ(text.substr(text.size() - 7), "  -3600");
  EXPECT_NE(FormatEvent("closed", row, -3600, "t", "jsonl").find(",\"age_seconds\":-3600}"),
            std::string::npos);
  const std::string csv = FormatEvent("closed", row, -3600, "t", "csv");
  EXPECT_EQ(csv.substr(csv.size() - 6), ",-3600");
  EXPECT_NE(FormatEvent("closed", row, INT32_MIN, "t", "csv").find(",-2147483648"), std::string::npos);
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
    } else {
      expected += static_cast<char>(b);
    }
  }
  expected += '"';
  EXPECT_EQ(JsonQuote(all), expected);
  EXPECT_EQ(JsonQuote(""), "\"\"");
  EXPECT_EQ(JsonQuote(std::string("a\0b", 3)), "\"a?b\"");
}

TEST(SafeText, ReplacesControlBytesOnly) {
  std::string all;
  for (int b = 0; b < 256; ++b) all += static_cast<char>(b);
  const std::string safe = SafeText(all);
  ASSERT_EQ(safe.size(), 256u);
  for (int b = 0; b < 256; ++b) {
    const char expected = (b < 0x20 || b == 0x7F) ? '?' : static_cast<char>(b);
    EXPECT_EQ(safe[b], expected) << b;
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
  EXPECT_EQ(FormatStatsReport(stats, "14:04:07.046", "text"),
            "STATS uptime=60s new=12 closed=10 state=3 active=25" + kEol +
                "TOP PROCESSES (observed NEW sockets):" + kEol + "  browser.exe (4312): 9" + kEol +
                "  mailer.exe (2210): 3" + kEol);
  EXPECT_EQ(FormatStatsReport(stats, "14:04:07.046", "csv"),
            "# STATS uptime=60s new=12 closed=10 state=3 active=25" + kEol);
  EXPECT_EQ(
      FormatStatsReport(stats, "14:04:07.046", "jsonl"),
      "{\"type\":\"stats\",\"time\":\"14:04:07.046\",\"new\":12,\"closed\":10,\"state\":3,\"active\":25}" +
          kEol);
}

TEST(FormatStatsReport, EmptyNegativeAndUnsafe) {
  StatsInput empty;
  EXPECT_EQ(FormatStatsReport(empty, "t", "text"), "STATS uptime=0s new=0 closed=0 state=0 active=0" + kEol +
                                                       "TOP PROCESSES (observed NEW sockets):" + kEol);
  StatsInput back{-3600, 1, 0, 0, 1, nullptr};
  EXPECT_EQ(FormatStatsReport(back, "t", "csv"),
            "# STATS uptime=-3600s new=1 closed=0 state=0 active=1" + kEol);
  track::ProcessCounts counts;
  counts.entries = {{"x\x1b]0;owned\x07 (1)", 18446744073709551615ull}};
  StatsInput unsafe{0, 0, 0, 0, 0, &counts};
  const std::string report = FormatStatsReport(unsafe, "t", "text");
  EXPECT_NE(report.find("  x?]0;owned? (1): 18446744073709551615" + kEol), std::string::npos) << report;
}

double g_now = 0;
double TestClock() {
  return g_now;
}

TEST(RenderEvent, SelectsByEventsWritesTheLineAndTakesTheTimeFromTheClock) {
  config::Settings settings;
  RenderContext context{&settings, ":", TestClock};
  g_now = DaysFromCivil({2024, 5, 1, 14, 3, 7, 45});
  std::string out;
  CaptureOutForTesting(&out);
  RenderEvent(context, "new", Browser(), 0);
  RenderEvent(context, "closed", Browser(), 4);  // not selected by default
  RenderEvent(context, "state", Browser(), 2);
  settings.events = "state, CLOSED";
  settings.output_format = "csv";
  settings.timestamp_format = "iso8601";
  RenderEvent(context, "new", Browser(), 0);
  RenderEvent(context, "closed", Browser(), 4);
  context.time_separator = ".";
  settings.timestamp_format = "time";
  settings.output_format = "jsonl";
  RenderEvent(context, "state", Browser(), 2);
  CaptureOutForTesting(nullptr);
  EXPECT_EQ(out, FormatEvent("new", Browser(), 0, "14:03:07.045", "text") + kEol +
                     FormatEvent("closed", Browser(), 4, "2024-05-01T14:03:07.045", "csv") + kEol +
                     FormatEvent("state", Browser(), 2, "14.03.07.045", "jsonl") + kEol);
}

TEST(PrintStatsReport, WritesTheFormattedReport) {
  config::Settings settings;
  settings.output_format = "jsonl";
  RenderContext context{&settings, ":", TestClock};
  g_now = DaysFromCivil({2024, 5, 1, 14, 4, 7, 46});
  const track::ProcessCounts counts = TwoProcesses();
  std::string out;
  CaptureOutForTesting(&out);
  PrintStatsReport(context, StatsInput{60, 12, 10, 3, 25, &counts});
  CaptureOutForTesting(nullptr);
  EXPECT_EQ(
      out,
      "{\"type\":\"stats\",\"time\":\"14:04:07.046\",\"new\":12,\"closed\":10,\"state\":3,\"active\":25}" +
          kEol);
}

}  // namespace
}  // namespace sockvane::output
