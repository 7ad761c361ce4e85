#include "source/naming.h"

#include "track/text.h"

namespace sockvane::source {

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

std::string Ipv4ToText(uint32_t network_order_address) {
  // Every row carries two addresses: build the text in place, one allocation at most.
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
  std::string out;
  track::AppendDecimal(out, state);
  return out;
}

uint16_t PortFromNetworkOrder(uint32_t value) {
  return static_cast<uint16_t>(((value & 0xFF) << 8) | ((value >> 8) & 0xFF));
}

std::string ProcessNameFromPath(std::string_view path, std::string_view separators) {
  const std::size_t last = path.find_last_of(separators);
  return std::string(last == std::string_view::npos ? path : path.substr(last + 1));
}

std::string ProcessNameFromExeLink(std::string_view link) {
  // An upgraded daemon runs from an unlinked file; it is still the same program.
  constexpr std::string_view kDeleted = " (deleted)";
  if (link.ends_with(kDeleted)) link.remove_suffix(kDeleted.size());
  return ProcessNameFromPath(link, kLinuxPathSeparators);
}

bool IsUsableTimeSeparator(std::string_view separator) {
  if (separator.empty() || separator.size() > 8) return false;
  for (char ch : separator) {
    const auto byte = static_cast<unsigned char>(ch);
    if (byte < 0x20 || byte == 0x7F || ch == '"' || ch == '\\' || ch == ',' || (ch >= '0' && ch <= '9')) {
      return false;
    }
  }
  return true;
}

}  // namespace sockvane::source
