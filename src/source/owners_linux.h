// Which process owns a socket, found in /proc: every process's socket
// descriptors, read again when it may have changed them.
//
// The bound. A poll looks at every process whose descriptors we may read
// (the count of its descriptors, the run time of its threads) and reads the
// descriptors of those that are new or may have changed since the last read
// (MayHaveChanged), of any that shares its table with one that changed, and
// of each at its backstop. So an owner change in a process we may read shows
// at the next poll, as long as the tables due fit in the poll's budget
// (LinkBudget: about 25,000 descriptor links at a 500 ms interval, 5,000 at
// 100 ms). Beyond that, half of the budget goes to the smallest tables first
// and half to the least recently read, so a table of F descriptors is read
// through within about 2F/B polls of its turn, the B/2 of every poll it gets
// being shared with the other tables that changed (three processes of
// 19,000 descriptors each that run all the time, at 100 ms: a few seconds).
// The owner of a socket is the lowest PID among the processes whose last
// read held it; 0 while nobody does.
#pragma once

#include <cstdint>
#include <string>
#include <unordered_map>
#include <vector>

#include "source/owner_policy.h"
#include "source/proc_linux.h"
#include "source/socket_table_linux.h"

namespace sockvane::source {

// What the search keeps of one process.
struct OwnedProcess {
  uint64_t entry = 0;             // inode of its /proc entry: a reused PID has another
  ProcessLook look;               // taken before the last read of its descriptors began
  ProcessLook due_look;           // taken when the read due began to wait for its turn
  std::vector<uint64_t> sockets;  // socket inodes at its last complete read
  std::vector<uint64_t> found;    // in the read under way
  uint64_t resume = 0;            // directory offset where the read under way goes on
  uint64_t read_at = 0;           // poll of the last complete read; 0: none yet
  uint32_t table_of = 0;          // the parent whose descriptor table it shares, or 0
  bool reading = false;           // a read is under way
  bool kernel_thread = false;
  bool readable = true;    // its descriptors were ours to read at the last try
  bool name_stale = true;  // read again since its name was
  std::string name;        // the last name read, "" before any
  bool left = false;       // gone from /proc since the last poll
};

struct OwnerSearch {
  std::string proc_root = "/proc";
  bool expect_procfs = true;  // false: a test's tree
  Proc proc;                  // open during a search
  std::unordered_map<uint32_t, OwnedProcess> processes;
  std::vector<ProcEntry> entries;
  OwnerMap owners;
  OwnerMap previous;           // before the last change
  uint64_t previous_poll = 0;  // the poll that changed it
  uint64_t poll = 0;
  uint64_t links = 0;   // readlinkat calls, in all
  uint64_t tables = 0;  // descriptor tables read through, in all
  bool have_last = false;
  int64_t last_ms = 0;   // when the last read was (steady)
  int64_t spent_ms = 0;  // what it spent
  std::string problem;   // why the last search could not look for owners, or ""
  // The last search read every process that may have changed, and may read
  // every process: a socket it found no holder for has none.
  bool complete = false;
};

// Brings `search.owners` up to date for a read whose rows are `rows` (none
// with an inode: nothing to do). `now_ms` is a steady clock reading that
// sets the budget.
const OwnerMap& FindOwners(OwnerSearch& search, const std::vector<RawSocket>& rows, int64_t now_ms);

// Each row's owner from `owners` (0: none). Every owner of a listed socket
// goes through here, whoever found it.
void JoinOwners(const std::vector<RawSocket>& rows, const OwnerMap& owners, std::vector<uint32_t>& pids);

// The name of a process: its image's file name, read again once the process
// has changed. One that is exiting has lost its image but keeps the name it
// had; "unknown" when none can be had.
std::string OwnerName(OwnerSearch& search, uint32_t pid);

}  // namespace sockvane::source
