#include "source/short_lived_linux.h"

#include <fcntl.h>
#include <linux/netlink.h>
#include <linux/sock_diag.h>
#include <poll.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <iterator>
#include <unordered_map>

#include "platform/clock.h"
#include "source/netlink_linux.h"
#include "source/proc_linux.h"
#include "track/text.h"

namespace sockvane::source {

SocketTuple TupleOf(uint8_t protocol, bool ipv6, const std::array<uint8_t, 16>& src, uint16_t src_port,
                    const std::array<uint8_t, 16>& dst, uint16_t dst_port) {
  SocketTuple tuple{};
  tuple[0] = protocol;
  tuple[1] = ipv6 ? 6 : 4;
  std::copy(src.begin(), src.end(), tuple.begin() + 2);
  std::copy(dst.begin(), dst.end(), tuple.begin() + 18);
  tuple[34] = static_cast<uint8_t>(src_port >> 8);
  tuple[35] = static_cast<uint8_t>(src_port);
  tuple[36] = static_cast<uint8_t>(dst_port >> 8);
  tuple[37] = static_cast<uint8_t>(dst_port);
  return tuple;
}

SocketTuple TupleOf(const RawSocket& raw) {
  return TupleOf(raw.protocol, raw.ipv6, raw.src, raw.src_port, raw.dst, raw.dst_port);
}

namespace {

template <typename T>
void SortUnique(std::vector<T>& values) {
  std::sort(values.begin(), values.end());
  values.erase(std::unique(values.begin(), values.end()), values.end());
}

template <typename T>
bool Holds(const std::vector<T>& sorted, const T& value) {
  return std::binary_search(sorted.begin(), sorted.end(), value);
}

// The first and last record of one socket.
struct Trace {
  std::size_t first = 0;
  uint64_t earliest = 0;
  uint64_t latest = 0;
};

template <typename Key, typename Map>
void AddTrace(Map& map, const Key& key, std::size_t index, uint64_t when) {
  auto [it, inserted] = map.try_emplace(key, Trace{index, when, when});
  if (inserted) return;
  Trace& trace = it->second;
  if (when < trace.earliest) {
    trace.first = index;
    trace.earliest = when;
  }
  trace.latest = std::max(trace.latest, when);
}

constexpr uint8_t kLinuxEstablished = 1, kLinuxSynSent = 2, kLinuxFinWait1 = 4, kLinuxFinWait2 = 5,
                  kLinuxClose = 7, kLinuxLastAck = 9, kLinuxClosing = 11;

// What the records tell of each socket, by cookie alone: a tuple or a PID
// from another network namespace must never name one of ours.
struct Traces {
  std::unordered_map<uint64_t, Trace> owned;           // records with an owner
  std::unordered_map<uint64_t, std::size_t> whole;     // one with the whole tuple
  std::unordered_map<uint64_t, uint8_t> before_close;  // the state its owner's close left
};

Traces TracesOf(const std::vector<TracedSocket>& traced) {
  Traces traces;
  for (std::size_t i = 0; i < traced.size(); ++i) {
    const TracedSocket& t = traced[i];
    if (t.cookie == 0) continue;
    // A connect record has no source yet: the whole tuple comes from another.
    if (t.src_port != 0 && t.dst_port != 0) traces.whole[t.cookie] = i;
    if (t.pid == 0) continue;
    AddTrace(traces.owned, t.cookie, i, t.when_ns);
    if (t.kind == TraceKind::kState && t.state != kLinuxSynSent) traces.before_close[t.cookie] = t.old_state;
  }
  return traces;
}

// `raw` with the owner the records give it (by its first record), its known
// life, and the tuple a reset cleared; false when no record names an owner.
bool GiveOwner(const Traces& traces, const std::vector<TracedSocket>& traced, ShortLivedSocket& socket) {
  const auto trace = traces.owned.find(socket.raw.cookie);
  if (socket.raw.cookie == 0 || trace == traces.owned.end()) return false;
  const TracedSocket& owner = traced[trace->second.first];
  socket.pid = owner.pid;
  socket.name = owner.name;
  socket.life_ns = trace->second.latest - trace->second.earliest;
  RawSocket& raw = socket.raw;
  const auto whole = traces.whole.find(raw.cookie);
  const TracedSocket& t = whole != traces.whole.end() ? traced[whole->second] : owner;
  if (raw.dst_port == 0 && t.dst_port != 0 && t.protocol == raw.protocol && t.ipv6 == raw.ipv6) {
    // The tracer saw the whole tuple before the reset cleared it.
    raw.src = t.src;
    raw.dst = t.dst;
    raw.src_port = t.src_port;
    raw.dst_port = t.dst_port;
  }
  return true;
}

}  // namespace

void NoteRead(SeenReads& seen, const std::vector<RawSocket>& rows, int64_t now_ms) {
  ReadMarks& marks = seen.reads[seen.next];
  seen.next = (seen.next + 1) % kSeenReads;
  marks.cookies.clear();
  marks.uncookied.clear();
  marks.time_wait.clear();
  for (const RawSocket& raw : rows) {
    // Without a destination the polls never report a socket (a datagram
    // socket before its connect, say): it is seen only once it has one.
    if (raw.dst_port == 0) continue;
    if (raw.protocol == kProtoTcp && raw.state == kLinuxTimeWait) {
      // The remnant keeps the cookie of the socket it replaced, but not its
      // owner: that socket itself was not seen.
      marks.time_wait.push_back(TupleOf(raw));
      continue;
    }
    if (raw.cookie != 0) {
      marks.cookies.push_back(raw.cookie);
    } else {
      marks.uncookied.push_back(TupleOf(raw));
    }
  }
  SortUnique(marks.cookies);
  marks.sorted = false;
  // What the last read listed and this one does not has left the table.
  std::vector<uint64_t> left;
  std::set_difference(seen.latest.begin(), seen.latest.end(), marks.cookies.begin(), marks.cookies.end(),
                      std::back_inserter(left));
  for (const uint64_t cookie : left) seen.departed.emplace_back(cookie, now_ms);
  seen.latest = marks.cookies;
  std::size_t expired = 0;
  while (expired < seen.departed.size() && (now_ms - seen.departed[expired].second > kDepartedMs ||
                                            seen.departed.size() - expired > kDepartedMax)) {
    ++expired;
  }
  seen.departed.erase(seen.departed.begin(), seen.departed.begin() + static_cast<std::ptrdiff_t>(expired));
}

namespace {

const std::array<ReadMarks, kSeenReads>& SortedReads(SeenReads& seen) {
  for (ReadMarks& marks : seen.reads) {
    if (marks.sorted) continue;
    SortUnique(marks.cookies);
    SortUnique(marks.uncookied);
    SortUnique(marks.time_wait);
    marks.sorted = true;
  }
  return seen.reads;
}

}  // namespace

bool SeenByRead(SeenReads& seen, const RawSocket& raw) {
  const SocketTuple tuple = TupleOf(raw);
  for (const ReadMarks& marks : SortedReads(seen)) {
    if (raw.cookie != 0 && Holds(marks.cookies, raw.cookie)) return true;
    if (Holds(marks.uncookied, tuple)) return true;
  }
  return raw.cookie != 0 && std::any_of(seen.departed.begin(), seen.departed.end(),
                                        [&raw](const auto& left) { return left.first == raw.cookie; });
}

namespace {

// Whether a recent read listed the TIME_WAIT remnant of this socket.
bool ShownAsTimeWait(SeenReads& seen, const RawSocket& raw) {
  const SocketTuple tuple = TupleOf(raw);
  for (const ReadMarks& marks : SortedReads(seen))
    if (Holds(marks.time_wait, tuple)) return true;
  return false;
}

}  // namespace

void PickShortLived(const std::vector<RawSocket>& destroyed, const std::vector<TracedSocket>& traced,
                    SeenReads& seen, std::vector<ShortLivedSocket>& out, ShortLivedTally& tally) {
  const Traces traces = TracesOf(traced);
  for (const RawSocket& raw : destroyed) {
    ++tally.destroyed;
    if (SeenByRead(seen, raw)) {
      ++tally.seen;
      continue;
    }
    ShortLivedSocket socket;
    socket.raw = raw;
    const bool owned = GiveOwner(traces, traced, socket);
    const RawSocket& kept = socket.raw;
    if (kept.protocol == kProtoTcp && kept.dst_port == 0) {
      // Where it went is gone; reporting it would invent a destination.
      ++tally.no_peer;
      continue;
    }
    if (!owned && kept.protocol == kProtoTcp && ShownAsTimeWait(seen, kept)) {
      ++tally.time_wait;
      continue;
    }
    ++tally.reported;
    out.push_back(std::move(socket));
  }
}

void PickClosedRemnants(const std::vector<RawSocket>& rows, const std::vector<TracedSocket>& traced,
                        SeenReads& seen, std::vector<ShortLivedSocket>& out) {
  const auto remnant = [](const RawSocket& raw) {
    if (raw.protocol != kProtoTcp || raw.inode != 0 || raw.cookie == 0 || raw.dst_port == 0) return false;
    for (const uint8_t state : {kLinuxFinWait1, kLinuxFinWait2, kLinuxClosing, kLinuxLastAck, kLinuxTimeWait})
      if (raw.state == state) return true;
    return false;
  };
  if (traced.empty() || std::none_of(rows.begin(), rows.end(), remnant)) return;
  const Traces traces = TracesOf(traced);
  for (const RawSocket& raw : rows) {
    if (!remnant(raw) || SeenByRead(seen, raw) || ShownAsTimeWait(seen, raw)) continue;
    ShortLivedSocket socket;
    socket.raw = raw;
    if (!GiveOwner(traces, traced, socket)) continue;
    // As a read before the close would have listed it.
    const auto before = traces.before_close.find(raw.cookie);
    socket.raw.state = before == traces.before_close.end() || before->second == kLinuxClose
                           ? kLinuxEstablished
                           : before->second;
    out.push_back(std::move(socket));
  }
}

void MarkSeen(SeenReads& seen, uint64_t cookie) {
  ReadMarks& latest = seen.reads[(seen.next + kSeenReads - 1) % kSeenReads];
  latest.cookies.push_back(cookie);
  latest.sorted = false;
}

void GiveTracedOwners(const std::vector<RawSocket>& rows, const std::vector<TracedSocket>& traced,
                      bool closes_only, std::vector<uint32_t>& pids,
                      std::unordered_map<uint32_t, std::string>& names) {
  if (traced.empty()) return;
  // Records come in time order: the later of two for one socket wins.
  std::unordered_map<uint64_t, const TracedSocket*> by_cookie;
  for (const TracedSocket& t : traced) {
    const bool close =
        t.kind == TraceKind::kRelease || (t.kind == TraceKind::kState && t.state != kLinuxSynSent);
    if (t.pid != 0 && t.cookie != 0 && (close || !closes_only)) by_cookie[t.cookie] = &t;
  }
  for (std::size_t i = 0; i < rows.size() && i < pids.size(); ++i) {
    const RawSocket& raw = rows[i];
    if (pids[i] != 0 || raw.inode == 0 || raw.cookie == 0) continue;
    const auto it = by_cookie.find(raw.cookie);
    if (it == by_cookie.end()) continue;
    pids[i] = it->second->pid;
    if (!it->second->name.empty()) names[pids[i]] = it->second->name;
  }
}

namespace {

// Keeps a burst from growing without bound between two polls.
constexpr std::size_t kMaxPending = 1 << 18;
constexpr int kReceiveBuffer = 8 << 20;
constexpr int64_t kNoticeGapMs = 60000;
constexpr rlim_t kFewestFiles = 64;

int CloseKeepingErrno(int fd) {
  const int error = errno;
  close(fd);
  errno = error;
  return -1;
}

// The subscribed socket, or -1 with errno set.
int Subscribe() {
  int fd = socket(AF_NETLINK, SOCK_DGRAM | SOCK_CLOEXEC | SOCK_NONBLOCK, NETLINK_SOCK_DIAG);
  if (fd < 0) return -1;
  if (fd <= STDERR_FILENO) {
    // A closed standard stream must stay closed: writes to it are errors, not
    // datagrams to the kernel.
    const int high = fcntl(fd, F_DUPFD_CLOEXEC, STDERR_FILENO + 1);
    if (high < 0) return CloseKeepingErrno(fd);
    close(fd);
    fd = high;
  }
  // Beyond rmem_max only with CAP_NET_ADMIN; otherwise the plain request is capped there.
  int size = kReceiveBuffer;
  if (setsockopt(fd, SOL_SOCKET, SO_RCVBUFFORCE, &size, sizeof size) != 0) {
    setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &size, sizeof size);
  }
  sockaddr_nl local;
  std::memset(&local, 0, sizeof local);
  local.nl_family = AF_NETLINK;
  if (bind(fd, reinterpret_cast<sockaddr*>(&local), sizeof local) != 0) return CloseKeepingErrno(fd);
  for (int group : {SKNLGRP_INET_TCP_DESTROY, SKNLGRP_INET_UDP_DESTROY, SKNLGRP_INET6_TCP_DESTROY,
                    SKNLGRP_INET6_UDP_DESTROY}) {
    if (setsockopt(fd, SOL_NETLINK, NETLINK_ADD_MEMBERSHIP, &group, sizeof group) != 0) {
      return CloseKeepingErrno(fd);
    }
  }
  return fd;
}

// Drained also within a poll, so that a long one does not overrun the buffer.
void DrainNotifications(ShortLived& layer) {
  if (layer.fd < 0) return;
  std::vector<RawSocket>& into = layer.reading ? layer.later : layer.pending;
  std::vector<uint8_t>& buffer = layer.buffer;
  if (buffer.empty()) buffer.resize(1 << 16);
  for (;;) {
    sockaddr_nl sender;
    socklen_t sender_size = sizeof sender;
    ssize_t got = recvfrom(layer.fd, buffer.data(), buffer.size(), MSG_DONTWAIT | MSG_TRUNC,
                           reinterpret_cast<sockaddr*>(&sender), &sender_size);
    if (got < 0) {
      if (errno == EINTR) continue;
      if (errno == ENOBUFS) {
        ++layer.overruns;
        continue;
      }
      return;  // EAGAIN: nothing more for now
    }
    if (static_cast<std::size_t>(got) > buffer.size()) {
      ++layer.overruns;  // cut datagram: its messages are lost
      continue;
    }
    if (sender_size < sizeof sender || sender.nl_pid != 0) continue;  // only the kernel speaks here
    std::size_t before = into.size();
    ParseDiagReply(buffer.data(), static_cast<std::size_t>(got), 0, 0, into);
    // What the filters would drop goes before any other work. A reset TCP
    // socket has lost its destination port: the tracer may know it.
    const auto unwanted = [&layer](const RawSocket& raw) {
      const auto proto = raw.protocol == kProtoUdp ? track::Proto::kUdp : track::Proto::kTcp;
      if (proto == track::Proto::kTcp && raw.dst_port == 0)
        return TupleFilterDropsDestination(layer.filter, proto, DestinationOf(raw));
      return TupleFilterDrops(layer.filter, proto, DestinationOf(raw), raw.dst_port);
    };
    into.erase(std::remove_if(into.begin() + static_cast<std::ptrdiff_t>(before), into.end(), unwanted),
               into.end());
    if (into.size() > kMaxPending) {
      layer.dropped += into.size() - std::max(before, kMaxPending);
      into.resize(std::max(before, kMaxPending));
    }
  }
}

}  // namespace

