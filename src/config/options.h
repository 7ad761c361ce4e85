// Command line: Settings, parsing, the help and version texts. Nothing here
// prints or ends the process: the caller does, from the ParseResult.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace sockvane::config {

struct Settings {
  int32_t interval_ms = 500;
  std::string proto_filter;
  std::string dst_port_filter;
  std::string process_filter;
  std::string pid_filter;
  std::string dst_ip_filter;
  std::string dst_net_filter;
  std::string exclude_port_filter;
  std::string exclude_process_filter;
  std::string allowlist_file;
  std::string output_format = "text";
  std::string timestamp_format = "time";
  std::string events = "new";
  int32_t stats_seconds = 0;
  bool include_all = false;
  bool once = false;
  bool summary = false;
  bool ipv6 = false;  // Windows: read the IPv6 table too

  bool operator==(const Settings&) const = default;
};

enum class ParseAction { kRun, kHelp, kVersion, kUsageError };

struct ParseResult {
  ParseAction action = ParseAction::kRun;
  Settings settings;
  std::string message;  // usage error text, without the "sockvane: " prefix
};

// The walk and the checks after it, without printing or exiting.
// `args` excludes the program's own path.
ParseResult ParseArguments(const std::vector<std::string>& args);

// Full help text and version line, each line ended by kEol.
std::string HelpText();
std::string VersionLine();

}  // namespace sockvane::config
