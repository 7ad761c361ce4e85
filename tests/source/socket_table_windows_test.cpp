// clang-format off
#include <winsock2.h>
#include <ws2tcpip.h>
#include <windows.h>
#include <iphlpapi.h>
// clang-format on

#include "source/socket_table_windows.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "source/socket_table.h"
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
std::vector<unsigned char> g_table;   // canned table bytes
std::size_t g_calls = 0;

uint32_t ScriptedCall(void* table, uint32_t* size) {
  g_sizes_given.push_back(table == nullptr ? 0 : *size);
  if (g_calls >= g_steps.size()) {
    ++g_calls;
    return ERROR_GEN_FAILURE;
  }
  const Step& step = g_steps[g_calls++];
  if (table != nullptr && step.fill) {
    const std::size_t n = *size < g_table.size() ? *size : g_table.size();
    std::memcpy(table, g_table.data(), n);
  }
  *size = step.size;
  return step.status;
}

std::vector<unsigned char> TableBytes(const std::vector<MIB_TCPROW_OWNER_PID>& rows, DWORD count) {
  std::vector<unsigned char> bytes(offsetof(MIB_TCPTABLE_OWNER_PID, table) + rows.size() * sizeof(rows[0]));
  std::memcpy(bytes.data(), &count, sizeof(count));
  if (!rows.empty()) {
    std::memcpy(bytes.data() + offsetof(MIB_TCPTABLE_OWNER_PID, table), rows.data(),
                rows.size() * sizeof(rows[0]));
  }
  return bytes;
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
    g_table.clear();
    g_calls = 0;
    SetTcpTableCallForTesting(ScriptedCall);
  }
  void TearDown() override { SetTcpTableCallForTesting(nullptr); }

  bool Read() {
    rows.clear();
    return ReadTcpTable([this](track::TConn&& row) { rows.push_back(std::move(row)); });
  }

  std::vector<track::TConn> rows;
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
  EXPECT_TRUE(rows[1].key.empty());
  EXPECT_EQ(rows[1].first_seen, 0);
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

TEST(ProcessNameForPid, NamesTheImageOrSaysUnknown) {
  EXPECT_EQ(ProcessNameForPid(GetCurrentProcessId()), "sockvane_tests.exe");
  EXPECT_EQ(ProcessNameForPid(0xFFFFFFF0u), "unknown");
}

// The real table, with a loopback connection this process owns.
TEST(ReadTcpTable, ShowsOwnLoopbackConnection) {
  WSADATA wsa;
  ASSERT_EQ(WSAStartup(MAKEWORD(2, 2), &wsa), 0);
  SOCKET listener = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
  ASSERT_NE(listener, INVALID_SOCKET);
  sockaddr_in at = {};
  at.sin_family = AF_INET;
  at.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  ASSERT_EQ(bind(listener, reinterpret_cast<sockaddr*>(&at), sizeof(at)), 0);
  ASSERT_EQ(listen(listener, 1), 0);
  int length = sizeof(at);
  ASSERT_EQ(getsockname(listener, reinterpret_cast<sockaddr*>(&at), &length), 0);
  const uint16_t port = ntohs(at.sin_port);

  SOCKET client = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
  ASSERT_EQ(connect(client, reinterpret_cast<sockaddr*>(&at), sizeof(at)), 0);
  SOCKET server = accept(listener, nullptr, nullptr);
  ASSERT_NE(server, INVALID_SOCKET);
  char byte = 'x';
  ASSERT_EQ(send(client, &byte, 1, 0), 1);
  ASSERT_EQ(recv(server, &byte, 1, 0), 1);

  const std::string own_pid = std::to_string(GetCurrentProcessId());
  bool found = false;
  // The owner appears once the table has caught up with the data.
  for (int attempt = 0; attempt < 10 && !found; ++attempt) {
    ASSERT_TRUE(ReadTcpTable([&](track::TConn&& row) {
      if (row.dst_port == port && row.dst_ip == "127.0.0.1" && row.pid == own_pid) {
        found = true;
        EXPECT_EQ(row.process, "sockvane_tests.exe");
        EXPECT_EQ(row.src_ip, "127.0.0.1");
        EXPECT_EQ(row.state, "ESTABLISHED");
      }
    }));
    if (!found) Sleep(200);
  }
  EXPECT_TRUE(found) << "no row for 127.0.0.1:" << port << " owned by " << own_pid;

  closesocket(server);
  closesocket(client);
  closesocket(listener);
  WSACleanup();
}

}  // namespace
}  // namespace sockvane::source
