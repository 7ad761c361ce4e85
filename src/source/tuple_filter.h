// What the filters decide from a socket's tuple alone: the part of them a
// source may apply before it looks for owners, or have the kernel apply.
#pragma once

#include <cstdint>
#include <vector>

#include "track/address.h"
#include "track/conn.h"

namespace sockvane::source {

// Destination ports `first` to `last`, both included.
struct PortRange {
  uint16_t first = 0;
  uint16_t last = 0;
};

// What the poll loop's filters drop from a socket's tuple alone, whoever owns
// it. A source may leave such sockets out of a read (on Linux the kernel
// filters its dump by it) but need not: every row still meets the filters.
// Destination port 0 is never wanted. Empty lists drop nothing. An IPv4
// prefix (::ffff:a.b.c.d/96 + n) matches IPv4 and v4-mapped destinations
// alike; any other matches only destinations that are not v4-mapped.
struct TupleFilter {
  bool tcp = true;  // false: no TCP socket is wanted
  bool udp = true;
  std::vector<track::Prefix> dropped_destinations;
  std::vector<PortRange> dropped_ports;
  std::vector<PortRange> ports;                          // not empty: only these destination ports
  std::vector<std::vector<track::Prefix>> destinations;  // a destination in one prefix of every list
};

// Whether `prefix` is an IPv4 one (inside ::ffff:0:0/96, 96 bits or more).
bool IsIpv4Prefix(const track::Prefix& prefix);

bool PrefixMatches(const track::Prefix& prefix, const track::Address& address);

// Whether the filter drops a socket with this protocol and destination,
// whatever its destination port.
bool TupleFilterDropsDestination(const TupleFilter& filter, track::Proto proto,
                                 const track::Address& destination);

// Whether the filter drops a socket with this protocol, destination and port.
bool TupleFilterDrops(const TupleFilter& filter, track::Proto proto, const track::Address& destination,
                      uint16_t port);

}  // namespace sockvane::source
