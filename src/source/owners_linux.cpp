#include "source/owners_linux.h"

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "platform/clock.h"

namespace sockvane::source {
namespace {

// Out of descriptors: owners go missing, and the user must hear of it.
void NoteFailure(OwnerSearch& search) {
  if ((errno == EMFILE || errno == ENFILE) && search.problem.empty()) search.problem = std::strerror(errno);
}

ProcessLook Look(OwnerSearch& search, uint32_t pid) {
  ProcessLook look;
  look.known =
      CountDescriptors(search.proc, pid, look.descriptors) && ReadRunTime(search.proc, pid, look.run);
  if (!look.known) NoteFailure(search);
  return look;
}

// A process seen for the first time (or its PID reused): kernel threads hold
// no descriptors; a process sharing its parent's table changes with it.
void Meet(OwnerSearch& search, uint32_t pid, OwnedProcess& process) {
  ProcStat stat;
  if (!ReadProcStat(search.proc, pid, stat)) return;
  process.kernel_thread = (stat.flags & kKernelThreadFlag) != 0;
  if (!process.kernel_thread && stat.ppid > 1 && search.processes.count(stat.ppid) != 0 &&
      ShareDescriptorTable(pid, stat.ppid)) {
    process.table_of = stat.ppid;
  }
}

// Reads on through a process's descriptors while the budget lasts above
// `reserve`. True when the read came to its end.
bool ReadOn(OwnerSearch& search, uint32_t pid, OwnedProcess& process, uint64_t& budget, uint64_t reserve) {
  if (budget <= reserve) return false;
  if (!process.reading) {
    // Taken before the read: a change during it shows at the next look.
    process.look = process.due_look;
    process.reading = true;
    process.resume = 0;
    process.found.clear();
  }
  uint64_t share = budget - reserve;
  const uint64_t before = share;
  const FdRead read = ReadSocketInodes(search.proc, pid, process.resume, share, process.found);
  search.links += before - share;
  budget -= before - share;
  if (read == FdRead::kPartial) return false;
  process.reading = false;
  if (read == FdRead::kDenied) {
    NoteFailure(search);
    process.readable = false;
    process.found.clear();
  } else {
    process.readable = true;
    ++search.tables;
  }
  std::sort(process.found.begin(), process.found.end());
  process.found.erase(std::unique(process.found.begin(), process.found.end()), process.found.end());
  process.sockets.swap(process.found);
  process.found.clear();
  process.read_at = search.poll;
  process.name_stale = true;
  return true;
}

// Processes sharing one table hold the same sockets: what a read of one found
// holds for the other, as long as they still share it.
void CarrySharedTables(OwnerSearch& search) {
  for (auto& [pid, process] : search.processes) {
    if (process.table_of == 0) continue;
    auto parent = search.processes.find(process.table_of);
    if (parent == search.processes.end() || !ShareDescriptorTable(pid, process.table_of)) {
      process.table_of = 0;
      continue;
    }
    OwnedProcess& other = parent->second;
    if (process.read_at == search.poll && other.read_at != search.poll) {
      other.sockets = process.sockets;
    } else if (other.read_at == search.poll && process.read_at != search.poll) {
      process.sockets = other.sockets;
    }
  }
}

}  // namespace

const OwnerMap& FindOwners(OwnerSearch& search, const std::vector<RawSocket>& rows, int64_t now_ms) {
  search.problem.clear();
  search.complete = false;
  // The gap between reads sets the budget, also after reads that had nothing
  // to look for: only the very first read may read every descriptor at once.
  const int64_t gap_ms = search.have_last ? now_ms - search.last_ms : 0;
  search.have_last = true;
  search.last_ms = now_ms;
  if (std::none_of(rows.begin(), rows.end(), [](const RawSocket& row) { return row.inode != 0; })) {
    return search.owners;
  }
  ++search.poll;
  uint64_t budget = LinkBudget(gap_ms, search.spent_ms);
  const int64_t began_ms = platform::SteadyMs();
  search.problem = OpenProc(search.proc, search.proc_root, search.expect_procfs);
  if (!search.problem.empty()) return search.owners;
  if (!ListProcesses(search.proc, search.entries)) {
    search.problem = std::strerror(errno);
    CloseProc(search.proc);
    return search.owners;
  }

  // A process that left holds nothing; its record (and name) is kept for one
  // more poll, for the rows of sockets it closed after the dump.
  bool changed = false;
  for (auto it = search.processes.begin(); it != search.processes.end();) {
    const bool listed =
        std::binary_search(search.entries.begin(), search.entries.end(), ProcEntry{it->first, 0},
                           [](const ProcEntry& a, const ProcEntry& b) { return a.pid < b.pid; });
    OwnedProcess& process = it->second;
    if (!listed && process.left) {
      it = search.processes.erase(it);
      continue;
    }
    if (!listed) {
      changed = changed || !process.sockets.empty() || !process.found.empty();
      std::string name = std::move(process.name);
      process = OwnedProcess{};
      process.name = std::move(name);
      process.name_stale = false;
      process.left = true;
    }
    ++it;
  }
  std::vector<DueProcess> due;
  for (const ProcEntry& entry : search.entries) {
    OwnedProcess& process = search.processes[entry.pid];
    const bool fresh = process.entry != entry.inode;
    if (fresh) {
      changed = changed || !process.sockets.empty();
      process = OwnedProcess{};
      process.entry = entry.inode;
      Meet(search, entry.pid, process);
    }
    if (process.kernel_thread) continue;
    if (!process.reading) {
      // An unreadable process is tried again at its backstop only.
      if (!process.readable && !BackstopDue(search.poll, entry.pid)) continue;
      process.due_look = Look(search, entry.pid);
      // Compared with the look before the last read, whatever came since: a
      // read that waits for the budget stays due.
      if (!fresh && !BackstopDue(search.poll, entry.pid) && !MayHaveChanged(process.look, process.due_look))
        continue;
    }
    due.push_back(DueProcess{entry.pid, process.due_look.descriptors, process.read_at});
  }

  std::vector<uint32_t> smallest_first, oldest_first;
  OrderReads(std::move(due), smallest_first, oldest_first);
  const uint64_t reserve = budget == kUnlimited ? 0 : budget / 2;
  for (const auto* order : {&smallest_first, &oldest_first}) {
    for (uint32_t pid : *order) {
      OwnedProcess& process = search.processes[pid];
      if (process.read_at == search.poll && !process.reading) continue;
      const std::vector<uint64_t> before = process.sockets;
      if (ReadOn(search, pid, process, budget, order == &smallest_first ? reserve : 0)) {
        changed = changed || process.sockets != before;
      } else {
        changed = changed || !process.found.empty();
      }
    }
  }
  CarrySharedTables(search);
  CloseProc(search.proc);
  search.complete = search.problem.empty() &&
                    std::all_of(search.processes.begin(), search.processes.end(), [](const auto& item) {
                      return item.second.kernel_thread || (item.second.readable && !item.second.reading);
                    });

  if (changed) {
    search.previous.swap(search.owners);
    search.previous_poll = search.poll;
    search.owners.clear();
    for (const auto& [pid, process] : search.processes) {
      for (uint64_t inode : process.sockets) AddHolder(search.owners, inode, pid);
      // A read under way adds what it found so far, and takes nothing away yet.
      for (uint64_t inode : process.found) AddHolder(search.owners, inode, pid);
    }
  }
  search.spent_ms = platform::SteadyMs() - began_ms;
  return search.owners;
}

void JoinOwners(const std::vector<RawSocket>& rows, const OwnerMap& owners, std::vector<uint32_t>& pids) {
  pids.assign(rows.size(), 0);
  for (std::size_t i = 0; i < rows.size(); ++i) {
    if (rows[i].inode == 0) continue;  // TIME_WAIT and the like: never owned
    if (auto it = owners.find(rows[i].inode); it != owners.end()) pids[i] = it->second;
  }
}

std::string OwnerName(OwnerSearch& search, uint32_t pid) {
  auto it = search.processes.find(pid);
  if (it == search.processes.end()) return ProcessNameOf(search.proc_root, pid);
  OwnedProcess& process = it->second;
  if (process.name_stale || process.name.empty()) {
    std::string fresh = ProcessNameOf(search.proc_root, pid);
    if (fresh != "unknown" || process.name.empty()) process.name = std::move(fresh);
    process.name_stale = false;
  }
  return process.name;
}

}  // namespace sockvane::source
