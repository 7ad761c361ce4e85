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
// error message or a malformed buffer.
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

// Separator between the hour and minute conversions of a strftime format, or
// ":" when the format names none.
std::string TimeSeparatorFromFormat(std::string_view format);

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

// Owner PID for every row (0 when none is found), using and updating the
// process-wide owner cache. `now_ms` is a monotonic clock reading that paces
// the re-checks of kept owners.
void ResolveOwners(const std::vector<RawSocket>& rows, std::vector<uint32_t>& pids, int64_t now_ms);

// Drops the owner cache (tests start from a clean slate).
void ResetOwnerCacheForTesting();

// Start time (clock ticks after boot) of a process, as this read saw it; 0 when
// it cannot be read. Identifies a process beyond its reusable PID.
uint64_t ProcessStartTime(uint32_t pid);

// A process that is exiting loses its image link before its sockets close, so
// its last rows would read "unknown". The name seen at the previous read stands
// in, but only for the very same process (same start time): a PID reused by
// another program never inherits a name. Records known names in `seen`.
struct KnownName {
  uint64_t start_time = 0;
  std::string name;
};
std::string NameOrLastKnown(uint32_t pid, std::string fresh, uint64_t start_time,
                            const std::unordered_map<uint32_t, KnownName>& previous,
                            std::unordered_map<uint32_t, KnownName>& seen);

// Number of full fd scans done since start.
uint64_t OwnerScanCountForTesting();

}  // namespace sockvane::source
