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
#include <utility>
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

// A socket can leave the table long before it is destroyed (one reset while
// its holder keeps the descriptor): reads remember what left them this long.
inline constexpr int64_t kDepartedMs = 10000;
inline constexpr std::size_t kDepartedMax = 1U << 16;

struct SeenReads {
  std::array<ReadMarks, kSeenReads> reads;
  std::size_t next = 0;
  std::vector<uint64_t> latest;                        // the latest read's cookies, sorted
  std::vector<std::pair<uint64_t, int64_t>> departed;  // cookies that left the table, and when
};

// Records a read at `now_ms`, forgetting the oldest. Rows without a
// destination port do not count: the polls never report them.
void NoteRead(SeenReads& seen, const std::vector<RawSocket>& rows, int64_t now_ms);

// Whether one of the recent reads listed this socket, or it left the table
// within kDepartedMs.
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
// tracer's records, by cookie (a reset socket, whose destination port the
// kernel cleared, gets back the tuple a record saw). Pure.
void PickShortLived(const std::vector<RawSocket>& destroyed, const std::vector<TracedSocket>& traced,
                    SeenReads& seen, std::vector<ShortLivedSocket>& out, ShortLivedTally& tally);

// Sockets their process closed that a read lists as remnants (TCP in
// FIN_WAIT1/2, CLOSING, LAST_ACK or TIME_WAIT, no descriptor) which no
// earlier read listed, where the records tie their cookie to a process: each
// is told as a read before the close would have listed it, with that
// process and the state the close left. Call before the read is noted. Pure.
void PickClosedRemnants(const std::vector<RawSocket>& rows, const std::vector<TracedSocket>& traced,
                        SeenReads& seen, std::vector<ShortLivedSocket>& out);

// Counts `cookie` as listed by the latest read noted.
void MarkSeen(SeenReads& seen, uint64_t cookie);

// Owners the tracer saw for listed sockets whose descriptors the owner search
// has not found (yet): each such row of `rows` whose `pids` entry is 0, that
// has a file (not a TIME_WAIT remnant, which no process holds) and that a
// record names, takes the PID of the latest record of that cookie. With
// `closes_only`, only a record of its last close counts (a release, or its
// owner's close of a TCP socket): a socket the search found nobody holding
// was closed after the table was read, or is in flight between processes and
// has no owner. Pure.
void GiveTracedOwners(const std::vector<RawSocket>& rows, const std::vector<TracedSocket>& traced,
                      bool closes_only, std::vector<uint32_t>& pids,
                      std::unordered_map<uint32_t, std::string>& names);

// The layer's state for a run.
struct ShortLived {
  std::string proc_root = "/proc";
  TupleFilter filter;   // notifications it drops are dropped as they arrive
  bool units = false;   // name the owners' units
  int fd = -1;          // the subscribed netlink socket
  bool tracer = false;  // `Tracer` runs its hooks for this layer
  // Heard of before the latest read began: decided at the poll of that read,
  // whose TIME_WAIT rows they may have left.
  std::vector<RawSocket> pending;
  // Heard of since: decided at the next poll.
  std::vector<RawSocket> later;
  bool reading = false;  // between the start of a read and its poll's decisions
  std::vector<TracedSocket> traced;
  std::vector<ShortLivedSocket> remnants;  // picked by the latest read, told at its poll
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
std::string StartShortLived(ShortLived& layer, Tracer& tracer);

// Why the table read must keep the descriptors for itself ("" when it need
// not): under a tight limit, the extra layers stay off.
std::string ScarceDescriptors();

// Tells the layer which sockets a good read saw; call before the owners are
// looked for.
void NoteTableRead(ShortLived& layer, Tracer& tracer, const std::vector<RawSocket>& rows, int64_t now_ms);

// Gives rows whose owner the search has not found the owner the tracer saw
// for them, when it runs (see the pure GiveTracedOwners), with what it
// recorded since the read too.
void GiveTracedOwners(ShortLived& layer, Tracer& tracer, const std::vector<RawSocket>& rows, bool closes_only,
                      std::vector<uint32_t>& pids, std::unordered_map<uint32_t, std::string>& names);

// Source::ReadShortLived, Source::Pause and the loss notice of Source::Notices.
void ReadShortLived(ShortLived& layer, Tracer& tracer, const RowConsumer& consume);
void PauseShortLived(ShortLived& layer, uint32_t milliseconds);
std::string ShortLivedLossNotice(ShortLived& layer);

}  // namespace sockvane::source
