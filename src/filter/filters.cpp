#include "filter/filters.h"

#include <algorithm>
#include <bit>
#include <cstring>

#include "config/lists.h"
#include "filter/scope.h"
#include "track/text.h"

namespace sockvane::filter {
namespace {

bool ContainsFolded(std::string_view text, std::string_view lower) {
  if (lower.empty()) return true;
  return std::search(text.begin(), text.end(), lower.begin(), lower.end(),
                     [](char x, char y) { return track::AsciiLower(x) == y; }) != text.end();
}

template <typename Group, typename Key>
Group& GroupOf(std::vector<Group>& groups, Key Group::*field, Key key) {
  auto group = std::find_if(groups.begin(), groups.end(), [&](const Group& g) { return g.*field == key; });
  if (group == groups.end()) {
    group = groups.insert(groups.end(), Group{});
    (*group).*field = key;
  }
  return *group;
}

// Rows show v4-mapped addresses as IPv4, so a network matches them only as
// the IPv4 network it holds.
void AddNetwork(const track::Prefix& network, AddressList& out) {
  const std::optional<uint32_t> network4 = track::MappedIpv4(network.address);
  if (network.length >= 96 && network4) {
    const int length = network.length - 96;
    const uint32_t mask = length == 0 ? 0 : ~uint32_t{0} << (32 - length);
    GroupOf(out.networks, &NetworkGroup::mask, mask).networks.push_back(*network4 & mask);
    return;
  }
  GroupOf(out.ipv6_networks, &Ipv6NetworkGroup::prefix, int{network.length})
      .networks.push_back(network.address);
}

// An IPv6 address's first or last eight bytes as one number, in byte order.
uint64_t Ipv6Half(const track::Address& address, int half) {
  uint64_t value = 0;
  std::memcpy(&value, address.data() + 8 * half, sizeof value);
  if constexpr (std::endian::native == std::endian::little) value = __builtin_bswap64(value);
  return value;
}

// Byte order, two numbers at a time: a byte compare per pair made sorting a
// long list slow.
struct Ipv6Less {
  bool operator()(const track::Address& a, const track::Address& b) const {
    const uint64_t a_high = Ipv6Half(a, 0), b_high = Ipv6Half(b, 0);
    return a_high != b_high ? a_high < b_high : Ipv6Half(a, 1) < Ipv6Half(b, 1);
  }
};

template <typename Value, typename Less = std::less<Value>>
void SortUnique(std::vector<Value>& values, Less less = Less()) {
  // Lists are often kept sorted already.
  if (!std::is_sorted(values.begin(), values.end(), less)) std::sort(values.begin(), values.end(), less);
  values.erase(std::unique(values.begin(), values.end()), values.end());
}

AddressList CompileAddressList(const std::optional<std::vector<track::Prefix>>& networks) {
  AddressList out;
  if (networks) {
    for (const track::Prefix& network : *networks) AddNetwork(network, out);
  }
  FinishAddressList(out);
  return out;
}

// The row's destination: a mapped address is matched as the IPv4 address
// it is shown as, any other as IPv6.
struct Destination {
  const track::Address& address;
  std::optional<uint32_t> ipv4;
};

bool AddressListMatches(const AddressList& list, const Destination& destination) {
  if (destination.ipv4) {
    for (const NetworkGroup& group : list.networks) {
      if (std::binary_search(group.networks.begin(), group.networks.end(), *destination.ipv4 & group.mask))
        return true;
    }
    return false;
  }
  for (const Ipv6NetworkGroup& group : list.ipv6_networks) {
    if (std::binary_search(group.networks.begin(), group.networks.end(),
                           track::Masked(destination.address, group.prefix), Ipv6Less())) {
      return true;
    }
  }
  return false;
}

}  // namespace

void FinishAddressList(AddressList& list) {
  for (NetworkGroup& group : list.networks) SortUnique(group.networks);
  for (Ipv6NetworkGroup& group : list.ipv6_networks) SortUnique(group.networks, Ipv6Less());
}

void AddAllowlistLine(std::string_view line, AddressList& list) {
  config::ForEachAddressEntry(track::TrimControlAndBlank(line),
                              [&list](std::string_view, const std::optional<track::Prefix>& network) {
                                if (network) AddNetwork(*network, list);
                              });
}

Filters CompileFilters(const config::Settings& settings, const std::vector<std::string>& allowlist) {
  Filters f;
  f.options = settings.filters;
  f.dst_ip = CompileAddressList(settings.filters.dst_ip);
  f.dst_net = CompileAddressList(settings.filters.dst_net);
  // Only the first matching line counts, and any match drops the row, so the
  // lines can be pooled into one list.
  for (const std::string& line : allowlist) AddAllowlistLine(line, f.allowlist);
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
  const Destination destination{row.dst_ip, track::MappedIpv4(row.dst_ip)};
  if (o.dst_ip && !AddressListMatches(f.dst_ip, destination)) return false;
  if (o.dst_net && !AddressListMatches(f.dst_net, destination)) return false;
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
