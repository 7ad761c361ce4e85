// The filter chain computed from a row's texts and the option texts on every
// call, with the address matching as the text rules state it: the reference
// the parsed, binary chain must agree with.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "config/lists.h"
#include "config/options.h"
#include "filter/scope.h"
#include "text_rows.h"
#include "track/address.h"
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

inline std::optional<uint32_t> Ipv4FromText(std::string_view text) {
  return track::ParseIpv4(text, track::Ipv4Numbers::kOptionIntegers);
}

// `address`, IPv6 or dotted IPv4 text, against an IPv6 network. The source
// shows v4-mapped addresses as dotted IPv4, so a v4-mapped network that fits
// in the IPv4 part matches those too.
inline bool MatchesIpv6Network(std::string_view address, const track::Address& network, int prefix) {
  if (const std::optional<track::Address> value = track::ParseIpv6(address)) {
    return track::Masked(*value, prefix) == track::Masked(network, prefix);
  }
  const std::optional<uint32_t> network4 = track::MappedIpv4(network);
  if (prefix < 96 || !network4) return false;
  const std::optional<uint32_t> value = Ipv4FromText(address);
  if (!value) return false;
  const uint32_t mask = prefix == 96 ? 0 : ~uint32_t{0} << (128 - prefix);
  return (*value & mask) == (*network4 & mask);
}

// Address text against one entry: plain text equality (ASCII case ignored),
// IPv4 network "a.b.c.d/n", or an IPv6 address or network "x::y[/n]" that
// matches IPv6 addresses by value. A v4-mapped IPv6 entry with n >= 96 (or
// none) also matches the dotted IPv4 addresses it covers.
inline bool MatchesNetwork(std::string_view address, std::string_view entry) {
  const size_t slash = entry.find('/');
  if (slash == std::string_view::npos) {
    if (track::AsciiEqualsIgnoringCase(address, entry)) return true;
    const std::optional<track::Address> network = track::ParseIpv6(entry);
    return network && MatchesIpv6Network(address, *network, 128);
  }
  const std::optional<int32_t> prefix = track::ParseInteger(entry.substr(slash + 1));
  if (!prefix) return false;
  if (const std::optional<track::Address> network = track::ParseIpv6(entry.substr(0, slash))) {
    return *prefix >= 0 && *prefix <= 128 && MatchesIpv6Network(address, *network, *prefix);
  }
  if (*prefix < 0 || *prefix > 32) return false;
  const std::optional<uint32_t> address_value = Ipv4FromText(address);
  if (!address_value) return false;
  const std::optional<uint32_t> network_value = Ipv4FromText(entry.substr(0, slash));
  if (!network_value) return false;
  const uint32_t mask = *prefix == 0 ? 0 : ~uint32_t{0} << (32 - *prefix);
  return (*address_value & mask) == (*network_value & mask);
}

// Address text against a comma list of entries, each trimmed of bytes 0..32.
inline bool MatchesAddressList(std::string_view address, std::string_view list) {
  if (list.empty()) return false;
  // The walk stops at the first match, which shows as an interrupted walk.
  return !track::ForEachItem(list, ',', [address](std::string_view item) {
    return !MatchesNetwork(address, track::TrimControlAndBlank(item));
  });
}

// The scope judged on a destination's text: IPv6 by its folded text alone,
// nothing expanded; IPv4 read as the option parser reads numbers.
inline bool IsPublicDestinationText(std::string_view text) {
  if (text.find(':') != std::string_view::npos) {
    if (text == "::" || text == "::1") return false;
    for (std::string_view prefix : {"fe", "fc", "fd", "ff", "2001:db8:", "2001:0db8:"}) {
      if (track::AsciiEqualsIgnoringCase(text.substr(0, prefix.size()), prefix)) return false;
    }
    return true;
  }
  return Ipv4FromText(text) && filter::IsPublicDestination(AddressFromText(text));
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
  if (!s.dst_ip_filter.empty() && !MatchesAddressList(row.dst_ip, s.dst_ip_filter)) return false;
  if (!s.dst_net_filter.empty() && !MatchesAddressList(row.dst_ip, s.dst_net_filter)) return false;
  if (config::ListContains(s.exclude_port_filter, port)) return false;
  if (!s.exclude_process_filter.empty() &&
      process.find(track::AsciiLower(s.exclude_process_filter)) != std::string::npos) {
    return false;
  }
  for (const std::string& line : allowlist) {
    if (MatchesAddressList(row.dst_ip, track::TrimControlAndBlank(line))) return false;
  }
  return true;
}

}  // namespace sockvane::testing
