// Internals of the Linux socket source: raw rows, the pure parsers of kernel
// replies and /proc texts, and the seams the tests use.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "source/socket_table.h"
#include "track/conn.h"

namespace sockvane::source {

inline constexpr uint8_t kProtoTcp = 6;   // IPPROTO_TCP
inline constexpr uint8_t kProtoUdp = 17;  // IPPROTO_UDP

// One endpoint as the kernel lists it. Addresses are in network byte order
// (IPv4 in the first four bytes), ports in host order.
struct RawSocket {
  std::array<uint8_t, 16> src{};
  std::array<uint8_t, 16> dst{};
  uint64_t inode = 0;
  uint32_t uid = 0;     // the socket's user as the kernel keeps it: where its owner likely is
  uint64_t cookie = 0;  // the kernel's socket cookie; 0 when the read gives none (/proc)
  uint16_t src_port = 0;
  uint16_t dst_port = 0;
  uint8_t protocol = kProtoTcp;
  uint8_t state = 0;  // Linux numbering (TCP_ESTABLISHED = 1 ...)
  bool ipv6 = false;
};

// Linux state to the MIB number TcpStateName names; 0 for states it does not know.
uint32_t MibStateFromLinux(uint8_t linux_state, uint8_t protocol);

// Turns a raw row into a TConn without the owner fields.
void FillAddressFields(const RawSocket& raw, track::TConn& row);

enum class DiagStatus { kMore, kDone, kError };

// Parses one datagram of a sock_diag dump reply. Appends the sockets of
// messages with sequence number `seq`; kDone at NLMSG_DONE, kError on an
// error message or a malformed buffer. With `protocol` 0 each message names
// its own (the INET_DIAG_PROTOCOL attribute of destroy notifications);
// messages without one are skipped.
DiagStatus ParseDiagReply(const uint8_t* data, std::size_t size, uint32_t seq, uint8_t protocol,
                          std::vector<RawSocket>& out);

// One line of /proc/net/{tcp,tcp6,udp,udp6}; false for the header and for
// anything malformed.
bool ParseProcNetLine(std::string_view line, bool ipv6, uint8_t protocol, RawSocket& out);

// All the rows of one such file.
void ParseProcNetText(std::string_view text, bool ipv6, uint8_t protocol, std::vector<RawSocket>& out);

// Plain decimal digits, nothing else, within 64 bits.
bool ParseDecimal64(std::string_view text, uint64_t& value);

// "socket:[12345]" -> 12345.
bool ParseSocketLink(std::string_view link, uint64_t& inode);

// Field 22 (starttime) of /proc/<pid>/stat, counted after the last ')'.
bool ParseStartTime(std::string_view stat, uint64_t& start_time);

// The fields of /proc/<pid>/stat the owner search looks at.
struct ProcStat {
  char state = 0;           // field 3: R, S, D, T, Z ...
  uint64_t flags = 0;       // field 9 (PF_KTHREAD marks a kernel thread)
  uint64_t threads = 0;     // field 20
  uint64_t start_time = 0;  // field 22, clock ticks after boot
};
bool ParseProcStat(std::string_view stat, ProcStat& out);

// First field of /proc/<pid>/schedstat: nanoseconds the task has run.
bool ParseRunTime(std::string_view schedstat, uint64_t& run_ns);

// What a look at a process's descriptors left behind, to tell at the next
// look whether it can have changed them since.
struct LookMark {
  uint64_t start_time = 0;
  uint64_t run_ns = 0;  // 0: the process had several threads, or no run time could be read
};

// True when the process cannot have opened, received or closed a descriptor
// since `mark` was taken: the same process, still a single thread, not on a
// CPU now, and not a nanosecond of run time more. Any doubt gives false.
bool UnchangedSinceLook(const LookMark& mark, const ProcStat& now, uint64_t run_ns_now);

// Reads between two looks at each process, so that a look comes round every
// kRevisitMs when reads are `gap_ms` apart (every read when they are further
// apart; `gap_ms` <= 0: not known yet, look at every read).
inline constexpr int64_t kRevisitMs = 1500;
uint32_t RevisitReads(int64_t gap_ms);

// Whether a process last looked at in read `looked` is due in read
// `generation`: at its own slot of every `revisit` reads (PIDs spread the
// looks over the reads), and at the latest `revisit` reads after the last look.
bool LookDue(uint64_t generation, uint64_t looked, uint32_t pid, uint32_t revisit);

// Table reads. Each appends the rows of one table and returns false when the
// table could not be read (the rows it appended are then removed).
bool DumpByNetlink(bool ipv6, uint8_t protocol, std::vector<RawSocket>& out);
bool ReadProcNet(bool ipv6, uint8_t protocol, std::vector<RawSocket>& out);

// Where the tables are read: netlink first and /proc per table where netlink
// fails, or /proc alone (to hold the two paths against each other).
enum class TablePath { kNetlinkFirst, kProcOnly };

// All four tables.
bool ReadRawSockets(std::vector<RawSocket>& out, TablePath path = TablePath::kNetlinkFirst);

// ReadTcpTable by the given path.
bool ReadSocketTable(const RowConsumer& consume, const RowWanted& wanted, TablePath path);

// Descriptor links (readlinkat calls) one read may spend looking for owners
// when reads are `gap_ms` apart and the previous read spent `spent_ms` of that
// on owners: a fixed share of the rest, the interval as near as the source can
// tell (a slow read must not buy the next one a larger budget), and at least
// a 100 ms share. That keeps processes holding tens of thousands of
// descriptors from stretching a poll. No limit while the gap is not known (the
// first read, --once): that read must find every owner.
inline constexpr uint64_t kLinksPerMs = 50;
uint64_t LinkBudget(int64_t gap_ms, int64_t spent_ms);

// Tells the short-lived socket layer which sockets a good read saw.
void NoteTableRead(const std::vector<RawSocket>& rows);

// Gives rows whose owner the search has not found the owner the tracer saw
// for them, when it runs, and puts the names the tracer recorded for those
// owners in `names` by PID.
void GiveTracedOwners(const std::vector<RawSocket>& rows, std::vector<uint32_t>& pids,
                      std::unordered_map<uint32_t, std::string>& names);

// Where the search for the owners of new sockets stands. The search reads the
// processes in ascending PID order, a share of them per read when the budget
// runs out; `round` counts the times it has gone past the highest PID, and
// every PID below `pid` has been read in the current round.
struct SearchCursor {
  uint64_t round = 0;
  uint32_t pid = 0;
};

// True when every PID below `below` (UINT32_MAX: every PID) has been read
// since a socket joined the search at `joined`.
bool SearchCovered(const SearchCursor& joined, const SearchCursor& now, uint32_t below);

// A process as the owner search ranks it.
struct ProcessRank {
  uint32_t pid = 0;
  uint32_t uid = 0;    // owner of /proc/<pid>: the process's user
  uint64_t fds = 0;    // descriptors as last counted (0: not known)
  bool owned = false;  // has owned a listed socket
};

// Tables larger than this are left to the search in PID order.
inline constexpr uint64_t kLargeTable = 4096;

// The PIDs to read first for sockets of the users `uids` (sorted), ascending:
// the processes of those users and those that have owned sockets, unless
// their tables are large. A holder found among them shows at once; the
// search in PID order settles the lowest PID later in any case.
std::vector<uint32_t> LikelyPids(const std::vector<ProcessRank>& processes,
                                 const std::vector<uint32_t>& uids);

// One owner as the cache keeps it between reads; one per listed socket, so
// its fields are ordered to pack.
struct OwnerEntry {
  uint32_t pid = 0;  // 0: no owner found (while searching: the lowest holder found so far)
  uint32_t uid = 0;  // the socket's user
  // The lowest other PID whose descriptors, read in read `other_seen`, held it.
  uint32_t other = 0;
  uint8_t misses = 0;         // searches that ended with no owner
  bool searching = false;     // not settled: the search has not yet read every PID below `pid`
  bool likely_tried = false;  // the likely processes were read for it
  uint64_t start_time = 0;    // of `pid`, to tell a reused PID apart
  uint64_t generation = 0;    // last read that listed the socket
  uint64_t seen_pass = 0;     // the pass over the descriptors of `pid` that held it
  uint64_t joined_read = 0;   // the read in which it joined the search
  uint64_t other_seen = 0;
  SearchCursor joined;  // where the search stood when it joined
};

// What a look at a process's descriptors left behind, and where a pass over
// them that ran out of budget goes on.
struct ProcessMark {
  LookMark mark;
  uint64_t looked = 0;  // read in which the last look began
  uint64_t listed = 0;  // last read that listed the PID
  uint64_t done = 0;    // last read in which a pass over its descriptors ended (or it had none to read)
  uint64_t pass = 0;    // serial of the current or last pass
  uint64_t resume = 0;  // directory offset where the pass in progress goes on
  uint64_t fds = 0;     // descriptors at the last complete pass, or as fd/ gave its size
  uint64_t pass_links = 0;
  uint32_t uid = 0;
  uint8_t passed = 0;  // looks in a row passed over as unchanged
  bool in_pass = false;
  bool owned = false;
  // Its descriptors were ours to read at the last try. Not known at first: the
  // first look tries the directory before anything else, the cheapest way to
  // pass over another user's process.
  bool readable = false;
};

// /proc/<pid>/stat as read during the current read (ok false: unreadable).
struct StatRead {
  bool ok = false;
  ProcStat stat;
};

// Everything the owner search keeps between reads. The read path owns one
// (ReadPathOwnerCache); a test may keep its own.
struct OwnerCache {
  std::unordered_map<uint64_t, OwnerEntry> owners;
  std::unordered_map<uint32_t, ProcessMark> processes;
  std::unordered_map<uint32_t, StatRead> stats;
  std::vector<uint32_t> pids;     // /proc as listed in this read, ascending
  std::vector<OwnerEntry*> rows;  // the entry of every row of this read (null: never owned)
  SearchCursor cursor;
  uint64_t cursor_pass = 0;  // the pass over cursor.pid the search stopped in, or 0
  uint64_t generation = 0;
  uint64_t pass_serial = 0;
  uint64_t searches = 0;  // reads that searched for owners
  uint64_t searched = 0;  // the last of them
  uint64_t links = 0;     // readlinkat calls, in all
  uint64_t budget = 0;    // links left in this read
  bool have_last_read = false;
  int64_t last_read_ms = 0;
  int64_t spent_ms = 0;  // monotonic time the last read spent on owners
  std::string problem;   // why the last read could not search, or empty
};

// The cache of the read path (ReadTcpTable).
OwnerCache& ReadPathOwnerCache();

// Owner PID for every row (0 when none is found), using and updating `cache`.
// `now_ms` is a monotonic clock reading that paces the re-checks of kept
// owners and sets the read's link budget.
void ResolveOwners(OwnerCache& cache, const std::vector<RawSocket>& rows, std::vector<uint32_t>& pids,
                   int64_t now_ms);

// Start time (clock ticks after boot) of a process, as this read saw it; 0 when
// it cannot be read. Identifies a process beyond its reusable PID.
uint64_t ProcessStartTime(uint32_t pid);

// A process that is exiting loses its image link before its sockets close, so
// its last rows would read "unknown". The name seen at the previous read stands
// in, but only for the very same process (same start time): a PID reused by
// another program never inherits a name. Failing that, `traced` (the tracer's
// record of the process that owned one of its sockets, or "") does: it was
// taken from that process itself. Records known names in `seen`.
struct KnownName {
  uint64_t start_time = 0;
  std::string name;
};
std::string NameOrLastKnown(uint32_t pid, std::string fresh, uint64_t start_time,
                            const std::unordered_map<uint32_t, KnownName>& previous,
                            std::unordered_map<uint32_t, KnownName>& seen, std::string_view traced = {});

}  // namespace sockvane::source
