// The filter chain on its parsed form against the same chain worked out from
// the texts: for any options, allowlist and row the answers must agree.
#include <fuzzer/FuzzedDataProvider.h>

#include <cstdint>
#include <string>
#include <vector>

#include "../support/plain_filters.h"
#include "config/options.h"
#include "filter/filters.h"
#include "fuzz_check.h"
#include "track/conn.h"

namespace {

namespace filter = sockvane::filter;

// Pieces that make up addresses, networks and lists, so that generated texts
// often mean something; any other byte stands for itself.
constexpr const char* kTokens[] = {
    "10",
    "0",
    "1",
    "127",
    "192",
    "168",
    "172",
    "16",
    "255",
    "256",
    "8",
    "24",
    "31",
    "32",
    "33",
    ".",
    ".",
    ".",
    "/",
    ",",
    ",",
    " ",
    "\t",
    "\"",
    "0x",
    "x",
    "$",
    "%",
    "&",
    "-",
    "+",
    "a",
    "A",
    "::",
    "::1",
    "fe80",
    "2001",
    "db8",
    ":",
    "tcp",
    "TCP",
    "udp",
    "443",
    "0443",
    "53",
    "80",
    "65535",
    "65536",
    "fire",
    "Fox",
    "svc",
    "unknown",
    "\r",
    "\n",
    "\0",
    "8.8.8.8",
    "10.0.0.0/8",
    "1.2.3.4",
    "203.0.113.5",
    "::/0",
    "/128",
    "/96",
    "/104",
    "::ffff:",
    "fe80::/10",
    "2001:db8::1",
    "0:0:0:0:0:0:0:1",
};
constexpr size_t kTokenCount = sizeof kTokens / sizeof kTokens[0];

std::string Text(FuzzedDataProvider& in, size_t max_pieces) {
  std::string text;
  const size_t pieces = in.ConsumeIntegralInRange<size_t>(0, max_pieces);
  for (size_t i = 0; i < pieces && in.remaining_bytes() > 0; ++i) {
    const uint8_t b = in.ConsumeIntegral<uint8_t>();
    if (b < kTokenCount) {
      const char* token = kTokens[b];
      text += *token == '\0' ? std::string(1, '\0') : std::string(token);
    } else if (b < 200) {
      text += kTokens[b % kTokenCount];
    } else {
      text += static_cast<char>(in.ConsumeIntegral<uint8_t>());
    }
  }
  return text;
}

// An option is often absent, as on a real command line.
std::string Option(FuzzedDataProvider& in) {
  return in.ConsumeBool() ? Text(in, 12) : std::string();
}

uint16_t Port(FuzzedDataProvider& in) {
  switch (in.ConsumeIntegralInRange(0, 5)) {
    case 0:
      return 0;
    case 1:
      return 443;
    case 2:
      return 53;
    case 3:
      return 80;
    case 4:
      return 65535;
    default:
      return in.ConsumeIntegral<uint16_t>();
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  FuzzedDataProvider in(data, size);
  sockvane::testing::OptionTexts s;
  s.include_all = in.ConsumeBool();
  s.proto_filter = Option(in);
  s.dst_port_filter = Option(in);
  s.pid_filter = Option(in);
  s.process_filter = Option(in);
  s.dst_ip_filter = Option(in);
  s.dst_net_filter = Option(in);
  s.exclude_port_filter = Option(in);
  s.exclude_process_filter = Option(in);
  std::vector<std::string> allowlist;
  const int lines = in.ConsumeIntegralInRange(0, 4);
  for (int i = 0; i < lines; ++i) allowlist.push_back(Text(in, 10));

  const filter::Filters compiled = filter::CompileFilters(sockvane::testing::Parsed(s), allowlist);

  // One compiled form judges many rows in a run, so try several against it.
  for (int r = 0; r < 6 && in.remaining_bytes() > 0; ++r) {
    // A row as the source gives it: binary, its texts derived.
    sockvane::track::TConn binary;
    binary.proto = in.ConsumeBool() ? sockvane::track::Proto::kTcp : sockvane::track::Proto::kUdp;
    binary.pid = in.ConsumeBool() ? in.ConsumeIntegral<uint16_t>() : in.ConsumeIntegral<uint32_t>();
    binary.process = sockvane::track::MakeProcessName(Text(in, 4));
    const std::string dst_text = Text(in, 9);
    binary.dst_ip = sockvane::testing::AddressFromText(dst_text);
    if (in.ConsumeBool()) {
      for (uint8_t& byte : binary.dst_ip) byte = in.ConsumeIntegral<uint8_t>();
    }
    binary.dst_port = Port(in);
    binary.src_port = in.ConsumeIntegral<uint16_t>();
    binary.state = 5;
    const sockvane::testing::TextRow row = sockvane::testing::TextsOfRow(binary);
    const bool fast = filter::PassesFilters(binary, compiled);
    const bool plain = sockvane::testing::PassesFiltersPlain(row, s, allowlist);
    if (fast != plain) {
      std::fprintf(
          stderr,
          "filters disagree (parsed %d, plain %d)\n proto=%s pid=%s process=%s dst_ip=%s dst_port=%u\n"
          " --proto %s --dst-port %s --pid %s --process %s --dst-ip %s --dst-net %s"
          " --exclude-port %s --exclude-process %s all=%d\n",
          fast, plain, fuzz::Escaped(row.proto).c_str(), fuzz::Escaped(row.pid).c_str(),
          fuzz::Escaped(row.process).c_str(), fuzz::Escaped(row.dst_ip).c_str(), row.dst_port,
          fuzz::Escaped(s.proto_filter).c_str(), fuzz::Escaped(s.dst_port_filter).c_str(),
          fuzz::Escaped(s.pid_filter).c_str(), fuzz::Escaped(s.process_filter).c_str(),
          fuzz::Escaped(s.dst_ip_filter).c_str(), fuzz::Escaped(s.dst_net_filter).c_str(),
          fuzz::Escaped(s.exclude_port_filter).c_str(), fuzz::Escaped(s.exclude_process_filter).c_str(),
          s.include_all);
      for (const std::string& line : allowlist)
        std::fprintf(stderr, " allowlist: %s\n", fuzz::Escaped(line).c_str());
    }
    FUZZ_CHECK(fast == plain);
  }
  return 0;
}
