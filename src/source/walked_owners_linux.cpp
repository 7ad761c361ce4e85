#include "source/walked_owners_linux.h"

#include <linux/capability.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <iterator>
#include <unordered_set>
#include <utility>

namespace sockvane::source {

namespace {

void AddHolder(WalkedOwners& walked, uint64_t inode, uint32_t pid) {
  walked.holders[inode].push_back(pid);
  auto [owner, inserted] = walked.owners.try_emplace(inode, pid);
  if (!inserted && pid < owner->second) owner->second = pid;
}

void RemoveHolder(WalkedOwners& walked, uint64_t inode, uint32_t pid) {
  const auto it = walked.holders.find(inode);
  if (it == walked.holders.end()) return;
  std::vector<uint32_t>& pids = it->second;
  pids.erase(std::remove(pids.begin(), pids.end(), pid), pids.end());
  if (pids.empty()) {
    walked.left[inode] = pid;
    walked.holders.erase(it);
    walked.owners.erase(inode);
  } else {
    walked.owners[inode] = *std::min_element(pids.begin(), pids.end());
  }
}

}  // namespace

ProcessRuns SumTaskRuns(const std::vector<TaskRun>& tasks) {
  ProcessRuns runs;
  for (const TaskRun& task : tasks) {
    ProcessRun& run = runs[task.pid];
    run.run_ns += task.run_ns;
    run.files += task.files;
    ++run.threads;
    if (task.table == TablePrint::kPrinted) run.print += task.print;
    if (task.table == TablePrint::kUnknown) run.print_known = false;
  }
  return runs;
}

std::vector<uint32_t> ProcessesToWalk(const WalkedOwners& walked, const ProcessRuns& runs,
                                      const std::vector<TaskRun>& tasks) {
  std::unordered_set<uint32_t> due;
  for (const auto& [pid, run] : runs) {
    const auto known = walked.processes.find(pid);
    if (known == walked.processes.end()) {
      due.insert(pid);
    } else if (run.print_known ? run.print != known->second.print : !run.SameRun(known->second.run)) {
      due.insert(pid);
    }
  }
  // A table two processes share changes with either: both are walked again.
  std::unordered_map<uint64_t, std::vector<uint32_t>> users;
  for (const TaskRun& task : tasks) {
    if (task.files == 0) continue;
    std::vector<uint32_t>& pids = users[task.files];
    if (std::find(pids.begin(), pids.end(), task.pid) == pids.end()) pids.push_back(task.pid);
  }
  for (const auto& [files, pids] : users) {
    if (pids.size() < 2) continue;
    if (std::any_of(pids.begin(), pids.end(), [&due](uint32_t pid) { return due.contains(pid); })) {
      due.insert(pids.begin(), pids.end());
    }
  }
  std::vector<uint32_t> out(due.begin(), due.end());
  std::sort(out.begin(), out.end());
  return out;
}

bool WalkAllCheaper(const WalkedOwners& walked, const std::vector<uint32_t>& due) {
  uint64_t one_by_one = 0;
  for (const uint32_t pid : due) {
    const auto known = walked.processes.find(pid);
    one_by_one += kWalkSetUpSockets + (known == walked.processes.end() ? 0 : known->second.sockets.size());
  }
  return one_by_one >= walked.holders.size() + kWalkSetUpSockets;
}

void SetWalked(WalkedOwners& walked, uint32_t pid, const ProcessRun& run, std::vector<uint64_t> sockets,
               std::string name, uint64_t print) {
  std::sort(sockets.begin(), sockets.end());
  sockets.erase(std::unique(sockets.begin(), sockets.end()), sockets.end());
  WalkedProcess& process = walked.processes[pid];
  std::vector<uint64_t> gone;
  std::set_difference(process.sockets.begin(), process.sockets.end(), sockets.begin(), sockets.end(),
                      std::back_inserter(gone));
  std::vector<uint64_t> added;
  std::set_difference(sockets.begin(), sockets.end(), process.sockets.begin(), process.sockets.end(),
                      std::back_inserter(added));
  for (const uint64_t inode : gone) RemoveHolder(walked, inode, pid);
  for (const uint64_t inode : added) AddHolder(walked, inode, pid);
  process.sockets = std::move(sockets);
  process.run = run;
  process.print = print;
  process.name = std::move(name);
  process.walked_at = walked.poll;
}

void ForgetProcess(WalkedOwners& walked, uint32_t pid) {
  const auto it = walked.processes.find(pid);
  if (it == walked.processes.end()) return;
  for (const uint64_t inode : it->second.sockets) RemoveHolder(walked, inode, pid);
  if (!it->second.name.empty()) walked.left_names[pid] = std::move(it->second.name);
  walked.processes.erase(it);
}

std::string WalkedName(const WalkedOwners& walked, uint32_t pid) {
  if (const auto it = walked.processes.find(pid); it != walked.processes.end()) return it->second.name;
  const auto it = walked.left_names.find(pid);
  return it == walked.left_names.end() ? std::string() : it->second;
}

bool OneScanWalks(std::size_t held_sockets, bool proc_shows_all) {
  return held_sockets != 0 && (held_sockets >= kWalkPaysFrom || !proc_shows_all);
}

bool ProcShowsAll() {
  __user_cap_header_struct head{_LINUX_CAPABILITY_VERSION_3, 0};
  __user_cap_data_struct data[2]{};
  if (syscall(SYS_capget, &head, data) != 0) return false;
  const auto effective = [&data](int cap) { return ((data[cap / 32].effective >> (cap % 32)) & 1U) != 0; };
  return effective(CAP_SYS_PTRACE) && effective(CAP_DAC_READ_SEARCH);
}

bool WalkOwners(Tracer& tracer, WalkedOwners& walked, std::string& why) {
  std::vector<TaskRun> tasks;
  if (!ListTaskRuns(tracer, tasks, why)) return false;
  const ProcessRuns runs = SumTaskRuns(tasks);
  ++walked.poll;
  walked.left.clear();
  walked.left_names.clear();
  std::vector<uint32_t> gone;
  for (const auto& [pid, process] : walked.processes) {
    if (!runs.contains(pid)) gone.push_back(pid);
  }
  for (const uint32_t pid : gone) ForgetProcess(walked, pid);

  bool full =
      walked.full_at == 0 || walked.poll - walked.full_at >= kFullWalkPolls || !TracerWalksOneProcess(tracer);
  std::vector<uint32_t> due;
  if (!full) {
    due = ProcessesToWalk(walked, runs, tasks);
    full = WalkAllCheaper(walked, due);
  }
  HeldSockets held;
  const auto name_of = [&held](uint32_t pid) {
    const auto it = held.names.find(pid);
    return it == held.names.end() ? std::string() : it->second;
  };
  // What the walk saw, not what the pass saw. The pass and the walk read
  // tables that change under them, but a walk's sockets and fingerprint come
  // from the same visits: a change the walk missed is one made after it
  // visited that descriptor, and the next pass, which reads every slot once,
  // after it, sums differently. So a change is walked at the latest at the
  // poll after it.
  const auto print_of = [&held](uint32_t pid) {
    const auto it = held.prints.find(pid);
    return it == held.prints.end() ? uint64_t{0} : it->second;
  };
  if (full) {
    if (!WalkHeldSockets(tracer, held, why)) return false;
    std::unordered_map<uint32_t, std::vector<uint64_t>> by_pid;
    for (const HeldSocket& socket : held.sockets) by_pid[socket.pid].push_back(socket.inode);
    for (const auto& [pid, run] : runs) {
      SetWalked(walked, pid, run, std::move(by_pid[pid]), name_of(pid), print_of(pid));
    }
    // Started after the pass: known from here on by what the walk saw.
    for (auto& [pid, sockets] : by_pid) {
      if (runs.contains(pid)) continue;
      SetWalked(walked, pid, ProcessRun{}, std::move(sockets), name_of(pid), print_of(pid));
    }
    walked.full_at = walked.poll;
    ++walked.full_walks;
    return true;
  }
  std::vector<uint64_t> inodes;
  for (const uint32_t pid : due) {
    if (!WalkProcess(tracer, pid, held, why)) return false;
    inodes.clear();
    for (const HeldSocket& socket : held.sockets) inodes.push_back(socket.inode);
    SetWalked(walked, pid, runs.at(pid), inodes, name_of(pid), print_of(pid));
    ++walked.walked;
  }
  return true;
}

}  // namespace sockvane::source
