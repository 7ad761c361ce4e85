// One read of the Linux socket tables: TCP and UDP, IPv4 and IPv6.
#include <time.h>

#include <unordered_map>

#include "source/linux_source.h"
#include "source/naming.h"
#include "source/socket_table.h"
#include "track/text.h"

namespace sockvane::source {

namespace {

std::string AddressText(const std::array<uint8_t, 16>& address, bool ipv6) {
  if (ipv6) return Ipv6ToText(address);
  return Ipv4ToText(uint32_t{address[0]} | uint32_t{address[1]} << 8 | uint32_t{address[2]} << 16 |
                    uint32_t{address[3]} << 24);
}

}  // namespace

uint32_t MibStateFromLinux(uint8_t linux_state, uint8_t protocol) {
  if (protocol == kProtoUdp) return linux_state == 1 ? 5 : 1;
  // Indexed by the kernel's TCP_* numbers, 1 (ESTABLISHED) to 12 (NEW_SYN_RECV).
  static constexpr uint8_t kMib[] = {0, 5, 3, 4, 6, 7, 11, 1, 8, 10, 2, 9, 4};
  return linux_state < sizeof kMib ? kMib[linux_state] : 0;
}

void FillAddressFields(const RawSocket& raw, track::TConn& row) {
  row.proto = raw.protocol == kProtoUdp ? "UDP" : "TCP";
  row.src_ip = AddressText(raw.src, raw.ipv6);
  row.dst_ip = AddressText(raw.dst, raw.ipv6);
  row.src_port = raw.src_port;
  row.dst_port = raw.dst_port;
  row.state = TcpStateName(MibStateFromLinux(raw.state, raw.protocol));
}

bool ReadRawSockets(std::vector<RawSocket>& out, TablePath path) {
  static constexpr struct {
    bool ipv6;
    uint8_t protocol;
  } kTables[] = {{false, kProtoTcp}, {true, kProtoTcp}, {false, kProtoUdp}, {true, kProtoUdp}};
  for (const auto& table : kTables) {
    if (path == TablePath::kNetlinkFirst && DumpByNetlink(table.ipv6, table.protocol, out)) continue;
    if (!ReadProcNet(table.ipv6, table.protocol, out)) return false;
  }
  return true;
}

std::string NameOrLastKnown(uint32_t pid, std::string fresh, uint64_t start_time,
                            const std::unordered_map<uint32_t, KnownName>& previous,
                            std::unordered_map<uint32_t, KnownName>& seen) {
  if (start_time == 0) return fresh;
  if (fresh == "unknown") {
    auto it = previous.find(pid);
    if (it != previous.end() && it->second.start_time == start_time) fresh = it->second.name;
  }
  if (fresh != "unknown") seen[pid] = KnownName{start_time, fresh};
  return fresh;
}

bool ReadTcpTable(const RowConsumer& consume, const RowWanted& wanted, bool /*ipv6: always read here*/) {
  return ReadSocketTable(consume, wanted, TablePath::kNetlinkFirst);
}

bool ReadSocketTable(const RowConsumer& consume, const RowWanted& wanted, TablePath path) {
  static std::vector<RawSocket> raws;
  static std::vector<uint32_t> pids;
  // Looked up afresh at every read, once per PID.
  static std::unordered_map<uint32_t, std::string> names;
  static std::unordered_map<uint32_t, KnownName> previous_names;
  static std::unordered_map<uint32_t, KnownName> seen_names;
  static std::vector<track::TConn> rows;
  raws.clear();
  rows.clear();
  names.clear();
  if (!ReadRawSockets(raws, path)) return false;

  // Owners only for the rows that may be wanted: on a busy host most are not.
  std::size_t kept = 0;
  for (std::size_t i = 0; i < raws.size(); ++i) {
    track::TConn row;
    FillAddressFields(raws[i], row);
    if (wanted && !wanted(row)) continue;
    raws[kept++] = raws[i];
    rows.push_back(std::move(row));
  }
  raws.resize(kept);
  timespec now{};
  clock_gettime(CLOCK_MONOTONIC, &now);
  ResolveOwners(raws, pids, int64_t{now.tv_sec} * 1000 + now.tv_nsec / 1000000);

  seen_names.clear();
  for (std::size_t i = 0; i < rows.size(); ++i) {
    track::TConn& row = rows[i];
    uint32_t pid = pids[i];
    row.pid = track::DecimalText(pid);
    if (pid == 0) {
      row.process = "unknown";
    } else {
      auto [it, inserted] = names.try_emplace(pid);
      if (inserted) {
        it->second =
            NameOrLastKnown(pid, ProcessNameForPid(pid), ProcessStartTime(pid), previous_names, seen_names);
      }
      row.process = it->second;
    }
    consume(std::move(row));
  }
  previous_names.swap(seen_names);
  return true;
}

}  // namespace sockvane::source
