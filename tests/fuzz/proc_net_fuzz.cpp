// The /proc texts the Linux source reads (socket tables, fd links, stat lines,
// the locale's time format) on arbitrary bytes. First byte: bit 0 IPv6, bit 1 UDP.
#include <arpa/inet.h>

#include <array>
#include <charconv>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

#include "../support/text_rows.h"
#include "config/lists.h"
#include "fuzz_check.h"
#include "platform/clock.h"
#include "source/naming.h"
#include "source/proc_linux.h"
#include "source/proc_net_linux.h"
#include "track/conn.h"

namespace {

namespace src = sockvane::source;

bool Same(const src::RawSocket& a, const src::RawSocket& b) {
  return a.src == b.src && a.dst == b.dst && a.inode == b.inode && a.src_port == b.src_port &&
         a.dst_port == b.dst_port && a.protocol == b.protocol && a.state == b.state && a.ipv6 == b.ipv6;
}

// The row as the kernel would print it.
std::string KernelLine(const src::RawSocket& raw) {
  auto endpoint = [&raw](const std::array<uint8_t, 16>& address, uint16_t port) {
    std::string text;
    char buf[16];
    for (int w = 0; w < (raw.ipv6 ? 4 : 1); ++w) {
      uint32_t word;
      std::memcpy(&word, address.data() + 4 * w, sizeof word);
      std::snprintf(buf, sizeof buf, "%08X", word);
      text += buf;
    }
    std::snprintf(buf, sizeof buf, ":%04X", port);
    return text + buf;
  };
  char state[8];
  std::snprintf(state, sizeof state, "%02X", raw.state);
  return "   7: " + endpoint(raw.src, raw.src_port) + " " + endpoint(raw.dst, raw.dst_port) + " " + state +
         " 00000000:00000000 00:00000000 00000000  1000        0 " + std::to_string(raw.inode) +
         " 1 0000000000000000 20 4 30 10 -1";
}

// RFC 5952: lower-case hex without leading zeros, the first longest run of
// two or more zero groups as "::".
std::string RefIpv6Text(const std::array<uint8_t, 16>& a) {
  unsigned g[8];
  for (int i = 0; i < 8; ++i) g[i] = unsigned{a[2 * i]} << 8 | a[2 * i + 1];
  int best = -1, best_len = 1;
  for (int i = 0; i < 8; ++i) {
    int j = i;
    while (j < 8 && g[j] == 0) ++j;
    if (j - i > best_len) {
      best = i;
      best_len = j - i;
    }
    if (j > i) i = j - 1;
  }
  std::string out;
  char buf[8];
  for (int i = 0; i < 8; ++i) {
    if (i == best) {
      out += "::";
      i += best_len - 1;
      continue;
    }
    if (!out.empty() && out.back() != ':') out += ':';
    std::snprintf(buf, sizeof buf, "%x", g[i]);
    out += buf;
  }
  return out;
}

void CheckAddressText(const std::array<uint8_t, 16>& address, bool ipv6, const std::string& text) {
  const bool mapped = ipv6 && std::memcmp(address.data(), "\0\0\0\0\0\0\0\0\0\0\xff\xff", 12) == 0;
  if (!ipv6 || mapped) {
    const uint8_t* v4 = address.data() + (mapped ? 12 : 0);
    const std::optional<uint32_t> value =
        sockvane::track::ParseIpv4(text, sockvane::track::Ipv4Numbers::kDotted);
    FUZZ_CHECK(value.has_value());
    FUZZ_CHECK(*value == (uint32_t{v4[0]} << 24 | uint32_t{v4[1]} << 16 | uint32_t{v4[2]} << 8 | v4[3]));
    FUZZ_CHECK(text == std::to_string(v4[0]) + "." + std::to_string(v4[1]) + "." + std::to_string(v4[2]) +
                           "." + std::to_string(v4[3]));
    return;
  }
  FUZZ_CHECK(text == RefIpv6Text(address));
  in6_addr back{};
  FUZZ_CHECK(inet_pton(AF_INET6, text.c_str(), &back) == 1);
  FUZZ_CHECK(std::memcmp(&back, address.data(), 16) == 0);
}

void CheckRow(const src::RawSocket& raw, bool ipv6, uint8_t protocol) {
  FUZZ_CHECK(raw.ipv6 == ipv6 && raw.protocol == protocol);
  if (!ipv6) {
    for (int i = 4; i < 16; ++i) FUZZ_CHECK(raw.src[i] == 0 && raw.dst[i] == 0);
  }
  // What the kernel would print for this row reads back to the same row.
  src::RawSocket again;
  FUZZ_CHECK(src::ParseProcNetLine(KernelLine(raw), ipv6, protocol, again));
  FUZZ_CHECK(Same(again, raw));

  sockvane::track::TConn binary;
  src::FillAddressFields(raw, binary);
  const sockvane::testing::TextRow row = sockvane::testing::TextsOfRow(binary);
  FUZZ_CHECK(row.proto == (protocol == src::kProtoUdp ? "UDP" : "TCP"));
  FUZZ_CHECK(row.src_port == raw.src_port && row.dst_port == raw.dst_port);
  FUZZ_CHECK(!row.state.empty());
  CheckAddressText(raw.src, ipv6, row.src_ip);
  CheckAddressText(raw.dst, ipv6, row.dst_ip);
}

std::string Upper(std::string_view s) {
  std::string out(s);
  for (char& c : out) {
    if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 32);
  }
  return out;
}