void NoteTableRead(ShortLived& layer, Tracer& tracer, const std::vector<RawSocket>& rows, int64_t now_ms) {
  if (layer.tracer) {
    // Records of this read's sockets belong to the poll it starts.
    DrainTracer(tracer, layer.traced, layer.tracer_lost);
    layer.traced_generation.resize(layer.traced.size(), layer.generation + 1);
  }
  if (layer.fd < 0) return;
  // What arrives from here on (and what came during the read, whose tables
  // may predate the TIME_WAIT rows it left) waits for the next poll.
  layer.reading = true;
  // Before this read counts as seen: the remnants no earlier read listed.
  if (layer.tracer) PickClosedRemnants(rows, layer.traced, layer.seen, layer.remnants);
  NoteRead(layer.seen, rows, now_ms);
  // Told now: their destroy notifications must not tell them again.
  for (const ShortLivedSocket& remnant : layer.remnants) MarkSeen(layer.seen, remnant.raw.cookie);
  DrainNotifications(layer);
}

ShortLived::~ShortLived() {
  if (fd >= 0) close(fd);
}

std::string ScarceDescriptors() {
  rlimit files{};
  if (getrlimit(RLIMIT_NOFILE, &files) == 0 && files.rlim_cur != RLIM_INFINITY &&
      files.rlim_cur < kFewestFiles) {
    return "too few descriptors allowed: " + track::DecimalText(uint64_t{files.rlim_cur});
  }
  return "";
}

