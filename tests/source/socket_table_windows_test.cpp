// clang-format off
#include <winsock2.h>
#include <ws2tcpip.h>
#include <windows.h>
#include <iphlpapi.h>
// clang-format on

#include "source/socket_table_windows.h"

#include <gtest/gtest.h>

#include <array>
#include <cstring>
#include <string>
#include <vector>

#include "support/text_rows.h"
#include "track/conn.h"

namespace sockvane::source {
namespace {

// A scripted table call: each step answers one call.
struct Step {
  uint32_t size;    // size reported back
  uint32_t status;  // status returned
  bool fill;        // copy the canned table into the buffer
};

std::vector<Step> g_steps;
std::vector<uint32_t> g_sizes_given;  // size on entry, per call
std::vector<uint32_t> g_families;     // address family, per call
std::vector<unsigned char> g_table;   // canned IPv4 table bytes
std::vector<unsigned char> g_table6;  // canned IPv6 table bytes
std::size_t g_calls = 0;

uint32_t ScriptedCall(uint32_t family, void* table, uint32_t* size) {
  g_sizes_given.push_back(table == nullptr ? 0 : *size);
  g_families.push_back(family);
  if (g_calls >= g_steps.size()) {
    ++g_calls;
    return ERROR_GEN_FAILURE;
  }
  const Step& step = g_steps[g_calls++];
  if (table != nullptr && step.fill) {
    const std::vector<unsigned char>& canned = family == AF_INET6 ? g_table6 : g_table;
    const std::size_t n = *size < canned.size() ? *size : canned.size();
    std::memcpy(table, canned.data(), n);
  }
  *size = step.size;
  return step.status;
}

template <typename Table, typename Row>
std::vector<unsigned char> Bytes(const std::vector<Row>& rows, DWORD count) {
  std::vector<unsigned char> bytes(offsetof(Table, table) + rows.size() * sizeof(Row));
  std::memcpy(bytes.data(), &count, sizeof(count));
  if (!rows.empty())
    std::memcpy(bytes.data() + offsetof(Table, table), rows.data(), rows.size() * sizeof(Row));
  return bytes;
}

std::vector<unsigned char> TableBytes(const std::vector<MIB_TCPROW_OWNER_PID>& rows, DWORD count) {
  return Bytes<MIB_TCPTABLE_OWNER_PID>(rows, count);
}

std::vector<unsigned char> Table6Bytes(const std::vector<MIB_TCP6ROW_OWNER_PID>& rows, DWORD count) {
  return Bytes<MIB_TCP6TABLE_OWNER_PID>(rows, count);
}

DWORD Stored(unsigned char b0, unsigned char b1, unsigned char b2, unsigned char b3) {
  const unsigned char bytes[4] = {b0, b1, b2, b3};
  DWORD value;
  std::memcpy(&value, bytes, sizeof(value));
  return value;
}

class ScriptedTable : public ::testing::Test {
 protected:
  void SetUp() override {
    g_steps.clear();
    g_sizes_given.clear();
    g_families.clear();
    g_table.clear();
    g_table6.clear();
    g_calls = 0;
  }

  bool Read(bool ipv6 = false) {
    rows.clear();
    return ReadTcpTableWith(
        ScriptedCall, [this](track::TConn&& row) { rows.push_back(testing::TextsOfRow(row)); }, nullptr,
        ipv6);
  }

