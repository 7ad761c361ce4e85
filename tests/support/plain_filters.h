// The filter chain computed from a row's texts and the option texts on every
// call: the reference the parsed, binary chain must agree with.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "config/lists.h"
#include "config/options.h"
#include "filter/scope.h"
#include "text_rows.h"
#include "track/text.h"

namespace sockvane::testing {

// The filter options as typed on the command line.
struct OptionTexts {
  bool include_all = false;
  std::string proto_filter, dst_port_filter, pid_filter, process_filter, dst_ip_filter, dst_net_filter,
      exclude_port_filter, exclude_process_filter;
};

// The settings the command line parses those texts into.
inline config::Settings Parsed(const OptionTexts& s) {
  std::vector<std::string> args;
  if (s.include_all) args.push_back("--all");
  const std::pair<const char*, const std::string*> values[] = {
      {"--proto", &s.proto_filter},
      {"--dst-port", &s.dst_port_filter},
      {"--pid", &s.pid_filter},
      {"--process", &s.process_filter},
      {"--dst-ip", &s.dst_ip_filter},
      {"--dst-net", &s.dst_net_filter},
      {"--exclude-port", &s.exclude_port_filter},
      {"--exclude-process", &s.exclude_process_filter}};
  for (const auto& [name, value] : values) {
    args.push_back(name);
    args.push_back(*value);
  }
  return config::ParseArguments(args).settings;
}

// The scope judged on a destination's text: IPv6 by its folded text alone,
// nothing expanded; IPv4 read as the option parser reads numbers.
inline bool IsPublicDestinationText(std::string_view text) {
  if (text.find(':') != std::string_view::npos) {
    if (text == "::" || text == "::1") return false;
    for (std::string_view prefix : {"fe", "fc", "fd", "ff", "2001:db8:", "2001:0db8:"}) {
      if (track::AsciiStartsWithIgnoringCase(text, prefix)) return false;
    }
    return true;
  }
  return config::Ipv4FromText(text) && filter::IsPublicDestination(AddressFromText(text));
}

inline bool PassesFiltersPlain(const TextRow& row, const OptionTexts& s,
                               const std::vector<std::string>& allowlist) {
  const std::string port = std::to_string(row.dst_port);
  if (row.dst_port == 0) return false;
  if (!s.include_all && !IsPublicDestinationText(row.dst_ip)) return false;
  if (!s.proto_filter.empty() && !config::ListContains(s.proto_filter, row.proto)) return false;
  if (!s.dst_port_filter.empty() && !config::ListContains(s.dst_port_filter, port)) return false;
  if (!s.pid_filter.empty() && row.pid != s.pid_filter) return false;
  const std::string process = track::AsciiLower(row.process);
  if (!s.process_filter.empty() && process.find(track::AsciiLower(s.process_filter)) == std::string::npos) {
    return false;
  }
  if (!s.dst_ip_filter.empty() && !config::MatchesAddressList(row.dst_ip, s.dst_ip_filter)) return false;
  if (!s.dst_net_filter.empty() && !config::MatchesAddressList(row.dst_ip, s.dst_net_filter)) return false;
  if (config::ListContains(s.exclude_port_filter, port)) return false;
  if (!s.exclude_process_filter.empty() &&
      process.find(track::AsciiLower(s.exclude_process_filter)) != std::string::npos) {
    return false;
  }
  for (const std::string& line : allowlist) {
    if (config::MatchesAddressList(row.dst_ip, config::TrimControlAndBlank(line))) return false;
  }
  return true;
}

}  // namespace sockvane::testing
