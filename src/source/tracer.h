// Owners an in-kernel tracer saw at the moments their sockets were used in
// their own context: a TCP connect or close, a datagram socket's connect.
// Where the build or the host cannot load it, the tracer is simply absent.
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <vector>

namespace sockvane::source {

// Addresses in network byte order (IPv4 in the first four bytes), ports in
// host order, as the socket table's own rows.
struct TracedSocket {
  std::array<uint8_t, 16> src{};
  std::array<uint8_t, 16> dst{};
  uint64_t cookie = 0;   // the kernel's socket cookie; 0 when not known
  uint64_t when_ns = 0;  // CLOCK_MONOTONIC
  uint32_t pid = 0;      // thread group id
  uint16_t src_port = 0;
  uint16_t dst_port = 0;
  uint8_t protocol = 0;  // IPPROTO_TCP or IPPROTO_UDP
  uint8_t state = 0;     // Linux TCP state numbering; 0 for datagram sockets
  bool ipv6 = false;
  std::string name;  // file name of the owner's image; "" when not read
};

// Loads the tracer when this build has it and the process may load BPF.
// False, with the reason in `why` and nothing left running, otherwise.
bool StartTracer(std::string& why);

// Whether StartTracer succeeded.
bool TracerActive();

// Appends what the tracer saw since the last call; never blocks. `lost` grows
// by the records the kernel could not hand over.
void DrainTracer(std::vector<TracedSocket>& out, uint64_t& lost);

}  // namespace sockvane::source