  std::vector<testing::TextRow> rows;
};

TEST_F(ScriptedTable, SizeBelowFourBytesMakesNoSecondCall) {
  g_steps = {{3, ERROR_INSUFFICIENT_BUFFER, false}};
  EXPECT_FALSE(Read());
  EXPECT_EQ(g_calls, 1u);
  EXPECT_TRUE(rows.empty());
}

TEST_F(ScriptedTable, FourBytesAndZeroRowsIsAnEmptyRead) {
  g_table = TableBytes({}, 0);
  g_steps = {{4, ERROR_INSUFFICIENT_BUFFER, false}, {4, NO_ERROR, true}};
  EXPECT_TRUE(Read());
  EXPECT_EQ(g_calls, 2u);
  EXPECT_EQ(g_sizes_given[1], 4u);
  EXPECT_TRUE(rows.empty());
}

TEST_F(ScriptedTable, OtherFailureIsNotRetried) {
  g_steps = {{64, ERROR_INSUFFICIENT_BUFFER, false}, {64, ERROR_INVALID_PARAMETER, false}};
  EXPECT_FALSE(Read());
  EXPECT_EQ(g_calls, 2u);
}

TEST_F(ScriptedTable, GrowingTableIsRetriedWithALargerBuffer) {
  MIB_TCPROW_OWNER_PID row = {};
  row.dwState = MIB_TCP_STATE_ESTAB;
  row.dwLocalAddr = Stored(0x7F, 0, 0, 1);
  row.dwLocalPort = Stored(0xC3, 0x50, 0, 0);
  row.dwRemoteAddr = Stored(0xC0, 0xA8, 0x01, 0x0A);
  row.dwRemotePort = Stored(0x01, 0xBB, 0, 0);
  row.dwOwningPid = 4312;
  g_table = TableBytes({row}, 1);
  const auto full = static_cast<uint32_t>(g_table.size());
  g_steps = {{full - 16, ERROR_INSUFFICIENT_BUFFER, false},
             {full, ERROR_INSUFFICIENT_BUFFER, false},
             {full - 8, ERROR_INSUFFICIENT_BUFFER, false},
             {full, NO_ERROR, true}};
  EXPECT_TRUE(Read());
  ASSERT_EQ(g_calls, 4u);
  // The retry asks with more room than the size query reported.
  EXPECT_GT(g_sizes_given[3], full - 8);
  ASSERT_EQ(rows.size(), 1u);
  EXPECT_EQ(rows[0].dst_ip, "192.168.1.10");
  EXPECT_EQ(rows[0].dst_port, 443);
}

TEST_F(ScriptedTable, TableThatKeepsGrowingIsAFailedRead) {
  g_steps.clear();
  for (int i = 0; i < kTcpTableAttempts; ++i) {
    g_steps.push_back({64, ERROR_INSUFFICIENT_BUFFER, false});
    g_steps.push_back({4096, ERROR_INSUFFICIENT_BUFFER, false});
  }
  EXPECT_FALSE(Read());
  EXPECT_EQ(g_calls, 2u * kTcpTableAttempts);
  EXPECT_TRUE(rows.empty());
}

TEST_F(ScriptedTable, RowsAreConvertedInTableOrder) {
  MIB_TCPROW_OWNER_PID listen = {};
  listen.dwState = MIB_TCP_STATE_LISTEN;
  listen.dwLocalAddr = 0;
  listen.dwLocalPort = Stored(0x01, 0xBB, 0xFF, 0xFF);  // upper half ignored
  listen.dwRemotePort = 0;
  listen.dwOwningPid = GetCurrentProcessId();
  MIB_TCPROW_OWNER_PID other = {};
  other.dwState = 1;  // closed: no name
  other.dwLocalAddr = Stored(0xFF, 0xFF, 0xFF, 0xFF);
  other.dwRemoteAddr = Stored(0x7F, 0, 0, 1);
  other.dwRemotePort = Stored(0x00, 0x50, 0, 0);
  other.dwOwningPid = 0xFFFFFFF0u;  // no such process
  g_table = TableBytes({listen, other, other}, 3);
  const auto full = static_cast<uint32_t>(g_table.size());
  g_steps = {{full, ERROR_INSUFFICIENT_BUFFER, false}, {full, NO_ERROR, true}};
  ASSERT_TRUE(Read());
  ASSERT_EQ(rows.size(), 3u);  // duplicates are the consumer's business

  EXPECT_EQ(rows[0].proto, "TCP");
  EXPECT_EQ(rows[0].pid, std::to_string(GetCurrentProcessId()));
  EXPECT_EQ(rows[0].process, "sockvane_tests.exe");
  EXPECT_EQ(rows[0].src_ip, "0.0.0.0");
  EXPECT_EQ(rows[0].src_port, 443);
  EXPECT_EQ(rows[0].dst_port, 0);
  EXPECT_EQ(rows[0].state, "LISTEN");

  EXPECT_EQ(rows[1].pid, "4294967280");
  EXPECT_EQ(rows[1].process, "unknown");
  EXPECT_EQ(rows[1].src_ip, "255.255.255.255");
  EXPECT_EQ(rows[1].dst_ip, "127.0.0.1");
  EXPECT_EQ(rows[1].dst_port, 80);
  EXPECT_EQ(rows[1].state, "1");
}

TEST_F(ScriptedTable, CountBeyondTheBufferIsCut) {
  MIB_TCPROW_OWNER_PID row = {};
  row.dwState = MIB_TCP_STATE_ESTAB;
  g_table = TableBytes({row, row}, 1000000);
  const auto full = static_cast<uint32_t>(g_table.size());
  g_steps = {{full, ERROR_INSUFFICIENT_BUFFER, false}, {full, NO_ERROR, true}};
  ASSERT_TRUE(Read());
  EXPECT_EQ(rows.size(), 2u);
}

using Address6 = std::array<unsigned char, 16>;

MIB_TCP6ROW_OWNER_PID Row6(const Address6& local, DWORD local_scope, DWORD local_port, const Address6& remote,
                           DWORD remote_scope, DWORD remote_port, DWORD state, DWORD pid) {
  MIB_TCP6ROW_OWNER_PID row = {};
  std::memcpy(row.ucLocalAddr, local.data(), 16);
  row.dwLocalScopeId = local_scope;
  row.dwLocalPort = local_port;
  std::memcpy(row.ucRemoteAddr, remote.data(), 16);
  row.dwRemoteScopeId = remote_scope;
  row.dwRemotePort = remote_port;
  row.dwState = state;
  row.dwOwningPid = pid;
  return row;
}

constexpr Address6 kAny6 = {};
constexpr Address6 kMappedLoopback = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xFF, 0xFF, 127, 0, 0, 1};
constexpr Address6 kMappedPublic = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xFF, 0xFF, 192, 0, 2, 1};
constexpr Address6 kLinkLocal1 = {0xFE, 0x80, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1};
constexpr Address6 kLinkLocal2 = {0xFE, 0x80, 0,    0,    0,    0,    0,    0,
                                  0x02, 0x1A, 0x2B, 0xFF, 0xFE, 0x3C, 0x4D, 0x5E};
