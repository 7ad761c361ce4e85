#include "app/tuple_filter.h"

#include <bit>
#include <cstddef>
#include <initializer_list>

namespace sockvane::app {
namespace {

// Longer port lists are left to the filters: each range costs the kernel a
// test per socket.
constexpr std::size_t kMaxPortRanges = 64;

track::Prefix Ipv4Prefix(uint32_t value, int length) {
  return track::Prefix{track::MappedAddress(value), static_cast<uint8_t>(96 + length)};
}

track::Prefix Ipv6Prefix(std::initializer_list<uint8_t> leading, int length) {
  track::Prefix prefix;
  std::size_t i = 0;
  for (uint8_t byte : leading) prefix.address[i++] = byte;
  prefix.length = static_cast<uint8_t>(length);
  return prefix;
}

// The destinations the scope never calls public (filter/scope.cpp): a test
// holds the two against each other.
std::vector<track::Prefix> PrivateDestinations() {
  std::vector<track::Prefix> prefixes;
  constexpr struct {
    uint8_t a, b, c;
    int length;
  } kIpv4[] = {{0, 0, 0, 8},      {10, 0, 0, 8},    {127, 0, 0, 8},     {224, 0, 0, 3},   {100, 64, 0, 10},
               {169, 254, 0, 16}, {172, 16, 0, 12}, {192, 168, 0, 16},  {192, 0, 0, 24},  {192, 0, 2, 24},
               {192, 88, 99, 24}, {198, 18, 0, 15}, {198, 51, 100, 24}, {203, 0, 113, 24}};
  for (const auto& net : kIpv4) {
    prefixes.push_back(
        Ipv4Prefix(uint32_t{net.a} << 24 | uint32_t{net.b} << 16 | uint32_t{net.c} << 8, net.length));
  }
  // "::", "::1", 2001:db8::/32, and a first group whose leading two hex
  // digits as written are fc, fd, fe or ff (fc00::/6, fc0::/10, fc::/14).
  prefixes.push_back(Ipv6Prefix({}, 128));
  prefixes.push_back(Ipv6Prefix({0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1}, 128));
  prefixes.push_back(Ipv6Prefix({0x20, 0x01, 0x0d, 0xb8}, 32));
  prefixes.push_back(Ipv6Prefix({0xfc}, 6));
  prefixes.push_back(Ipv6Prefix({0x0f, 0xc0}, 10));
  prefixes.push_back(Ipv6Prefix({0x00, 0xfc}, 14));
  return prefixes;
}

// The ports of a set as ranges; empty when there are more than kMaxPortRanges.
std::vector<source::PortRange> PortRanges(const config::PortSet& ports) {
  std::vector<source::PortRange> ranges;
  for (uint32_t port = 0; port < ports.size(); ++port) {
    if (!ports.test(port)) continue;
    if (!ranges.empty() && ranges.back().last + 1u == port) {
      ranges.back().last = static_cast<uint16_t>(port);
      continue;
    }
    if (ranges.size() == kMaxPortRanges) return {};
    ranges.push_back({static_cast<uint16_t>(port), static_cast<uint16_t>(port)});
  }
  return ranges;
}

// What AddressListMatches matches: the IPv4 networks of mapped destinations,
// the IPv6 networks of the others.
std::vector<track::Prefix> PrefixesOf(const filter::AddressList& list) {
  std::vector<track::Prefix> prefixes;
  for (const filter::NetworkGroup& group : list.networks) {
    for (uint32_t network : group.networks)
      prefixes.push_back(Ipv4Prefix(network, std::popcount(group.mask)));
  }
  for (const filter::Ipv6NetworkGroup& group : list.ipv6_networks) {
    for (const track::Address& network : group.networks)
      prefixes.push_back(track::Prefix{network, static_cast<uint8_t>(group.prefix)});
  }
  return prefixes;
}

}  // namespace

source::TupleFilter TupleFilterOf(const filter::Filters& filters) {
  const config::FilterOptions& options = filters.options;
  source::TupleFilter tuple;
  if (options.protocols) {
    tuple.tcp = options.protocols->test(static_cast<std::size_t>(track::Proto::kTcp));
    tuple.udp = options.protocols->test(static_cast<std::size_t>(track::Proto::kUdp));
  }
  if (!options.include_all) tuple.dropped_destinations = PrivateDestinations();
  if (options.dst_ports) tuple.ports = PortRanges(*options.dst_ports);
  tuple.dropped_ports = PortRanges(options.exclude_ports);
  // An empty list matches nothing: left to the filters rather than said here.
  for (const auto* list :
       {options.dst_ip ? &filters.dst_ip : nullptr, options.dst_net ? &filters.dst_net : nullptr}) {
    if (list == nullptr) continue;
    std::vector<track::Prefix> prefixes = PrefixesOf(*list);
    if (!prefixes.empty()) tuple.destinations.push_back(std::move(prefixes));
  }
  return tuple;
}

}  // namespace sockvane::app
