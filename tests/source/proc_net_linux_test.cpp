#include "source/proc_net_linux.h"

#include <gtest/gtest.h>

#include <bit>
#include <fstream>
#include <sstream>

#include "source/proc_linux.h"
#include "support/text_rows.h"

namespace sockvane::source {
namespace {

struct Expected {
  const char* proto;
  const char* src_ip;
  uint16_t src_port;
  const char* dst_ip;
  uint16_t dst_port;
  const char* state;
  uint64_t inode;
};

std::string ReadFixture(const char* name) {
  std::ifstream in(std::string(SOCKVANE_TEST_DATA) + "/" + name, std::ios::binary);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

void ExpectRows(const char* fixture, bool ipv6, uint8_t protocol, const std::vector<Expected>& expected) {
  // The kernel writes address words in host byte order; the fixtures come from a little-endian host.
  if constexpr (std::endian::native != std::endian::little) GTEST_SKIP();
  std::string text = ReadFixture(fixture);
  ASSERT_FALSE(text.empty()) << fixture;
  std::vector<RawSocket> rows;
  ParseProcNetText(text, ipv6, protocol, rows);
  ASSERT_EQ(rows.size(), expected.size()) << fixture;
  for (std::size_t i = 0; i < rows.size(); ++i) {
    track::TConn binary;
    FillAddressFields(rows[i], binary);
    const testing::TextRow row = testing::TextsOfRow(binary);
    SCOPED_TRACE(std::string(fixture) + " row " + std::to_string(i));
    EXPECT_EQ(row.proto, expected[i].proto);
    EXPECT_EQ(row.src_ip, expected[i].src_ip);
    EXPECT_EQ(row.src_port, expected[i].src_port);
    EXPECT_EQ(row.dst_ip, expected[i].dst_ip);
    EXPECT_EQ(row.dst_port, expected[i].dst_port);
    EXPECT_EQ(row.state, expected[i].state);
    EXPECT_EQ(rows[i].inode, expected[i].inode);
  }
}

TEST(ProcNet, Tcp4SkipsMalformedLines) {
  ExpectRows("proc_net_tcp", false, kProtoTcp,
             {
                 {"TCP", "127.0.0.1", 22, "0.0.0.0", 0, "LISTEN", 12345},
                 {"TCP", "192.168.1.10", 50000, "93.184.216.34", 443, "ESTABLISHED", 67890},
                 {"TCP", "127.0.0.1", 35554, "127.0.0.1", 22, "TIME_WAIT", 0},
                 {"TCP", "127.0.0.1", 22, "127.0.0.1", 35556, "SYN_RECV", 0},
                 {"TCP", "127.0.0.1", 8080, "127.0.0.1", 54321, "CLOSE_WAIT", 424242},  // no final newline
             });
}

TEST(ProcNet, Tcp6CompressesAndUnmaps) {
  ExpectRows("proc_net_tcp6", true, kProtoTcp,
             {
                 {"TCP", "::", 22, "::", 0, "LISTEN", 111},
                 {"TCP", "::1", 8080, "::1", 54321, "ESTABLISHED", 222},
                 {"TCP", "127.0.0.1", 8080, "127.0.0.1", 49153, "ESTABLISHED", 333},
                 {"TCP", "2001:db8::1", 443, "fe80::250:ff:fe01:abcd", 58096, "FIN_WAIT1", 444},
             });
}

TEST(ProcNet, UdpConnectedOrNot) {
  ExpectRows("proc_net_udp", false, kProtoUdp,
             {
                 {"UDP", "127.0.0.1", 53, "0.0.0.0", 0, "1", 5555},
                 {"UDP", "127.0.0.1", 40960, "127.0.0.1", 53, "ESTABLISHED", 5556},
             });
  ExpectRows("proc_net_udp6", true, kProtoUdp, {{"UDP", "::1", 12345, "::1", 12346, "ESTABLISHED", 7777}});
}

TEST(ProcNet, LinuxStatesToMib) {
  const struct {
    uint8_t linux_state;
    uint32_t mib;
  } cases[] = {{1, 5},  {2, 3},  {3, 4},  {4, 6},  {5, 7}, {6, 11}, {7, 1},  {8, 8},
               {9, 10}, {10, 2}, {11, 9}, {12, 4}, {0, 0}, {13, 0}, {255, 0}};
  for (const auto& c : cases)
    EXPECT_EQ(MibStateFromLinux(c.linux_state, kProtoTcp), c.mib) << int{c.linux_state};
  EXPECT_EQ(MibStateFromLinux(1, kProtoUdp), 5u);
  EXPECT_EQ(MibStateFromLinux(7, kProtoUdp), 1u);
}

TEST(ProcNet, SocketUserColumn) {
  const struct {
    const char* uid;
    bool ok;
    uint32_t value;
  } cases[] = {
      {"1000", true, 1000}, {"0", true, 0},    {"4294967295", true, 4294967295u}, {"4294967296", false, 0},
      {"-1", false, 0},     {"10x", false, 0}, {"99999999999999999999", false, 0}};
  for (const auto& c : cases) {
    const std::string line = std::string(
                                 "   1: 0100007F:0016 00000000:0000 0A 00000000:00000000 00:00000000 "
                                 "00000000 ") +
                             c.uid + " 0 12345 1";
    RawSocket raw;
    ASSERT_EQ(ParseProcNetLine(line, false, kProtoTcp, raw), c.ok) << c.uid;
    if (!c.ok) continue;
    EXPECT_EQ(raw.uid, c.value) << c.uid;
    EXPECT_EQ(raw.inode, 12345u) << c.uid;
  }
}

TEST(ProcNet, ArbitraryBytesNeverMatchOrCrash) {
  // Every prefix of a valid line, and every line with one byte replaced.
  const std::string line =
      "   1: 0A01A8C0:C350 22D8B85D:01BB 01 00000000:00000000 02:000A1B2C 00000000  1000        0 67890 2";
  RawSocket raw;
  for (std::size_t n = 0; n < line.size(); ++n) {
    bool ok = ParseProcNetLine(std::string_view(line.data(), n), false, kProtoTcp, raw);
    // A line is whole once a field follows the inode.
    EXPECT_EQ(ok, n >= 98) << n;
  }
  for (std::size_t i = 0; i < line.size(); ++i) {
    for (char c : {'\0', 'Z', ':', ' ', '\xff'}) {
      std::string bad = line;
      bad[i] = c;
      ParseProcNetLine(bad, false, kProtoTcp, raw);
      ParseProcNetLine(bad, true, kProtoTcp, raw);
    }
  }
}

TEST(ProcLinks, SocketLinkAndStartTime) {
  uint64_t inode = 0;
  EXPECT_TRUE(ParseSocketLink("socket:[12345]", inode));
  EXPECT_EQ(inode, 12345u);
  for (const char* bad : {"socket:[]", "socket:[12a]", "pipe:[123]", "socket:[123", "/dev/null", "",
                          "socket:[99999999999999999999999]"}) {
    EXPECT_FALSE(ParseSocketLink(bad, inode)) << bad;
  }

  ProcStat stat;
  // A command name with blanks and ')' in it: fields count from the last ')'.
  EXPECT_TRUE(
      ParseProcStat("4242 (a b) c) S 17 4242 4242 0 -1 4194560 100 0 0 0 1 2 0 0 20 0 1 0 987654 1000 10 "
                    "18446744073709551615\n",
                    stat));
  EXPECT_EQ(stat.start_time, 987654u);
  EXPECT_EQ(stat.ppid, 17u);
  EXPECT_FALSE(ParseProcStat("4242 (x) S 1 2 3\n", stat));
  EXPECT_FALSE(ParseProcStat("no parenthesis at all", stat));
  EXPECT_FALSE(ParseProcStat("1 (x) S 1 1 1 0 -1 0 0 0 0 0 0 0 0 0 20 0 1 0 12x 0", stat));
}

TEST(ProcNet, SocketsInUseSumsTcpAndUdpOfBothFiles) {
  const struct {
    const char* text;
    std::size_t want;
  } cases[] = {
      {"sockets: used 290\nTCP: inuse 20 orphan 0 tw 3 alloc 25 mem 2\nUDP: inuse 4 mem 1\n"
       "UDPLITE: inuse 9\nRAW: inuse 1\n",
       24},
      {"TCP6: inuse 7\nUDP6: inuse 2\nUDPLITE6: inuse 5\n", 9},
      {"TCP: inuse x\nUDP: inuse 3", 3},
      {"", 0},
  };
  for (const auto& c : cases) EXPECT_EQ(SocketsInUse(c.text), c.want) << c.text;
}

}  // namespace
}  // namespace sockvane::source
