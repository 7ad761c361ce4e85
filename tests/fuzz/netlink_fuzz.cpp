// The sock_diag reply parser on arbitrary datagrams, checked against a walk
// of the netlink framing written from the message layouts.
// First byte: bit 0 selects UDP; the rest is the datagram. Requests carry
// sequence number kSeq.
#include <linux/inet_diag.h>
#include <linux/netlink.h>
#include <linux/sock_diag.h>
#include <sys/socket.h>

#include <cstdint>
#include <cstring>
#include <vector>

#include "fuzz_check.h"
#include "source/netlink_linux.h"

namespace {

namespace src = sockvane::source;

constexpr uint32_t kSeq = 7;

// Offsets of struct inet_diag_msg as the kernel lays it out.
constexpr size_t kMsgSize = 72, kFamily = 0, kState = 1, kSport = 4, kDport = 6, kSrc = 8, kDst = 24,
                 kInode = 68;
static_assert(sizeof(inet_diag_msg) == kMsgSize);

uint32_t Load32(const uint8_t* p) {
  uint32_t v;
  std::memcpy(&v, p, 4);
  return v;
}

uint16_t Load16(const uint8_t* p) {
  uint16_t v;
  std::memcpy(&v, p, 2);
  return v;
}

src::DiagStatus RefParse(const uint8_t* data, size_t size, uint8_t protocol,
                         std::vector<src::RawSocket>& out) {
  size_t offset = 0;
  while (size - offset >= 16) {
    const uint8_t* h = data + offset;
    const uint32_t len = Load32(h);
    const uint16_t type = Load16(h + 4);
    const uint32_t seq = Load32(h + 8);
    if (len < 16 || len > size - offset) return src::DiagStatus::kError;
    const uint8_t* payload = h + 16;
    const size_t payload_size = len - 16;
    offset = std::min<size_t>(size, offset + ((size_t{len} + 3) & ~size_t{3}));
    if (seq != kSeq) continue;
    if (type == NLMSG_DONE) {
      const int32_t error = payload_size >= 4 ? static_cast<int32_t>(Load32(payload)) : 0;
      return error < 0 ? src::DiagStatus::kError : src::DiagStatus::kDone;
    }
    if (type == NLMSG_ERROR) return src::DiagStatus::kError;
    if (type != SOCK_DIAG_BY_FAMILY && type != TCPDIAG_GETSOCK) continue;
    if (payload_size < kMsgSize) return src::DiagStatus::kError;
    const uint8_t family = payload[kFamily];
    if (family != AF_INET && family != AF_INET6) continue;
    src::RawSocket raw;
    raw.ipv6 = family == AF_INET6;
    raw.protocol = protocol;
    raw.state = payload[kState];
    raw.src_port = static_cast<uint16_t>(payload[kSport] << 8 | payload[kSport + 1]);
    raw.dst_port = static_cast<uint16_t>(payload[kDport] << 8 | payload[kDport + 1]);
    std::memcpy(raw.src.data(), payload + kSrc, raw.ipv6 ? 16 : 4);
    std::memcpy(raw.dst.data(), payload + kDst, raw.ipv6 ? 16 : 4);
    raw.inode = Load32(payload + kInode);
    out.push_back(raw);
  }
  return offset == size ? src::DiagStatus::kMore : src::DiagStatus::kError;
}

bool Same(const src::RawSocket& a, const src::RawSocket& b) {
  return a.src == b.src && a.dst == b.dst && a.inode == b.inode && a.src_port == b.src_port &&
         a.dst_port == b.dst_port && a.protocol == b.protocol && a.state == b.state && a.ipv6 == b.ipv6;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  const uint8_t protocol = (data[0] & 1) ? src::kProtoUdp : src::kProtoTcp;
  // An exact-size heap copy, so that any read past the datagram is caught.
  std::vector<uint8_t> datagram(data + 1, data + size);
  const uint8_t* bytes = datagram.empty() ? nullptr : datagram.data();

  // Rows of earlier datagrams stay as they are.
  src::RawSocket earlier;
  earlier.inode = 0xFEEDFACE;
  earlier.src_port = 1;
  std::vector<src::RawSocket> rows = {earlier};
  const src::DiagStatus status = src::ParseDiagReply(bytes, datagram.size(), kSeq, protocol, rows);

  std::vector<src::RawSocket> expected = {earlier};
  const src::DiagStatus expected_status = RefParse(bytes, datagram.size(), protocol, expected);
  FUZZ_CHECK(status == expected_status);
  FUZZ_CHECK(rows.size() == expected.size());
  for (size_t i = 0; i < rows.size(); ++i) FUZZ_CHECK(Same(rows[i], expected[i]));

  // Destroy notifications: each message names its protocol in an attribute.
  // At most the rows the framing walk finds, each TCP or UDP.
  std::vector<src::RawSocket> named;
  const src::DiagStatus named_status = src::ParseDiagReply(bytes, datagram.size(), kSeq, 0, named);
  FUZZ_CHECK(named_status == expected_status);
  FUZZ_CHECK(named.size() <= expected.size() - 1);
  for (const src::RawSocket& raw : named)
    FUZZ_CHECK(raw.protocol == src::kProtoTcp || raw.protocol == src::kProtoUdp);
  return 0;
}
