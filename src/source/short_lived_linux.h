// The pure parts of the short-lived socket layer on Linux: which destroyed
// sockets a read of the table saw, and who owned the others.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <unordered_map>
#include <vector>

#include "source/linux_source.h"
#include "source/tracer.h"

namespace sockvane::source {

// Protocol, family, both addresses and both ports: a socket's identity where
// no cookie is known.
using SocketTuple = std::array<uint8_t, 38>;
SocketTuple TupleOf(uint8_t protocol, bool ipv6, const std::array<uint8_t, 16>& src, uint16_t src_port,
                    const std::array<uint8_t, 16>& dst, uint16_t dst_port);
SocketTuple TupleOf(const RawSocket& raw);

// Notifications arrive a little after the destruction (the kernel sends them
// from a work queue), so a socket a read saw may be heard of only at the poll
// after the next: three reads cover that.
inline constexpr std::size_t kSeenReads = 3;

// What one read of the table saw, sorted for look-ups.
struct ReadMarks {
  std::vector<uint64_t> cookies;
  std::vector<SocketTuple> uncookied;  // rows of /proc, which gives no cookie
  std::vector<SocketTuple> time_wait;  // TCP rows in TIME_WAIT
};

struct SeenReads {
  std::array<ReadMarks, kSeenReads> reads;
  std::size_t next = 0;
};

// Records a read, forgetting the oldest. Rows without a destination port
// do not count: the polls never report them.
void NoteRead(SeenReads& seen, const std::vector<RawSocket>& rows);

// Whether one of the recent reads listed this socket.
bool SeenByRead(const SeenReads& seen, const RawSocket& raw);

// A destroyed socket to report, with what is known of its owner.
struct Fleeting {
  RawSocket raw;
  uint32_t pid = 0;      // 0: unknown
  std::string name;      // "" when the tracer gave none
  uint64_t life_ns = 0;  // 0: unknown
};

// Where the destroyed sockets went, for the loss notices and the benchmarks.
struct FleetingTally {
  uint64_t destroyed = 0;  // notifications read
  uint64_t seen = 0;       // left to the polls
  uint64_t time_wait = 0;  // ownerless, already shown by their TIME_WAIT row
  uint64_t no_peer = 0;    // TCP without a destination port (a reset), no tracer record
  uint64_t reported = 0;   // handed on
};

// Picks the destroyed sockets to report and gives them their owners from the
// tracer's records (by cookie when both have one, else by protocol and
// 4-tuple; a reset socket, whose destination port the kernel cleared, by its
// source port and destination address). Pure.
void PickFleeting(const std::vector<RawSocket>& destroyed, const std::vector<TracedSocket>& traced,
                  const SeenReads& seen, std::vector<Fleeting>& out, FleetingTally& tally);

// Owners the tracer saw for listed sockets whose descriptors the owner search
// has not found (yet): each such row of `rows` whose `pids` entry is 0, that
// has a file (not a TIME_WAIT remnant, which no process holds) and that a
// record names, takes the PID of the latest record of that socket (by cookie
// when both have one, else by protocol and 4-tuple). Pure.
void GiveTracedOwners(const std::vector<RawSocket>& rows, const std::vector<TracedSocket>& traced,
                      std::vector<uint32_t>& pids, std::unordered_map<uint32_t, std::string>& names);

}  // namespace sockvane::source