std::string StartShortLived(ShortLived& layer, Tracer& tracer) {
  std::string scarce = ScarceDescriptors();
  if (!scarce.empty()) scarce = "off (" + scarce + ")";
  std::string events = "off";
  if (!scarce.empty()) {
    events = scarce;
  } else if (SwitchedOff("SOCKVANE_NO_DESTROY_EVENTS")) {
    events = "off (SOCKVANE_NO_DESTROY_EVENTS)";
  } else if ((layer.fd = Subscribe()) < 0) {
    events = std::string("off (") + std::strerror(errno) + ")";
  } else {
    events = "on";
  }
  std::string traced = "off";
  if (!scarce.empty()) {
    traced = scarce;
  } else if (SwitchedOff("SOCKVANE_NO_TRACER")) {
    traced = "off (SOCKVANE_NO_TRACER)";
  } else if (std::string why; StartTracer(tracer, layer.proc_root, true, why)) {
    layer.tracer = true;
    traced = "on";
  } else {
    traced = "off (" + why + ")";
  }
  if (isatty(STDERR_FILENO) != 1) return "";
  return "sockvane: short-lived sockets: destroy notifications " + events + ", tracer " + traced;
}

void GiveTracedOwners(ShortLived& layer, Tracer& tracer, const std::vector<RawSocket>& rows, bool closes_only,
                      std::vector<uint32_t>& pids, std::unordered_map<uint32_t, std::string>& names) {
  if (!layer.tracer) return;
  DrainTracer(tracer, layer.traced, layer.tracer_lost);
  layer.traced_generation.resize(layer.traced.size(), layer.generation + 1);
  GiveTracedOwners(rows, layer.traced, closes_only, pids, names);
}

