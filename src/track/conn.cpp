#include "track/conn.h"

#include <charconv>
#include <cstring>

namespace sockvane::track {

namespace {

void AppendHexGroup(std::string& out, unsigned value) {
  static constexpr char kDigits[] = "0123456789abcdef";
  bool started = false;
  for (int shift = 12; shift >= 0; shift -= 4) {
    unsigned nibble = (value >> shift) & 0xF;
    if (nibble != 0 || started || shift == 0) {
      out.push_back(kDigits[nibble]);
      started = true;
    }
  }
}

}  // namespace

Address AddressFromIpv4(uint32_t network_order_address) {
  Address address{};
  address[10] = 0xFF;
  address[11] = 0xFF;
  std::memcpy(address.data() + 12, &network_order_address, 4);
  return address;
}

bool MappedIpv4Value(const Address& address, uint32_t& value) {
  for (int i = 0; i < 10; ++i) {
    if (address[i] != 0) return false;
  }
  if (address[10] != 0xFF || address[11] != 0xFF) return false;
  value =
      uint32_t{address[12]} << 24 | uint32_t{address[13]} << 16 | uint32_t{address[14]} << 8 | address[15];
  return true;
}

ProcessName MakeProcessName(std::string name) {
  return std::make_shared<const std::string>(std::move(name));
}

std::string Ipv4ToText(uint32_t network_order_address) {
  // Built in place, one allocation at most.
  char text[16];
  std::size_t length = 0;
  for (int i = 0; i < 4; ++i) {
    if (i > 0) text[length++] = '.';
    const unsigned octet = (network_order_address >> (8 * i)) & 0xFF;
    if (octet >= 100) text[length++] = static_cast<char>('0' + octet / 100);
    if (octet >= 10) text[length++] = static_cast<char>('0' + octet / 10 % 10);
    text[length++] = static_cast<char>('0' + octet % 10);
  }
  return std::string(text, length);
}

std::string Ipv6ToText(const std::array<uint8_t, 16>& address) {
  bool mapped = address[10] == 0xFF && address[11] == 0xFF;
  for (int i = 0; i < 10 && mapped; ++i) mapped = address[i] == 0;
  if (mapped) {
    uint32_t v = uint32_t{address[12]} | uint32_t{address[13]} << 8 | uint32_t{address[14]} << 16 |
                 uint32_t{address[15]} << 24;
    return Ipv4ToText(v);
  }

  unsigned groups[8];
  for (int i = 0; i < 8; ++i) groups[i] = unsigned{address[2 * i]} << 8 | address[2 * i + 1];

  // Longest run of two or more zero groups; the first one wins a tie.
  int best_start = -1, best_len = 0;
  for (int i = 0; i < 8;) {
    if (groups[i] != 0) {
      ++i;
      continue;
    }
    int j = i;
    while (j < 8 && groups[j] == 0) ++j;
    if (j - i > best_len && j - i >= 2) {
      best_start = i;
      best_len = j - i;
    }
    i = j;
  }

  std::string out;
  out.reserve(39);
  for (int i = 0; i < 8; ++i) {
    if (i == best_start) {
      out += "::";
      i += best_len - 1;
      continue;
    }
    if (!out.empty() && out.back() != ':') out.push_back(':');
    AppendHexGroup(out, groups[i]);
  }
  return out;
}

std::string TcpStateName(uint32_t state) {
  static constexpr const char* kNames[] = {"LISTEN",    "SYN_SENT",  "SYN_RECV",   "ESTABLISHED",
                                           "FIN_WAIT1", "FIN_WAIT2", "CLOSE_WAIT", "CLOSING",
                                           "LAST_ACK",  "TIME_WAIT", "CLOSE"};
  if (state >= 2 && state <= 12) return kNames[state - 2];
  return DecimalText(state);
}

std::string_view ProtoName(Proto proto) {
  return proto == Proto::kUdp ? "UDP" : "TCP";
}

std::string_view ProcessText(const TConn& row) {
  return row.process ? std::string_view(*row.process) : std::string_view();
}

ConnTexts TextsOf(const TConn& row) {
  return ConnTexts{ProtoName(row.proto),   DecimalText(row.pid),   ProcessText(row),
                   Ipv6ToText(row.src_ip), Ipv6ToText(row.dst_ip), TcpStateName(row.state)};
}

}  // namespace sockvane::track
