#include "source/direction.h"

#include <algorithm>

namespace sockvane::source {
namespace {

constexpr uint32_t kMibListen = 2;

bool Listening(const Listeners& listeners, const track::Address& address, uint16_t port) {
  return std::binary_search(listeners.endpoints.begin(), listeners.endpoints.end(),
                            Listeners::Endpoint{address, port});
}

}  // namespace

void ClearListeners(Listeners& listeners) {
  listeners.endpoints.clear();
  listeners.known = false;
}

void AddListener(Listeners& listeners, const track::Address& address, uint16_t port) {
  listeners.endpoints.push_back({address, port});
}

void SealListeners(Listeners& listeners) {
  std::sort(listeners.endpoints.begin(), listeners.endpoints.end());
  listeners.endpoints.erase(std::unique(listeners.endpoints.begin(), listeners.endpoints.end()),
                            listeners.endpoints.end());
  listeners.known = true;
}

track::Direction DirectionOf(const Listeners& listeners, const track::TConn& row) {
  if (row.dst_port == 0 || row.state == kMibListen) return track::Direction::kUnknown;
  if (row.proto == track::Proto::kUdp) return track::Direction::kOut;
  if (!listeners.known) return track::Direction::kUnknown;
  const track::Address any6{};
  const bool mapped = track::MappedIpv4(row.src_ip).has_value();
  const bool in = Listening(listeners, row.src_ip, row.src_port) ||
                  Listening(listeners, any6, row.src_port) ||
                  (mapped && Listening(listeners, track::MappedAddress(0), row.src_port));
  return in ? track::Direction::kIn : track::Direction::kOut;
}

}  // namespace sockvane::source