// Two equal zero runs: the first is the one shortened.
constexpr Address6 kDoc = {0x20, 0x01, 0x0D, 0xB8, 0, 0, 0, 0, 0, 1, 0, 0, 0, 0, 0, 1};

// A table whose size query and read both go through at the first try.
void Answer(const std::vector<unsigned char>& v4, const std::vector<unsigned char>& v6) {
  g_table = v4;
  g_table6 = v6;
  const auto full = static_cast<uint32_t>(v4.size());
  const auto full6 = static_cast<uint32_t>(v6.size());
  g_steps = {{full, ERROR_INSUFFICIENT_BUFFER, false},
             {full, NO_ERROR, true},
             {full6, ERROR_INSUFFICIENT_BUFFER, false},
             {full6, NO_ERROR, true}};
}

TEST_F(ScriptedTable, Ipv6RowsFollowTheIpv4Rows) {
  MIB_TCPROW_OWNER_PID v4 = {};
  v4.dwState = MIB_TCP_STATE_ESTAB;
  v4.dwLocalAddr = Stored(10, 0, 0, 2);
  v4.dwRemoteAddr = Stored(192, 0, 2, 9);
  v4.dwRemotePort = Stored(0x01, 0xBB, 0, 0);
  v4.dwOwningPid = 4;
  const DWORD own = GetCurrentProcessId();
  const DWORD ssh = Stored(0x00, 0x16, 0, 0);
  const DWORD https = Stored(0x01, 0xBB, 0xAB, 0xCD);  // upper half ignored
  const DWORD high = Stored(0xC3, 0x50, 0, 0);         // 50000
  struct Case {
    const char* name;
    MIB_TCP6ROW_OWNER_PID row;
    const char *pid, *process, *src_ip;
    uint16_t src_port;
    const char* dst_ip;
    uint16_t dst_port;
    const char* state;
  };
  const std::vector<Case> cases = {
      {"v4-mapped", Row6(kMappedLoopback, 0, high, kMappedPublic, 0, https, MIB_TCP_STATE_ESTAB, own), "",
       "sockvane_tests.exe", "127.0.0.1", 50000, "192.0.2.1", 443, "ESTABLISHED"},
      {"link-local, scope 7",
       Row6(kLinkLocal1, 7, high, kLinkLocal2, 7, ssh, MIB_TCP_STATE_SYN_SENT, 0xFFFFFFF0u), "4294967280",
       "unknown", "fe80::1", 50000, "fe80::21a:2bff:fe3c:4d5e", 22, "SYN_SENT"},
      {"link-local, scope 12",
       Row6(kLinkLocal1, 12, high, kLinkLocal2, 12, ssh, MIB_TCP_STATE_SYN_SENT, 0xFFFFFFF0u), "4294967280",
       "unknown", "fe80::1", 50000, "fe80::21a:2bff:fe3c:4d5e", 22, "SYN_SENT"},
      {"all-zero listener", Row6(kAny6, 0, https, kAny6, 0, 0, MIB_TCP_STATE_LISTEN, 0), "0", nullptr,
       "::", 443, "::", 0, "LISTEN"},
      {"documentation", Row6(kDoc, 0, ssh, kDoc, 0, high, MIB_TCP_STATE_TIME_WAIT, own), "",
       "sockvane_tests.exe", "2001:db8::1:0:0:1", 22, "2001:db8::1:0:0:1", 50000, "TIME_WAIT"},
  };
  std::vector<MIB_TCP6ROW_OWNER_PID> table6;
  for (const Case& c : cases) table6.push_back(c.row);
  Answer(TableBytes({v4}, 1), Table6Bytes(table6, static_cast<DWORD>(table6.size())));
  ASSERT_TRUE(Read(true));
  EXPECT_EQ(g_families, (std::vector<uint32_t>{AF_INET, AF_INET, AF_INET6, AF_INET6}));
  ASSERT_EQ(rows.size(), 1 + cases.size());
  EXPECT_EQ(rows[0].dst_ip, "192.0.2.9");
  for (std::size_t i = 0; i < cases.size(); ++i) {
    const Case& c = cases[i];
    const testing::TextRow& row = rows[1 + i];
    SCOPED_TRACE(c.name);
    EXPECT_EQ(row.proto, "TCP");
    EXPECT_EQ(row.pid, *c.pid != '\0' ? std::string(c.pid) : std::to_string(own));
    if (c.process != nullptr) {
      EXPECT_EQ(row.process, c.process);
    }
    EXPECT_EQ(row.src_ip, c.src_ip);
    EXPECT_EQ(row.src_port, c.src_port);
    EXPECT_EQ(row.dst_ip, c.dst_ip);
    EXPECT_EQ(row.dst_port, c.dst_port);
    EXPECT_EQ(row.state, c.state);
  }
}

