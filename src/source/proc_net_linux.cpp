#include "source/proc_net_linux.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "source/proc_linux.h"

namespace sockvane::source {

namespace {

bool IsBlank(char c) {
  return c == ' ' || c == '\t';
}

// Splits off the next blank-separated field.
std::string_view NextField(std::string_view& rest) {
  std::size_t begin = 0;
  while (begin < rest.size() && IsBlank(rest[begin])) ++begin;
  std::size_t end = begin;
  while (end < rest.size() && !IsBlank(rest[end])) ++end;
  std::string_view field = rest.substr(begin, end - begin);
  rest.remove_prefix(end);
  return field;
}

bool ParseHex32(std::string_view text, uint32_t& value) {
  if (text.empty() || text.size() > 8) return false;
  value = 0;
  for (char c : text) {
    unsigned digit;
    if (c >= '0' && c <= '9') {
      digit = static_cast<unsigned>(c - '0');
    } else if (c >= 'A' && c <= 'F') {
      digit = static_cast<unsigned>(c - 'A' + 10);
    } else if (c >= 'a' && c <= 'f') {
      digit = static_cast<unsigned>(c - 'a' + 10);
    } else {
      return false;
    }
    value = value << 4 | digit;
  }
  return true;
}

// "0100007F:0016": the kernel prints each 32-bit word of the address as the
// number it holds in memory, so the word goes back to memory as is.
bool ParseEndpoint(std::string_view text, bool ipv6, std::array<uint8_t, 16>& address, uint16_t& port) {
  std::size_t words = ipv6 ? 4 : 1;
  if (text.size() != words * 8 + 5 || text[words * 8] != ':') return false;
  for (std::size_t i = 0; i < words; ++i) {
    uint32_t word;
    if (!ParseHex32(text.substr(i * 8, 8), word)) return false;
    std::memcpy(address.data() + i * 4, &word, sizeof word);
  }
  uint32_t port_value;
  if (!ParseHex32(text.substr(words * 8 + 1), port_value)) return false;
  port = static_cast<uint16_t>(port_value);
  return true;
}

}  // namespace

bool ParseProcNetLine(std::string_view line, bool ipv6, uint8_t protocol, RawSocket& out) {
  std::string_view rest = line;
  std::string_view slot = NextField(rest);
  if (slot.size() < 2 || slot.back() != ':') return false;
  for (std::size_t i = 0; i + 1 < slot.size(); ++i) {
    if (slot[i] < '0' || slot[i] > '9') return false;
  }
  RawSocket raw;
  raw.ipv6 = ipv6;
  raw.protocol = protocol;
  if (!ParseEndpoint(NextField(rest), ipv6, raw.src, raw.src_port)) return false;
  if (!ParseEndpoint(NextField(rest), ipv6, raw.dst, raw.dst_port)) return false;
  std::string_view state = NextField(rest);
  uint32_t state_value;
  if (state.size() != 2 || !ParseHex32(state, state_value)) return false;
  raw.state = static_cast<uint8_t>(state_value);
  // tx:rx queues, timer and retransmits: not needed.
  for (int i = 0; i < 3; ++i) {
    if (NextField(rest).empty()) return false;
  }
  uint64_t uid;
  if (!ParseDecimal64(NextField(rest), uid) || uid > UINT32_MAX) return false;
  raw.uid = static_cast<uint32_t>(uid);
  if (NextField(rest).empty()) return false;  // timeout
  if (!ParseDecimal64(NextField(rest), raw.inode)) return false;
  // Every kernel format has more fields after the inode; without them the line was cut.
  if (NextField(rest).empty()) return false;
  out = raw;
  return true;
}

void ParseProcNetText(std::string_view text, bool ipv6, uint8_t protocol, std::vector<RawSocket>& out) {
  while (!text.empty()) {
    std::size_t end = text.find('\n');
    std::string_view line = text.substr(0, end);
    text.remove_prefix(end == std::string_view::npos ? text.size() : end + 1);
    RawSocket raw;
    if (ParseProcNetLine(line, ipv6, protocol, raw)) out.push_back(raw);
  }
}

namespace {

// The whole of a small /proc file; false when it could not be read.
bool ReadWholeFile(const std::string& path, std::string& text, bool& missing) {
  missing = false;
  int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) {
    missing = errno == ENOENT;
    return false;
  }
  std::size_t used = 0;
  bool ok = true;
  for (;;) {
    if (text.size() - used < 65536) text.resize(used + 65536);
    ssize_t got = read(fd, text.data() + used, text.size() - used);
    if (got > 0) {
      used += static_cast<std::size_t>(got);
    } else if (got < 0 && errno == EINTR) {
      continue;
    } else {
      ok = got == 0;
      break;
    }
  }
  close(fd);
  text.resize(used);
  return ok;
}

}  // namespace

bool ReadProcNet(const std::string& root, bool ipv6, uint8_t protocol, std::vector<RawSocket>& out) {
  const std::string path =
      root + (protocol == kProtoUdp ? (ipv6 ? "/net/udp6" : "/net/udp") : (ipv6 ? "/net/tcp6" : "/net/tcp"));
  std::string text;
  bool missing = false;
  // No IPv6 files on a kernel without IPv6: an empty table, not a failure.
  if (!ReadWholeFile(path, text, missing)) return ipv6 && missing;
  ParseProcNetText(text, ipv6, protocol, out);
  return true;
}

std::size_t SocketsInUse(std::string_view sockstat) {
  std::size_t total = 0;
  while (!sockstat.empty()) {
    const std::size_t end = std::min(sockstat.find('\n'), sockstat.size());
    std::string_view line = sockstat.substr(0, end);
    sockstat.remove_prefix(std::min(end + 1, sockstat.size()));
    for (const std::string_view head : {"TCP: inuse ", "UDP: inuse ", "TCP6: inuse ", "UDP6: inuse "}) {
      if (!line.starts_with(head)) continue;
      line.remove_prefix(head.size());
      uint64_t count = 0;
      if (ParseDecimal64(line.substr(0, line.find(' ')), count)) total += count;
    }
  }
  return total;
}

bool ReadSocketsInUse(const std::string& root, std::size_t& count) {
  count = 0;
  std::string text;
  bool missing = false;
  if (!ReadWholeFile(root + "/net/sockstat", text, missing)) return false;
  count = SocketsInUse(text);
  if (ReadWholeFile(root + "/net/sockstat6", text, missing)) count += SocketsInUse(text);
  return true;
}

}  // namespace sockvane::source
