#include "filter/filters.h"

#include <algorithm>
#include <bit>
#include <charconv>
#include <cstring>

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

// The items ListContains sees when the item holds no comma: the blank-free,
// lower-case list cut at every comma (quotes mean nothing there).
std::vector<std::string> CutList(std::string_view list) {
  std::vector<std::string> items(1);
  for (char c : list) {
    if (c == ' ') continue;
    if (c == ',') {
      items.emplace_back();
    } else {
      items.back() += track::AsciiLower(c);
    }
  }
  return items;
}

ItemList CompileItemList(const std::string& text) {
  return ItemList{text, CutList(text)};
}

// config::Ipv4FromText's a*2^24 + ... as an Address.
track::Address AddressFromValue(uint32_t value) {
  track::Address address{};
  address[10] = address[11] = 0xFF;
  for (int i = 0; i < 4; ++i) address[12 + i] = static_cast<uint8_t>(value >> (24 - 8 * i));
  return address;
}

std::optional<uint32_t> PidWithText(const std::string& text) {
  if (text.empty() || text.size() > 10) return std::nullopt;
  uint64_t value = 0;
  auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (error != std::errc() || end != text.data() + text.size() || value > UINT32_MAX) return std::nullopt;
  if (track::DecimalText(static_cast<uint32_t>(value)) != text) return std::nullopt;
  return static_cast<uint32_t>(value);
}

bool ItemListContains(const ItemList& list, std::string_view item) {
  if (item.find(',') != std::string_view::npos) return config::ListContains(list.text, item);
  for (const std::string& candidate : list.items) {
    if (track::AsciiEqualsIgnoringCase(item, candidate)) return true;
  }
  return false;
}

// Port texts are plain decimal, so only items in that exact form can hold one.
PortSet CompilePortSet(const std::string& text) {
  PortSet ports;
  for (const std::string& item : CutList(text)) {
    if (item.empty() || item.size() > 5 || (item[0] == '0' && item.size() > 1)) continue;
    uint32_t value = 0;
    auto [end, error] = std::from_chars(item.data(), item.data() + item.size(), value);
    if (error != std::errc() || end != item.data() + item.size() || value > 65535) continue;
    ports.set(value);
  }
  return ports;
}

void AddIpv4Network(uint32_t network, int prefix, AddressList& out) {
  const uint32_t mask = prefix == 0 ? 0 : ~uint32_t{0} << (32 - prefix);
  auto group = std::find_if(out.networks.begin(), out.networks.end(),
                            [mask](const NetworkGroup& g) { return g.mask == mask; });
  if (group == out.networks.end()) group = out.networks.insert(out.networks.end(), NetworkGroup{mask, {}});
  group->networks.push_back(network & mask);
}

// Matches IPv6 rows by value or, when v4-mapped with a prefix of 96 or more,
// the dotted IPv4 rows it covers (no row shown as IPv6 lies in ::ffff:0:0/96).
void AddIpv6Network(const config::Ipv6Address& network, int prefix, AddressList& out) {
  const std::optional<uint32_t> network4 = config::MappedIpv4(network);
  if (prefix >= 96 && network4) {
    AddIpv4Network(*network4, prefix - 96, out);
    return;
  }
  auto group = std::find_if(out.ipv6_networks.begin(), out.ipv6_networks.end(),
                            [prefix](const Ipv6NetworkGroup& g) { return g.prefix == prefix; });
  if (group == out.ipv6_networks.end()) {
    group = out.ipv6_networks.insert(out.ipv6_networks.end(), Ipv6NetworkGroup{prefix, {}});
  }
  group->networks.push_back(config::MaskedIpv6(network, prefix));
}

void AddAddressEntries(std::string_view list, AddressList& out) {
  if (list.empty()) return;
  config::ForEachDelimited(list, ',', [&out](std::string_view item) {
    const std::string_view entry = config::TrimControlAndBlank(item);
    const std::size_t slash = entry.find('/');
    if (slash == std::string_view::npos) {
      // Equal to an IPv6 row's text is equal in value; an IPv4 row's text
      // is the plain dotted form, which no other spelling equals.
      if (const auto network = config::Ipv6FromText(entry)) {
        AddIpv6Network(*network, 128, out);
      } else if (const auto value = config::Ipv4FromText(entry);
                 value && track::Ipv6ToText(AddressFromValue(*value)) == entry) {
        AddIpv4Network(*value, 32, out);
      }
      return;
    }
    const std::optional<int32_t> prefix = config::ParseInteger(entry.substr(slash + 1));
    if (!prefix) return;
    if (const auto network = config::Ipv6FromText(entry.substr(0, slash))) {
      if (*prefix >= 0 && *prefix <= 128) AddIpv6Network(*network, *prefix, out);
      return;
    }
    if (*prefix < 0 || *prefix > 32) return;
    const std::optional<uint32_t> network = config::Ipv4FromText(entry.substr(0, slash));
    if (!network) return;  // can never match
    AddIpv4Network(*network, *prefix, out);
  });
}

