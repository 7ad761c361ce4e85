#include "filter/scope.h"

#include <gtest/gtest.h>

#include "support/plain_filters.h"
#include "support/text_rows.h"

namespace sockvane::filter {
namespace {

bool Public(const char* text) {
  return IsPublicDestination(testing::AddressFromText(text));
}

TEST(IsPublicDestination, PublicAddresses) {
  for (const char* address : {"8.8.8.8",     "1.1.1.1",        "100.63.255.255",  "100.128.0.0",
                              "169.253.0.1", "172.15.0.1",     "172.32.0.1",      "192.0.1.1",
                              "192.0.3.1",   "192.88.98.1",    "198.17.255.255",  "198.20.0.0",
                              "198.51.99.1", "203.0.112.1",    "223.255.255.255", "192.169.0.1",
                              "203.0.114.1", "11.0.0.1",       "2001:db80::1",    "2606:4700::1111",
                              "::2",         "::ffff:0:a00:1", "2001:db9::1",     "f::1"}) {
    EXPECT_TRUE(Public(address)) << address;
  }
}

TEST(IsPublicDestination, NotPublicAddresses) {
  for (const char* address : {"0.0.0.0",
                              "10.1.2.3",
                              "127.0.0.1",
                              "100.64.0.0",
                              "100.127.255.255",
                              "169.254.1.1",
                              "172.16.0.1",
                              "172.31.255.255",
                              "192.168.1.10",
                              "192.0.0.8",
                              "192.0.2.1",
                              "192.88.99.1",
                              "198.18.0.1",
                              "198.19.255.255",
                              "198.51.100.7",
                              "203.0.113.9",
                              "224.0.0.1",
                              "255.255.255.255",
                              "::",
                              "::1",
                              "fe80::1",
                              "fec0::1",
                              "fc00::1",
                              "fd12::1",
                              "ff02::1",
                              "2001:db8::1",
                              "::ffff:10.0.0.1",
                              "fe::1"}) {
    EXPECT_FALSE(Public(address)) << address;
  }
}

// The text rule the tests hold the binary one against.
TEST(IsPublicDestinationText, TheOracleReadsTextAsTyped) {
  struct Case {
    const char* text;
    bool is_public;
  };
  const Case cases[] = {
      // IPv4 read the way the number parser reads it: leading zeros, hex.
      {"010.0.0.1", false},
      {"0x7f.0.0.1", false},
      {" 10.0.0.1", false},
      {"8.8.8.8", true},
      {"", false},
      {"example.org", false},
      {"1.2.3", false},
      {"256.1.1.1", false},
      {"1.2.3.4.", false},
      {"1..3.4", false},
      {"1.2.3.4 ", false},
      {"1.2.3.-4", false},
      // IPv6 on its text alone.
      {"FE80::1", false},
      {"FD12::1", false},
      {"2001:0DB8:0:0::1", false},
      {"0:0:0:0:0:0:0:1", true},
      {"::ffff:10.0.0.1", true},
      {"a:b", true},
      {":", true},
  };
  for (const Case& c : cases) EXPECT_EQ(testing::IsPublicDestinationText(c.text), c.is_public) << c.text;
}

}  // namespace
}  // namespace sockvane::filter