TEST_F(ScriptedTable, WithoutIpv6TheIpv6TableIsNotAsked) {
  MIB_TCPROW_OWNER_PID v4 = {};
  v4.dwState = MIB_TCP_STATE_ESTAB;
  Answer(TableBytes({v4}, 1), Table6Bytes({Row6(kDoc, 0, 1, kDoc, 0, 1, MIB_TCP_STATE_ESTAB, 0)}, 1));
  ASSERT_TRUE(Read(false));
  EXPECT_EQ(g_families, (std::vector<uint32_t>{AF_INET, AF_INET}));
  ASSERT_EQ(rows.size(), 1u);
  EXPECT_EQ(rows[0].src_ip, "0.0.0.0");
}

TEST_F(ScriptedTable, Ipv6TableThatGrewIsRetried) {
  const DWORD own = GetCurrentProcessId();
  g_table = TableBytes({}, 0);
  g_table6 = Table6Bytes({Row6(kLinkLocal1, 3, 0x5000, kLinkLocal2, 3, 0xBB01, MIB_TCP_STATE_ESTAB, own)}, 1);
  const auto full6 = static_cast<uint32_t>(g_table6.size());
  g_steps = {{4, ERROR_INSUFFICIENT_BUFFER, false},          {4, NO_ERROR, true},
             {full6 - 56, ERROR_INSUFFICIENT_BUFFER, false}, {full6, ERROR_INSUFFICIENT_BUFFER, false},
             {full6 - 8, ERROR_INSUFFICIENT_BUFFER, false},  {full6, NO_ERROR, true}};
  ASSERT_TRUE(Read(true));
  ASSERT_EQ(g_calls, 6u);
  EXPECT_EQ(g_sizes_given[3], full6 - 56);
  EXPECT_GT(g_sizes_given[5], full6 - 8);
  ASSERT_EQ(rows.size(), 1u);
  EXPECT_EQ(rows[0].dst_ip, "fe80::21a:2bff:fe3c:4d5e");
  EXPECT_EQ(rows[0].dst_port, 443);
  EXPECT_EQ(rows[0].src_port, 80);
  EXPECT_EQ(rows[0].pid, std::to_string(own));
}

