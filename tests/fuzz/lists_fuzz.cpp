// The list, integer and address operations on arbitrary bytes, each checked
// against a slow, literal reimplementation of its rules.
#include <arpa/inet.h>

#include <algorithm>
#include <charconv>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "../filter/special_purpose_blocks.h"
#include "../support/plain_filters.h"
#include "config/lists.h"
#include "filter/filters.h"
#include "filter/scope.h"
#include "fuzz_check.h"
#include "track/text.h"

namespace {

namespace cfg = sockvane::config;

char Lower(char c) {
  return (c >= 'A' && c <= 'Z') ? static_cast<char>(c + 32) : c;
}

std::string Lowered(std::string_view s) {
  std::string out(s);
  for (char& c : out) c = Lower(c);
  return out;
}

// Digits via std::from_chars, which knows nothing of signs or prefixes here.
std::optional<int32_t> RefParseInteger(std::string_view text) {
  if (text.size() > 255) return std::nullopt;
  size_t i = 0;
  while (i < text.size() && (text[i] == ' ' || text[i] == '\t')) ++i;
  bool negative = false;
  if (i < text.size() && (text[i] == '-' || text[i] == '+')) negative = text[i++] == '-';
  int base = 10;
  std::string_view rest = text.substr(i);
  if (rest.starts_with("$") || rest.starts_with("x") || rest.starts_with("X")) {
    base = 16;
    rest.remove_prefix(1);
  } else if (rest.starts_with("0x") || rest.starts_with("0X")) {
    base = 16;
    rest.remove_prefix(2);
  } else if (rest.starts_with("%")) {
    base = 2;
    rest.remove_prefix(1);
  } else if (rest.starts_with("&")) {
    base = 8;
    rest.remove_prefix(1);
  }
  if (rest.empty()) return std::nullopt;
  // from_chars would take a leading '-' for signed types only; unsigned it is.
  uint64_t magnitude = 0;
  const char* end = rest.data() + rest.size();
  const auto [ptr, ec] = std::from_chars(rest.data(), end, magnitude, base);
  if (ptr != end) return std::nullopt;
  if (ec == std::errc::result_out_of_range) return std::nullopt;
  if (ec != std::errc()) return std::nullopt;
  const uint64_t limit = negative ? uint64_t{1} << 31 : (uint64_t{1} << 31) - 1;
  if (magnitude > limit) return std::nullopt;
  return static_cast<int32_t>(negative ? -static_cast<int64_t>(magnitude) : static_cast<int64_t>(magnitude));
}

std::vector<std::string> RefSplit(std::string_view text, char delimiter) {
  std::vector<std::string> items;
  if (text.empty()) return items;
  size_t pos = 0;
  bool first = true;
  while (pos < text.size()) {
    if (!first && text[pos] == delimiter) ++pos;
    first = false;
    if (pos >= text.size()) {
      items.emplace_back();
      break;
    }
    std::string item;
    if (text[pos] == '"') {
      ++pos;
      while (pos < text.size()) {
        if (text[pos] == '"') {
          if (pos + 1 < text.size() && text[pos + 1] == '"') {
            item.push_back('"');
            pos += 2;
            continue;
          }
          ++pos;
          break;
        }
        item.push_back(text[pos++]);
      }
    } else {
      while (pos < text.size() && text[pos] != delimiter) item.push_back(text[pos++]);
    }
    items.push_back(std::move(item));
  }
  return items;
}

bool RefListContains(std::string_view list, std::string_view item) {
  std::string haystack = ",";
  for (char c : list) {
    if (c != ' ') haystack.push_back(Lower(c));
  }
  haystack += ",";
  const std::string needle = "," + Lowered(item) + ",";
  return haystack.find(needle) != std::string::npos;
}

std::optional<uint32_t> RefIpv4(std::string_view text) {
  const std::vector<std::string> parts = RefSplit(text, '.');
  if (parts.size() != 4) return std::nullopt;
  uint32_t value = 0;
  for (const std::string& part : parts) {
    const std::optional<int32_t> n = RefParseInteger(part);
    if (!n || *n < 0 || *n > 255) return std::nullopt;
    value = value * 256 + static_cast<uint32_t>(*n);
  }
  return value;
}

// The C library's reader of IPv6 text.
std::optional<sockvane::track::Address> RefIpv6(std::string_view text) {
  if (text.find('\0') != std::string_view::npos) return std::nullopt;
  const std::string terminated(text);
  in6_addr address;
  if (inet_pton(AF_INET6, terminated.c_str(), &address) != 1) return std::nullopt;
  sockvane::track::Address out;
  std::memcpy(out.data(), &address, 16);
  return out;
}

// Bit `i` of a 128-bit address, counted from the most significant.
bool Bit(const sockvane::track::Address& a, int i) {
  return (a[i / 8] >> (7 - i % 8)) & 1;
}

bool RefIpv6Match(std::string_view address, const sockvane::track::Address& network, int prefix) {
  std::optional<sockvane::track::Address> a = RefIpv6(address);
  // A dotted address stands for ::ffff:a.b.c.d, but only a network that
  // fixes all of that prefix (96 bits or more) takes it.
  if (!a && prefix >= 96) {
    if (const std::optional<uint32_t> v4 = RefIpv4(address)) {
      a = sockvane::track::Address{};
      (*a)[10] = (*a)[11] = 0xFF;
      for (int k = 0; k < 4; ++k) (*a)[12 + k] = static_cast<uint8_t>(*v4 >> (24 - 8 * k));
    }
  }
  if (!a) return false;
  for (int i = 0; i < prefix; ++i) {
    if (Bit(*a, i) != Bit(network, i)) return false;
  }
  return true;
}

bool RefMatchesNetwork(std::string_view address, std::string_view entry) {
  const size_t slash = entry.find('/');
  if (slash == std::string_view::npos) {
    if (Lowered(address) == Lowered(entry)) return true;
    const auto network = RefIpv6(entry);
    return network && RefIpv6Match(address, *network, 128);
  }
  const std::optional<int32_t> n = RefParseInteger(entry.substr(slash + 1));
  if (const auto network = RefIpv6(entry.substr(0, slash))) {
    return n && *n >= 0 && *n <= 128 && RefIpv6Match(address, *network, *n);
  }
  if (!n || *n < 0 || *n > 32) return false;
  const std::optional<uint32_t> a = RefIpv4(address);
  const std::optional<uint32_t> net = RefIpv4(entry.substr(0, slash));
  if (!a || !net) return false;
  const uint64_t mask = ((uint64_t{1} << *n) - 1) << (32 - *n);
  return (*a & mask) == (*net & mask);
}

std::string_view RefTrim(std::string_view s) {
  while (!s.empty() && static_cast<unsigned char>(s.front()) <= 32) s.remove_prefix(1);
  while (!s.empty() && static_cast<unsigned char>(s.back()) <= 32) s.remove_suffix(1);
  return s;
}

bool RefMatchesAddressList(std::string_view address, std::string_view list) {
  if (list.empty()) return false;
  for (const std::string& item : RefSplit(list, ',')) {
    if (RefMatchesNetwork(address, RefTrim(item))) return true;
  }
  return false;
}

// The blocks as the registries write them, read once.
const std::vector<special_purpose::Block>& Blocks() {
  static const std::vector<special_purpose::Block> blocks = [] {
    auto loaded = special_purpose::LoadBlocks(SOCKVANE_TEST_DATA "/special_purpose_blocks.csv");
    FUZZ_CHECK(!loaded.empty());
    return loaded;
  }();
  return blocks;
}

// IPv6 text is judged on its folded text alone, nothing expanded: the textual
// rules. IPv4 by the registry's blocks.
bool RefIsPublic(std::string_view text) {
  if (text.find(':') != std::string_view::npos) {
    const std::string t = Lowered(text);
    if (t == "::" || t == "::1") return false;
    for (const char* prefix : {"fe", "fc", "fd", "ff", "2001:db8:", "2001:0db8:"}) {
      if (t.starts_with(prefix)) return false;
    }
    return true;
  }
  const std::optional<uint32_t> v = RefIpv4(text);
  return v && !special_purpose::InAnyIpv4Block(Blocks(), *v);
}

// An IPv6 address in a listed block, written as inet_ntop writes it, is not
// public: the textual rules must cover every such spelling.
void CheckIpv6Registry(std::string_view text) {
  const std::string folded = Lowered(text);
  uint8_t bytes[16];
  if (folded.find('\0') != std::string::npos || inet_pton(AF_INET6, folded.c_str(), bytes) != 1) return;
  char canonical[INET6_ADDRSTRLEN];
  if (inet_ntop(AF_INET6, bytes, canonical, sizeof canonical) == nullptr || folded != canonical) return;
  sockvane::track::Address address;
  std::copy(std::begin(bytes), std::end(bytes), address.begin());
  if (special_purpose::InAnyBlock(Blocks(), true, bytes))
    FUZZ_CHECK(!sockvane::filter::IsPublicDestination(address));
}

void CheckSingle(std::string_view text, char extra_delimiter) {
  const std::optional<int32_t> parsed = sockvane::track::ParseInteger(text);
  const std::optional<int32_t> expected = RefParseInteger(text);
  if (parsed != expected) {
    std::fprintf(stderr, "ParseInteger(\"%s\") mismatch\n", fuzz::Escaped(text).c_str());
  }
  FUZZ_CHECK(parsed.has_value() == expected.has_value());
  FUZZ_CHECK(!parsed || *parsed == *expected);

  for (char delimiter : {',', '.', extra_delimiter}) {
    std::vector<std::string> items;
    sockvane::track::ForEachItem(text, delimiter, [&items](std::string_view item) {
      items.emplace_back(item);
      return true;
    });
    FUZZ_CHECK(items == RefSplit(text, delimiter));
  }

  using sockvane::track::Ipv4Numbers;
  const std::optional<uint32_t> address = sockvane::track::ParseIpv4(text, Ipv4Numbers::kOptionIntegers);
  FUZZ_CHECK(address == RefIpv4(text));
  if (address) {
    // The canonical dotted form reads back to the same value.
    const uint32_t v = *address;
    const std::string dotted = std::to_string(v >> 24) + "." + std::to_string((v >> 16) & 255) + "." +
                               std::to_string((v >> 8) & 255) + "." + std::to_string(v & 255);
    FUZZ_CHECK(sockvane::track::ParseIpv4(dotted, Ipv4Numbers::kOptionIntegers) == address);
    // The rows' form is that text alone.
    FUZZ_CHECK(sockvane::track::ParseIpv4(text, Ipv4Numbers::kDotted) ==
               (text == dotted ? address : std::nullopt));
  } else {
    FUZZ_CHECK(!sockvane::track::ParseIpv4(text, Ipv4Numbers::kDotted));
  }

  const std::optional<sockvane::track::Address> ipv6 = sockvane::track::ParseIpv6(text);
  if (ipv6 != RefIpv6(text))
    std::fprintf(stderr, "Ipv6FromText(\"%s\") mismatch\n", fuzz::Escaped(text).c_str());
  FUZZ_CHECK(ipv6 == RefIpv6(text));
  if (ipv6) {
    // Every form reads back to the same value.
    char canonical[INET6_ADDRSTRLEN];
    FUZZ_CHECK(inet_ntop(AF_INET6, ipv6->data(), canonical, sizeof canonical) != nullptr);
    FUZZ_CHECK(sockvane::track::ParseIpv6(canonical) == ipv6);
  }

  FUZZ_CHECK(sockvane::testing::IsPublicDestinationText(text) == RefIsPublic(text));
  CheckIpv6Registry(text);

  FUZZ_CHECK(sockvane::track::AsciiLower(text) == Lowered(text));
  FUZZ_CHECK(sockvane::track::TrimControlAndBlank(text) == RefTrim(text));
}

void CheckPair(std::string_view a, std::string_view b) {
  FUZZ_CHECK(cfg::ListContains(a, b) == RefListContains(a, b));
  FUZZ_CHECK(sockvane::testing::MatchesNetwork(a, b) == RefMatchesNetwork(a, b));
  const bool listed = RefMatchesAddressList(a, b);
  FUZZ_CHECK(sockvane::testing::MatchesAddressList(a, b) == listed);
  // The program's compiled path, for an address a row can show.
  const sockvane::track::Address address = sockvane::testing::AddressFromText(a);
  if (b.empty() || sockvane::track::Ipv6ToText(address) != a) return;
  sockvane::testing::OptionTexts options;
  options.include_all = true;
  options.dst_ip_filter = b;
  sockvane::track::TConn row;
  row.dst_ip = address;
  row.dst_port = 443;
  FUZZ_CHECK(sockvane::filter::PassesFilters(
                 row, sockvane::filter::CompileFilters(sockvane::testing::Parsed(options), {})) == listed);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string_view whole(reinterpret_cast<const char*>(data), size);
  const char extra = size > 0 ? static_cast<char>(data[0]) : ';';
  CheckSingle(whole, extra);

  // Lines are the fields: every field alone and every neighbouring pair, both ways.
  std::vector<std::string> fields = fuzz::SplitInput(data, size, '\n');
  if (fields.size() > 8) fields.resize(8);
  for (size_t i = 0; i < fields.size(); ++i) {
    if (fields.size() > 1) CheckSingle(fields[i], extra);
    if (i + 1 < fields.size()) {
      CheckPair(fields[i], fields[i + 1]);
      CheckPair(fields[i + 1], fields[i]);
    }
  }
  return 0;
}
