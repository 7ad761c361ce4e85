#include "config/lists.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "track/text.h"

namespace sockvane::config {
namespace {

using std::string_literals::operator""s;

constexpr std::optional<int32_t> kFail = std::nullopt;

TEST(ParseIntegerTest, Table) {
  struct Case {
    std::string text;
    std::optional<int32_t> want;
  };
  const std::vector<Case> cases = {
      // decimal, sign, leading zeros, leading blanks and tabs
      {"42", 42},
      {"+42", 42},
      {"0042", 42},
      {" 42", 42},
      {"\t42", 42},
      {" \t 42", 42},
      {"-7", -7},
      {"0", 0},
      {"-0", 0},
      {"010", 10},
      // base prefixes
      {"0x1F", 31},
      {"0X1f", 31},
      {"x1f", 31},
      {"X1F", 31},
      {"$1F", 31},
      {"%101", 5},
      {"&17", 15},
      {"-0x10", -16},
      {"+$ff", 255},
      {"-%11", -3},
      {" &0", 0},
      // range
      {"2147483647", INT32_MAX},
      {"-2147483648", INT32_MIN},
      {"2147483648", kFail},
      {"-2147483649", kFail},
      {"0x7fffffff", INT32_MAX},
      {"0x80000000", kFail},
      {"-0x80000000", INT32_MIN},
      {"-0x80000001", kFail},
      {"%1" + std::string(31, '0'), kFail},
      {"%1" + std::string(30, '0'), 1 << 30},
      {"99999999999999999999999", kFail},
      {"0x" + std::string(40, 'f'), kFail},
      {"00000000000000000000000000000000001", 1},
      // must be the whole text
      {"42 ", kFail},
      {"4 2", kFail},
      {"1.5", kFail},
      {"1e3", kFail},
      {"12ab", kFail},
      {"20ms", kFail},
      {"1\n", kFail},
      {"4\0"
       "2"s,
       kFail},
      {"\xff", kFail},
      // nothing left after sign or prefix
      {"", kFail},
      {" ", kFail},
      {"-", kFail},
      {"+", kFail},
      {"0x", kFail},
      {"x", kFail},
      {"$", kFail},
      {"%", kFail},
      {"&", kFail},
      {"- 1", kFail},
      // digits outside the base, doubled signs and prefixes
      {"%102", kFail},
      {"&8", kFail},
      {"0xg", kFail},
      {"--1", kFail},
      {"+-1", kFail},
      {"0x-1", kFail},
      {"0x0x1", kFail},
      {"$0x1", kFail},
      {"0b101", kFail},
      {"1-", kFail},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(ParseInteger(c.text), c.want) << "text [" << c.text << "]";
  }
}

TEST(ParseIntegerTest, LengthLimitCountsEveryByte) {
  struct Case {
    std::string text;
    std::optional<int32_t> want;
  };
  const std::vector<Case> cases = {
      {std::string(254, '0') + "7", 7},         {std::string(255, '0') + "7", kFail},
      {std::string(250, ' ') + "12345", 12345}, {std::string(251, ' ') + "12345", kFail},
      {"-" + std::string(253, '0') + "9", -9},  {"-" + std::string(254, '0') + "9", kFail},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(ParseInteger(c.text), c.want) << "length " << c.text.size();
  }
}

TEST(SplitDelimitedTest, Table) {
  using Items = std::vector<std::string>;
  struct Case {
    std::string text;
    char delimiter;
    Items want;
  };
  const std::vector<Case> cases = {
      {"", ',', {}},
      {"a", ',', {"a"}},
      {"a,b", ',', {"a", "b"}},
      {"a,", ',', {"a", ""}},
      {",a", ',', {"", "a"}},
      {"a,,b", ',', {"a", "", "b"}},
      {",", ',', {"", ""}},
      {",,", ',', {"", "", ""}},
      {" a , b ", ',', {" a ", " b "}},
      // quoted items
      {"\"x,y\"", ',', {"x,y"}},
      {"\"x,y\",z", ',', {"x,y", "z"}},
      {"a,\"b,c\",d", ',', {"a", "b,c", "d"}},
      {"\"\"", ',', {""}},
      {"\"\",a", ',', {"", "a"}},
      {"\"x\",", ',', {"x", ""}},
      {"\"say \"\"hi\"\"\"", ',', {"say \"hi\""}},
      {"\"\"\"\"", ',', {"\""}},
      {"\"a\"\"\"\"b\",c", ',', {"a\"\"b", "c"}},
      // a quote only opens an item at its start
      {"a\"b,c", ',', {"a\"b", "c"}},
      // scanning resumes right after the closing quote
      {"\"x\"y,z", ',', {"x", "y", "z"}},
      // unclosed quote runs to the end
      {"\"abc,def", ',', {"abc,def"}},
      {"a,\"b", ',', {"a", "b"}},
      {"\"", ',', {""}},
      {"\"a\"\"", ',', {"a\""}},
      // other delimiters
      {"1.2.3.4", '.', {"1", "2", "3", "4"}},
      {"1.2.3.4.", '.', {"1", "2", "3", "4", ""}},
      {"1,2.3", '.', {"1,2", "3"}},
      {"a;b", ';', {"a", "b"}},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(SplitDelimited(c.text, c.delimiter), c.want) << "text [" << c.text << "]";
  }
}

TEST(ListContainsTest, Table) {
  const std::string options =
      "--interval,--proto,--dst-port,--process,--pid,--dst-ip,--dst-net,--exclude-port,"
      "--exclude-process,--allowlist,--format,--timestamp,--events,--stats";
  struct Case {
    std::string list;
    std::string item;
    bool want;
  };
  const std::vector<Case> cases = {
      {"tcp,udp", "TCP", true},
      {"TCP,UDP", "tcp", true},
      {"New, Closed", "new", true},
      {"4 43", "443", true},
      {"tcp,udp", "u dp", false},
      {"tcp,udp", " udp", false},
      {"tcp, udp", "UDP", true},
      {"", "443", false},
      {"", "", true},
      {" ", "", true},
      {"   ", "x", false},
      {"a,,b", "", true},
      {",a", "", true},
      {"a,", "", true},
      {"a,b", "", false},
      {"text,jsonl,csv", "jsonl,csv", true},
      {"text,jsonl,csv", "json", false},
      {"text,jsonl,csv", "jsonl,", false},
      {"a,b,c", "b,c", true},
      {"a,b,c", "a,c", false},
      {"443", "44", false},
      {"4430", "443", false},
      {"443,4430", "4430", true},
      {"8443,443", "443", true},
      {"tcp,\tudp", "udp", false},
      {"tcp,\tudp", "\tudp", true},
      {",a,", ",a,", true},
      {"\xC4", "\xE4", false},
      {"a-Z", "A-z", true},
      {options, "--interval", true},
      {options, "--stats", true},
      {options, "--Interval", true},
      {options, "--pid,--dst-ip", true},
      {options, "--help", false},
      {options, "", false},
      {options, "--stat", false},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(ListContains(c.list, c.item), c.want) << "list [" << c.list << "] item [" << c.item << "]";
  }
}

// The plain definition: "," + item + "," within "," + list + ",", the list
// stripped of blanks, both lower-cased.
bool ListContainsByDefinition(const std::string& list, const std::string& item) {
  std::string hay = ",";
  for (char c : list) {
    if (c != ' ') hay += c;
  }
  hay += ',';
  return track::AsciiLower(hay).find(track::AsciiLower("," + item + ",")) != std::string::npos;
}

void AllTexts(const std::string& alphabet, size_t max_len, std::vector<std::string>& out) {
  out = {""};
  size_t begin = 0;
  for (size_t len = 1; len <= max_len; ++len) {
    const size_t end = out.size();
    for (size_t i = begin; i < end; ++i) {
      for (char c : alphabet) out.push_back(out[i] + c);
    }
    begin = end;
  }
}

TEST(ListContainsTest, AgreesWithDefinitionOnEveryShortText) {
  std::vector<std::string> lists;
  std::vector<std::string> items;
  AllTexts("aB,b ", 5, lists);
  AllTexts("Ab, ", 3, items);
  int mismatches = 0;
  for (const std::string& list : lists) {
    for (const std::string& item : items) {
      if (ListContains(list, item) != ListContainsByDefinition(list, item) && ++mismatches <= 10) {
        ADD_FAILURE() << "list [" << list << "] item [" << item << "]";
      }
    }
  }
  EXPECT_EQ(mismatches, 0);
}

constexpr uint32_t Ip(uint32_t a, uint32_t b, uint32_t c, uint32_t d) {
  return a << 24 | b << 16 | c << 8 | d;
}

TEST(Ipv4FromTextTest, Table) {
  const std::optional<uint32_t> fail = std::nullopt;
  struct Case {
    std::string text;
    std::optional<uint32_t> want;
  };
  const std::vector<Case> cases = {
      {"192.168.1.10", Ip(192, 168, 1, 10)},
      {"0.0.0.0", 0u},
      {"255.255.255.255", 0xFFFFFFFFu},
      {"1.2.3.4", 0x01020304u},
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
    EXPECT_EQ(Ipv4FromText(c.text), c.want) << "text [" << c.text << "]";
  }
}

TEST(MatchesNetworkTest, Table) {
  struct Case {
    std::string address;
    std::string entry;
    bool want;
  };
  const std::vector<Case> cases = {
      // exact entries compare text, not numbers
      {"10.0.0.1", "10.0.0.1", true},
      {"10.0.0.1", "010.0.0.1", false},
      {"10.0.0.1", "10.0.0.1 ", false},
      {"10.0.0.1", "10.0.0.10", false},
      {"fe80::ABCD", "FE80::abcd", true},
      {"", "", true},
      // prefix length bounds and syntax
      {"10.0.0.1", "10.0.0.0/8", true},
      {"10.0.0.1", "10.0.0.0/33", false},
      {"10.0.0.1", "10.0.0.0/-1", false},
      {"10.0.0.1", "10.0.0.0/8/9", false},
      {"10.0.0.1", "10.0.0.0/", false},
      {"10.0.0.1", "/8", false},
      {"10.0.0.1", "10.0.0.0 /8", false},
      {"10.0.0.1", "10.0.0.0/ 8", true},
      {"10.0.0.1", "10.0.0.0/8 ", false},
      {"10.0.0.1", "10.0.0.0/0x8", true},
      {"10.0.0.1", "10.0.0.0/8x", false},
      {"192.168.1.1", "192.168.1.0/24", true},
      {"192.168.1.1", "192.168.1.0/31", true},
      {"192.168.1.1", "192.168.1.0/32", false},
      {"192.168.1.2", "192.168.1.0/31", false},
      {"192.168.1.0", "192.168.1.0/32", true},
      {"172.31.255.255", "172.16.0.0/12", true},
      {"172.32.0.0", "172.16.0.0/12", false},
      {"172.15.255.255", "172.16.0.0/12", false},
      {"200.0.0.0", "128.0.0.0/1", true},
      {"127.255.255.255", "128.0.0.0/1", false},
      // host bits in the network are ignored
      {"10.200.0.1", "10.1.2.3/8", true},
      // /0 takes every readable address, if the network is readable
      {"8.8.8.8", "0.0.0.0/0", true},
      {"200.1.1.1", "1.2.3.4/0", true},
      {"8.8.8.8", "bogus/0", false},
      {"::1", "0.0.0.0/0", false},
      {"", "0.0.0.0/0", false},
      // the address is read as a number once a prefix is present
      {"010.0.0.1", "10.0.0.0/8", true},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(MatchesNetwork(c.address, c.entry), c.want)
        << "address [" << c.address << "] entry [" << c.entry << "]";
  }
}

Ipv6Address V6(std::initializer_list<uint16_t> groups) {
  Ipv6Address a{};
  std::size_t i = 0;
  for (uint16_t g : groups) {
    a[i++] = static_cast<uint8_t>(g >> 8);
    a[i++] = static_cast<uint8_t>(g & 0xFF);
  }
  return a;
}

TEST(Ipv6FromTextTest, Table) {
  struct Case {
    std::string text;
    std::optional<Ipv6Address> want;
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
  for (const Case& c : cases) EXPECT_EQ(Ipv6FromText(c.text), c.want) << "text [" << c.text << "]";
}

TEST(MaskedIpv6Test, KeepsTheLeadingBits) {
  const Ipv6Address all = V6({0xffff, 0xffff, 0xffff, 0xffff, 0xffff, 0xffff, 0xffff, 0xffff});
  EXPECT_EQ(MaskedIpv6(all, 0), V6({}));
  EXPECT_EQ(MaskedIpv6(all, 1), V6({0x8000}));
  EXPECT_EQ(MaskedIpv6(all, 12), V6({0xfff0}));
  EXPECT_EQ(MaskedIpv6(all, 64), V6({0xffff, 0xffff, 0xffff, 0xffff}));
  EXPECT_EQ(MaskedIpv6(all, 127), V6({0xffff, 0xffff, 0xffff, 0xffff, 0xffff, 0xffff, 0xffff, 0xfffe}));
  EXPECT_EQ(MaskedIpv6(all, 128), all);
}

TEST(MatchesNetworkTest, Ipv6EntriesMatchIpv6AddressesByValue) {
  struct Case {
    std::string address;
    std::string entry;
    bool want;
  };
  const std::vector<Case> cases = {
      {"::1", "::1/128", true},
      {"::1", "0:0:0:0:0:0:0:1", true},
      {"::1", "0::1/128", true},
      {"::1", "::/0", true},
      {"2001:db8::1", "::/0", true},
      {"::1", "::2/127", false},
      {"::1", "::/127", true},
      {"::1", "::1/129", false},
      {"::1", "::1/-1", false},
      {"::1", "::1/ 128", true},  // the prefix reads as an IPv4 prefix does
      {"::1", "::1 /128", false},
      {"::1", "::1/128/1", false},
      {"2001:db8:abcd::5", "2001:DB8::/32", true},
      {"2001:db9::5", "2001:db8::/32", false},
      {"2001:db8::5", "2001:db8::ff/120", true},  // host bits ignored
      {"fe80::1", "fe80::/10", true},
      {"febf::1", "fe80::/10", true},
      {"fec0::1", "fe80::/10", false},
      // dotted rows are IPv4: IPv6 networks leave them alone ...
      {"127.0.0.1", "::/0", false},
      {"127.0.0.1", "::ffff:0:0/95", false},
      {"8.8.8.8", "::1", false},
      // ... except v4-mapped networks, which cover their dotted IPv4 part
      {"127.0.0.1", "::ffff:127.0.0.1", true},
      {"127.0.0.1", "::ffff:127.0.0.1/128", true},
      {"127.0.0.1", "::ffff:127.0.0.0/104", true},
      {"128.0.0.1", "::ffff:127.0.0.0/104", false},
      {"1.2.3.4", "::ffff:0:0/96", true},
      {"1.2.3.4", "::fffe:0:0/96", false},
      {"::ffff:1.2.3.4", "::ffff:1.2.3.4", true},
      // IPv4 entries never match IPv6 addresses
      {"::1", "0.0.0.0/0", false},
      {"::ffff:1.2.3.4", "1.2.3.4/32", false},
      {"::1", "bogus/0", false},
      {"not-an-address", "::/0", false},
      {"", "::/0", false},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(MatchesNetwork(c.address, c.entry), c.want)
        << "address [" << c.address << "] entry [" << c.entry << "]";
  }
}

TEST(MatchesAddressListTest, Table) {
  struct Case {
    std::string address;
    std::string list;
    bool want;
  };
  const std::string mixed = "10.0.0.1, 192.168.0.0/16";
  const std::vector<Case> cases = {
      {"10.0.0.1", "", false},
      {"10.0.0.1", ",,10.0.0.1,", true},
      {"10.0.0.1", ",", false},
      {"10.0.0.1", mixed, true},
      {"192.168.44.5", mixed, true},
      {"11.0.0.1", mixed, false},
      {"10.0.0.1", "10.0.0.2;10.0.0.1", false},
      {"10.0.0.1", " \t10.0.0.1\r\n", true},
      {"10.0.0.1", "\0 10.0.0.1\x1f"s, true},
      {"10.0.0.1", "\"10.0.0.1\"", true},
      {"10.0.0.1", "\"10.0.0.0/8,\"", false},
      {"10.9.9.9", "1.0.0.0/8,10.0.0.0/8", true},
      {"10.9.9.9", "1.0.0.0/8,10.0.0.0/33", false},
      {"::1", "::1", true},
      {"::1", "0.0.0.0/0", false},
      {"fe80::1", "10.0.0.0/8, FE80::1", true},
      {"fe80::1", "10.0.0.0/8, fe80:0::1", true},
      {"fe80::1", "10.0.0.0/8, fe80::/64", true},
      {"2001:db8::1", "10.0.0.0/8, fe80::/64", false},
      {"", ",", true},
      {"", "", false},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(MatchesAddressList(c.address, c.list), c.want)
        << "address [" << c.address << "] list [" << c.list << "]";
  }
}

TEST(TextHelpersTest, AsciiLowerAndTrim) {
  struct Case {
    std::string text;
    std::string lower;
    std::string trimmed;
  };
  const std::vector<Case> cases = {
      {"ABC xyz", "abc xyz", "ABC xyz"},
      {"@[`{", "@[`{", "@[`{"},
      {"\xC4\xD6", "\xC4\xD6", "\xC4\xD6"},
      {"  A b  ", "  a b  ", "A b"},
      {"\x01\x20X\x1f", "\x01\x20x\x1f", "X"},
      {"\x21X\x7f", "\x21x\x7f", "\x21X\x7f"},
      {"\xa0X\xa0", "\xa0x\xa0", "\xa0X\xa0"},
      {"\0Z\0"s, "\0z\0"s, "Z"},
      {"", "", ""},
      {" \t\r\n", " \t\r\n", ""},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(track::AsciiLower(c.text), c.lower);
    EXPECT_EQ(TrimControlAndBlank(c.text), c.trimmed);
  }
}

}  // namespace
}  // namespace sockvane::config