// However good the IPv4 table was, a failed IPv6 read is no poll: nothing of
// it is handed over.
TEST_F(ScriptedTable, FailedIpv6ReadHandsNothingOver) {
  MIB_TCPROW_OWNER_PID v4 = {};
  v4.dwState = MIB_TCP_STATE_ESTAB;
  const std::vector<unsigned char> v4_bytes = TableBytes({v4}, 1);
  const auto full = static_cast<uint32_t>(v4_bytes.size());
  const std::vector<Step> ipv4_ok = {{full, ERROR_INSUFFICIENT_BUFFER, false}, {full, NO_ERROR, true}};
  struct Case {
    const char* name;
    std::vector<Step> ipv6_steps;
  };
  std::vector<Step> growing;
  for (int i = 0; i < kTcpTableAttempts; ++i) {
    growing.push_back({64, ERROR_INSUFFICIENT_BUFFER, false});
    growing.push_back({4096, ERROR_INSUFFICIENT_BUFFER, false});
  }
  const std::vector<Case> cases = {
      {"size query below four bytes", {{0, ERROR_NOT_SUPPORTED, false}}},
      {"read fails", {{64, ERROR_INSUFFICIENT_BUFFER, false}, {64, ERROR_INVALID_PARAMETER, false}}},
      {"keeps growing", growing},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    g_table = v4_bytes;
    g_steps = ipv4_ok;
    g_steps.insert(g_steps.end(), c.ipv6_steps.begin(), c.ipv6_steps.end());
    g_calls = 0;
    EXPECT_FALSE(Read(true));
    EXPECT_EQ(g_calls, 2 + c.ipv6_steps.size());
    EXPECT_TRUE(rows.empty());
  }
}

TEST_F(ScriptedTable, Ipv6CountBeyondTheBufferIsCut) {
  const MIB_TCP6ROW_OWNER_PID row = Row6(kAny6, 0, 0, kAny6, 0, 0, MIB_TCP_STATE_LISTEN, 0);
  Answer(TableBytes({}, 0), Table6Bytes({row, row}, 0xFFFFFFFFu));
  ASSERT_TRUE(Read(true));
  EXPECT_EQ(rows.size(), 2u);
}

TEST(ProcessNameForPid, NamesTheImageOrSaysUnknown) {
  EXPECT_EQ(ProcessNameForPid(GetCurrentProcessId()), "sockvane_tests.exe");
  EXPECT_EQ(ProcessNameForPid(0xFFFFFFF0u), "unknown");
}

// A loopback connection this process owns, with data sent (the owner shows
// in the table only once data has flowed).
struct LoopbackPair {
  SOCKET listener = INVALID_SOCKET;
  SOCKET client = INVALID_SOCKET;
  SOCKET server = INVALID_SOCKET;
  uint16_t port = 0;         // the listener's
  uint16_t client_port = 0;  // the client end's
  bool started = false;

  LoopbackPair() {
    WSADATA wsa;
    started = WSAStartup(MAKEWORD(2, 2), &wsa) == 0;
  }
  ~LoopbackPair() {
    for (SOCKET s : {server, client, listener}) {
      if (s != INVALID_SOCKET) closesocket(s);
    }
    if (started) WSACleanup();
  }
};

uint16_t LocalPort(SOCKET s) {
  sockaddr_storage at = {};
  int length = sizeof(at);
  if (getsockname(s, reinterpret_cast<sockaddr*>(&at), &length) != 0) return 0;
  return ntohs(at.ss_family == AF_INET6 ? reinterpret_cast<sockaddr_in6*>(&at)->sin6_port
                                        : reinterpret_cast<sockaddr_in*>(&at)->sin_port);
}

void Connect(int family, LoopbackPair& pair) {
  ASSERT_TRUE(pair.started);
  sockaddr_storage at = {};
  int length = 0;
  if (family == AF_INET6) {
    auto* in6 = reinterpret_cast<sockaddr_in6*>(&at);
    in6->sin6_family = AF_INET6;
    in6->sin6_addr.s6_addr[15] = 1;  // ::1
    length = sizeof(sockaddr_in6);
  } else {
    auto* in = reinterpret_cast<sockaddr_in*>(&at);
    in->sin_family = AF_INET;
    in->sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    length = sizeof(sockaddr_in);
  }
  pair.listener = socket(family, SOCK_STREAM, IPPROTO_TCP);
  ASSERT_NE(pair.listener, INVALID_SOCKET);
  ASSERT_EQ(bind(pair.listener, reinterpret_cast<sockaddr*>(&at), length), 0) << WSAGetLastError();
  ASSERT_EQ(listen(pair.listener, 1), 0);
  pair.port = LocalPort(pair.listener);
  ASSERT_NE(pair.port, 0);
  if (family == AF_INET6) {
    reinterpret_cast<sockaddr_in6*>(&at)->sin6_port = htons(pair.port);
  } else {
    reinterpret_cast<sockaddr_in*>(&at)->sin_port = htons(pair.port);
  }
  pair.client = socket(family, SOCK_STREAM, IPPROTO_TCP);
  ASSERT_EQ(connect(pair.client, reinterpret_cast<sockaddr*>(&at), length), 0) << WSAGetLastError();
  pair.client_port = LocalPort(pair.client);
  pair.server = accept(pair.listener, nullptr, nullptr);
  ASSERT_NE(pair.server, INVALID_SOCKET);
  char byte = 'x';
  ASSERT_EQ(send(pair.client, &byte, 1, 0), 1);
  ASSERT_EQ(recv(pair.server, &byte, 1, 0), 1);
}

