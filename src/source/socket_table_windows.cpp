// clang-format off
#include <winsock2.h>
#include <windows.h>
#include <iphlpapi.h>
// clang-format on

#include "source/socket_table_windows.h"

#include <cstddef>
#include <cstring>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "source/naming.h"
#include "source/socket_table.h"

namespace sockvane::source {
namespace {

uint32_t RealTcpTableCall(void* table, uint32_t* size) {
  DWORD bytes = *size;
  const DWORD status = GetExtendedTcpTable(table, &bytes, FALSE, AF_INET, TCP_TABLE_OWNER_PID_ALL, 0);
  *size = bytes;
  return status;
}

TcpTableCall g_table_call = nullptr;

uint32_t CallTable(void* table, uint32_t* size) {
  return (g_table_call != nullptr ? g_table_call : RealTcpTableCall)(table, size);
}

constexpr std::size_t kHeaderBytes = offsetof(MIB_TCPTABLE_OWNER_PID, table);
constexpr std::size_t kRowBytes = sizeof(MIB_TCPROW_OWNER_PID);

}  // namespace

void SetTcpTableCallForTesting(TcpTableCall call) {
  g_table_call = call;
}

bool ReadTcpTable(const RowConsumer& consume, const RowWanted& wanted) {
  // DWORD elements keep the rows aligned; the vector frees itself on every path.
  std::vector<DWORD> buffer;
  uint32_t filled = 0;
  bool read_ok = false;
  for (int attempt = 0; attempt < kTcpTableAttempts && !read_ok; ++attempt) {
    uint32_t size = 0;
    CallTable(nullptr, &size);
    if (size < sizeof(DWORD)) return false;
    // A busy host opens sockets between the two calls: leave room for them.
    const uint64_t margin = attempt == 0 ? 0 : uint64_t(attempt) * (size / 4 + 16 * kRowBytes);
    const uint64_t wanted = uint64_t(size) + margin;
    if (wanted > UINT32_MAX) return false;
    const uint32_t capacity = static_cast<uint32_t>(wanted);
    buffer.assign((capacity + sizeof(DWORD) - 1) / sizeof(DWORD), 0);
    uint32_t io_size = capacity;
    const uint32_t status = CallTable(buffer.data(), &io_size);
    if (status == NO_ERROR) {
      read_ok = true;
      filled = capacity;
    } else if (status != ERROR_INSUFFICIENT_BUFFER) {
      return false;
    }
  }
  if (!read_ok) return false;

  const auto* table = reinterpret_cast<const MIB_TCPTABLE_OWNER_PID*>(buffer.data());
  // Never trust the count beyond the bytes we own.
  const std::size_t room = filled >= kHeaderBytes ? (filled - kHeaderBytes) / kRowBytes : 0;
  std::size_t count = table->dwNumEntries;
  if (count > room) count = room;
  for (std::size_t i = 0; i < count; ++i) {
    const MIB_TCPROW_OWNER_PID& entry = table->table[i];
    track::TConn row;
    row.proto = "TCP";
    row.src_ip = Ipv4ToText(entry.dwLocalAddr);
    row.src_port = PortFromNetworkOrder(entry.dwLocalPort);
    row.dst_ip = Ipv4ToText(entry.dwRemoteAddr);
    row.dst_port = PortFromNetworkOrder(entry.dwRemotePort);
    row.state = TcpStateName(entry.dwState);
    // A row nobody wants costs no process query.
    if (wanted && !wanted(row)) continue;
    row.pid = std::to_string(entry.dwOwningPid);
    row.process = ProcessNameForPid(entry.dwOwningPid);
    consume(std::move(row));
  }
  return true;
}

std::string ProcessNameForPid(uint32_t pid) {
  HANDLE process = OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, pid);
  if (process == nullptr) return "unknown";
  std::string name = "unknown";
  char path[1024];
  DWORD size = sizeof(path);
  if (QueryFullProcessImageNameA(process, 0, path, &size) != 0) {
    const std::size_t limit = size < sizeof(path) ? size : sizeof(path);
    name = ProcessNameFromPath(std::string_view(path, strnlen(path, limit)));
  }
  CloseHandle(process);
  return name;
}

// The table names every owner itself: there is no search to fail.
std::string OwnerSearchProblem() {
  return "";
}

}  // namespace sockvane::source
