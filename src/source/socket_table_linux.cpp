// One read of the Linux socket tables: TCP and UDP, IPv4 and IPv6.
#include <time.h>

#include <cstring>
#include <unordered_map>

#include "source/linux_source.h"
#include "source/naming.h"
#include "source/socket_table.h"
#include "track/text.h"

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

void FillAddressFields(const RawSocket& raw, track::TConn& row) {
  row.proto = raw.protocol == kProtoUdp ? track::Proto::kUdp : track::Proto::kTcp;
  row.src_ip = RowAddress(raw.src, raw.ipv6);
  row.dst_ip = RowAddress(raw.dst, raw.ipv6);
  row.src_port = raw.src_port;
  row.dst_port = raw.dst_port;
  row.state = MibStateFromLinux(raw.state, raw.protocol);
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

OwnerCache& ReadPathOwnerCache() {
  static OwnerCache cache;
  return cache;
}

std::string NameOrLastKnown(uint32_t pid, std::string fresh, uint64_t start_time,
                            const std::unordered_map<uint32_t, KnownName>& previous,
                            std::unordered_map<uint32_t, KnownName>& seen, std::string_view traced) {
  if (fresh == "unknown" && start_time != 0) {
    auto it = previous.find(pid);
    if (it != previous.end() && it->second.start_time == start_time) fresh = it->second.name;
  }
  // Also when the process has gone since the table was read: the tracer saw it.
  if (fresh == "unknown" && !traced.empty()) fresh = traced;
  if (start_time != 0 && fresh != "unknown") seen[pid] = KnownName{start_time, fresh};
  return fresh;
}

bool ReadTcpTable(const RowConsumer& consume, const RowWanted& wanted, bool /*ipv6: always read here*/) {
  return ReadSocketTable(consume, wanted, TablePath::kNetlinkFirst);
}

bool ReadSocketTable(const RowConsumer& consume, const RowWanted& wanted, TablePath path) {
  static std::vector<RawSocket> raws;
  static std::vector<uint32_t> pids;
  // Looked up afresh at every read, once per PID; the rows of a process share the text.
  static std::unordered_map<uint32_t, track::ProcessName> names;
  static std::unordered_map<uint32_t, KnownName> previous_names;
  static std::unordered_map<uint32_t, KnownName> seen_names;
  static std::unordered_map<uint32_t, std::string> traced_names;
  raws.clear();
  names.clear();
  traced_names.clear();
  if (!ReadRawSockets(raws, path)) return false;
  NoteTableRead(raws);

  // Owners only for the rows that may be wanted: on a busy host most are not.
  std::size_t kept = 0;
  for (std::size_t i = 0; i < raws.size(); ++i) {
    track::TConn row;
    FillAddressFields(raws[i], row);
    if (wanted && !wanted(row)) continue;
    raws[kept++] = raws[i];
  }
  raws.resize(kept);
  timespec now{};
  clock_gettime(CLOCK_MONOTONIC, &now);
  ResolveOwners(ReadPathOwnerCache(), raws, pids, int64_t{now.tv_sec} * 1000 + now.tv_nsec / 1000000);
  GiveTracedOwners(raws, pids, traced_names);

  seen_names.clear();
  const track::ProcessName unknown = track::MakeProcessName("unknown");
  for (std::size_t i = 0; i < raws.size(); ++i) {
    track::TConn row;
    FillAddressFields(raws[i], row);
    const uint32_t pid = pids[i];
    row.pid = pid;
    if (pid == 0) {
      row.process = unknown;
    } else {
      auto [it, inserted] = names.try_emplace(pid);
      if (inserted) {
        const auto traced = traced_names.find(pid);
        it->second = track::MakeProcessName(
            NameOrLastKnown(pid, ProcessNameForPid(pid), ProcessStartTime(pid), previous_names, seen_names,
                            traced == traced_names.end() ? std::string_view() : traced->second));
      }
      row.process = it->second;
    }
    consume(std::move(row));
  }
  names.clear();
  previous_names.swap(seen_names);
  return true;
}

}  // namespace sockvane::source
