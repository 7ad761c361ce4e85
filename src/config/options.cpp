#include "config/options.h"

#include "config/build_info.h"
#include "config/lists.h"
#include "track/text.h"

namespace sockvane::config {
namespace {

constexpr char kValueOptions[] =
    "--interval,--proto,--dst-port,--process,--pid,--dst-ip,--dst-net,--exclude-port,--exclude-process,"
    "--allowlist,--format,--timestamp,--events,--stats";
static_assert(sizeof(kValueOptions) - 1 == 147);

constexpr char kFormats[] = "text,jsonl,csv";
constexpr char kTimestamps[] = "time,iso8601";

// Everything after the first line, which carries the build constants.
constexpr const char* kHelpBody[] = {
    "Unprivileged TCP/UDP socket polling (no root/admin required)",
    "",
    "Usage: sockvane [OPTIONS]",
    "",
    "Polling and scope:",
    "  --interval MS             Poll interval in milliseconds (default: 500; min: 1)",
    "  --once                    Scan once and exit",
    "  --ipv6                    IPv6 option (Linux already scans IPv6)",
    "  --all                     Include private and reserved destinations",
    "",
    "Filters:",
    "  --proto tcp,udp           Select protocols",
    "  --pid PID                 Match a process ID",
    "  --process NAME            Match process name (substring)",
    "  --dst-ip IP[,IP/CIDR]     Match destination addresses / IPv4 CIDRs",
    "  --dst-net IP/CIDR         Match an IPv4 destination network",
    "  --dst-port 443,8443       Match destination ports",
    "  --exclude-port PORTS      Exclude destination ports (comma-separated)",
    "  --exclude-process NAME    Exclude process name (substring)",
    "  --allowlist FILE          Suppress destinations listed as IP / IPv4 CIDR",
    "",
    "Events and output:",
    "  --events new,closed,state Select events (default: new)",
    "  --format text|jsonl|csv   Output format (default: text)",
    "  --timestamp time|iso8601  Timestamp format (default: time)",
    "  --stats SECONDS           Periodic statistics (0 disables)",
    "  --summary                 Print final summary with --once",
    "",
    "Other:",
    "  -h, --help                Show this help and exit",
    "  --version                 Print version, source fingerprint and target",
    "",
    "Examples:",
    "  sockvane --interval 100",
    "  sockvane --once --format jsonl --timestamp iso8601",
    "  sockvane --process firefox --dst-port 443 --events new,closed",
    "  sockvane --all --exclude-port 53 --stats 10",
    "",
    "Notes: polling may miss short-lived connections; PID/name can be unknown.",
};

ParseResult Failure(std::string message) {
  ParseResult result;
  result.action = ParseAction::kUsageError;
  result.message = std::move(message);
  return result;
}

ParseResult Finished(ParseAction action) {
  ParseResult result;
  result.action = action;
  return result;
}

}  // namespace

ParseResult ParseArguments(const std::vector<std::string>& args) {
  ParseResult result;
  Settings& s = result.settings;
  const size_t count = args.size();
  for (size_t i = 0; i < count; ++i) {
    const std::string& option = args[i];
    if (option == "--help" || option == "-h") return Finished(ParseAction::kHelp);
    if (option == "--version") return Finished(ParseAction::kVersion);
    if (option == "--all") {
      s.include_all = true;
      continue;
    }
    if (option == "--once") {
      s.once = true;
      continue;
    }
    if (option == "--summary") {
      s.summary = true;
      continue;
    }
    if (option == "--ipv6") {
      s.ipv6 = true;
      continue;
    }

    if (!ListContains(kValueOptions, option)) return Failure("unknown option " + option + " (see --help)");
    if (i + 1 == count) return Failure("missing value for " + option + " (see --help)");
    ++i;
    const std::string& value = args[i];

    if (option == "--interval") {
      const std::optional<int32_t> number = ParseInteger(value);
      if (!number || *number < 1) return Failure("invalid interval");
      s.interval_ms = *number;
    } else if (option == "--proto") {
      s.proto_filter = value;
    } else if (option == "--dst-port") {
      s.dst_port_filter = value;
    } else if (option == "--process") {
      s.process_filter = value;
    } else if (option == "--pid") {
      s.pid_filter = value;
    } else if (option == "--dst-ip") {
      s.dst_ip_filter = value;
    } else if (option == "--dst-net") {
      s.dst_net_filter = value;
    } else if (option == "--exclude-port") {
      s.exclude_port_filter = value;
    } else if (option == "--exclude-process") {
      s.exclude_process_filter = value;
    } else if (option == "--allowlist") {
      s.allowlist_file = value;
    } else if (option == "--format") {
      s.output_format = track::AsciiLower(value);
    } else if (option == "--timestamp") {
      s.timestamp_format = track::AsciiLower(value);
    } else if (option == "--events") {
      s.events = track::AsciiLower(value);
    } else if (option == "--stats") {
      const std::optional<int32_t> number = ParseInteger(value);
      if (!number || *number < 0) return Failure("invalid stats interval");
      s.stats_seconds = *number;
    } else {
      // The membership test ignores case and accepts runs such as "--pid,--dst-ip".
      return Failure("unknown option " + option);
    }
  }

  if (!ListContains(kFormats, s.output_format)) return Failure("invalid format");
  if (!ListContains(kTimestamps, s.timestamp_format)) return Failure("invalid timestamp");
  if (s.events.empty()) return Failure("empty events");
  return result;
}

std::string HelpText() {
  std::string text;
  text.reserve(2048);
  text += kProgramName;
  text += ' ';
  text += kVersion;
  text += " | ";
  text += kWebAddress;
  text += " | ";
  text += kContactAddress;
  text += kEol;
  for (const char* line : kHelpBody) {
    text += line;
    text += kEol;
  }
  return text;
}

std::string VersionLine() {
  std::string line = kProgramName;
  line += ' ';
  line += kVersion;
  line += " | Source: ";
  line += kFingerprint;
  line += " | Target: ";
  line += kTarget;
  line += " | ";
  line += kWebAddress;
  line += " | ";
  line += kContactAddress;
  line += kEol;
  return line;
}

}  // namespace sockvane::config
