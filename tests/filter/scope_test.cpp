#include "filter/scope.h"

#include <gtest/gtest.h>

#include "config/lists.h"
#include "filter/filters.h"

namespace sockvane::filter {
namespace {

TEST(IsPublicDestination, PublicAddresses) {
  for (const char* address :
       {"8.8.8.8", "1.1.1.1", "100.63.255.255", "100.128.0.0", "169.253.0.1", "172.15.0.1", "172.32.0.1",
        "192.0.1.1", "192.0.3.1", "192.88.98.1", "198.17.255.255", "198.20.0.0", "198.51.99.1", "203.0.112.1",
        "223.255.255.255", "192.169.0.1", "203.0.114.1", "11.0.0.1"}) {
    EXPECT_TRUE(IsPublicDestination(address)) << address;
  }
}

TEST(IsPublicDestination, NotPublicAddresses) {
  for (const char* address :
       {"0.0.0.0", "10.1.2.3", "127.0.0.1", "100.64.0.0", "100.127.255.255", "169.254.1.1", "172.16.0.1",
        "172.31.255.255", "192.168.1.10", "192.0.0.8", "192.0.2.1", "192.88.99.1", "198.18.0.1",
        "198.19.255.255", "198.51.100.7", "203.0.113.9", "224.0.0.1", "255.255.255.255",
        // Read the way the number parser reads them: leading zeros, hex.
        "010.0.0.1", "0x7f.0.0.1", " 10.0.0.1"}) {
    EXPECT_FALSE(IsPublicDestination(address)) << address;
  }
}

TEST(IsPublicDestination, UnreadableTextIsNotPublic) {
  for (const char* address :
       {"", "example.org", "1.2.3", "256.1.1.1", "1.2.3.4.", "1..3.4", "1.2.3.4 ", "1.2.3.4.5", "1.2.3.-4"}) {
    EXPECT_FALSE(IsPublicDestination(address)) << address;
  }
}

TEST(IsPublicDestination, Ipv6TextRules) {
  struct Case {
    const char* text;
    bool is_public;
  };
  const Case cases[] = {
      {"::", false},
      {"::1", false},
      {"FE80::1", false},
      {"fe80::1", false},
      {"fec0::1", false},
      {"fc00::1", false},
      {"FD12::1", false},
      {"ff02::1", false},
      {"2001:db8::1", false},
      {"2001:0DB8:0:0::1", false},
      {"2001:db80::1", true},
      {"0:0:0:0:0:0:0:1", true},
      {"::ffff:10.0.0.1", true},
      {"a:b", true},
      {"2606:4700::1111", true},
      {"::2", true},
      {":", true},
  };
  for (const Case& c : cases) EXPECT_EQ(IsPublicDestination(c.text), c.is_public) << c.text;
}

// The allocation-free reader must agree with the general one everywhere.
TEST(ReadIpv4, AgreesWithIpv4FromText) {
  for (const char* text : {"1.2.3.4",
                           "0.0.0.0",
                           "255.255.255.255",
                           "256.0.0.1",
                           "999.1.1.1",
                           "1.2.3",
                           "1.2.3.4.5",
                           "1.2.3.4.",
                           ".1.2.3",
                           "01.002.0003.4",
                           "0001.2.3.4",
                           "0x7f.0.0.1",
                           "$ff.0.0.1",
                           "%1.0.0.1",
                           "&17.0.0.1",
                           " 1.2.3.4",
                           "1.2.3.4 ",
                           "1.2.3. 4",
                           "+1.2.3.4",
                           "-0.0.0.0",
                           "\"1\".2.3.4",
                           "1.2.3.\"4\"",
                           "1.2.\"3.4\"",
                           "1.2.3.4a",
                           "300x.1.1.1",
                           "",
                           ".",
                           "...",
                           "1.2.3.255",
                           "1.2.3.256"}) {
    EXPECT_EQ(ReadIpv4(text), config::Ipv4FromText(text)) << text;
  }
}

}  // namespace
}  // namespace sockvane::filter
