#include "source/direction.h"

#include <gtest/gtest.h>

#include <string>

namespace sockvane::source {
namespace {

using track::Direction;

track::Address At(const std::string& text) {
  return *track::ParseIpv6(text.find(':') == std::string::npos ? "::ffff:" + text : text);
}

TEST(DirectionOf, ListenerOfTheLocalEndOrItsFamilysWildcard) {
  Listeners listeners;
  AddListener(listeners, At("127.0.0.1"), 8080);
  AddListener(listeners, At("0.0.0.0"), 22);
  AddListener(listeners, At("::"), 443);
  AddListener(listeners, At("fe80::1"), 53);
  AddListener(listeners, At("127.0.0.1"), 8080);
  const struct {
    track::Proto proto;
    std::string local;
    uint16_t local_port, remote_port;
    uint32_t state;
    Direction want;
  } cases[] = {
      {track::Proto::kTcp, "127.0.0.1", 8080, 40000, 5, Direction::kIn},
      {track::Proto::kTcp, "127.0.0.1", 40000, 8080, 5, Direction::kOut},  // its client end
      {track::Proto::kTcp, "127.0.0.2", 8080, 40000, 5, Direction::kOut},  // another address
      {track::Proto::kTcp, "10.1.2.3", 22, 50000, 10, Direction::kIn},     // IPv4 wildcard, TIME_WAIT
      {track::Proto::kTcp, "2001:db8::5", 22, 50000, 5, Direction::kOut},  // not for IPv6
      {track::Proto::kTcp, "2001:db8::5", 443, 50000, 5, Direction::kIn},
      {track::Proto::kTcp, "192.0.2.7", 443, 50000, 5, Direction::kIn},  // v4-mapped, dual-stack
      {track::Proto::kTcp, "fe80::1", 53, 50000, 8, Direction::kIn},
      {track::Proto::kTcp, "0.0.0.0", 22, 0, 2, Direction::kUnknown},  // the listener itself
      {track::Proto::kUdp, "127.0.0.1", 8080, 53, 5, Direction::kOut},
      {track::Proto::kUdp, "0.0.0.0", 5353, 0, 7, Direction::kUnknown},
  };
  track::TConn row;
  row.src_ip = At("127.0.0.1");
  row.src_port = 8080;
  row.dst_port = 40000;
  row.state = 5;
  EXPECT_EQ(DirectionOf(listeners, row), Direction::kUnknown);  // not yet told they are all there
  SealListeners(listeners);
  for (const auto& c : cases) {
    row.proto = c.proto;
    row.src_ip = At(c.local);
    row.src_port = c.local_port;
    row.dst_port = c.remote_port;
    row.state = c.state;
    EXPECT_EQ(DirectionOf(listeners, row), c.want) << c.local << ":" << c.local_port;
  }
}

}  // namespace
}  // namespace sockvane::source
