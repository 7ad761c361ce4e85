// Sockets that open and close between two reads: the kernel's socket-destroy
// notifications say that they existed, the tracer's records who owned them.
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
#include <unordered_map>

#include "platform/clock.h"
#include "source/short_lived.h"
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

constexpr uint8_t kLinuxTimeWait = 6;  // TCP_TIME_WAIT

template <typename T>
void SortUnique(std::vector<T>& values) {
  std::sort(values.begin(), values.end());
  values.erase(std::unique(values.begin(), values.end()), values.end());
}

template <typename T>
bool Holds(const std::vector<T>& sorted, const T& value) {
  return std::binary_search(sorted.begin(), sorted.end(), value);
}

// A reset socket keeps its protocol, family, source port and destination
// address; the kernel clears the rest.
SocketTuple ResetTuple(uint8_t protocol, bool ipv6, uint16_t src_port, const std::array<uint8_t, 16>& dst) {
  return TupleOf(protocol, ipv6, {}, src_port, dst, 0);
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

struct TupleHash {
  std::size_t operator()(const SocketTuple& tuple) const {
    uint64_t hash = 1469598103934665603ull;  // FNV-1a
    for (uint8_t byte : tuple) hash = (hash ^ byte) * 1099511628211ull;
    return static_cast<std::size_t>(hash);
  }
};

}  // namespace

void NoteRead(SeenReads& seen, const std::vector<RawSocket>& rows) {
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
  SortUnique(marks.uncookied);
  SortUnique(marks.time_wait);
}

bool SeenByRead(const SeenReads& seen, const RawSocket& raw) {
  const SocketTuple tuple = TupleOf(raw);
  for (const ReadMarks& marks : seen.reads) {
    if (raw.cookie != 0 && Holds(marks.cookies, raw.cookie)) return true;
    if (Holds(marks.uncookied, tuple)) return true;
  }
  return false;
}

void PickFleeting(const std::vector<RawSocket>& destroyed, const std::vector<TracedSocket>& traced,
                  const SeenReads& seen, std::vector<Fleeting>& out, FleetingTally& tally) {
  std::unordered_map<uint64_t, Trace> by_cookie;
  std::unordered_map<SocketTuple, Trace, TupleHash> by_tuple;
  std::unordered_map<SocketTuple, Trace, TupleHash> by_reset_tuple;
  // A connect record has no source yet: the whole tuple comes from another.
  std::unordered_map<uint64_t, std::size_t> whole_tuple;
  for (std::size_t i = 0; i < traced.size(); ++i) {
    const TracedSocket& t = traced[i];
    if (t.cookie != 0 && t.src_port != 0 && t.dst_port != 0) whole_tuple[t.cookie] = i;
    if (t.pid == 0) continue;
    if (t.cookie != 0) {
      // Two cookies that differ are two sockets, whatever their tuples.
      AddTrace(by_cookie, t.cookie, i, t.when_ns);
      continue;
    }
    if (t.dst_port == 0) continue;  // not connected yet: no tuple to go by
    AddTrace(by_tuple, TupleOf(t.protocol, t.ipv6, t.src, t.src_port, t.dst, t.dst_port), i, t.when_ns);
    if (t.protocol == kProtoTcp)
      AddTrace(by_reset_tuple, ResetTuple(t.protocol, t.ipv6, t.src_port, t.dst), i, t.when_ns);
  }

  for (const RawSocket& raw : destroyed) {
    ++tally.destroyed;
    if (SeenByRead(seen, raw)) {
      ++tally.seen;
      continue;
    }
    const Trace* trace = nullptr;
    if (raw.cookie != 0) {
      if (auto it = by_cookie.find(raw.cookie); it != by_cookie.end()) trace = &it->second;
    }
    if (trace == nullptr && raw.dst_port != 0) {
      if (auto it = by_tuple.find(TupleOf(raw)); it != by_tuple.end()) trace = &it->second;
    }
    if (trace == nullptr && raw.dst_port == 0 && raw.protocol == kProtoTcp) {
      auto it = by_reset_tuple.find(ResetTuple(raw.protocol, raw.ipv6, raw.src_port, raw.dst));
      if (it != by_reset_tuple.end()) trace = &it->second;
    }

    Fleeting fleeting;
    fleeting.raw = raw;
    if (trace != nullptr) {
      const TracedSocket& owner = traced[trace->first];
      fleeting.pid = owner.pid;
      fleeting.name = owner.name;
      fleeting.life_ns = trace->latest - trace->earliest;
      const auto whole = whole_tuple.find(owner.cookie);
      const TracedSocket& t = whole != whole_tuple.end() ? traced[whole->second] : owner;
      if (raw.dst_port == 0 && t.dst_port != 0 && t.protocol == raw.protocol && t.ipv6 == raw.ipv6) {
        // The tracer saw the whole tuple before the reset cleared it.
        fleeting.raw.src = t.src;
        fleeting.raw.dst = t.dst;
        fleeting.raw.src_port = t.src_port;
        fleeting.raw.dst_port = t.dst_port;
      }
    }
    const RawSocket& kept = fleeting.raw;
    if (kept.protocol == kProtoTcp && kept.dst_port == 0) {
      // Where it went is gone; reporting it would invent a destination.
      ++tally.no_peer;
      continue;
    }
    if (fleeting.pid == 0 && kept.protocol == kProtoTcp) {
      const SocketTuple tuple = TupleOf(kept);
      bool shown = false;
      for (const ReadMarks& marks : seen.reads) shown = shown || Holds(marks.time_wait, tuple);
      if (shown) {
        ++tally.time_wait;
        continue;
      }
    }
    ++tally.reported;
    out.push_back(std::move(fleeting));
  }
}

