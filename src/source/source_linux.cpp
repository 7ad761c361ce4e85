#include "source/source_linux.h"

#include <algorithm>
#include <memory>
#include <unordered_map>

#include "platform/clock.h"
#include "source/direction.h"
#include "source/netlink_linux.h"
#include "source/proc_linux.h"
#include "source/proc_net_linux.h"

namespace sockvane::source {

namespace {

// The TCP listeners of this read: in the rows when the dump left none out,
// else by a dump of their own. Unknown when that fails.
void NoteListeners(TableReads& reads, const std::vector<RawSocket>& rows, Listeners& listeners) {
  ClearListeners(listeners);
  std::vector<RawSocket> own;
  const bool filtered = reads.path == TablePath::kNetlinkFirst && reads.kernel_filter;
  if (filtered && !DumpTcpListeners(reads, own)) return;
  for (const RawSocket& raw : filtered ? own : rows) {
    if (raw.protocol != kProtoTcp || raw.state != kLinuxListen) continue;
    track::TConn row;
    FillAddressFields(raw, row);
    AddListener(listeners, row.src_ip, row.src_port);
  }
  SealListeners(listeners);
}

// The rows' sockets whose connect the hooks saw, now or at an earlier read:
// kept while the table lists them, so every event of a connection agrees.
void NoteConnected(const std::vector<TracedSocket>& traced, const std::vector<RawSocket>& rows,
                   std::unordered_set<uint64_t>& connected) {
  std::unordered_set<uint64_t> fresh;
  for (const TracedSocket& t : traced) {
    if (t.kind == TraceKind::kConnect && t.protocol == kProtoTcp) fresh.insert(t.cookie);
  }
  std::unordered_set<uint64_t> kept;
  for (const RawSocket& raw : rows) {
    if (raw.cookie != 0 && (connected.count(raw.cookie) != 0 || fresh.count(raw.cookie) != 0)) {
      kept.insert(raw.cookie);
    }
  }
  connected.swap(kept);
}

}  // namespace

LinuxSource::LinuxSource(const std::string& proc_root) {
  reads.proc_root = proc_root;
  owners.proc_root = proc_root;
  short_lived.proc_root = proc_root;
}

std::string LinuxSource::Start(const SourceSettings& start) {
  settings = start;
  // A test switch: the filters alone, as on a kernel that refuses the filter.
  if (SwitchedOff("SOCKVANE_NO_KERNEL_FILTER")) reads.kernel_filter = false;
  if (SwitchedOff("SOCKVANE_NO_BPF_TABLE")) reads.by_tracer = false;
  if (reads.kernel_filter) short_lived.filter = settings.filter;
  short_lived.units = settings.units;
  if (settings.short_lived) return StartShortLived(short_lived, tracer);
  // One scan may take its owners from one walk, which needs no hooks. Where
  // the kernel counts enough sockets for it, the tracer is there before the
  // read, which its iterators then make too; otherwise the read decides, once
  // it knows how many there are to find.
  walk_once = ScarceDescriptors().empty();
  if (std::size_t in_use = 0;
      walk_once && ReadSocketsInUse(reads.proc_root, in_use) && OneScanWalks(in_use, ProcShowsAll())) {
    walk_once = false;
    std::string why;
    StartTracer(tracer, reads.proc_root, false, why);
  }
  return "";
}

bool LinuxSource::ReadTcpTable(const RowConsumer& consume, const RowWanted& wanted) {
  // Room for a large table at once: untouched pages cost nothing, and growing
  // would copy every row and touch new pages on each doubling.
  if (raws.capacity() == 0) raws.reserve(1U << 16);
  raws.clear();
  if (!ReadSocketTables(reads, settings.filter, raws, &tracer)) return false;
  NoteTableRead(short_lived, tracer, raws, platform::SteadyMs());
  if (settings.direction && settings.filter.tcp) NoteListeners(reads, raws, listeners);
  if (settings.direction && short_lived.tracer) NoteConnected(short_lived.traced, raws, connected);

  // Owners only for the rows that may be wanted.
  std::size_t kept = 0;
  for (std::size_t i = 0; i < raws.size(); ++i) {
    track::TConn row;
    FillAddressFields(raws[i], row);
    if (wanted && !wanted(row)) continue;
    raws[kept++] = raws[i];
  }
  raws.resize(kept);
  if (walk_once) {
    walk_once = false;
    const auto held = static_cast<std::size_t>(
        std::count_if(raws.begin(), raws.end(), [](const RawSocket& raw) { return raw.inode != 0; }));
    if (std::string why; OneScanWalks(held, ProcShowsAll())) StartTracer(tracer, reads.proc_root, false, why);
  }
  // The tracer's walk where it runs; one that fails leaves this read to /proc.
  std::string walk_failure;
  // No walk for a read that lists nothing (a scope that leaves every socket
  // out): the next one brings the walk up to date.
  const bool by_walk = TracerActive(tracer) && !raws.empty() && WalkOwners(tracer, walked, walk_failure);
  JoinOwners(raws, by_walk ? walked.owners : FindOwners(owners, raws, platform::SteadyMs()), pids);
  if (by_walk) owners.problem.clear();
  from.assign(pids.size(), track::OwnerFrom::kNone);
  // Seen in a descriptor table this poll, or kept from the table's last read
  // (by the walk: of a process whose descriptors have not changed since).
  for (std::size_t i = 0; i < raws.size(); ++i) {
    if (pids[i] == 0) continue;
    bool read_now = false;
    if (by_walk) {
      const auto process = walked.processes.find(pids[i]);
      read_now = process != walked.processes.end() && process->second.walked_at == walked.poll;
    } else {
      const auto process = owners.processes.find(pids[i]);
      read_now = process != owners.processes.end() && process->second.read_at == owners.poll;
    }
    from[i] = read_now ? track::OwnerFrom::kFd : track::OwnerFrom::kCached;
  }
  // The dump came before the owners were read: a socket that lost its last
  // holder between the two, and is gone or orphaned now, was closed by its
  // owner after the dump listed it, and was still the owner's then. One that
  // lives on with nobody holding it (in flight) has none.
  if (by_walk || owners.previous_poll == owners.poll) {
    const OwnerMap& before = by_walk ? walked.left : owners.previous;
    for (std::size_t i = 0; i < raws.size(); ++i) {
      if (pids[i] != 0 || raws[i].inode == 0) continue;
      const auto it = before.find(raws[i].inode);
      if (it != before.end() && !StillHeld(reads, raws[i])) {
        pids[i] = it->second;
        from[i] = track::OwnerFrom::kCached;
      }
    }
  }
  // A search hampered but complete is nothing to tell; otherwise tell how many it left.
  if (!owners.problem.empty()) {
    std::size_t listed = 0, unfound = 0;
    for (std::size_t i = 0; i < raws.size(); ++i) {
      if (raws[i].inode == 0) continue;
      ++listed;
      unfound += pids[i] == 0 ? 1 : 0;
    }
    owners.problem = unfound == 0 ? std::string()
                                  : owners.problem + " (" + std::to_string(unfound) + " of " +
                                        std::to_string(listed) + " sockets without an owner)";
  }
  // Where the search could not settle every owner, the tracer's record may
  // name one; where it did, a socket it found no holder for has none, unless
  // its owner closed it after the table was read (which the walk, unlike
  // the /proc search, knows of only from the records).
  std::unordered_map<uint32_t, std::string> traced_names;
  if (by_walk || !owners.complete) {
    searched = pids;
    GiveTracedOwners(short_lived, tracer, raws, by_walk, pids, traced_names);
    for (std::size_t i = 0; i < raws.size(); ++i) {
      if (pids[i] != searched[i]) from[i] = track::OwnerFrom::kTraced;
    }
  }

  // Named once per PID a read; the rows of a process share the text.
  std::unordered_map<uint32_t, track::ProcessName> names;
  const track::ProcessName unknown = track::MakeProcessName("unknown");
  for (std::size_t i = 0; i < raws.size(); ++i) {
    track::TConn row;
    FillAddressFields(raws[i], row);
    row.pid = pids[i];
    if (row.pid == 0) {
      row.process = unknown;
    } else {
      auto [it, inserted] = names.try_emplace(row.pid);
      if (inserted) {
        std::string name = by_walk ? WalkedName(walked, row.pid) : "";
        if (name.empty()) name = OwnerName(owners, row.pid);
        // Also when the process has gone since the table was read: the tracer saw it.
        const auto traced = traced_names.find(row.pid);
        if (name == "unknown" && traced != traced_names.end()) name = traced->second;
        it->second = track::MakeProcessName(
            std::move(name), settings.units ? UnitOf(owners.proc_root, row.pid) : std::string());
      }
      row.process = it->second;
    }
    row.owner_from = from[i];
    if (settings.direction) {
      // A connect the hooks saw is ours whatever listens on its port.
      row.direction =
          connected.count(raws[i].cookie) != 0 ? track::Direction::kOut : DirectionOf(listeners, row);
    }
    consume(std::move(row));
  }
  return true;
}

void LinuxSource::ReadShortLived(const RowConsumer& consume) {
  if (!settings.direction) return source::ReadShortLived(short_lived, tracer, consume);
  // By the listeners of the read just made: those of the sockets' lifetimes, or near.
  source::ReadShortLived(short_lived, tracer, [this, &consume](track::TConn&& row) {
    row.direction = DirectionOf(listeners, row);
    consume(std::move(row));
  });
}

void LinuxSource::Pause(uint32_t milliseconds) {
  PauseShortLived(short_lived, milliseconds);
}

std::vector<std::string> LinuxSource::Notices() {
  std::vector<std::string> lines;
  if (std::string notice = ShortLivedLossNotice(short_lived); !notice.empty())
    lines.push_back(std::move(notice));
  if (!owners.problem.empty() && !owner_problem_told) {
    // Every owner reads PID 0 then: that must not pass for a host of ownerless sockets.
    lines.push_back("sockvane: could not search for socket owners: " + owners.problem);
    owner_problem_told = true;
  }
  return lines;
}

std::unique_ptr<Source> MakeSystemSource() {
  return std::make_unique<LinuxSource>();
}

}  // namespace sockvane::source
