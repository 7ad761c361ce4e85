// clang-format off
#include <winsock2.h>
#include <windows.h>
#include <iphlpapi.h>
// clang-format on

#include "source/socket_table_windows.h"

#include <array>
#include <cstddef>
#include <cstring>
#include <cwchar>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "source/direction.h"
#include "source/naming.h"
#include "track/text.h"

namespace sockvane::source {

uint32_t SystemTcpTableCall(uint32_t family, void* table, uint32_t* size) {
  DWORD bytes = *size;
  const DWORD status = GetExtendedTcpTable(table, &bytes, FALSE, family, TCP_TABLE_OWNER_PID_ALL, 0);
  *size = bytes;
  return status;
}

namespace {

// One whole table of `family` in `buffer`, or false. DWORD elements keep the
// rows aligned. Returns the bytes the buffer holds in `filled`.
bool FetchTable(TcpTableCall call, uint32_t family, std::vector<DWORD>& buffer, uint32_t& filled) {
  const std::size_t row_bytes =
      family == AF_INET6 ? sizeof(MIB_TCP6ROW_OWNER_PID) : sizeof(MIB_TCPROW_OWNER_PID);
  for (int attempt = 0; attempt < kTcpTableAttempts; ++attempt) {
    uint32_t size = 0;
    call(family, nullptr, &size);
    if (size < sizeof(DWORD)) return false;
    // A busy host opens sockets between the two calls: leave room for them.
    const uint64_t margin = attempt == 0 ? 0 : uint64_t(attempt) * (size / 4 + 16 * row_bytes);
    const uint64_t wanted = uint64_t(size) + margin;
    if (wanted > UINT32_MAX) return false;
    const uint32_t capacity = static_cast<uint32_t>(wanted);
    buffer.assign((capacity + sizeof(DWORD) - 1) / sizeof(DWORD), 0);
    uint32_t io_size = capacity;
    const uint32_t status = call(family, buffer.data(), &io_size);
    if (status == NO_ERROR) {
      filled = capacity;
      return true;
    }
    if (status != ERROR_INSUFFICIENT_BUFFER) return false;
  }
  return false;
}

// The rows of a fetched table, never more than the bytes we own hold.
template <typename Table>
std::size_t RowCount(const std::vector<DWORD>& buffer, uint32_t filled) {
  constexpr std::size_t header = offsetof(Table, table);
  constexpr std::size_t row = sizeof(Table::table[0]);
  const std::size_t room = filled >= header ? (filled - header) / row : 0;
  const std::size_t count = reinterpret_cast<const Table*>(buffer.data())->dwNumEntries;
  return count < room ? count : room;
}

void FillAddresses(const MIB_TCPROW_OWNER_PID& entry, track::TConn& row) {
  row.src_ip = track::AddressFromIpv4(entry.dwLocalAddr);
  row.dst_ip = track::AddressFromIpv4(entry.dwRemoteAddr);
}

// As the Linux build holds IPv6 rows: the scope of a link-local address is
// not part of the row, so a connection keeps one key whatever interface
// index Windows gives it.
void FillAddresses(const MIB_TCP6ROW_OWNER_PID& entry, track::TConn& row) {
  std::memcpy(row.src_ip.data(), entry.ucLocalAddr, row.src_ip.size());
  std::memcpy(row.dst_ip.data(), entry.ucRemoteAddr, row.dst_ip.size());
}

template <typename Table>
void AddListeners(const std::vector<DWORD>& buffer, uint32_t filled, Listeners& listeners) {
  const auto* table = reinterpret_cast<const Table*>(buffer.data());
  const std::size_t count = RowCount<Table>(buffer, filled);
  for (std::size_t i = 0; i < count; ++i) {
    const auto& entry = table->table[i];
    if (entry.dwState != 2) continue;  // MIB_TCP_STATE_LISTEN
    track::TConn row;
    FillAddresses(entry, row);
    AddListener(listeners, row.src_ip, PortFromNetworkOrder(entry.dwLocalPort));
  }
}

// The owner is looked for only once the row is wanted: that query is the
// costly part of a read.
template <typename Table>
void HandOverRows(const std::vector<DWORD>& buffer, uint32_t filled, const RowConsumer& consume,
                  const RowWanted& wanted, const Listeners* listeners) {
  const auto* table = reinterpret_cast<const Table*>(buffer.data());
  const std::size_t count = RowCount<Table>(buffer, filled);
  for (std::size_t i = 0; i < count; ++i) {
    const auto& entry = table->table[i];
    track::TConn row;
    row.proto = track::Proto::kTcp;
    FillAddresses(entry, row);
    row.src_port = PortFromNetworkOrder(entry.dwLocalPort);
    row.dst_port = PortFromNetworkOrder(entry.dwRemotePort);
    row.state = entry.dwState;
    if (wanted && !wanted(row)) continue;
    row.pid = entry.dwOwningPid;
    // Asked afresh for every row, as the table may list a reused PID.
    row.process = track::MakeProcessName(ProcessNameForPid(entry.dwOwningPid));
    // The table names each owner as it reads.
    row.owner_from = row.pid == 0 ? track::OwnerFrom::kNone : track::OwnerFrom::kFd;
    if (listeners != nullptr) row.direction = DirectionOf(*listeners, row);
    consume(std::move(row));
  }
}

}  // namespace

bool ReadTcpTableWith(TcpTableCall call, const RowConsumer& consume, const RowWanted& wanted, bool ipv6,
                      bool direction) {
  // Both tables are fetched before any row is handed over: a failed read of
  // either is no poll. The vectors free themselves on every path.
  std::vector<DWORD> v4;
  uint32_t v4_filled = 0;
  if (!FetchTable(call, AF_INET, v4, v4_filled)) return false;
  std::vector<DWORD> v6;
  uint32_t v6_filled = 0;
  if (ipv6 && !FetchTable(call, AF_INET6, v6, v6_filled)) return false;
  Listeners listeners;
  if (direction) {
    AddListeners<MIB_TCPTABLE_OWNER_PID>(v4, v4_filled, listeners);
    if (ipv6) AddListeners<MIB_TCP6TABLE_OWNER_PID>(v6, v6_filled, listeners);
    SealListeners(listeners);
  }
  const Listeners* known = direction ? &listeners : nullptr;
  HandOverRows<MIB_TCPTABLE_OWNER_PID>(v4, v4_filled, consume, wanted, known);
  if (ipv6) HandOverRows<MIB_TCP6TABLE_OWNER_PID>(v6, v6_filled, consume, wanted, known);
  return true;
}

std::string ProcessNameForPid(uint32_t pid) {
  HANDLE process = OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, pid);
  if (process == nullptr) return "unknown";
  std::string name = "unknown";
  // Wide, then UTF-8: the ANSI code page cannot spell every name, and its
  // bytes are not what JSON and terminal readers expect.
  wchar_t path[1024];
  const DWORD capacity = sizeof(path) / sizeof(path[0]);
  DWORD size = capacity;
  if (QueryFullProcessImageNameW(process, 0, path, &size) != 0) {
    const int length = static_cast<int>(wcsnlen(path, size < capacity ? size : capacity));
    std::string utf8;
    const int bytes =
        length == 0 ? 0 : WideCharToMultiByte(CP_UTF8, 0, path, length, nullptr, 0, nullptr, nullptr);
    if (bytes > 0) {
      utf8.resize(static_cast<std::size_t>(bytes));
      WideCharToMultiByte(CP_UTF8, 0, path, length, utf8.data(), bytes, nullptr, nullptr);
    }
    if (bytes > 0 || length == 0) name = ProcessNameFromPath(utf8, kWindowsPathSeparators);
  }
  CloseHandle(process);
  return name;
}

}  // namespace sockvane::source
