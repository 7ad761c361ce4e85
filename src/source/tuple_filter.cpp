#include "source/tuple_filter.h"

namespace sockvane::source {

bool IsIpv4Prefix(const Prefix& prefix) {
  uint32_t value;
  return prefix.length >= 96 && track::MappedIpv4Value(prefix.address, value);
}

bool PrefixMatches(const Prefix& prefix, const track::Address& address) {
  uint32_t value;
  if (IsIpv4Prefix(prefix) != track::MappedIpv4Value(address, value)) return false;
  const unsigned length = prefix.length > 128 ? 128 : prefix.length;
  const unsigned bytes = length / 8;
  for (unsigned i = 0; i < bytes; ++i) {
    if (address[i] != prefix.address[i]) return false;
  }
  const unsigned bits = length % 8;
  if (bits == 0) return true;
  const auto mask = static_cast<uint8_t>(0xFF << (8 - bits));
  return (address[bytes] & mask) == (prefix.address[bytes] & mask);
}

namespace {

bool InRanges(const std::vector<PortRange>& ranges, uint16_t port) {
  for (const PortRange& range : ranges) {
    if (port >= range.first && port <= range.last) return true;
  }
  return false;
}

bool InPrefixes(const std::vector<Prefix>& prefixes, const track::Address& address) {
  for (const Prefix& prefix : prefixes) {
    if (PrefixMatches(prefix, address)) return true;
  }
  return false;
}

}  // namespace

bool TupleFilterDropsDestination(const TupleFilter& filter, track::Proto proto,
                                 const track::Address& destination) {
  if (!(proto == track::Proto::kUdp ? filter.udp : filter.tcp)) return true;
  if (InPrefixes(filter.dropped_destinations, destination)) return true;
  for (const std::vector<Prefix>& list : filter.destinations) {
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
