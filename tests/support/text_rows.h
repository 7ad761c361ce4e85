// Rows written as the texts they are shown as, for tests.
#pragma once

#include <charconv>
#include <cstdint>
#include <string>
#include <string_view>

#include "track/conn.h"

namespace sockvane::testing {

// Dotted IPv4 as ::ffff:a.b.c.d, IPv6 as itself; all zeros for anything else.
inline track::Address AddressFromText(std::string_view text) {
  if (const auto v4 = track::ParseIpv4(text, track::Ipv4Numbers::kOptionIntegers))
    return track::MappedAddress(*v4);
  return track::ParseIpv6(text).value_or(track::Address{});
}

inline uint32_t NumberFromText(std::string_view text) {
  uint32_t value = 0;
  std::from_chars(text.data(), text.data() + text.size(), value);
  return value;
}

// The state number a name stands for; decimal text as its number.
inline uint32_t StateFromName(std::string_view name) {
  for (uint32_t state = 2; state <= 12; ++state) {
    if (track::TcpStateName(state) == name) return state;
  }
  return NumberFromText(name);
}

struct TextRow {
  std::string proto = "TCP";
  std::string pid;
  std::string process;
  std::string src_ip;
  uint16_t src_port = 0;
  std::string dst_ip;
  uint16_t dst_port = 0;
  std::string state;
};

inline track::TConn RowFromTexts(const TextRow& text) {
  track::TConn row;
  row.proto = text.proto == "UDP" ? track::Proto::kUdp : track::Proto::kTcp;
  row.pid = NumberFromText(text.pid);
  row.process = track::MakeProcessName(text.process);
  row.src_ip = AddressFromText(text.src_ip);
  row.src_port = text.src_port;
  row.dst_ip = AddressFromText(text.dst_ip);
  row.dst_port = text.dst_port;
  row.state = StateFromName(text.state);
  return row;
}

inline TextRow TextsOfRow(const track::TConn& row) {
  return TextRow{std::string(track::ProtoName(row.proto)),
                 track::DecimalText(row.pid),
                 std::string(track::ProcessText(row)),
                 track::Ipv6ToText(row.src_ip),
                 row.src_port,
                 track::Ipv6ToText(row.dst_ip),
                 row.dst_port,
                 track::TcpStateName(row.state)};
}

}  // namespace sockvane::testing