void ReadShortLived(ShortLived& layer, Tracer& tracer, const RowConsumer& consume) {
  if (layer.fd < 0) {
    // No notifications to give owners to: keep only what the next read may use.
    if (layer.tracer) {
      layer.traced.clear();
      layer.traced_generation.clear();
      DrainTracer(tracer, layer.traced, layer.tracer_lost);
      layer.traced_generation.resize(layer.traced.size(), layer.generation);
    }
    return;
  }
  ++layer.generation;
  if (layer.tracer) {
    DrainTracer(tracer, layer.traced, layer.tracer_lost);
    layer.traced_generation.resize(layer.traced.size(), layer.generation);
  }
  std::vector<ShortLivedSocket> picked;
  picked.swap(layer.remnants);
  DrainNotifications(layer);
  PickShortLived(layer.pending, layer.traced, layer.seen, picked, layer.tally);
  layer.pending.clear();
  layer.pending.swap(layer.later);
  layer.reading = false;

  // A socket's records come within the few polls around its short life.
  std::size_t kept = 0;
  for (std::size_t i = 0; i < layer.traced.size(); ++i) {
    if (layer.traced_generation[i] + kSeenReads <= layer.generation) continue;
    layer.traced[kept] = std::move(layer.traced[i]);
    layer.traced_generation[kept++] = layer.traced_generation[i];
  }
  layer.traced.resize(kept);
  layer.traced_generation.resize(kept);

  std::unordered_map<uint32_t, track::ProcessName> names;
  for (ShortLivedSocket& f : picked) {
    track::TConn row;
    FillAddressFields(f.raw, row);
    row.pid = f.pid;
    if (f.pid == 0) {
      row.process = track::MakeProcessName("unknown");
    } else if (!f.name.empty()) {
      row.process =
          track::MakeProcessName(std::move(f.name), layer.units ? UnitOf(layer.proc_root, f.pid) : "");
    } else {
      auto [it, inserted] = names.try_emplace(f.pid);
      if (inserted) {
        it->second = track::MakeProcessName(ProcessNameOf(layer.proc_root, f.pid),
                                            layer.units ? UnitOf(layer.proc_root, f.pid) : "");
      }
      row.process = it->second;
    }
    row.life_ms = static_cast<int64_t>(f.life_ns / 1000000);
    // Only the tracer names the owner of a socket no read saw.
    row.owner_from = f.pid == 0 ? track::OwnerFrom::kNone : track::OwnerFrom::kTraced;
    consume(std::move(row));
  }
}

