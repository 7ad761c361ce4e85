#include "config/options.h"

#include <gtest/gtest.h>

#include <fstream>
#include <functional>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

#include "config/build_info.h"

namespace sockvane::config {
namespace {

using Args = std::vector<std::string>;
using Edit = std::function<void(Settings&)>;

struct RunCase {
  Args args;
  Edit edit;  // applied to the defaults to give the expected settings
};

TEST(ParseArgumentsTest, AcceptedCommandLines) {
  const std::vector<RunCase> cases = {
      {{}, [](Settings&) {}},
      {{"--ipv6"}, [](Settings& s) { s.ipv6 = true; }},
      {{"--ipv6", "--ipv6"}, [](Settings& s) { s.ipv6 = true; }},
      {{"--process", "--once"}, [](Settings& s) { s.process_filter = "--once"; }},
      {{"--proto", "--all"}, [](Settings& s) { s.proto_filter = "--all"; }},
      {{"--all", "--once", "--summary", "--all", "--once"},
       [](Settings& s) { s.include_all = s.once = s.summary = true; }},
      {{"--interval", "+20"}, [](Settings& s) { s.interval_ms = 20; }},
      {{"--interval", "0x10"}, [](Settings& s) { s.interval_ms = 16; }},
      {{"--interval", "  7"}, [](Settings& s) { s.interval_ms = 7; }},
      {{"--interval", "1"}, [](Settings& s) { s.interval_ms = 1; }},
      {{"--interval", "2147483647"}, [](Settings& s) { s.interval_ms = 2147483647; }},
      {{"--interval", "100", "--interval", "200"}, [](Settings& s) { s.interval_ms = 200; }},
      {{"--stats", "0"}, [](Settings&) {}},
      {{"--stats", "10"}, [](Settings& s) { s.stats_seconds = 10; }},
      {{"--stats", "5", "--stats", "0"}, [](Settings&) {}},
      {{"--format", "JSONL"}, [](Settings& s) { s.output_format = "jsonl"; }},
      {{"--format", "Csv"}, [](Settings& s) { s.output_format = "csv"; }},
      {{"--format", "jsonl,csv"}, [](Settings& s) { s.output_format = "jsonl,csv"; }},
      {{"--timestamp", "ISO8601"}, [](Settings& s) { s.timestamp_format = "iso8601"; }},
      {{"--events", "NEW,Closed"}, [](Settings& s) { s.events = "new,closed"; }},
      {{"--events", "bogus"}, [](Settings& s) { s.events = "bogus"; }},
      // filters are kept exactly as typed
      {{"--proto", "TCP", "--dst-port", " 443 ", "--process", "Fire Fox", "--pid", "0x1", "--dst-ip",
        "10.0.0.1,::1", "--dst-net", "10.0.0.0/8", "--exclude-port", "53", "--exclude-process", "X",
        "--allowlist", "/tmp/A List"},
       [](Settings& s) {
         s.proto_filter = "TCP";
         s.dst_port_filter = " 443 ";
         s.process_filter = "Fire Fox";
         s.pid_filter = "0x1";
         s.dst_ip_filter = "10.0.0.1,::1";
         s.dst_net_filter = "10.0.0.0/8";
         s.exclude_port_filter = "53";
         s.exclude_process_filter = "X";
         s.allowlist_file = "/tmp/A List";
       }},
      {{"--proto", "udp", "--proto", ""}, [](Settings&) {}},
  };
  for (const RunCase& c : cases) {
    Settings want;
    c.edit(want);
    const ParseResult got = ParseArguments(c.args);
    std::string joined;
    for (const std::string& a : c.args) joined += "[" + a + "]";
    EXPECT_EQ(got.action, ParseAction::kRun) << joined << " message: " << got.message;
    EXPECT_TRUE(got.settings == want) << joined;
  }
}

TEST(ParseArgumentsTest, HelpAndVersion) {
  struct Case {
    Args args;
    ParseAction want;
  };
  const std::vector<Case> cases = {
      {{"--help"}, ParseAction::kHelp},
      {{"-h"}, ParseAction::kHelp},
      {{"--help", "--bogus"}, ParseAction::kHelp},
      {{"--format", "xml", "--help"}, ParseAction::kHelp},
      {{"--events", "", "-h"}, ParseAction::kHelp},
      {{"--version"}, ParseAction::kVersion},
      {{"--version", "--help"}, ParseAction::kVersion},
      {{"--once", "--version", "--interval"}, ParseAction::kVersion},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(ParseArguments(c.args).action, c.want) << c.args.size() << " args, first " << c.args[0];
  }
}

TEST(ParseArgumentsTest, UsageErrors) {
  struct Case {
    Args args;
    std::string message;
  };
  const std::vector<Case> cases = {
      {{"--bogus", "--help"}, "unknown option --bogus (see --help)"},
      {{"--HELP"}, "unknown option --HELP (see --help)"},
      {{"-H"}, "unknown option -H (see --help)"},
      {{"--ALL"}, "unknown option --ALL (see --help)"},
      {{"--interval=5"}, "unknown option --interval=5 (see --help)"},
      {{"once"}, "unknown option once (see --help)"},
      {{""}, "unknown option  (see --help)"},
      {{"--Interval", "5"}, "unknown option --Interval"},
      {{"--PROTO", "tcp"}, "unknown option --PROTO"},
      {{"--pid,--dst-ip", "1"}, "unknown option --pid,--dst-ip"},
      {{"--pid,--dst-ip"}, "missing value for --pid,--dst-ip (see --help)"},
      {{"--interval"}, "missing value for --interval (see --help)"},
      {{"--once", "--events"}, "missing value for --events (see --help)"},
      {{"--interval", "--help"}, "invalid interval"},
      {{"--interval", "0"}, "invalid interval"},
      {{"--interval", "-5"}, "invalid interval"},
      {{"--interval", "20ms"}, "invalid interval"},
      {{"--interval", ""}, "invalid interval"},
      {{"--interval", "2147483648"}, "invalid interval"},
      {{"--stats", "-1"}, "invalid stats interval"},
      {{"--stats", "ten"}, "invalid stats interval"},
      {{"--format", ""}, "invalid format"},
      {{"--format", "xml"}, "invalid format"},
      {{"--format", "json"}, "invalid format"},
      {{"--timestamp", ""}, "invalid timestamp"},
      {{"--timestamp", "date"}, "invalid timestamp"},
      {{"--events", ""}, "empty events"},
      // the walk stops at its first failure
      {{"--interval", "0", "--stats", "-1"}, "invalid interval"},
      {{"--stats", "-1", "--bogus"}, "invalid stats interval"},
      {{"--bogus", "--interval"}, "unknown option --bogus (see --help)"},
      // the checks after the walk run only after a clean walk, in order
      {{"--format", "xml", "--bogus"}, "unknown option --bogus (see --help)"},
      {{"--events", "", "--timestamp", "x", "--format", "xml"}, "invalid format"},
      {{"--events", "", "--timestamp", "x"}, "invalid timestamp"},
      // a later valid value repairs an earlier bad one
      {{"--format", "xml", "--format", "csv", "--events", ""}, "empty events"},
  };
  for (const Case& c : cases) {
    const ParseResult got = ParseArguments(c.args);
    EXPECT_EQ(got.action, ParseAction::kUsageError) << c.message;
    EXPECT_EQ(got.message, c.message);
  }
}

std::string ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

TEST(HelpTextTest, MatchesKeptCopy) {
  std::string body = ReadFile(std::string(SOCKVANE_TEST_DATA) + "/help.txt");
  ASSERT_FALSE(body.empty());
  std::string want =
      std::string(kProgramName) + " " + kVersion + " | " + kWebAddress + " | " + kContactAddress + "\n";
  want += body;
  std::string with_eol;
  for (char c : want) {
    if (c == '\n') {
      with_eol += kEol;
    } else {
      with_eol += c;
    }
  }
  EXPECT_EQ(HelpText(), with_eol);
}

TEST(VersionLineTest, Shape) {
  const std::regex shape(
      "sockvane [^ |]+ \\| Source: [0-9a-f]{16} \\| Target: [a-z0-9]+ \\| [^|]+ \\| [^|]+(\r\n|\n)");
  const std::string line = VersionLine();
  EXPECT_TRUE(std::regex_match(line, shape)) << line;
  EXPECT_EQ(line.find('\n'), line.size() - 1);
}

}  // namespace
}  // namespace sockvane::config
