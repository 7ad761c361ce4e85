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

track::EventSet Events(std::initializer_list<track::Event> events) {
  track::EventSet set;
  for (const track::Event event : events) set.set(track::Bit(event));
  return set;
}

PortSet Ports(std::initializer_list<uint16_t> ports) {
  PortSet set;
  for (const uint16_t port : ports) set.set(port);
  return set;
}

TEST(ParseArgumentsTest, AcceptedCommandLines) {
  using track::Event;
  const std::vector<RunCase> cases = {
      {{}, [](Settings&) {}},
      {{"--ipv6"}, [](Settings& s) { s.ipv6 = true; }},
      {{"--ipv6", "--ipv6"}, [](Settings& s) { s.ipv6 = true; }},
      {{"--process", "--once"}, [](Settings& s) { s.filters.process = "--once"; }},
      {{"--proto", "--all"}, [](Settings& s) { s.filters.protocols = ProtocolSet(); }},
      {{"--all", "--once", "--summary", "--all", "--once"},
       [](Settings& s) { s.filters.include_all = s.once = s.summary = true; }},
      {{"--interval", "+20"}, [](Settings& s) { s.interval_ms = 20; }},
      {{"--interval", "0x10"}, [](Settings& s) { s.interval_ms = 16; }},
      {{"--interval", "  7"}, [](Settings& s) { s.interval_ms = 7; }},
      {{"--interval", "1"}, [](Settings& s) { s.interval_ms = 1; }},
      {{"--interval", "2147483647"}, [](Settings& s) { s.interval_ms = 2147483647; }},
      {{"--interval", "100", "--interval", "200"}, [](Settings& s) { s.interval_ms = 200; }},
      {{"--stats", "0"}, [](Settings&) {}},
      {{"--stats", "10"}, [](Settings& s) { s.stats_seconds = 10; }},
      {{"--stats", "5", "--stats", "0"}, [](Settings&) {}},
      {{"--format", "JSONL"}, [](Settings& s) { s.format = Format::kJsonl; }},
      {{"--format", "Csv"}, [](Settings& s) { s.format = Format::kCsv; }},
      {{"--format", "jsonl,csv"}, [](Settings& s) { s.format = Format::kTextWithoutBanner; }},
      {{"--format", "csv", "--format", "text"}, [](Settings&) {}},
      {{"--timestamp", "ISO8601"}, [](Settings& s) { s.timestamp = TimestampStyle::kIso8601; }},
      // case ignored, blanks and empty items dropped, a repeat shown once where first named
      {{"--extra", "Owner_From, uid,,UID,unit,"},
       [](Settings& s) {
         s.extra = {ExtraField::kOwnerFrom, ExtraField::kUid, ExtraField::kUnit};
       }},
      {{"--extra", "user,direction", "--extra", "direction"},
       [](Settings& s) { s.extra = {ExtraField::kDirection}; }},
      {{"--extra", ""}, [](Settings&) {}},
      {{"--timestamp", "time,iso8601"}, [](Settings&) {}},
      {{"--events", "NEW,Closed"},
       [](Settings& s) {
         s.events = Events({Event::kNew, Event::kClosed});
       }},
      {{"--events", "st ate,,new"},
       [](Settings& s) {
         s.events = Events({Event::kNew, Event::kState});
       }},
      {{"--events", "bogus"}, [](Settings& s) { s.events = Events({}); }},
      // filters as rows are judged by them
      {{"--proto", "TCP", "--dst-port", " 443 ,0443", "--process", "Fire Fox", "--pid", "0x1", "--dst-ip",
        "10.0.0.1,::1", "--dst-net", "10.0.0.0/8", "--exclude-port", "53,0", "--exclude-process", "X",
        "--allowlist", "/tmp/A List"},
       [](Settings& s) {
         s.filters.protocols = ProtocolSet().set(static_cast<size_t>(track::Proto::kTcp));
         s.filters.dst_ports = Ports({443});
         s.filters.process = "fire fox";
         s.filters.pid_given = true;
         s.filters.dst_ip = {{track::Prefix{track::MappedAddress(0x0A000001), 128},
                              track::Prefix{*track::ParseIpv6("::1"), 128}}};
         s.filters.dst_net = {{track::Prefix{track::MappedAddress(0x0A000000), 104}}};
         s.filters.exclude_ports = Ports({53, 0});
         s.filters.exclude_process = "x";
         s.allowlist_file = "/tmp/A List";
       }},
      {{"--pid", "4294967295", "--proto", "udp,tcp"},
       [](Settings& s) {
         s.filters.pid_given = true;
         s.filters.pid = 4294967295u;
         s.filters.protocols = ProtocolSet().set();
       }},
      {{"--proto", "udp", "--proto", "", "--dst-port", "1", "--dst-port", "", "--pid", "1", "--pid", ""},
       [](Settings&) {}},
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

// Items that can never select anything are said, once each, for the value
// the option keeps; the run goes on.
TEST(ParseArgumentsTest, ItemsThatSelectNothingAreSaid) {
  const struct {
    Args args;
    std::vector<std::string> notices;
  } cases[] = {
      {{"--events", "nwe"}, {"--events: \"nwe\" selects nothing"}},
      {{"--events", "NWE,new,nwe, ,"},
       {"--events: \"NWE\" selects nothing", "--events: \"\" selects nothing"}},
      {{"--events", "nwe", "--events", "new"}, {}},
      {{"--proto", "tpc,TCP"}, {"--proto: \"tpc\" selects nothing"}},
      {{"--dst-port", "99999,443,0443,0,"},
       {"--dst-port: \"99999\" selects nothing", "--dst-port: \"0443\" selects nothing",
        "--dst-port: \"0\" selects nothing", "--dst-port: \"\" selects nothing"}},
      {{"--exclude-port", "70000"}, {"--exclude-port: \"70000\" excludes nothing"}},
      {{"--pid", "-1"}, {"--pid: \"-1\" selects nothing"}},
      {{"--dst-ip", "1.2.3.4/33, ,8.8.8.8", "--dst-net", "::/129"},
       {"--dst-ip: \"1.2.3.4/33\" selects nothing", "--dst-ip: \"\" selects nothing",
        "--dst-net: \"::/129\" selects nothing"}},
      {{"--dst-ip", "010.0.0.1,010.0.0.0/8"}, {"--dst-ip: \"010.0.0.1\" selects nothing"}},
      {{"--pid", "1,2", "--events", "x"},
       {"--pid: \"1,2\" selects nothing", "--events: \"x\" selects nothing"}},
      {{"--dst-port", "", "--pid", "", "--exclude-port", "", "--dst-ip", "", "--events", "new,closed,state",
        "--proto", "udp"},
       {}},
  };
  for (const auto& c : cases) {
    const ParseResult got = ParseArguments(c.args);
    EXPECT_EQ(got.action, ParseAction::kRun) << c.args[1];
    EXPECT_EQ(got.notices, c.notices) << c.args[1];
  }
  EXPECT_TRUE(ParseArguments({"--events", "nwe", "--interval", "0"}).notices.empty());
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
      {{"--extra", "uid,pid"},
       "unknown field \"pid\" in --extra (fields: uid,user,direction,unit,owner_from)"},
      {{"--extra", "owner-from", "--bogus"},
       "unknown field \"owner-from\" in --extra (fields: uid,user,direction,unit,owner_from)"},
      {{"--stats,--extra", "1"}, "unknown option --stats,--extra"},
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