void PauseShortLived(ShortLived& layer, uint32_t milliseconds) {
  if (layer.fd < 0) {
    if (milliseconds > 0) platform::PauseMs(milliseconds);
    return;
  }
  const int64_t start_ms = platform::SteadyMs();
  for (;;) {
    DrainNotifications(layer);
    const int64_t left = int64_t{milliseconds} - platform::SteadyMs() + start_ms;
    if (left <= 0) return;
    pollfd wait{layer.fd, POLLIN, 0};
    poll(&wait, 1, static_cast<int>(left));
  }
}

std::string ShortLivedLossNotice(ShortLived& layer) {
  DrainNotifications(layer);
  const int64_t now_ms = platform::SteadyMs();
  const uint64_t losses = layer.overruns + layer.dropped + layer.tracer_lost;
  if (losses == layer.told_losses) return "";
  if (layer.told_losses != 0 && now_ms - layer.told_at_ms < kNoticeGapMs) return "";
  layer.told_losses = losses;
  layer.told_at_ms = now_ms;
  std::string text = "sockvane: short-lived sockets may be missing: ";
  std::string sep;
  if (layer.overruns != 0) {
    text += track::DecimalText(layer.overruns) + " overruns of the destroy notifications";
    sep = ", ";
  }
  if (layer.dropped != 0) {
    text += sep + track::DecimalText(layer.dropped) + " notifications over the queue bound";
    sep = ", ";
  }
  if (layer.tracer_lost != 0) text += sep + track::DecimalText(layer.tracer_lost) + " tracer records lost";
  return text + " since start";
}

}  // namespace sockvane::source