// An accepted line holds, in its blank-separated fields, what was read from it.
void CheckAcceptedLine(std::string_view line, const src::RawSocket& raw) {
  std::vector<std::string_view> fields;
  size_t i = 0;
  while (i < line.size()) {
    while (i < line.size() && (line[i] == ' ' || line[i] == '\t')) ++i;
    const size_t begin = i;
    while (i < line.size() && line[i] != ' ' && line[i] != '\t') ++i;
    if (i > begin) fields.push_back(line.substr(begin, i - begin));
  }
  FUZZ_CHECK(fields.size() >= 10);
  std::vector<std::string_view> kernel;
  const std::string printed = KernelLine(raw);
  for (size_t k = 0, n = printed.size(); k < n;) {
    while (k < n && printed[k] == ' ') ++k;
    const size_t begin = k;
    while (k < n && printed[k] != ' ') ++k;
    if (k > begin) kernel.push_back(std::string_view(printed).substr(begin, k - begin));
  }
  FUZZ_CHECK(Upper(fields[1]) == kernel[1]);  // local address and port
  FUZZ_CHECK(Upper(fields[2]) == kernel[2]);  // remote address and port
  FUZZ_CHECK(Upper(fields[3]) == kernel[3]);  // state
  uint64_t inode = 0;
  const auto [ptr, ec] = std::from_chars(fields[9].data(), fields[9].data() + fields[9].size(), inode);
  FUZZ_CHECK(ec == std::errc() && ptr == fields[9].data() + fields[9].size() && inode == raw.inode);
}

bool AllDigits(std::string_view s) {
  if (s.empty()) return false;
  for (char c : s) {
    if (c < '0' || c > '9') return false;
  }
  return true;
}

void CheckOtherTexts(std::string_view text) {
  uint64_t inode = 0;
  if (src::ParseSocketLink(text, inode)) {
    FUZZ_CHECK(text.starts_with("socket:[") && text.ends_with("]"));
    const std::string_view digits = text.substr(8, text.size() - 9);
    FUZZ_CHECK(AllDigits(digits));
    uint64_t value = 0;
    const auto [ptr, ec] = std::from_chars(digits.data(), digits.data() + digits.size(), value);
    FUZZ_CHECK(ec == std::errc() && ptr == digits.data() + digits.size() && value == inode);
  }

  src::ProcStat stat;
  if (src::ParseProcStat(text, stat)) {
    // Fields 4 and 22 counted after the command name, whatever the name holds.
    const std::string_view rest = text.substr(text.rfind(')') + 1);
    std::vector<std::string_view> fields;
    size_t i = 0;
    while (i < rest.size() && rest[i] != '\n') {
      while (i < rest.size() && rest[i] == ' ') ++i;
      const size_t begin = i;
      while (i < rest.size() && rest[i] != ' ' && rest[i] != '\n') ++i;
      if (i > begin) fields.push_back(rest.substr(begin, i - begin));
    }
    FUZZ_CHECK(fields.size() >= 20);
    FUZZ_CHECK(AllDigits(fields[1]) && AllDigits(fields[19]));
    uint64_t value = 0;
    const auto [ptr, ec] = std::from_chars(fields[19].data(), fields[19].data() + fields[19].size(), value);
    FUZZ_CHECK(ec == std::errc() && ptr == fields[19].data() + fields[19].size() && value == stat.start_time);
    FUZZ_CHECK(stat.state != ' ' && stat.state != '\n');
  }
  src::RunTime run;
  if (src::AddRunTime(text, run)) {
    const std::string_view first = text.substr(0, text.find_first_of(" \n"));
    FUZZ_CHECK(AllDigits(first));
  }

  // The separator comes from the format's own text, or is the default.
  const std::string separator = sockvane::platform::TimeSeparatorFromFormat(text);
  FUZZ_CHECK(separator == ":" || (!separator.empty() && text.find(separator) != std::string_view::npos));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  const bool ipv6 = data[0] & 1;
  const uint8_t protocol = (data[0] & 2) ? src::kProtoUdp : src::kProtoTcp;
  const std::string_view text(reinterpret_cast<const char*>(data) + 1, size - 1);

  std::vector<src::RawSocket> rows;
  src::ParseProcNetText(text, ipv6, protocol, rows);

  // The whole text is its lines, each parsed alone.
  std::vector<src::RawSocket> by_line;
  size_t start = 0;
  while (start < text.size()) {
    size_t end = text.find('\n', start);
    if (end == std::string_view::npos) end = text.size();
    src::RawSocket raw;
    const std::string_view line = text.substr(start, end - start);
    if (src::ParseProcNetLine(line, ipv6, protocol, raw)) {
      CheckAcceptedLine(line, raw);
      by_line.push_back(raw);
    }
    start = end + 1;
  }
  FUZZ_CHECK(rows.size() == by_line.size());
  for (size_t i = 0; i < rows.size(); ++i) {
    FUZZ_CHECK(Same(rows[i], by_line[i]));
    CheckRow(rows[i], ipv6, protocol);
  }

  // Any sixteen bytes name an address.
  if (text.size() >= 16) {
    std::array<uint8_t, 16> address;
    std::memcpy(address.data(), text.data(), 16);
    CheckAddressText(address, true, src::Ipv6ToText(address));
  }

  CheckOtherTexts(text);
  return 0;
}