// Rows of one real read of the system's source for the client end of
// `pair`. Only those are wanted, so a busy host's other sockets cost no
// process query.
std::vector<testing::TextRow> ClientRows(const LoopbackPair& pair, bool ipv6) {
  std::vector<testing::TextRow> found;
  const auto source = MakeSystemSource();
  SourceSettings settings;
  settings.ipv6 = ipv6;
  EXPECT_EQ(source->Start(settings), "");
  EXPECT_TRUE(source->ReadTcpTable(
      [&](track::TConn&& row) { found.push_back(testing::TextsOfRow(row)); },
      [&](const track::TConn& row) { return row.src_port == pair.client_port && row.dst_port == pair.port; }));
  return found;
}

// Wine 8.0 takes the owner of an IPv6 socket from the wrong column of
// /proc/net/tcp6, so every IPv6 row there says process 0.
bool UnderWine() {
  const HMODULE ntdll = GetModuleHandleA("ntdll.dll");
  return ntdll != nullptr && GetProcAddress(ntdll, "wine_get_version") != nullptr;
}

// The real table, with a loopback connection this process owns. The owner
// appears once the table has caught up with the data.
TEST(ReadTcpTable, ShowsOwnLoopbackConnection) {
  LoopbackPair pair;
  ASSERT_NO_FATAL_FAILURE(Connect(AF_INET, pair));
  const std::string own_pid = std::to_string(GetCurrentProcessId());
  std::vector<testing::TextRow> found;
  for (int attempt = 0; attempt < 10; ++attempt) {
    found = ClientRows(pair, false);
    if (found.size() == 1 && found[0].pid == own_pid) break;
    Sleep(200);
  }
  ASSERT_EQ(found.size(), 1u) << "no row for 127.0.0.1:" << pair.client_port << " -> " << pair.port;
  EXPECT_EQ(found[0].pid, own_pid);
  EXPECT_EQ(found[0].process, "sockvane_tests.exe");
  EXPECT_EQ(found[0].src_ip, "127.0.0.1");
  EXPECT_EQ(found[0].dst_ip, "127.0.0.1");
  EXPECT_EQ(found[0].state, "ESTABLISHED");
}

// An IPv6 connection is in the rows only when the IPv6 table is asked for.
TEST(ReadTcpTable, ShowsOwnIpv6LoopbackConnectionOnlyWithIpv6) {
  LoopbackPair pair;
  ASSERT_NO_FATAL_FAILURE(Connect(AF_INET6, pair));
  const std::string own_pid = std::to_string(GetCurrentProcessId());
  const bool wine = UnderWine();
  std::vector<testing::TextRow> found;
  for (int attempt = 0; attempt < 10; ++attempt) {
    found = ClientRows(pair, true);
    if (found.size() == 1 && (found[0].pid == own_pid || wine)) break;
    Sleep(200);
  }
  ASSERT_EQ(found.size(), 1u) << "no row for [::1]:" << pair.client_port << " -> " << pair.port;
  if (wine && found[0].pid == "0") {
    EXPECT_EQ(found[0].process, "unknown");
  } else {
    EXPECT_EQ(found[0].pid, own_pid);
    EXPECT_EQ(found[0].process, "sockvane_tests.exe");
  }
  EXPECT_EQ(found[0].src_ip, "::1");
  EXPECT_EQ(found[0].dst_ip, "::1");
  EXPECT_EQ(found[0].state, "ESTABLISHED");
  EXPECT_TRUE(ClientRows(pair, false).empty());
}

}  // namespace
}  // namespace sockvane::source
