#include "source/source_linux.h"

#include <algorithm>
#include <memory>
#include <unordered_map>

#include "platform/clock.h"
#include "source/netlink_linux.h"

namespace sockvane::source {

LinuxSource::LinuxSource(const std::string& proc_root) {
  reads.proc_root = proc_root;
  owners.proc_root = proc_root;
  short_lived.proc_root = proc_root;
}

std::string LinuxSource::Start(const SourceSettings& start) {
  settings = start;
  // A test switch: the filters alone, as on a kernel that refuses the filter.
  if (SwitchedOff("SOCKVANE_NO_KERNEL_FILTER")) reads.kernel_filter = false;
  if (reads.kernel_filter) short_lived.filter = settings.filter;
  if (settings.short_lived) return StartShortLived(short_lived, tracer);
  // One scan may take its owners from one walk, which needs no hooks: the
  // read decides, once it knows how many there are to find.
  walk_once = ScarceDescriptors().empty();
  return "";
}

bool LinuxSource::ReadTcpTable(const RowConsumer& consume, const RowWanted& wanted) {
  raws.clear();
  if (!ReadSocketTables(reads, settings.filter, raws)) return false;
  NoteTableRead(short_lived, tracer, raws);

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
  // The dump came before the owners were read: a socket that lost its last
  // holder between the two, and is gone or orphaned now, was closed by its
  // owner after the dump listed it, and was still the owner's then. One that
  // lives on with nobody holding it (in flight) has none.
  const auto closed_since_dump = [this](const OwnerMap& before) {
    for (std::size_t i = 0; i < raws.size(); ++i) {
      if (pids[i] != 0 || raws[i].inode == 0) continue;
      const auto it = before.find(raws[i].inode);
      if (it != before.end() && !StillHeld(reads, raws[i])) pids[i] = it->second;
    }
  };
  // The tracer's walk where it runs; one that fails leaves this read to /proc.
  std::string walk_failure;
  const bool by_walk = TracerActive(tracer) && WalkOwners(tracer, walked, walk_failure);
  if (by_walk) {
    JoinOwners(raws, walked.owners, pids);
    closed_since_dump(walked.left);
    owners.problem.clear();
  } else {
    JoinOwners(raws, FindOwners(owners, raws, platform::SteadyMs()), pids);
    if (owners.previous_poll == owners.poll) closed_since_dump(owners.previous);
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
  if (by_walk || !owners.complete) GiveTracedOwners(short_lived, tracer, raws, by_walk, pids, traced_names);

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
        it->second = track::MakeProcessName(std::move(name));
      }
      row.process = it->second;
    }
    consume(std::move(row));
  }
  return true;
}

void LinuxSource::ReadShortLived(const RowConsumer& consume) {
  source::ReadShortLived(short_lived, tracer, consume);
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
