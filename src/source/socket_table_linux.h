// The Linux socket tables as the kernel lists them: TCP and UDP, IPv4 and
// IPv6, by sock_diag dumps the kernel filters, or from /proc/net.
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <vector>

#include "source/tracer.h"
#include "source/tuple_filter.h"
#include "track/conn.h"

namespace sockvane::source {

inline constexpr uint8_t kProtoTcp = 6;          // IPPROTO_TCP
inline constexpr uint8_t kProtoUdp = 17;         // IPPROTO_UDP
inline constexpr uint8_t kLinuxTimeWait = 6;     // TCP_TIME_WAIT
inline constexpr uint8_t kLinuxListen = 10;      // TCP_LISTEN
inline constexpr uint8_t kLinuxNewSynRecv = 12;  // TCP_NEW_SYN_RECV

// One endpoint as the kernel lists it. Addresses are in network byte order
// (IPv4 in the first four bytes), ports in host order.
struct RawSocket {
  std::array<uint8_t, 16> src{};
  std::array<uint8_t, 16> dst{};
  uint64_t inode = 0;
  uint32_t uid = 0;     // the socket's user as the kernel keeps it
  uint64_t cookie = 0;  // the kernel's socket cookie; 0 when the read gives none (/proc)
  uint16_t src_port = 0;
  uint16_t dst_port = 0;
  uint8_t protocol = kProtoTcp;
  uint8_t state = 0;  // Linux numbering (TCP_ESTABLISHED = 1 ...)
  bool ipv6 = false;
};

// Linux state to the MIB number TcpStateName names; 0 for states it does not know.
uint32_t MibStateFromLinux(uint8_t linux_state, uint8_t protocol);

// Turns a raw row into a TConn without the owner fields (with the socket's uid).
void FillAddressFields(const RawSocket& raw, track::TConn& row);

// The destination as rows hold it (IPv4 v4-mapped).
track::Address DestinationOf(const RawSocket& raw);

// A test switch: whether the environment sets `name` to 1.
bool SwitchedOff(const char* name);

// Where the tables are read: netlink first and /proc per table where netlink
// fails, or /proc alone (to hold the two paths against each other).
enum class TablePath { kNetlinkFirst, kProcOnly };

// What the reads keep from one to the next.
struct TableReads {
  std::string proc_root = "/proc";
  TablePath path = TablePath::kNetlinkFirst;
  // False: no tuple filtering at all, every table and state is read (the
  // kernel refused the filter, or a test switched it off).
  bool kernel_filter = true;
  // False: never by the tracer's table iterators (a test switch).
  bool by_tracer = true;
  uint32_t seq = 0;  // of the last dump request
  std::vector<uint8_t> buffer;
};

// All four tables, less (where the kernel filters) what `filter` drops; false
// when one could not be read (nothing is appended then). By `tracer`'s
// iterators where it reads tables, by dumps where it does not or fails.
bool ReadSocketTables(TableReads& reads, const TupleFilter& filter, std::vector<RawSocket>& out,
                      Tracer* tracer = nullptr);

}  // namespace sockvane::source
