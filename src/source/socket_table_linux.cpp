#include "source/socket_table_linux.h"

#include <sys/socket.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <optional>

#include "source/dump_filter_linux.h"
#include "source/netlink_linux.h"
#include "source/proc_net_linux.h"

namespace sockvane::source {

uint32_t MibStateFromLinux(uint8_t linux_state, uint8_t protocol) {
  if (protocol == kProtoUdp) return linux_state == 1 ? 5 : 1;
  // Indexed by the kernel's TCP_* numbers, 1 (ESTABLISHED) to 12 (NEW_SYN_RECV).
  static constexpr uint8_t kMib[] = {0, 5, 3, 4, 6, 7, 11, 1, 8, 10, 2, 9, 4};
  return linux_state < sizeof kMib ? kMib[linux_state] : 0;
}

namespace {

track::Address RowAddress(const std::array<uint8_t, 16>& address, bool ipv6) {
  if (ipv6) return address;
  uint32_t network_order;
  std::memcpy(&network_order, address.data(), sizeof network_order);
  return track::AddressFromIpv4(network_order);
}

}  // namespace

bool SwitchedOff(const char* name) {
  const char* value = std::getenv(name);
  return value != nullptr && std::strcmp(value, "1") == 0;
}

track::Address DestinationOf(const RawSocket& raw) {
  return RowAddress(raw.dst, raw.ipv6);
}

void FillAddressFields(const RawSocket& raw, track::TConn& row) {
  row.proto = raw.protocol == kProtoUdp ? track::Proto::kUdp : track::Proto::kTcp;
  row.src_ip = RowAddress(raw.src, raw.ipv6);
  row.dst_ip = RowAddress(raw.dst, raw.ipv6);
  row.src_port = raw.src_port;
  row.dst_port = raw.dst_port;
  row.state = MibStateFromLinux(raw.state, raw.protocol);
  // The kernel gives 0 for time-wait and request sockets, which keep no user.
  const bool userless =
      raw.protocol == kProtoTcp && (raw.state == kLinuxTimeWait || raw.state == kLinuxNewSynRecv);
  row.uid = userless ? track::kNoUid : raw.uid;
}

namespace {

// The tables from the tracer's iterators: the rows a filtered dump would
// hand on, less those it keeps only because its filter is coarser.
bool ReadByTracer(TableReads& reads, Tracer& tracer, const TupleFilter& filter, std::vector<RawSocket>& out) {
  const bool filtered = reads.kernel_filter;
  const std::size_t mark = out.size();
  std::string why;
  if (!ReadTableIterators(tracer, TableIteratorFilter(filter, filtered), !filtered || filter.tcp,
                          !filtered || filter.udp, out, why)) {
    return false;
  }
  if (!filtered) return true;
  const auto dropped = [&filter](const RawSocket& raw) {
    return TupleFilterDrops(filter, raw.protocol == kProtoUdp ? track::Proto::kUdp : track::Proto::kTcp,
                            DestinationOf(raw), raw.dst_port);
  };
  out.erase(std::remove_if(out.begin() + static_cast<std::ptrdiff_t>(mark), out.end(), dropped), out.end());
  return true;
}

}  // namespace

bool ReadSocketTables(TableReads& reads, const TupleFilter& filter, std::vector<RawSocket>& out,
                      Tracer* tracer) {
  // The iterators for a read that keeps most of the table: they write less
  // per socket than a dump. A filter that keeps few (the default scope, a port
  // or destination list) leaves it to the dumps, whose bytecode passes over a
  // socket without locking it or running a program. Where the iterators fail,
  // this poll reads the dumps.
  const bool narrow = reads.kernel_filter && (!filter.dropped_destinations.empty() || !filter.ports.empty() ||
                                              !filter.destinations.empty());
  if (tracer != nullptr && reads.by_tracer && !narrow && reads.path == TablePath::kNetlinkFirst &&
      TracerReadsTables(*tracer) && ReadByTracer(reads, *tracer, filter, out)) {
    return true;
  }
  static constexpr struct {
    int family;
    uint8_t protocol;
  } kTables[] = {{AF_INET, kProtoTcp}, {AF_INET6, kProtoTcp}, {AF_INET, kProtoUdp}, {AF_INET6, kProtoUdp}};
  const std::size_t mark = out.size();
  // The kernel walks one table for the TCP sockets of both families: once
  // filtered, one dump takes them both.
  bool both_tcp = false;
  for (const auto& table : kTables) {
    if (reads.path == TablePath::kNetlinkFirst) {
      if (reads.kernel_filter) {
        // Skipped, not filtered, when the filters want none of its sockets.
        if (!(table.protocol == kProtoUdp ? filter.udp : filter.tcp)) continue;
        if (both_tcp && table.protocol == kProtoTcp) continue;
        const bool both = table.protocol == kProtoTcp;
        // An IPv6 socket's program serves IPv4 sockets too.
        const std::optional<std::vector<uint8_t>> bytecode =
            DumpBytecode(filter, both ? AF_INET6 : table.family);
        if (!bytecode) continue;  // no socket of this family can pass
        if (DumpByNetlink(reads, both ? AF_UNSPEC : table.family, table.protocol, *bytecode, out)) {
          both_tcp = both_tcp || both;
          continue;
        }
      }
      // A kernel that refuses the filter (an older one) dumps everything, and
      // the filters see to the rest, from now on.
      if (DumpByNetlink(reads, table.family, table.protocol, {}, out)) {
        reads.kernel_filter = false;
        continue;
      }
    }
    if (!ReadProcNet(reads.proc_root, table.family == AF_INET6, table.protocol, out)) {
      out.resize(mark);
      return false;
    }
  }
  return true;
}

}  // namespace sockvane::source
