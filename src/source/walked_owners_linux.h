// Which process holds which socket, as the tracer's descriptor walks find it.
//
// The bound. Every poll starts with a pass over every thread of every process
// that takes, in the kernel, a fingerprint of each descriptor table (every
// open descriptor's number, file and inode number). A walk sums the same over
// what it visits, and a process is walked again only when it is new, the
// pass's fingerprint differs from what its last walk saw, or it shares a
// table with one of these; so the owner of every listed socket is right at
// every poll. A table too large for the pass falls back to run time: a
// process none of whose threads ran cannot have changed its descriptors.
// Everything is walked at the first poll, every kFullWalkPolls polls after
// (what a fingerprint or a run time could miss: two tables that sum the same,
// a thread that has run on a CPU without ticks since it was last accounted),
// and whenever walking the due processes one by one would cost more than one
// walk over all (WalkAllCheaper). The owner of a socket is the lowest PID
// among the processes that hold it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <unordered_map>
#include <vector>

#include "source/owner_policy.h"
#include "source/tracer.h"

namespace sockvane::source {

inline constexpr uint64_t kFullWalkPolls = 60;

// One task pass, summed over the threads of each process.
struct ProcessRun {
  uint64_t run_ns = 0;
  uint64_t files = 0;  // its threads' descriptor tables, summed
  uint32_t threads = 0;
  uint64_t print = 0;       // its tables' fingerprints, summed
  bool print_known = true;  // false when the pass could not take one of them
  // Any change means that the process may have changed its descriptors.
  bool SameRun(const ProcessRun& other) const {
    return run_ns == other.run_ns && files == other.files && threads == other.threads;
  }
};
using ProcessRuns = std::unordered_map<uint32_t, ProcessRun>;
ProcessRuns SumTaskRuns(const std::vector<TaskRun>& tasks);

struct WalkedProcess {
  ProcessRun run;                 // at the pass before its last walk
  uint64_t print = 0;             // what its last walk saw of its tables
  std::vector<uint64_t> sockets;  // sorted socket inodes at its last walk
  std::string name;               // its image's file name; "" when the walk had none
  uint64_t walked_at = 0;         // the poll of its last walk
};

struct WalkedOwners {
  std::unordered_map<uint32_t, WalkedProcess> processes;
  std::unordered_map<uint64_t, std::vector<uint32_t>> holders;  // by socket inode
  OwnerMap owners;                                              // by socket inode: the lowest holder
  // Sockets whose last holder went at the latest update, with that holder,
  // and the names of the processes that left then.
  OwnerMap left;
  std::unordered_map<uint32_t, std::string> left_names;
  uint64_t poll = 0;
  uint64_t full_at = 0;  // the poll of the last walk over all; 0: none yet
  uint64_t walked = 0;   // processes walked one by one, in all
  uint64_t full_walks = 0;
};

// The processes to walk again (ascending), given this poll's pass: new ones,
// those whose fingerprint differs from what their last walk saw (whose run
// changed, where the pass could not take it), and those sharing a descriptor
// table with one of these. Pure.
std::vector<uint32_t> ProcessesToWalk(const WalkedOwners& walked, const ProcessRuns& runs,
                                      const std::vector<TaskRun>& tasks);

// Whether one walk over all processes costs less than walking `due` one by
// one: a walk costs about the same per socket either way, and a walk of one
// process as much again as kWalkSetUpSockets sockets. Pure.
inline constexpr uint64_t kWalkSetUpSockets = 40;
bool WalkAllCheaper(const WalkedOwners& walked, const std::vector<uint32_t>& due);

// What a walk of one process found (its name "" when it had none, `print`
// the fingerprint of what it visited), with its run at the pass before; keeps
// holders and owners in step. Pure.
void SetWalked(WalkedOwners& walked, uint32_t pid, const ProcessRun& run, std::vector<uint64_t> sockets,
               std::string name, uint64_t print = 0);

// The name the walks found for `pid`, also for one that left at the latest
// update; "" when they found none. Pure.
std::string WalkedName(const WalkedOwners& walked, uint32_t pid);

// A process the pass no longer lists holds nothing. Pure.
void ForgetProcess(WalkedOwners& walked, uint32_t pid);

// Whether a single scan whose rows hold `held_sockets` descriptors loads the
// tracer for one walk: loading (10-25 ms) costs about as much as reading
// kWalkPaysFrom descriptor links in /proc, and /proc shows every process's descriptors only
// to a process with both CAP_SYS_PTRACE and CAP_DAC_READ_SEARCH
// (`proc_shows_all`). Pure.
inline constexpr std::size_t kWalkPaysFrom = 1000;
bool OneScanWalks(std::size_t held_sockets, bool proc_shows_all);

// Whether this process holds both rights in its effective set.
bool ProcShowsAll();

// Brings `walked` up to date with one task pass and the walks it calls for.
// False, with the reason in `why`, when the tracer failed: the owners must not
// be used for this poll then.
bool WalkOwners(Tracer& tracer, WalkedOwners& walked, std::string& why);

}  // namespace sockvane::source