void GiveTracedOwners(const std::vector<RawSocket>& rows, const std::vector<TracedSocket>& traced,
                      std::vector<uint32_t>& pids, std::unordered_map<uint32_t, std::string>& names) {
  if (traced.empty()) return;
  // Records come in time order: the later of two for one socket wins.
  std::unordered_map<uint64_t, const TracedSocket*> by_cookie;
  std::unordered_map<SocketTuple, const TracedSocket*, TupleHash> by_tuple;
  for (const TracedSocket& t : traced) {
    if (t.pid == 0) continue;
    if (t.cookie != 0) by_cookie[t.cookie] = &t;
    if (t.dst_port != 0) by_tuple[TupleOf(t.protocol, t.ipv6, t.src, t.src_port, t.dst, t.dst_port)] = &t;
  }
  const auto give = [&](std::size_t i, const TracedSocket& t) {
    pids[i] = t.pid;
    if (!t.name.empty()) names[t.pid] = t.name;
  };
  for (std::size_t i = 0; i < rows.size() && i < pids.size(); ++i) {
    const RawSocket& raw = rows[i];
    if (pids[i] != 0 || raw.inode == 0) continue;
    if (raw.cookie != 0) {
      if (auto it = by_cookie.find(raw.cookie); it != by_cookie.end()) {
        give(i, *it->second);
        continue;
      }
    }
    if (raw.dst_port == 0) continue;
    if (auto it = by_tuple.find(TupleOf(raw)); it != by_tuple.end()) give(i, *it->second);
  }
}

