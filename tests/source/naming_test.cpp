#include "source/naming.h"

#include <gtest/gtest.h>

#include <cstring>

namespace sockvane::source {
namespace {

// The value a table row holds for these bytes in storage order.
uint32_t StoredValue(uint8_t b0, uint8_t b1, uint8_t b2, uint8_t b3) {
  const uint8_t bytes[4] = {b0, b1, b2, b3};
  uint32_t value;
  std::memcpy(&value, bytes, sizeof value);
  return value;
}

TEST(TcpStateName, NamesAndNumbers) {
  const struct {
    uint32_t state;
    const char* name;
  } cases[] = {
      {0, "0"},           {1, "1"},          {2, "LISTEN"},    {3, "SYN_SENT"},   {4, "SYN_RECV"},
      {5, "ESTABLISHED"}, {6, "FIN_WAIT1"},  {7, "FIN_WAIT2"}, {8, "CLOSE_WAIT"}, {9, "CLOSING"},
      {10, "LAST_ACK"},   {11, "TIME_WAIT"}, {12, "CLOSE"},    {13, "13"},        {4294967295u, "4294967295"},
  };
  for (const auto& c : cases) EXPECT_EQ(TcpStateName(c.state), c.name) << c.state;
}

TEST(Ipv4ToText, StoredBytes) {
  EXPECT_EQ(Ipv4ToText(StoredValue(0xC0, 0xA8, 0x01, 0x0A)), "192.168.1.10");
  EXPECT_EQ(Ipv4ToText(StoredValue(0x7F, 0x00, 0x00, 0x01)), "127.0.0.1");
  EXPECT_EQ(Ipv4ToText(0), "0.0.0.0");
  EXPECT_EQ(Ipv4ToText(0xFFFFFFFFu), "255.255.255.255");
  EXPECT_EQ(Ipv4ToText(0x0A000001u), "1.0.0.10");  // first octet is the lowest byte
}

TEST(PortFromNetworkOrder, LowSixteenBitsOnly) {
  EXPECT_EQ(PortFromNetworkOrder(StoredValue(0x01, 0xBB, 0x00, 0x00)), 443);
  EXPECT_EQ(PortFromNetworkOrder(StoredValue(0x01, 0xBB, 0xFF, 0xFF)), 443);
  EXPECT_EQ(PortFromNetworkOrder(0), 0);
  EXPECT_EQ(PortFromNetworkOrder(StoredValue(0xFF, 0xFF, 0x12, 0x34)), 65535);
}

std::array<uint8_t, 16> Groups(std::initializer_list<uint16_t> groups) {
  std::array<uint8_t, 16> bytes{};
  std::size_t i = 0;
  for (uint16_t g : groups) {
    bytes[i++] = static_cast<uint8_t>(g >> 8);
    bytes[i++] = static_cast<uint8_t>(g);
  }
  return bytes;
}

TEST(Ipv6ToText, Rfc5952Forms) {
  const struct {
    std::array<uint8_t, 16> address;
    const char* text;
  } cases[] = {
      {Groups({0, 0, 0, 0, 0, 0, 0, 0}), "::"},
      {Groups({0, 0, 0, 0, 0, 0, 0, 1}), "::1"},
      {Groups({0x2001, 0xdb8, 0, 0, 0, 0, 0, 1}), "2001:db8::1"},
      {Groups({1, 0, 0, 1, 0, 0, 0, 1}), "1:0:0:1::1"},                     // longest run wins
      {Groups({1, 0, 0, 1, 0, 0, 1, 1}), "1::1:0:0:1:1"},                   // leftmost on a tie
      {Groups({0x2001, 0xdb8, 0, 1, 1, 1, 1, 1}), "2001:db8:0:1:1:1:1:1"},  // single zero stays
      {Groups({1, 0, 0, 0, 0, 0, 0, 0}), "1::"},
      {Groups({0xFE80, 0, 0, 0, 0xABCD, 0xEF, 0x1234, 0x0A0B}), "fe80::abcd:ef:1234:a0b"},
      {Groups({0, 0, 0, 0, 0, 0xffff, 0xc0a8, 0x010a}), "192.168.1.10"},  // IPv4-mapped
      {Groups({0, 0, 0, 0, 0, 0xffff, 0, 0}), "0.0.0.0"},
      {Groups({0, 0, 0, 0, 0, 0xfffe, 0xc0a8, 0x010a}), "::fffe:c0a8:10a"},  // not mapped
      {Groups({0, 0, 0, 0, 1, 0xffff, 0xc0a8, 0x010a}), "::1:ffff:c0a8:10a"},
      {Groups({0xffff, 0xffff, 0xffff, 0xffff, 0xffff, 0xffff, 0xffff, 0xffff}),
       "ffff:ffff:ffff:ffff:ffff:ffff:ffff:ffff"},
  };
  for (const auto& c : cases) EXPECT_EQ(Ipv6ToText(c.address), c.text);
}

TEST(ProcessNameFromPath, LastSeparatorWins) {
  const struct {
    const char* path;
    const char* on_windows;  // '\\', '/' and ':' separate
    const char* on_linux;    // only '/' does
  } cases[] = {
      {"C:\\Windows\\System32\\svchost.exe", "svchost.exe", "C:\\Windows\\System32\\svchost.exe"},
      {"/usr/bin/python3.11", "python3.11", "python3.11"},
      {"/usr/lib/x:y", "y", "x:y"},
      {"/tmp/my:sh", "sh", "my:sh"},
      {"/tmp/back\\sh", "sh", "back\\sh"},
      {"/tmp/evil:unknown", "unknown", "evil:unknown"},
      {"mixed/a\\b", "b", "a\\b"},
      {"plain", "plain", "plain"},
      {"/usr/bin/", "", ""},
      {"C:", "", "C:"},
      {"", "", ""},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(ProcessNameFromPath(c.path, kWindowsPathSeparators), c.on_windows) << c.path;
    EXPECT_EQ(ProcessNameFromPath(c.path, kLinuxPathSeparators), c.on_linux) << c.path;
  }
}

TEST(ProcessNameFromExeLink, LastSlashAndNoDeletedMark) {
  const struct {
    const char* link;
    const char* name;
  } cases[] = {
      {"/usr/sbin/nginx", "nginx"},
      {"/usr/sbin/nginx (deleted)", "nginx"},
      {"/tmp/my:sh (deleted)", "my:sh"},
      {"/usr/sbin/nginx (deleted) (deleted)", "nginx (deleted)"},  // only the kernel's one mark
      {"/usr/sbin/nginx(deleted)", "nginx(deleted)"},
      {"/usr/sbin/nginx (Deleted)", "nginx (Deleted)"},
      {"/usr/sbin/nginx (deleted).bak", "nginx (deleted).bak"},
      {"/opt/a (deleted)/bin/app", "app"},
      {"/tmp/back\\sh", "back\\sh"},
      {" (deleted)", ""},
  };
  for (const auto& c : cases) EXPECT_EQ(ProcessNameFromExeLink(c.link), c.name) << c.link;
}

}  // namespace
}  // namespace sockvane::source
