#include "filter/filters.h"

#include <algorithm>

#include "config/lists.h"
#include "filter/scope.h"
#include "track/conn.h"
#include "track/text.h"

namespace sockvane::filter {
namespace {

bool ContainsFolded(std::string_view text, std::string_view lower) {
  if (lower.empty()) return true;
  return std::search(text.begin(), text.end(), lower.begin(), lower.end(),
                     [](char x, char y) { return track::AsciiLower(x) == y; }) != text.end();
}

// config::Ipv4FromText's a*2^24 + ... as an Address.
track::Address AddressFromValue(uint32_t value) {
  track::Address address{};
  address[10] = address[11] = 0xFF;
  for (int i = 0; i < 4; ++i) address[12 + i] = static_cast<uint8_t>(value >> (24 - 8 * i));
  return address;
}

// The address whose text (as a row shows it) is `lower`, if there is one: an
// entry without "/" matches a row by that text alone.
std::optional<track::Address> AddressWithText(const std::string& lower) {
  if (const std::optional<uint32_t> value = config::Ipv4FromText(lower)) {
    const track::Address address = AddressFromValue(*value);
    if (track::Ipv6ToText(address) == lower) return address;
  }
  if (const std::optional<config::Ipv6Address> value = config::Ipv6FromText(lower)) {
    if (track::Ipv6ToText(*value) == lower) return *value;
  }
  return std::nullopt;
}

void AddIpv4Network(uint32_t network, int prefix, AddressList& out) {
  const uint32_t mask = prefix == 0 ? 0 : ~uint32_t{0} << (32 - prefix);
  auto group = std::find_if(out.networks.begin(), out.networks.end(),
                            [mask](const NetworkGroup& g) { return g.mask == mask; });
  if (group == out.networks.end()) group = out.networks.insert(out.networks.end(), NetworkGroup{mask, {}});
  group->networks.push_back(network & mask);
}

// Matches IPv6 rows by value and, when v4-mapped with a prefix of 96 or more,
// the dotted IPv4 rows it covers.
void AddIpv6Network(const config::Ipv6Address& network, int prefix, AddressList& out) {
  auto group = std::find_if(out.ipv6_networks.begin(), out.ipv6_networks.end(),
                            [prefix](const Ipv6NetworkGroup& g) { return g.prefix == prefix; });
  if (group == out.ipv6_networks.end()) {
    group = out.ipv6_networks.insert(out.ipv6_networks.end(), Ipv6NetworkGroup{prefix, {}});
  }
  group->networks.push_back(config::MaskedIpv6(network, prefix));
  const std::optional<uint32_t> network4 = config::MappedIpv4(network);
  if (prefix >= 96 && network4) AddIpv4Network(*network4, prefix - 96, out);
}

void AddAddressEntries(std::string_view list, AddressList& out) {
  if (list.empty()) return;
  for (const std::string& item : config::SplitDelimited(list, ',')) {
    const std::string_view entry = config::TrimControlAndBlank(item);
    const std::size_t slash = entry.find('/');
    if (slash == std::string_view::npos) {
      if (const auto address = AddressWithText(track::AsciiLower(entry))) out.addresses.push_back(*address);
      if (const auto network = config::Ipv6FromText(entry)) AddIpv6Network(*network, 128, out);
      continue;
    }
    const std::optional<int32_t> prefix = config::ParseInteger(entry.substr(slash + 1));
    if (!prefix) continue;
    if (const auto network = config::Ipv6FromText(entry.substr(0, slash))) {
      if (*prefix >= 0 && *prefix <= 128) AddIpv6Network(*network, *prefix, out);
      continue;
    }
    if (*prefix < 0 || *prefix > 32) continue;
    const std::optional<uint32_t> network = config::Ipv4FromText(entry.substr(0, slash));
    if (!network) continue;  // can never match
    AddIpv4Network(*network, *prefix, out);
  }
}

template <typename Value>
void SortUnique(std::vector<Value>& values) {
  std::sort(values.begin(), values.end());
  values.erase(std::unique(values.begin(), values.end()), values.end());
}

void FinishAddressList(AddressList& list) {
  SortUnique(list.addresses);
  for (NetworkGroup& group : list.networks) SortUnique(group.networks);
  for (Ipv6NetworkGroup& group : list.ipv6_networks) SortUnique(group.networks);
}

AddressList CompileAddressList(std::string_view list) {
  AddressList out;
  AddAddressEntries(list, out);
  FinishAddressList(out);
  return out;
}

// The row's destination: a mapped address is matched as the IPv4 address
// it is shown as, any other as IPv6.
struct Destination {
  const track::Address& address;
  bool is_ipv4 = false;
  uint32_t ipv4 = 0;
};

Destination DestinationOf(const track::TConn& row) {
  Destination destination{row.dst_ip};
  destination.is_ipv4 = track::MappedIpv4Value(row.dst_ip, destination.ipv4);
  return destination;
}

bool AddressListMatches(const AddressList& list, const Destination& destination) {
  if (std::binary_search(list.addresses.begin(), list.addresses.end(), destination.address)) return true;
  if (destination.is_ipv4) {
    for (const NetworkGroup& group : list.networks) {
      if (std::binary_search(group.networks.begin(), group.networks.end(), destination.ipv4 & group.mask))
        return true;
    }
    return false;
  }
  for (const Ipv6NetworkGroup& group : list.ipv6_networks) {
    if (std::binary_search(group.networks.begin(), group.networks.end(),
                           config::MaskedIpv6(destination.address, group.prefix))) {
      return true;
    }
  }
  return false;
}

}  // namespace

Filters CompileFilters(const config::Settings& settings, const std::vector<std::string>& allowlist) {
  Filters f;
  f.options = settings.filters;
  f.dst_ip = CompileAddressList(settings.filters.dst_ip);
  f.dst_net = CompileAddressList(settings.filters.dst_net);
  // Only the first matching line counts, and any match drops the row, so the
  // lines can be pooled into one list.
  for (const std::string& line : allowlist) AddAddressEntries(config::TrimControlAndBlank(line), f.allowlist);
  FinishAddressList(f.allowlist);
  return f;
}

// Every step only drops, so splitting the chain by what a step reads leaves
// the result as the chain in order gives it.
bool PassesOwnerlessFilters(const track::TConn& row, const Filters& f) {
  const config::FilterOptions& o = f.options;
  if (row.dst_port == 0) return false;
  if (!o.include_all && !IsPublicDestination(row.dst_ip)) return false;
  if (o.protocols && !o.protocols->test(static_cast<size_t>(row.proto))) return false;
  if (o.dst_ports && !o.dst_ports->test(row.dst_port)) return false;
  const Destination destination = DestinationOf(row);
  if (!o.dst_ip.empty() && !AddressListMatches(f.dst_ip, destination)) return false;
  if (!o.dst_net.empty() && !AddressListMatches(f.dst_net, destination)) return false;
  if (o.exclude_ports.test(row.dst_port)) return false;
  if (AddressListMatches(f.allowlist, destination)) return false;
  return true;
}

bool PassesFilters(const track::TConn& row, const Filters& f) {
  const config::FilterOptions& o = f.options;
  if (!PassesOwnerlessFilters(row, f)) return false;
  if (o.pid_given && row.pid != o.pid) return false;
  const std::string_view process = track::ProcessText(row);
  if (!o.process.empty() && !ContainsFolded(process, o.process)) return false;
  if (!o.exclude_process.empty() && ContainsFolded(process, o.exclude_process)) return false;
  return true;
}

}  // namespace sockvane::filter
