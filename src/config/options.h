// Command line: Settings, parsing, the help and version texts. Nothing here
// prints or ends the process: the caller does, from the ParseResult.
#pragma once

#include <algorithm>
#include <bitset>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "track/address.h"
#include "track/compare.h"
#include "track/conn.h"

namespace sockvane::config {

// kTextWithoutBanner: a list that passes the format check, such as
// "jsonl,csv": text lines, and no banner.
enum class Format : uint8_t { kText, kJsonl, kCsv, kTextWithoutBanner };
enum class TimestampStyle : uint8_t { kTime, kIso8601 };

// The fields --extra adds after the others, in the order given.
enum class ExtraField : uint8_t { kUid, kUser, kDirection, kUnit, kOwnerFrom };
inline constexpr std::string_view kExtraFieldNames[] = {"uid", "user", "direction", "unit", "owner_from"};

inline bool Asks(const std::vector<ExtraField>& extra, ExtraField field) {
  return std::find(extra.begin(), extra.end(), field) != extra.end();
}

// Bit n set for port n.
using PortSet = std::bitset<65536>;
// Bit n for the protocol of value n.
using ProtocolSet = std::bitset<2>;

// The filter options as rows are judged by them. A list option that was not
// given selects every row; one that was selects the rows its items match.
struct FilterOptions {
  bool include_all = false;
  std::optional<ProtocolSet> protocols;
  std::optional<PortSet> dst_ports;
  bool pid_given = false;
  std::optional<uint32_t> pid;  // the PID whose decimal text the option is; none: no PID is
  std::string process;          // lower case; "" when not given
  std::optional<std::vector<track::Prefix>> dst_ip;
  std::optional<std::vector<track::Prefix>> dst_net;
  PortSet exclude_ports;
  std::string exclude_process;  // lower case; "" when not given

  bool operator==(const FilterOptions&) const = default;
};

struct Settings {
  int32_t interval_ms = 500;
  int32_t stats_seconds = 0;
  Format format = Format::kText;
  TimestampStyle timestamp = TimestampStyle::kTime;
  track::EventSet events = track::EventSet().set(track::Bit(track::Event::kNew));
  FilterOptions filters;
  std::vector<ExtraField> extra;  // each field once
  std::string allowlist_file;
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
  // With kRun: the list items that can never select anything, each a line
  // for standard error without the prefix. The run goes on.
  std::vector<std::string> notices;
};

// The walk and the checks after it, without printing or exiting.
// `args` excludes the program's own path.
ParseResult ParseArguments(const std::vector<std::string>& args);

// Full help text and version line, each line ended by kEol.
std::string HelpText();
std::string VersionLine();

}  // namespace sockvane::config
