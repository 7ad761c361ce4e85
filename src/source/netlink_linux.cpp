// Socket tables from the kernel's sock_diag netlink dumps.
#include "source/netlink_linux.h"

#include <linux/inet_diag.h>
#include <linux/netlink.h>
#include <linux/sock_diag.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "source/naming.h"

namespace sockvane::source {

namespace {

// TCP states 1 (ESTABLISHED) to 12 (NEW_SYN_RECV). Leaves out newer states
// such as bound-but-inactive sockets, which /proc/net/tcp does not list
// either. A filtered dump leaves out 10 (LISTEN) too: no destination.
constexpr uint32_t kAllTableStates = 0x1FFE;
constexpr uint32_t kListen = 1u << 10;

// The kernel hands out at most about 32 KiB per datagram; the slack keeps a
// future larger chunk from being truncated.
constexpr std::size_t kReceiveBufferSize = 1 << 20;

uint16_t PortFromBytes(const uint8_t* p) {
  return PortFromNetworkOrder(uint32_t{p[0]} | uint32_t{p[1]} << 8);
}

// The INET_DIAG_PROTOCOL attribute among those after the message, or 0.
uint8_t ProtocolAttribute(const uint8_t* attrs, std::size_t size) {
  std::size_t offset = 0;
  while (size - offset >= sizeof(nlattr)) {
    nlattr attr;
    std::memcpy(&attr, attrs + offset, sizeof attr);
    if (attr.nla_len < sizeof(nlattr) || attr.nla_len > size - offset) return 0;
    if ((attr.nla_type & NLA_TYPE_MASK) == INET_DIAG_PROTOCOL && attr.nla_len > NLA_HDRLEN) {
      return attrs[offset + NLA_HDRLEN];
    }
    std::size_t step = NLA_ALIGN(attr.nla_len);
    if (step > size - offset) return 0;
    offset += step;
  }
  return 0;
}

}  // namespace

DiagStatus ParseDiagReply(const uint8_t* data, std::size_t size, uint32_t seq, uint8_t protocol,
                          std::vector<RawSocket>& out) {
  std::size_t offset = 0;
  while (size - offset >= sizeof(nlmsghdr)) {
    nlmsghdr header;
    std::memcpy(&header, data + offset, sizeof header);
    if (header.nlmsg_len < sizeof(nlmsghdr) || header.nlmsg_len > size - offset) return DiagStatus::kError;
    const uint8_t* payload = data + offset + NLMSG_HDRLEN;
    std::size_t payload_size = header.nlmsg_len - NLMSG_HDRLEN;
    std::size_t step = NLMSG_ALIGN(header.nlmsg_len);
    offset = step > size - offset ? size : offset + step;

    if (header.nlmsg_seq != seq) continue;  // a stray reply to an earlier request
    if (header.nlmsg_type == NLMSG_DONE) {
      int error = 0;
      if (payload_size >= sizeof error) std::memcpy(&error, payload, sizeof error);
      return error < 0 ? DiagStatus::kError : DiagStatus::kDone;
    }
    if (header.nlmsg_type == NLMSG_ERROR) return DiagStatus::kError;
    if (header.nlmsg_type != SOCK_DIAG_BY_FAMILY && header.nlmsg_type != TCPDIAG_GETSOCK) continue;
    if (payload_size < sizeof(inet_diag_msg)) return DiagStatus::kError;

    inet_diag_msg msg;
    std::memcpy(&msg, payload, sizeof msg);
    if (msg.idiag_family != AF_INET && msg.idiag_family != AF_INET6) continue;
    uint8_t own = protocol;
    if (own == 0) {
      const std::size_t attrs = NLMSG_ALIGN(sizeof msg);
      own = payload_size > attrs ? ProtocolAttribute(payload + attrs, payload_size - attrs) : 0;
      if (own != kProtoTcp && own != kProtoUdp) continue;
    }
    RawSocket& raw = out.emplace_back();
    raw.ipv6 = msg.idiag_family == AF_INET6;
    raw.protocol = own;
    raw.state = msg.idiag_state;
    raw.src_port = PortFromBytes(reinterpret_cast<const uint8_t*>(&msg.id.idiag_sport));
    raw.dst_port = PortFromBytes(reinterpret_cast<const uint8_t*>(&msg.id.idiag_dport));
    std::size_t address_size = raw.ipv6 ? 16 : 4;
    std::memcpy(raw.src.data(), msg.id.idiag_src, address_size);
    std::memcpy(raw.dst.data(), msg.id.idiag_dst, address_size);
    raw.inode = msg.idiag_inode;
    raw.uid = msg.idiag_uid;
    raw.cookie = uint64_t{msg.id.idiag_cookie[0]} | uint64_t{msg.id.idiag_cookie[1]} << 32;
  }
  // Trailing bytes too short for a header mean the datagram was cut.
  return offset == size ? DiagStatus::kMore : DiagStatus::kError;
}

namespace {

// The request of a dump: a family's sockets of one protocol, or (AF_UNSPEC,
// TCP only) the TCP sockets of both families in one walk of the kernel's
// table, by the older request that still serves both.
std::vector<uint8_t> DumpRequest(int family, uint8_t protocol, uint32_t seq,
                                 const std::vector<uint8_t>& bytecode, uint32_t states) {
  nlmsghdr header{};
  header.nlmsg_flags = NLM_F_REQUEST | NLM_F_DUMP;
  header.nlmsg_seq = seq;
  std::vector<uint8_t> request;
  if (family == AF_UNSPEC) {
    inet_diag_req both{};
    both.idiag_states = states;
    header.nlmsg_type = TCPDIAG_GETSOCK;
    request.resize(sizeof both);
    std::memcpy(request.data(), &both, sizeof both);
  } else {
    inet_diag_req_v2 one{};
    one.sdiag_family = static_cast<uint8_t>(family);
    one.sdiag_protocol = protocol;
    one.idiag_states = states;
    header.nlmsg_type = SOCK_DIAG_BY_FAMILY;
    request.resize(sizeof one);
    std::memcpy(request.data(), &one, sizeof one);
  }
  const std::size_t attribute = bytecode.empty() ? 0 : NLA_HDRLEN + bytecode.size();
  header.nlmsg_len = static_cast<uint32_t>(NLMSG_LENGTH(request.size()) + NLA_ALIGN(attribute));
  std::vector<uint8_t> message(header.nlmsg_len, 0);
  std::memcpy(message.data(), &header, sizeof header);
  std::memcpy(message.data() + NLMSG_HDRLEN, request.data(), request.size());
  if (!bytecode.empty()) {
    nlattr head{static_cast<uint16_t>(attribute), INET_DIAG_REQ_BYTECODE};
    uint8_t* at = message.data() + NLMSG_LENGTH(request.size());
    std::memcpy(at, &head, sizeof head);
    std::memcpy(at + NLA_HDRLEN, bytecode.data(), bytecode.size());
  }
  return message;
}

bool SendDumpRequest(int fd, const std::vector<uint8_t>& message) {
  sockaddr_nl kernel;
  std::memset(&kernel, 0, sizeof kernel);
  kernel.nl_family = AF_NETLINK;
  for (;;) {
    ssize_t sent =
        sendto(fd, message.data(), message.size(), 0, reinterpret_cast<sockaddr*>(&kernel), sizeof kernel);
    if (sent == static_cast<ssize_t>(message.size())) return true;
    if (sent < 0 && errno == EINTR) continue;
    return false;
  }
}

bool ReceiveDump(int fd, std::vector<uint8_t>& buffer, uint32_t seq, uint8_t protocol,
                 std::vector<RawSocket>& out) {
  if (buffer.size() != kReceiveBufferSize) buffer.resize(kReceiveBufferSize);
  for (;;) {
    sockaddr_nl sender;
    socklen_t sender_size = sizeof sender;
    ssize_t got = recvfrom(fd, buffer.data(), buffer.size(), MSG_TRUNC, reinterpret_cast<sockaddr*>(&sender),
                           &sender_size);
    if (got < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    if (static_cast<std::size_t>(got) > buffer.size()) return false;  // cut datagram: rows lost
    if (sender_size < sizeof sender || sender.nl_pid != 0) continue;  // only the kernel answers
    switch (ParseDiagReply(buffer.data(), static_cast<std::size_t>(got), seq, protocol, out)) {
      case DiagStatus::kMore:
        break;
      case DiagStatus::kDone:
        return true;
      case DiagStatus::kError:
        return false;
    }
  }
}

}  // namespace

namespace {

// A sock_diag socket that gives up on a kernel that never answers.
int OpenDiagSocket() {
  const int fd = socket(AF_NETLINK, SOCK_DGRAM | SOCK_CLOEXEC, NETLINK_SOCK_DIAG);
  timeval timeout{5, 0};
  if (fd >= 0) setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout);
  return fd;
}

}  // namespace

namespace {

bool Dump(TableReads& reads, int family, uint8_t protocol, const std::vector<uint8_t>& bytecode,
          uint32_t states, std::vector<RawSocket>& out) {
  std::size_t mark = out.size();
  const int fd = OpenDiagSocket();
  if (fd < 0) return false;
  uint32_t seq = ++reads.seq;
  bool ok = SendDumpRequest(fd, DumpRequest(family, protocol, seq, bytecode, states)) &&
            ReceiveDump(fd, reads.buffer, seq, protocol, out);
  close(fd);
  if (!ok) out.resize(mark);
  return ok;
}

}  // namespace

bool DumpByNetlink(TableReads& reads, int family, uint8_t protocol, const std::vector<uint8_t>& bytecode,
                   std::vector<RawSocket>& out) {
  return Dump(reads, family, protocol, bytecode,
              bytecode.empty() ? kAllTableStates : kAllTableStates & ~kListen, out);
}

bool DumpTcpListeners(TableReads& reads, std::vector<RawSocket>& out) {
  // Listening alone: the kernel walks its listening table and not the rest.
  return Dump(reads, AF_UNSPEC, kProtoTcp, {}, kListen, out);
}

bool StillHeld(TableReads& reads, const RawSocket& socket) {
  inet_diag_req_v2 request{};
  request.sdiag_family = socket.ipv6 ? AF_INET6 : AF_INET;
  request.sdiag_protocol = socket.protocol;
  request.idiag_states = ~0u;
  request.id.idiag_sport = htons(socket.src_port);
  request.id.idiag_dport = htons(socket.dst_port);
  const std::size_t address_size = socket.ipv6 ? 16 : 4;
  std::memcpy(request.id.idiag_src, socket.src.data(), address_size);
  std::memcpy(request.id.idiag_dst, socket.dst.data(), address_size);
  request.id.idiag_cookie[0] = static_cast<uint32_t>(socket.cookie);
  request.id.idiag_cookie[1] = static_cast<uint32_t>(socket.cookie >> 32);
  nlmsghdr header{};
  header.nlmsg_len = NLMSG_LENGTH(sizeof request);
  header.nlmsg_type = SOCK_DIAG_BY_FAMILY;
  header.nlmsg_flags = NLM_F_REQUEST;
  header.nlmsg_seq = ++reads.seq;
  std::vector<uint8_t> message(header.nlmsg_len);
  std::memcpy(message.data(), &header, sizeof header);
  std::memcpy(message.data() + NLMSG_HDRLEN, &request, sizeof request);

  const int fd = OpenDiagSocket();
  if (fd < 0) return true;
  // The answer is one datagram: the socket, or the error that it is gone.
  bool held = true;
  ssize_t got = -1;
  if (SendDumpRequest(fd, message)) {
    if (reads.buffer.size() != kReceiveBufferSize) reads.buffer.resize(kReceiveBufferSize);
    do {
      got = recv(fd, reads.buffer.data(), reads.buffer.size(), 0);
    } while (got < 0 && errno == EINTR);
  }
  close(fd);
  if (got >= static_cast<ssize_t>(NLMSG_HDRLEN + sizeof(int))) {
    nlmsghdr reply;
    std::memcpy(&reply, reads.buffer.data(), sizeof reply);
    std::vector<RawSocket> found;
    if (reply.nlmsg_type == NLMSG_ERROR) {
      int error;
      std::memcpy(&error, reads.buffer.data() + NLMSG_HDRLEN, sizeof error);
      held = error != -ENOENT;
    } else if (ParseDiagReply(reads.buffer.data(), static_cast<std::size_t>(got), header.nlmsg_seq,
                              socket.protocol, found) == DiagStatus::kMore &&
               !found.empty()) {
      held = found.front().inode != 0;
    }
  }
  return held;
}

}  // namespace sockvane::source