namespace {

// Keeps a burst from growing without bound between two polls.
constexpr std::size_t kMaxPending = 1 << 18;
constexpr int kReceiveBuffer = 8 << 20;
constexpr int64_t kNoticeGapMs = 60000;
constexpr rlim_t kFewestFiles = 64;

struct Layer {
  int fd = -1;
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
  FleetingTally tally;
  uint64_t overruns = 0;  // ENOBUFS: an unknown number of notifications
  uint64_t dropped = 0;   // over kMaxPending
  uint64_t tracer_lost = 0;
  uint64_t told_losses = 0;
  int64_t told_at_ms = 0;
};

Layer g_layer;

bool SwitchedOff(const char* name) {
  const char* value = std::getenv(name);
  return value != nullptr && std::strcmp(value, "1") == 0;
}

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
void DrainNotifications() {
  if (g_layer.fd < 0) return;
  std::vector<RawSocket>& into = g_layer.reading ? g_layer.later : g_layer.pending;
  static std::vector<uint8_t> buffer(1 << 16);
  for (;;) {
    sockaddr_nl sender;
    socklen_t sender_size = sizeof sender;
    ssize_t got = recvfrom(g_layer.fd, buffer.data(), buffer.size(), MSG_DONTWAIT | MSG_TRUNC,
                           reinterpret_cast<sockaddr*>(&sender), &sender_size);
    if (got < 0) {
      if (errno == EINTR) continue;
      if (errno == ENOBUFS) {
        ++g_layer.overruns;
        continue;
      }
      return;  // EAGAIN: nothing more for now
    }
    if (static_cast<std::size_t>(got) > buffer.size()) {
      ++g_layer.overruns;  // cut datagram: its messages are lost
      continue;
    }
    if (sender_size < sizeof sender || sender.nl_pid != 0) continue;  // only the kernel speaks here
    std::size_t before = into.size();
    ParseDiagReply(buffer.data(), static_cast<std::size_t>(got), 0, 0, into);
    if (into.size() > kMaxPending) {
      g_layer.dropped += into.size() - std::max(before, kMaxPending);
      into.resize(std::max(before, kMaxPending));
    }
  }
}

int64_t MonotonicMs(const timespec& t) {
  return int64_t{t.tv_sec} * 1000 + t.tv_nsec / 1000000;
}

}  // namespace

void NoteTableRead(const std::vector<RawSocket>& rows) {
  if (g_layer.tracer && TracerActive()) {
    // Records of this read's sockets belong to the poll it starts.
    DrainTracer(g_layer.traced, g_layer.tracer_lost);
    g_layer.traced_generation.resize(g_layer.traced.size(), g_layer.generation + 1);
  }
  if (g_layer.fd < 0) return;
  // What arrives from here on (and what came during the read, whose tables
  // may predate the TIME_WAIT rows it left) waits for the next poll.
  g_layer.reading = true;
  NoteRead(g_layer.seen, rows);
  DrainNotifications();
}

namespace {

// libbpf opens descriptors of its own: a closed standard stream must not
// become one of them, or our writes would go to a BPF object, not fail.
bool StartTracerAboveStdStreams(std::string& why) {
  std::vector<int> held;
  for (int fd = STDIN_FILENO; fd <= STDERR_FILENO; ++fd) {
    if (fcntl(fd, F_GETFD) != -1 || errno != EBADF) continue;
    const int placeholder = open("/dev/null", O_RDWR | O_CLOEXEC);
    if (placeholder >= 0) held.push_back(placeholder);
  }
  const bool started = StartTracer(why);
  for (const int fd : held) close(fd);
  return started;
}

}  // namespace

std::string StartShortLived() {
  // The table read needs descriptors of its own: under a tight limit it
  // comes first, and these extras stay off.
  std::string scarce;
  rlimit files{};
  if (getrlimit(RLIMIT_NOFILE, &files) == 0 && files.rlim_cur != RLIM_INFINITY &&
      files.rlim_cur < kFewestFiles) {
    scarce = "off (too few descriptors allowed: " + track::DecimalText(uint64_t{files.rlim_cur}) + ")";
  }
  std::string events = "off";
  if (!scarce.empty()) {
    events = scarce;
  } else if (SwitchedOff("SOCKVANE_NO_DESTROY_EVENTS")) {
    events = "off (SOCKVANE_NO_DESTROY_EVENTS)";
  } else if ((g_layer.fd = Subscribe()) < 0) {
    events = std::string("off (") + std::strerror(errno) + ")";
  } else {
    events = "on";
  }
  std::string tracer = "off";
  if (!scarce.empty()) {
    tracer = scarce;
  } else if (SwitchedOff("SOCKVANE_NO_TRACER")) {
    tracer = "off (SOCKVANE_NO_TRACER)";
  } else if (std::string why; StartTracerAboveStdStreams(why)) {
    g_layer.tracer = true;
    tracer = "on";
  } else {
    tracer = "off (" + why + ")";
  }
  if (isatty(STDERR_FILENO) != 1) return "";
  return "sockvane: short-lived sockets: destroy notifications " + events + ", tracer " + tracer;
}

