// Which end of a connection this host is: the one that accepted it (its local
// address and port are those of a listening socket of this host) or the one
// that opened it. Pure.
#pragma once

#include <cstdint>
#include <vector>

#include "track/conn.h"

namespace sockvane::source {

// The TCP listening sockets of one read, by local address and port.
struct Listeners {
  struct Endpoint {
    track::Address address{};
    uint16_t port = 0;
    auto operator<=>(const Endpoint&) const = default;
  };
  std::vector<Endpoint> endpoints;
  bool known = false;  // the read listed them; false: no direction can be told
};

void ClearListeners(Listeners& listeners);
void AddListener(Listeners& listeners, const track::Address& address, uint16_t port);
// Once all are added, before DirectionOf; the listeners are known from then.
void SealListeners(Listeners& listeners);

// A TCP connection is kIn when a listener has its local port and its local
// address, or the wildcard of its family (an IPv6 wildcard takes v4-mapped
// connections too), else kOut; a connected UDP socket is kOut. kUnknown for
// listening and unconnected sockets, and for TCP while no listeners are known.
track::Direction DirectionOf(const Listeners& listeners, const track::TConn& row);

}  // namespace sockvane::source
