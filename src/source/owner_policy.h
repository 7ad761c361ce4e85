// When the owner search reads a process's descriptors again, in what order,
// what one read may spend, and who owns a socket that several processes
// hold. Pure.
#pragma once

#include <cstdint>
#include <unordered_map>
#include <vector>

#include "source/proc_linux.h"

namespace sockvane::source {

// What a look at a process tells without reading its descriptors.
struct ProcessLook {
  uint64_t descriptors = 0;  // how many are open
  RunTime run;               // how much its threads have run
  bool known = false;        // both could be read
};

// Whether a process may have opened, received, closed or replaced a
// descriptor between two looks: its count changed, or one of its threads ran
// (a process that did not run changed nothing, however many threads it has).
// Any doubt gives true.
bool MayHaveChanged(const ProcessLook& before, const ProcessLook& now);

// Every process's descriptors are read at least once every kBackstopPolls
// polls, changed or not: each process at its own poll, so that the reads
// spread. It covers what the looks cannot see (a descriptor table shared
// with a process that left before it was seen, a thread that runs on a CPU
// without timer ticks).
inline constexpr uint32_t kBackstopPolls = 60;
bool BackstopDue(uint64_t poll, uint32_t pid);

// Descriptor links (readlinkat calls) one read may spend when reads are
// `gap_ms` apart and the previous read spent `spent_ms` of that on owners: a
// fixed share of the rest, the interval as near as the source can tell (a
// slow read must not buy the next one a larger budget), and at least a 100 ms
// share. That keeps processes holding tens of thousands of descriptors from
// stretching a poll. No limit while the gap is not known (the first read,
// --once): that read must find every owner.
inline constexpr uint64_t kLinksPerMs = 50;
inline constexpr uint64_t kUnlimited = UINT64_MAX;
uint64_t LinkBudget(int64_t gap_ms, int64_t spent_ms);

// A process whose descriptors are due, as the read orders them.
struct DueProcess {
  uint32_t pid = 0;
  uint64_t descriptors = 0;
  uint64_t read_at = 0;  // the poll of its last complete read (0: never)
};

// The order of the reads: the first half of the budget goes to the smallest
// tables first (the processes that connect, accept and hand sockets on), the
// rest to the least recently read first (so that large tables get through,
// a share a read). Returns the two orders.
void OrderReads(std::vector<DueProcess> due, std::vector<uint32_t>& smallest_first,
                std::vector<uint32_t>& oldest_first);

// The owner of each socket, by inode: the lowest PID that holds it.
using OwnerMap = std::unordered_map<uint64_t, uint32_t>;
void AddHolder(OwnerMap& owners, uint64_t inode, uint32_t pid);

}  // namespace sockvane::source