void GiveTracedOwners(const std::vector<RawSocket>& rows, std::vector<uint32_t>& pids,
                      std::unordered_map<uint32_t, std::string>& names) {
  GiveTracedOwners(rows, g_layer.traced, pids, names);
}

void ReadShortLived(const RowConsumer& consume) {
  if (g_layer.fd < 0) {
    // No notifications to give owners to: keep only what the next read may use.
    if (g_layer.tracer && TracerActive()) {
      g_layer.traced.clear();
      g_layer.traced_generation.clear();
      DrainTracer(g_layer.traced, g_layer.tracer_lost);
      g_layer.traced_generation.resize(g_layer.traced.size(), g_layer.generation);
    }
    return;
  }
  ++g_layer.generation;
  if (g_layer.tracer && TracerActive()) {
    DrainTracer(g_layer.traced, g_layer.tracer_lost);
    g_layer.traced_generation.resize(g_layer.traced.size(), g_layer.generation);
  }
  static std::vector<Fleeting> picked;
  picked.clear();
  DrainNotifications();
  PickFleeting(g_layer.pending, g_layer.traced, g_layer.seen, picked, g_layer.tally);
  g_layer.pending.clear();
  g_layer.pending.swap(g_layer.later);
  g_layer.reading = false;

  // A socket's records come within the few polls around its short life.
  std::size_t kept = 0;
  for (std::size_t i = 0; i < g_layer.traced.size(); ++i) {
    if (g_layer.traced_generation[i] + kSeenReads <= g_layer.generation) continue;
    g_layer.traced[kept] = std::move(g_layer.traced[i]);
    g_layer.traced_generation[kept++] = g_layer.traced_generation[i];
  }
  g_layer.traced.resize(kept);
  g_layer.traced_generation.resize(kept);

  std::unordered_map<uint32_t, track::ProcessName> names;
  for (Fleeting& f : picked) {
    track::TConn row;
    FillAddressFields(f.raw, row);
    row.pid = f.pid;
    if (f.pid == 0) {
      row.process = track::MakeProcessName("unknown");
    } else if (!f.name.empty()) {
      row.process = track::MakeProcessName(std::move(f.name));
    } else {
      auto [it, inserted] = names.try_emplace(f.pid);
      if (inserted) it->second = track::MakeProcessName(ProcessNameForPid(f.pid));
      row.process = it->second;
    }
    row.life_ms = static_cast<int64_t>(f.life_ns / 1000000);
    consume(std::move(row));
  }
}

void PauseShortLived(uint32_t milliseconds) {
  if (g_layer.fd < 0) {
    if (milliseconds > 0) platform::PauseMs(milliseconds);
    return;
  }
  timespec start{};
  clock_gettime(CLOCK_MONOTONIC, &start);
  for (;;) {
    DrainNotifications();
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    const int64_t left = int64_t{milliseconds} - MonotonicMs(now) + MonotonicMs(start);
    if (left <= 0) return;
    pollfd wait{g_layer.fd, POLLIN, 0};
    poll(&wait, 1, static_cast<int>(left));
  }
}

std::string ShortLivedLossNotice() {
  DrainNotifications();
  timespec now{};
  clock_gettime(CLOCK_MONOTONIC, &now);
  const int64_t now_ms = MonotonicMs(now);
  const uint64_t losses = g_layer.overruns + g_layer.dropped + g_layer.tracer_lost;
  if (losses == g_layer.told_losses) return "";
  if (g_layer.told_losses != 0 && now_ms - g_layer.told_at_ms < kNoticeGapMs) return "";
  g_layer.told_losses = losses;
  g_layer.told_at_ms = now_ms;
  std::string text = "sockvane: short-lived sockets may be missing: ";
  std::string sep;
  if (g_layer.overruns != 0) {
    text += track::DecimalText(g_layer.overruns) + " overruns of the destroy notifications";
    sep = ", ";
  }
  if (g_layer.dropped != 0) {
    text += sep + track::DecimalText(g_layer.dropped) + " notifications over the queue bound";
    sep = ", ";
  }
  if (g_layer.tracer_lost != 0)
    text += sep + track::DecimalText(g_layer.tracer_lost) + " tracer records lost";
  return text + " since start";
}

}  // namespace sockvane::source
