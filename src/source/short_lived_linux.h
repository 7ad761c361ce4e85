// Sockets that open and close between two reads of the table, which polling
// alone never sees: the kernel's socket-destroy notifications (no privileges
// needed) say that they existed, the tracer's records (when it runs) who
// owned them. The pure parts decide which destroyed sockets a read saw and
// who owned the others.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <unordered_map>
#include <vector>

#include "source/socket_table_linux.h"
#include "source/source.h"
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
  // Sorted when first looked up: most reads hear of no destroyed socket.
  bool sorted = true;
};

struct SeenReads {
  std::array<ReadMarks, kSeenReads> reads;
  std::size_t next = 0;
};

// Records a read, forgetting the oldest. Rows without a destination port
// do not count: the polls never report them.
void NoteRead(SeenReads& seen, const std::vector<RawSocket>& rows);

// Whether one of the recent reads listed this socket.
bool SeenByRead(SeenReads& seen, const RawSocket& raw);

// A destroyed socket to report, with what is known of its owner.
struct ShortLivedSocket {
  RawSocket raw;
  uint32_t pid = 0;      // 0: unknown
  std::string name;      // "" when the tracer gave none
  uint64_t life_ns = 0;  // 0: unknown
};

// Where the destroyed sockets went, for the loss notices and the benchmarks.
struct ShortLivedTally {
  uint64_t destroyed = 0;  // notifications picked from
  uint64_t seen = 0;       // left to the polls
  uint64_t time_wait = 0;  // ownerless, already shown by their TIME_WAIT row
  uint64_t no_peer = 0;    // TCP without a destination port (a reset), no tracer record
  uint64_t reported = 0;   // handed on
};

// Picks the destroyed sockets to report and gives them their owners from the
// tracer's records (by cookie when both have one, else by protocol and
// 4-tuple; a reset socket, whose destination port the kernel cleared, by its
// source port and destination address). Pure.
void PickShortLived(const std::vector<RawSocket>& destroyed, const std::vector<TracedSocket>& traced,
                    SeenReads& seen, std::vector<ShortLivedSocket>& out, ShortLivedTally& tally);

// Owners the tracer saw for listed sockets whose descriptors the owner search
// has not found (yet): each such row of `rows` whose `pids` entry is 0, that
// has a file (not a TIME_WAIT remnant, which no process holds) and that a
// record names, takes the PID of the latest record of that socket (by cookie
// when both have one, else by protocol and 4-tuple). Pure.
void GiveTracedOwners(const std::vector<RawSocket>& rows, const std::vector<TracedSocket>& traced,
                      std::vector<uint32_t>& pids, std::unordered_map<uint32_t, std::string>& names);

// The layer's state for a run.
struct ShortLived {
  std::string proc_root = "/proc";
  TupleFilter filter;  // notifications it drops are dropped as they arrive
  bool units = false;  // name the owners' units
  int fd = -1;         // the subscribed netlink socket
  bool tracer = false;
  // Heard of before the latest read began: decided at the poll of that read,
  // whose TIME_WAIT rows they may have left.
  std::vector<RawSocket> pending;
  // Heard of since: decided at the next poll.
  std::vector<RawSocket> later;
  bool reading = false;  // between the start of a read and its poll's decisions
  std::vector<TracedSocket> traced;
  std::vector<uint64_t> traced_generation;
  uint64_t generation = 0;
  SeenReads seen;
  ShortLivedTally tally;
  std::vector<uint8_t> buffer;
  uint64_t overruns = 0;  // ENOBUFS: an unknown number of notifications
  uint64_t dropped = 0;   // over the queue bound
  uint64_t tracer_lost = 0;
  uint64_t told_losses = 0;
  int64_t told_at_ms = 0;
  ShortLived() = default;
  ShortLived(const ShortLived&) = delete;
  ShortLived& operator=(const ShortLived&) = delete;
  ~ShortLived();
};

// Subscribes to the notifications and starts the tracer, as this host and the
// test switches (SOCKVANE_NO_DESTROY_EVENTS=1, SOCKVANE_NO_TRACER=1) allow.
// Returns the line to show on standard error about which layers run: only
// when standard error is a terminal, "" otherwise.
std::string StartShortLived(ShortLived& layer);

// Tells the layer which sockets a good read saw; call before the owners are
// looked for.
void NoteTableRead(ShortLived& layer, const std::vector<RawSocket>& rows);

// Gives rows whose owner the search has not found the owner the tracer saw
// for them, when it runs (see the pure GiveTracedOwners).
void GiveTracedOwners(ShortLived& layer, const std::vector<RawSocket>& rows, std::vector<uint32_t>& pids,
                      std::unordered_map<uint32_t, std::string>& names);

// Source::ReadShortLived, Source::Pause and the loss notice of Source::Notices.
void ReadShortLived(ShortLived& layer, const RowConsumer& consume);
void PauseShortLived(ShortLived& layer, uint32_t milliseconds);
std::string ShortLivedLossNotice(ShortLived& layer);

}  // namespace sockvane::source
