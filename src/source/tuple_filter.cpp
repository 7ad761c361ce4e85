#include "source/tuple_filter.h"

namespace sockvane::source {

bool IsIpv4Prefix(const track::Prefix& prefix) {
  return prefix.length >= 96 && track::MappedIpv4(prefix.address).has_value();
}

bool PrefixMatches(const track::Prefix& prefix, const track::Address& address) {
  if (IsIpv4Prefix(prefix) != track::MappedIpv4(address).has_value()) return false;
  return track::Masked(address, prefix.length) == track::Masked(prefix.address, prefix.length);
}

namespace {

bool InRanges(const std::vector<PortRange>& ranges, uint16_t port) {
  for (const PortRange& range : ranges) {
    if (port >= range.first && port <= range.last) return true;
  }
  return false;
}

bool InPrefixes(const std::vector<track::Prefix>& prefixes, const track::Address& address) {
  for (const track::Prefix& prefix : prefixes) {
    if (PrefixMatches(prefix, address)) return true;
  }
  return false;
}

}  // namespace

bool TupleFilterDropsDestination(const TupleFilter& filter, track::Proto proto,
                                 const track::Address& destination) {
  if (!(proto == track::Proto::kUdp ? filter.udp : filter.tcp)) return true;
  if (InPrefixes(filter.dropped_destinations, destination)) return true;
  for (const std::vector<track::Prefix>& list : filter.destinations) {
    if (!list.empty() && !InPrefixes(list, destination)) return true;
  }
  return false;
}

bool TupleFilterDrops(const TupleFilter& filter, track::Proto proto, const track::Address& destination,
                      uint16_t port) {
  if (port == 0 || InRanges(filter.dropped_ports, port)) return true;
  if (!filter.ports.empty() && !InRanges(filter.ports, port)) return true;
  return TupleFilterDropsDestination(filter, proto, destination);
}

}  // namespace sockvane::source
