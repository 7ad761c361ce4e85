// The command line parser on an arbitrary argument vector (arguments cut at NUL).
#include <cstdint>
#include <string>
#include <vector>

#include "config/lists.h"
#include "config/options.h"
#include "fuzz_check.h"

namespace {

namespace cfg = sockvane::config;

bool HasUpper(const std::string& text) {
  for (char c : text) {
    if (c >= 'A' && c <= 'Z') return true;
  }
  return false;
}

// The options that give back the same settings.
std::vector<std::string> ArgumentsFor(const cfg::Settings& s) {
  std::vector<std::string> args = {
      "--interval",
      std::to_string(s.interval_ms),
      "--proto",
      s.proto_filter,
      "--dst-port",
      s.dst_port_filter,
      "--process",
      s.process_filter,
      "--pid",
      s.pid_filter,
      "--dst-ip",
      s.dst_ip_filter,
      "--dst-net",
      s.dst_net_filter,
      "--exclude-port",
      s.exclude_port_filter,
      "--exclude-process",
      s.exclude_process_filter,
      "--allowlist",
      s.allowlist_file,
      "--format",
      s.output_format,
      "--timestamp",
      s.timestamp_format,
      "--events",
      s.events,
      "--stats",
      std::to_string(s.stats_seconds),
  };
  if (s.include_all) args.push_back("--all");
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
      FUZZ_CHECK(cfg::ListContains("text,jsonl,csv", s.output_format));
      FUZZ_CHECK(cfg::ListContains("time,iso8601", s.timestamp_format));
      FUZZ_CHECK(!s.events.empty());
      FUZZ_CHECK(!HasUpper(s.output_format) && !HasUpper(s.timestamp_format) && !HasUpper(s.events));
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
             repeat.settings == result.settings);
  return 0;
}
