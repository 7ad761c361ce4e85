// The command line parser on an arbitrary argument vector (arguments cut at NUL).
#include <cstdint>
#include <string>
#include <vector>

#include "config/options.h"
#include "fuzz_check.h"

namespace {

namespace cfg = sockvane::config;

// A comma list of the names whose bit is set; a text that names nothing when
// none is, for an option that was given.
template <typename Set, typename Name>
std::string Names(const Set& set, std::size_t count, Name name) {
  std::string list;
  for (std::size_t i = 0; i < count; ++i) {
    if (!set.test(i)) continue;
    if (!list.empty()) list += ',';
    list += name(i);
  }
  return list.empty() ? "none" : list;
}

std::string PortList(const cfg::PortSet& ports) {
  return Names(ports, ports.size(), [](std::size_t port) { return std::to_string(port); });
}

// Networks written as entries: a.b.c.d/n for IPv4 ones, x::y/n for others.
std::string NetworkList(const std::optional<std::vector<sockvane::track::Prefix>>& networks) {
  if (!networks) return "";
  std::string list;
  for (const sockvane::track::Prefix& network : *networks) {
    const bool ipv4 = network.length >= 96 && sockvane::track::MappedIpv4(network.address);
    if (!list.empty()) list += ',';
    list +=
        sockvane::track::Ipv6ToText(network.address) + "/" + std::to_string(network.length - (ipv4 ? 96 : 0));
  }
  return list.empty() ? "none" : list;
}

// The options that give back the same settings.
std::vector<std::string> ArgumentsFor(const cfg::Settings& s) {
  const cfg::FilterOptions& f = s.filters;
  static const char* const kFormats[] = {"text", "jsonl", "csv", "jsonl,csv"};
  static const char* const kTimestamps[] = {"time", "iso8601"};
  std::vector<std::string> args = {
      "--interval",
      std::to_string(s.interval_ms),
      "--proto",
      f.protocols
          ? Names(*f.protocols, 2,
                  [](std::size_t i) {
                    return std::string(sockvane::track::ProtoName(static_cast<sockvane::track::Proto>(i)));
                  })
          : "",
      "--dst-port",
      f.dst_ports ? PortList(*f.dst_ports) : "",
      "--process",
      f.process,
      "--pid",
      !f.pid_given ? ""
      : f.pid      ? std::to_string(*f.pid)
                   : "none",
      "--dst-ip",
      NetworkList(f.dst_ip),
      "--dst-net",
      NetworkList(f.dst_net),
      "--exclude-port",
      f.exclude_ports.any() ? PortList(f.exclude_ports) : "",
      "--exclude-process",
      f.exclude_process,
      "--allowlist",
      s.allowlist_file,
      "--format",
      kFormats[static_cast<int>(s.format)],
      "--timestamp",
      kTimestamps[static_cast<int>(s.timestamp)],
      "--events",
      Names(s.events, s.events.size(),
            [](std::size_t i) {
              return std::string(sockvane::track::EventName(static_cast<sockvane::track::Event>(i)));
            }),
      "--stats",
      std::to_string(s.stats_seconds),
  };
  if (f.include_all) args.push_back("--all");
  if (s.once) args.push_back("--once");
  if (s.summary) args.push_back("--summary");
  if (s.ipv6) args.push_back("--ipv6");
  return args;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::vector<std::string> args;
  if (size > 0) args = fuzz::SplitInput(data, size, '\0');

  const cfg::ParseResult result = cfg::ParseArguments(args);
  switch (result.action) {
    case cfg::ParseAction::kRun: {
      const cfg::Settings& s = result.settings;
      FUZZ_CHECK(result.message.empty());
      FUZZ_CHECK(s.interval_ms >= 1);
      FUZZ_CHECK(s.stats_seconds >= 0);
      FUZZ_CHECK(s.format <= cfg::Format::kTextWithoutBanner && s.timestamp <= cfg::TimestampStyle::kIso8601);
      FUZZ_CHECK(s.filters.pid_given || !s.filters.pid);
      // Every notice names an option and says what its item does.
      for (const std::string& notice : result.notices) {
        FUZZ_CHECK(notice.starts_with("--"));
        FUZZ_CHECK(notice.ends_with("\" selects nothing") || notice.ends_with("\" excludes nothing"));
      }
      // What was parsed, written out as options again, parses to the same.
      const cfg::ParseResult again = cfg::ParseArguments(ArgumentsFor(s));
      FUZZ_CHECK(again.action == cfg::ParseAction::kRun);
      FUZZ_CHECK(again.settings == s);
      break;
    }
    case cfg::ParseAction::kUsageError:
      FUZZ_CHECK(!result.message.empty());
      break;
    case cfg::ParseAction::kHelp:
    case cfg::ParseAction::kVersion: {
      // Help and version answer at the first argument that asks, whatever follows.
      bool asked = false;
      for (const std::string& a : args) asked |= a == "-h" || a == "--help" || a == "--version";
      FUZZ_CHECK(asked);
      break;
    }
    default:
      FUZZ_CHECK(false);
  }

  // Same arguments, same answer.
  const cfg::ParseResult repeat = cfg::ParseArguments(args);
  FUZZ_CHECK(repeat.action == result.action && repeat.message == result.message &&
             repeat.settings == result.settings && repeat.notices == result.notices);
  return 0;
}