// An IPv6 address's first or last eight bytes as one number, in byte order.
uint64_t Ipv6Half(const config::Ipv6Address& address, int half) {
  uint64_t value = 0;
  std::memcpy(&value, address.data() + 8 * half, sizeof value);
  if constexpr (std::endian::native == std::endian::little) value = __builtin_bswap64(value);
  return value;
}

// Byte order, two numbers at a time: a byte compare per pair made sorting a
// long list slow.
struct Ipv6Less {
  bool operator()(const config::Ipv6Address& a, const config::Ipv6Address& b) const {
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

}  // namespace

void FinishAddressList(AddressList& list) {
  for (NetworkGroup& group : list.networks) SortUnique(group.networks);
  for (Ipv6NetworkGroup& group : list.ipv6_networks) SortUnique(group.networks, Ipv6Less());
}

void AddAllowlistLine(std::string_view line, AddressList& list) {
  AddAddressEntries(config::TrimControlAndBlank(line), list);
}

namespace {

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
  f.include_all = settings.include_all;
  f.proto_given = !settings.proto_filter.empty();
  const ItemList proto = CompileItemList(settings.proto_filter);
  f.proto_tcp = ItemListContains(proto, track::ProtoName(track::Proto::kTcp));
  f.proto_udp = ItemListContains(proto, track::ProtoName(track::Proto::kUdp));
  f.dst_port_given = !settings.dst_port_filter.empty();
  f.dst_ports = CompilePortSet(settings.dst_port_filter);
  f.pid_given = !settings.pid_filter.empty();
  f.pid = PidWithText(settings.pid_filter);
  f.process_given = !settings.process_filter.empty();
  f.process = track::AsciiLower(settings.process_filter);
  f.dst_ip_given = !settings.dst_ip_filter.empty();
  f.dst_ip = CompileAddressList(settings.dst_ip_filter);
  f.dst_net_given = !settings.dst_net_filter.empty();
  f.dst_net = CompileAddressList(settings.dst_net_filter);
  f.exclude_ports = CompilePortSet(settings.exclude_port_filter);
  f.exclude_process_given = !settings.exclude_process_filter.empty();
  f.exclude_process = track::AsciiLower(settings.exclude_process_filter);
  // Only the first matching line counts, and any match drops the row, so the
  // lines can be pooled into one list.
  for (const std::string& line : allowlist) AddAllowlistLine(line, f.allowlist);
  FinishAddressList(f.allowlist);
  return f;
}

// Every step only drops, so splitting the chain by what a step reads leaves
// the result as the chain in order gives it.
bool PassesOwnerlessFilters(const track::TConn& row, const Filters& f) {
  if (row.dst_port == 0) return false;
  if (!f.include_all && !IsPublicAddress(row.dst_ip)) return false;
  if (f.proto_given && !(row.proto == track::Proto::kUdp ? f.proto_udp : f.proto_tcp)) return false;
  if (f.dst_port_given && !f.dst_ports.test(row.dst_port)) return false;
  const Destination destination = DestinationOf(row);
  if (f.dst_ip_given && !AddressListMatches(f.dst_ip, destination)) return false;
  if (f.dst_net_given && !AddressListMatches(f.dst_net, destination)) return false;
  if (f.exclude_ports.test(row.dst_port)) return false;
  if (AddressListMatches(f.allowlist, destination)) return false;
  return true;
}

bool PassesFilters(const track::TConn& row, const Filters& f) {
  if (!PassesOwnerlessFilters(row, f)) return false;
  if (f.pid_given && row.pid != f.pid) return false;
  const std::string_view process = track::ProcessText(row);
  if (f.process_given && !ContainsFolded(process, f.process)) return false;
  if (f.exclude_process_given && ContainsFolded(process, f.exclude_process)) return false;
  return true;
}

}  // namespace sockvane::filter
