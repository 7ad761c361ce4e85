#include "track/address.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace sockvane::track {
namespace {

using std::string_literals::operator""s;

constexpr uint32_t Ip(uint32_t a, uint32_t b, uint32_t c, uint32_t d) {
  return a << 24 | b << 16 | c << 8 | d;
}

TEST(ParseIpv4Test, Table) {
  const std::optional<uint32_t> fail = std::nullopt;
  struct Case {
    std::string text;
    std::optional<uint32_t> want;  // as options write integers
    bool dotted = false;           // as rows show it, too
  };
  const std::vector<Case> cases = {
      {"192.168.1.10", Ip(192, 168, 1, 10), true},
      {"0.0.0.0", 0u, true},
      {"255.255.255.255", 0xFFFFFFFFu, true},
      {"1.2.3.4", 0x01020304u, true},
      {"010.0.0.1", Ip(10, 0, 0, 1)},
      {"0x7f.0.0.1", Ip(127, 0, 0, 1)},
      {" 1.2.3.4", 0x01020304u},
      {"1. 2.3.4", 0x01020304u},
      {"\"1\".2.3.4", 0x01020304u},
      {"1.2.3", fail},
      {"1.2.3.4.5", fail},
      {"1.2.3.4.", fail},
      {".1.2.3", fail},
      {"1..3.4", fail},
      {"256.0.0.1", fail},
      {"1.2.3.256", fail},
      {"-1.0.0.0", fail},
      {"1.2.3.4 ", fail},
      {"1.2.3.4/8", fail},
      {"\"1.2\".3.4", fail},
      {"::1", fail},
      {"", fail},
      {"...", fail},
      {"a.b.c.d", fail},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(ParseIpv4(c.text, Ipv4Numbers::kOptionIntegers), c.want) << "text [" << c.text << "]";
    EXPECT_EQ(ParseIpv4(c.text, Ipv4Numbers::kDotted), c.dotted ? c.want : std::nullopt)
        << "text [" << c.text << "]";
  }
}

Address V6(std::initializer_list<uint16_t> groups) {
  Address a{};
  std::size_t i = 0;
  for (uint16_t g : groups) {
    a[i++] = static_cast<uint8_t>(g >> 8);
    a[i++] = static_cast<uint8_t>(g & 0xFF);
  }
  return a;
}

TEST(ParseIpv6Test, Table) {
  struct Case {
    std::string text;
    std::optional<Address> want;
  };
  const std::vector<Case> cases = {
      {"::", V6({0, 0, 0, 0, 0, 0, 0, 0})},
      {"::1", V6({0, 0, 0, 0, 0, 0, 0, 1})},
      {"0:0:0:0:0:0:0:1", V6({0, 0, 0, 0, 0, 0, 0, 1})},
      {"0000:0000:0000:0000:0000:0000:0000:0001", V6({0, 0, 0, 0, 0, 0, 0, 1})},
      {"2001:DB8::8:800:200C:417A", V6({0x2001, 0xdb8, 0, 0, 8, 0x800, 0x200c, 0x417a})},
      {"ff01::101", V6({0xff01, 0, 0, 0, 0, 0, 0, 0x101})},
      {"1::", V6({1, 0, 0, 0, 0, 0, 0, 0})},
      {"1:2:3:4:5:6:7::", V6({1, 2, 3, 4, 5, 6, 7, 0})},
      {"::2:3:4:5:6:7:8", V6({0, 2, 3, 4, 5, 6, 7, 8})},
      {"1::8", V6({1, 0, 0, 0, 0, 0, 0, 8})},
      {"::ffff:1.2.3.4", V6({0, 0, 0, 0, 0, 0xffff, 0x0102, 0x0304})},
      {"::13.1.68.3", V6({0, 0, 0, 0, 0, 0, 0x0d01, 0x4403})},
      {"0:0:0:0:0:FFFF:129.144.52.38", V6({0, 0, 0, 0, 0, 0xffff, 0x8190, 0x3426})},
      {"1:2:3:4:5:6:255.255.255.255", V6({1, 2, 3, 4, 5, 6, 0xffff, 0xffff})},
      {"1::0.0.0.0", V6({1, 0, 0, 0, 0, 0, 0, 0})},
      // not RFC 4291 text
      {"", std::nullopt},
      {":", std::nullopt},
      {":::", std::nullopt},
      {"1:2:3:4:5:6:7", std::nullopt},
      {"1:2:3:4:5:6:7:8:9", std::nullopt},
      {"1:2:3:4::5:6:7:8", std::nullopt},  // "::" for no group at all
      {"1::2::3", std::nullopt},
      {":1::2", std::nullopt},
      {"1::2:", std::nullopt},
      {"1:2:3:4:5:6:7:8:", std::nullopt},
      {"12345::", std::nullopt},
      {"g::", std::nullopt},
      {"::1 ", std::nullopt},
      {" ::1", std::nullopt},
      {"::1%lo", std::nullopt},
      {"1.2.3.4", std::nullopt},
      {"::1.2.3", std::nullopt},
      {"::1.2.3.4.5", std::nullopt},
      {"::1.2.3.256", std::nullopt},
      {"::1.2.3.04", std::nullopt},
      {"::01.2.3.4", std::nullopt},
      {"::0x1.2.3.4", std::nullopt},
      {"::a.2.3.4", std::nullopt},
      {"1.2.3.4::", std::nullopt},
      {"::1.2.3.4:5", std::nullopt},
      {"1:2:3:4:5:6:7:1.2.3.4", std::nullopt},
      {"1:2:3:4:5:6::1.2.3.4", std::nullopt},
      {"::1\0"s, std::nullopt},
  };
  for (const Case& c : cases) EXPECT_EQ(ParseIpv6(c.text), c.want) << "text [" << c.text << "]";
}

TEST(MaskedTest, KeepsTheLeadingBits) {
  const Address all = V6({0xffff, 0xffff, 0xffff, 0xffff, 0xffff, 0xffff, 0xffff, 0xffff});
  EXPECT_EQ(Masked(all, 0), V6({}));
  EXPECT_EQ(Masked(all, 1), V6({0x8000}));
  EXPECT_EQ(Masked(all, 12), V6({0xfff0}));
  EXPECT_EQ(Masked(all, 64), V6({0xffff, 0xffff, 0xffff, 0xffff}));
  EXPECT_EQ(Masked(all, 127), V6({0xffff, 0xffff, 0xffff, 0xffff, 0xffff, 0xffff, 0xffff, 0xfffe}));
  EXPECT_EQ(Masked(all, 128), all);
}

// What an address list's entry stands for; rows of IPv4 as ::ffff:a.b.c.d.
TEST(ParseNetworkTest, Table) {
  const Address v4 = MappedAddress(Ip(10, 1, 2, 3));
  struct Case {
    std::string entry;
    std::optional<Prefix> want;
  };
  const std::vector<Case> cases = {
      {"10.1.2.3", Prefix{v4, 128}},
      {"010.1.2.3", std::nullopt},  // no row shows it so
      {"10.1.2.3/32", Prefix{v4, 128}},
      {"010.1.2.3/32", Prefix{v4, 128}},  // numbers as options write them
      {"10.1.2.3/8", Prefix{Masked(v4, 104), 104}},
      {"10.1.2.3/0", Prefix{Masked(v4, 96), 96}},
      {"10.1.2.3/0x8", Prefix{Masked(v4, 104), 104}},
      {"10.1.2.3/33", std::nullopt},
      {"10.1.2.3/-1", std::nullopt},
      {"10.1.2.3/", std::nullopt},
      {"/8", std::nullopt},
      {"::ffff:10.1.2.3", Prefix{v4, 128}},
      {"::ffff:0:0/96", Prefix{Masked(v4, 96), 96}},
      {"FE80::1", Prefix{V6({0xfe80, 0, 0, 0, 0, 0, 0, 1}), 128}},
      {"fe80::1/10", Prefix{V6({0xfe80}), 10}},
      {"::/0", Prefix{Address{}, 0}},
      {"::/129", std::nullopt},
      {"", std::nullopt},
      {"bogus", std::nullopt},
  };
  for (const Case& c : cases) EXPECT_EQ(ParseNetwork(c.entry), c.want) << "entry [" << c.entry << "]";
}

TEST(AddressText, MappedAddressesAreDottedIpv4) {
  EXPECT_EQ(Ipv6ToText(MappedAddress(Ip(10, 1, 2, 3))), "10.1.2.3");
  EXPECT_EQ(Ipv6ToText(AddressFromIpv4(0x0302010A)), "10.1.2.3");
  EXPECT_EQ(MappedIpv4(MappedAddress(Ip(10, 1, 2, 3))), Ip(10, 1, 2, 3));
  EXPECT_EQ(MappedIpv4(V6({0, 0, 0, 0, 0, 0xfffe, 0x0a01, 0x0203})), std::nullopt);
  EXPECT_EQ(Ipv6ToText(V6({0x2001, 0xdb8, 0, 0, 1, 0, 0, 1})), "2001:db8::1:0:0:1");
}

}  // namespace
}  // namespace sockvane::track
