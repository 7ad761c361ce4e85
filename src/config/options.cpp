#include "config/options.h"

#include <algorithm>
#include <array>
#include <bitset>
#include <charconv>

#include "config/build_info.h"
#include "config/lists.h"
#include "track/text.h"

namespace sockvane::config {
namespace {

// What the walk keeps besides the settings: the checks after it and what the
// option being applied says selects nothing.
struct Walk {
  Settings settings;
  ParseAction action = ParseAction::kRun;
  std::string error;  // a usage error ends the walk
  bool format_valid = true;
  bool timestamp_valid = true;
  bool events_empty = false;
  std::vector<std::string>* nothing = nullptr;
};

// Applies an option's value ("" for an option that takes none).
using Apply = void (*)(std::string_view value, Walk& walk);

enum class Section : uint8_t { kPolling, kFilters, kEvents, kOther };
constexpr std::string_view kSectionHeadings[] = {
    "Polling and scope:", "Filters:", "Events and output:", "Other:"};

struct Option {
  Section section;
  std::string_view name;
  std::string_view alias;  // a second name
  std::string_view value;  // its name in the help; "" for an option that takes none
  std::string_view help;
  // Place in the name list the unknown-option check searches, -1 for an
  // option without a value: a comma-joined run of names passes that check
  // only in this order.
  int8_t list_rank;
  Apply apply;
};

void SaysNothing(Walk& walk, std::string_view item, std::string_view says = "selects nothing") {
  std::string line = "\"" + std::string(item) + "\" " + std::string(says);
  for (const std::string& said : *walk.nothing) {
    if (track::AsciiEqualsIgnoringCase(said, line)) return;
  }
  walk.nothing->push_back(std::move(line));
}

void SetNumber(std::string_view value, int32_t least, int32_t& field, Walk& walk, const char* error) {
  const std::optional<int32_t> number = track::ParseInteger(value);
  if (!number || *number < least) walk.error = error;
  if (number) field = *number;
}

// The number whose plain decimal text `text` is, up to `largest`: the form
// rows show ports and PIDs in, which no other text equals.
std::optional<uint32_t> DecimalWithText(std::string_view text, uint32_t largest) {
  if (text.empty() || text.size() > 10) return std::nullopt;
  uint64_t value = 0;
  auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (error != std::errc() || end != text.data() + text.size() || value > largest) return std::nullopt;
  if (track::DecimalText(value) != text) return std::nullopt;
  return static_cast<uint32_t>(value);
}

// A row's port is never 0: such rows are dropped before any option is asked.
PortSet Ports(std::string_view value, Walk& walk, std::string_view says) {
  PortSet ports;
  for (const std::string& item : value.empty() ? std::vector<std::string>() : ListItems(value)) {
    const std::optional<uint32_t> port = DecimalWithText(item, 65535);
    if (port) ports.set(*port);
    if (!port || *port == 0) SaysNothing(walk, item, says);
  }
  return ports;
}

std::optional<std::vector<track::Prefix>> Networks(std::string_view value, Walk& walk) {
  if (value.empty()) return std::nullopt;
  std::vector<track::Prefix> networks;
  ForEachAddressEntry(value, [&](std::string_view entry, const std::optional<track::Prefix>& network) {
    if (!network) SaysNothing(walk, entry);
    if (network) networks.push_back(*network);
  });
  return networks;
}

// Bit n for an item that names `name(n)`, ASCII case ignored.
template <size_t N, typename Name>
std::bitset<N> Named(std::string_view value, Walk& walk, Name name) {
  std::bitset<N> named;
  for (const std::string& item : value.empty() ? std::vector<std::string>() : ListItems(value)) {
    size_t n = 0;
    while (n < N && !track::AsciiEqualsIgnoringCase(item, name(n))) ++n;
    if (n == N) SaysNothing(walk, item);
    if (n < N) named.set(n);
  }
  return named;
}

// The index of the name `value` is; the check accepts a comma-joined run of
// names too.
template <size_t N>
std::optional<size_t> Choice(std::string_view value, const std::array<std::string_view, N>& names,
                             bool& valid) {
  std::string list;
  for (std::string_view name : names) list += std::string(list.empty() ? "" : ",") + std::string(name);
  const std::string lower = track::AsciiLower(value);
  valid = ListContains(list, lower);
  for (size_t i = 0; i < N; ++i) {
    if (lower == names[i]) return i;
  }
  return std::nullopt;
}

// A field named twice is shown once, where it was first named.
void SetExtra(std::string_view value, Walk& walk) {
  std::vector<ExtraField>& extra = walk.settings.extra;
  extra.clear();
  for (const std::string& item : value.empty() ? std::vector<std::string>() : ListItems(value)) {
    if (item.empty()) continue;
    size_t n = 0;
    while (n < std::size(kExtraFieldNames) && !track::AsciiEqualsIgnoringCase(item, kExtraFieldNames[n])) ++n;
    if (n == std::size(kExtraFieldNames)) {
      std::string known;
      for (std::string_view name : kExtraFieldNames)
        known += std::string(known.empty() ? "" : ",") + std::string(name);
      walk.error = "unknown field \"" + item + "\" in --extra (fields: " + known + ")";
      return;
    }
    const auto field = static_cast<ExtraField>(n);
    if (std::find(extra.begin(), extra.end(), field) == extra.end()) extra.push_back(field);
  }
}

template <bool Settings::*kFlag>
void SetFlag(std::string_view, Walk& walk) {
  walk.settings.*kFlag = true;
}

// Help and version end the walk.
template <ParseAction kAction>
void Answer(std::string_view, Walk& walk) {
  walk.action = kAction;
}

constexpr std::array<std::string_view, 3> kFormats = {"text", "jsonl", "csv"};
constexpr std::array<std::string_view, 2> kTimestamps = {"time", "iso8601"};

// The appliers are called `v` (the value) and `w` (the walk).
const Option kOptions[] = {
    {Section::kPolling, "--interval", "", "MS", "Poll interval in milliseconds (default: 500; min: 1)", 0,
     [](std::string_view v, Walk& w) { SetNumber(v, 1, w.settings.interval_ms, w, "invalid interval"); }},
    {Section::kPolling, "--once", "", "", "Scan once and exit", -1, SetFlag<&Settings::once>},
    {Section::kPolling, "--ipv6", "", "", "IPv6 option (Linux already scans IPv6)", -1,
     SetFlag<&Settings::ipv6>},
    {Section::kPolling, "--all", "", "", "Include private and reserved destinations", -1,
     [](std::string_view, Walk& w) { w.settings.filters.include_all = true; }},
    {Section::kFilters, "--proto", "", "tcp,udp", "Select protocols", 1,
     [](std::string_view v, Walk& w) {
       w.settings.filters.protocols.reset();
       if (v.empty()) return;
       w.settings.filters.protocols =
           Named<2>(v, w, [](size_t n) { return track::ProtoName(static_cast<track::Proto>(n)); });
     }},
    {Section::kFilters, "--pid", "", "PID", "Match a process ID", 4,
     [](std::string_view v, Walk& w) {
       w.settings.filters.pid_given = !v.empty();
       w.settings.filters.pid = DecimalWithText(v, UINT32_MAX);
       if (!v.empty() && !w.settings.filters.pid) SaysNothing(w, v);
     }},
    {Section::kFilters, "--process", "", "NAME", "Match process name (substring)", 3,
     [](std::string_view v, Walk& w) { w.settings.filters.process = track::AsciiLower(v); }},
    {Section::kFilters, "--dst-ip", "", "IP[,IP/CIDR]", "Match destination addresses / IPv4 CIDRs", 5,
     [](std::string_view v, Walk& w) { w.settings.filters.dst_ip = Networks(v, w); }},
    {Section::kFilters, "--dst-net", "", "IP/CIDR", "Match an IPv4 destination network", 6,
     [](std::string_view v, Walk& w) { w.settings.filters.dst_net = Networks(v, w); }},
    {Section::kFilters, "--dst-port", "", "443,8443", "Match destination ports", 2,
     [](std::string_view v, Walk& w) {
       w.settings.filters.dst_ports.reset();
       if (!v.empty()) w.settings.filters.dst_ports = Ports(v, w, "selects nothing");
     }},
    {Section::kFilters, "--exclude-port", "", "PORTS", "Exclude destination ports (comma-separated)", 7,
     [](std::string_view v, Walk& w) { w.settings.filters.exclude_ports = Ports(v, w, "excludes nothing"); }},
    {Section::kFilters, "--exclude-process", "", "NAME", "Exclude process name (substring)", 8,
     [](std::string_view v, Walk& w) { w.settings.filters.exclude_process = track::AsciiLower(v); }},
    {Section::kFilters, "--allowlist", "", "FILE", "Suppress destinations listed as IP / IPv4 CIDR", 9,
     [](std::string_view v, Walk& w) { w.settings.allowlist_file = v; }},
    {Section::kEvents, "--events", "", "new,closed,state", "Select events (default: new)", 12,
     [](std::string_view v, Walk& w) {
       w.events_empty = v.empty();
       w.settings.events =
           Named<3>(v, w, [](size_t n) { return track::EventName(static_cast<track::Event>(n)); });
     }},
    {Section::kEvents, "--format", "", "text|jsonl|csv", "Output format (default: text)", 10,
     [](std::string_view v, Walk& w) {
       const std::optional<size_t> format = Choice(v, kFormats, w.format_valid);
       w.settings.format = format ? static_cast<Format>(*format) : Format::kTextWithoutBanner;
     }},
    {Section::kEvents, "--timestamp", "", "time|iso8601", "Timestamp format (default: time)", 11,
     [](std::string_view v, Walk& w) {
       const std::optional<size_t> style = Choice(v, kTimestamps, w.timestamp_valid);
       w.settings.timestamp = style ? static_cast<TimestampStyle>(*style) : TimestampStyle::kTime;
     }},
    {Section::kEvents, "--extra", "", "LIST", "Add fields: uid,user,direction,unit,owner_from", 14, SetExtra},
    {Section::kEvents, "--stats", "", "SECONDS", "Periodic statistics (0 disables)", 13,
     [](std::string_view v, Walk& w) {
       SetNumber(v, 0, w.settings.stats_seconds, w, "invalid stats interval");
     }},
    {Section::kEvents, "--summary", "", "", "Print final summary with --once", -1,
     SetFlag<&Settings::summary>},
    {Section::kOther, "--help", "-h", "", "Show this help and exit", -1, Answer<ParseAction::kHelp>},
    {Section::kOther, "--version", "", "", "Print version, source fingerprint and target", -1,
     Answer<ParseAction::kVersion>},
};
constexpr size_t kOptionCount = std::size(kOptions);

constexpr std::string_view kHelpHead[] = {
    "Unprivileged TCP/UDP socket polling (no root/admin required)",
    "",
    "Usage: sockvane [OPTIONS]",
    "",
};

constexpr std::string_view kHelpTail[] = {
    "Examples:",
    "  sockvane --interval 100",
    "  sockvane --once --format jsonl --timestamp iso8601",
    "  sockvane --process firefox --dst-port 443 --events new,closed",
    "  sockvane --all --exclude-port 53 --stats 10",
    "",
    "Notes: polling may miss short-lived connections; PID/name can be unknown.",
};

// The names of the options that take a value, in their list order.
std::string ValueOptionList() {
  std::array<std::string_view, kOptionCount> ranked{};
  for (const Option& option : kOptions) {
    if (option.list_rank >= 0) ranked[static_cast<size_t>(option.list_rank)] = option.name;
  }
  std::string list;
  for (std::string_view name : ranked) {
    if (name.empty()) break;
    if (!list.empty()) list += ',';
    list += name;
  }
  return list;
}

ParseResult Failure(std::string message) {
  ParseResult result;
  result.action = ParseAction::kUsageError;
  result.message = std::move(message);
  return result;
}

}  // namespace

ParseResult ParseArguments(const std::vector<std::string>& args) {
  Walk walk;
  std::array<std::vector<std::string>, kOptionCount> nothing;
  const std::string value_options = ValueOptionList();
  for (size_t i = 0; i < args.size(); ++i) {
    const std::string& argument = args[i];
    size_t row = 0;
    while (row < kOptionCount && argument != kOptions[row].name && argument != kOptions[row].alias) ++row;
    const bool takes_value = row == kOptionCount || !kOptions[row].value.empty();
    std::string_view value;
    if (takes_value) {
      // The check ignores case and accepts runs such as "--pid,--dst-ip".
      if (!ListContains(value_options, argument))
        return Failure("unknown option " + argument + " (see --help)");
      if (i + 1 == args.size()) return Failure("missing value for " + argument + " (see --help)");
      value = args[++i];
      if (row == kOptionCount) return Failure("unknown option " + argument);
    }
    nothing[row].clear();
    walk.nothing = &nothing[row];
    kOptions[row].apply(value, walk);
    if (!walk.error.empty()) return Failure(std::move(walk.error));
    if (walk.action != ParseAction::kRun) {
      ParseResult result;
      result.action = walk.action;
      return result;
    }
  }

  if (!walk.format_valid) return Failure("invalid format");
  if (!walk.timestamp_valid) return Failure("invalid timestamp");
  if (walk.events_empty) return Failure("empty events");
  ParseResult result;
  result.settings = std::move(walk.settings);
  for (size_t row = 0; row < kOptionCount; ++row) {
    for (const std::string& said : nothing[row])
      result.notices.push_back(std::string(kOptions[row].name) + ": " + said);
  }
  return result;
}

std::string HelpText() {
  std::string text =
      std::string(kProgramName) + " " + kVersion + " | " + kWebAddress + " | " + kContactAddress + kEol;
  auto add_line = [&text](std::string_view line) {
    text += line;
    text += kEol;
  };
  for (std::string_view line : kHelpHead) add_line(line);
  for (size_t section = 0; section < std::size(kSectionHeadings); ++section) {
    add_line(kSectionHeadings[section]);
    for (const Option& option : kOptions) {
      if (static_cast<size_t>(option.section) != section) continue;
      std::string synopsis = option.alias.empty() ? "" : std::string(option.alias) + ", ";
      synopsis += option.name;
      if (!option.value.empty()) synopsis += " " + std::string(option.value);
      // Descriptions start in one column; a synopsis as wide still gets a blank.
      synopsis.resize(std::max<size_t>(synopsis.size() + 1, 26), ' ');
      add_line("  " + synopsis + std::string(option.help));
    }
    add_line("");
  }
  for (std::string_view line : kHelpTail) add_line(line);
  return text;
}

std::string VersionLine() {
  return std::string(kProgramName) + " " + kVersion + " | Source: " + kFingerprint + " | Target: " + kTarget +
         " | " + kWebAddress + " | " + kContactAddress + kEol;
}

}  // namespace sockvane::config
