#include "source/short_lived_linux.h"

#include <gtest/gtest.h>
#include <linux/inet_diag.h>
#include <linux/netlink.h>
#include <linux/sock_diag.h>
#include <netinet/in.h>

#include <cstring>

#include "source/netlink_linux.h"

namespace sockvane::source {
namespace {

constexpr uint8_t kTcpClose = 7;
constexpr uint8_t kTcpTimeWait = 6;
constexpr uint8_t kTcpEstablished = 1;

// A destroy notification as the kernel multicasts it: sequence 0, the
// protocol in an attribute after the message.
void AppendNotice(std::vector<uint8_t>& buf, uint8_t family, int protocol, uint8_t state, uint16_t sport,
                  uint16_t dport, uint64_t cookie) {
  inet_diag_msg msg{};
  msg.idiag_family = family;
  msg.idiag_state = state;
  msg.id.idiag_sport = htons(sport);
  msg.id.idiag_dport = htons(dport);
  msg.id.idiag_src[0] = htonl(0x7f000001);
  msg.id.idiag_dst[0] = htonl(0x7f000002);
  msg.id.idiag_cookie[0] = static_cast<uint32_t>(cookie);
  msg.id.idiag_cookie[1] = static_cast<uint32_t>(cookie >> 32);
  std::vector<uint8_t> payload(NLMSG_ALIGN(sizeof msg));
  std::memcpy(payload.data(), &msg, sizeof msg);
  // An attribute the parser must step over, then the protocol.
  auto attribute = [&payload](uint16_t type, std::vector<uint8_t> value) {
    nlattr attr{static_cast<uint16_t>(NLA_HDRLEN + value.size()), type};
    std::size_t start = payload.size();
    payload.resize(start + NLA_ALIGN(attr.nla_len));
    std::memcpy(payload.data() + start, &attr, sizeof attr);
    std::memcpy(payload.data() + start + NLA_HDRLEN, value.data(), value.size());
  };
  attribute(INET_DIAG_SHUTDOWN, {3});
  if (protocol >= 0) attribute(INET_DIAG_PROTOCOL, {static_cast<uint8_t>(protocol)});
  nlmsghdr header{};
  header.nlmsg_len = static_cast<uint32_t>(NLMSG_LENGTH(payload.size()));
  header.nlmsg_type = SOCK_DIAG_BY_FAMILY;
  std::size_t start = buf.size();
  buf.resize(start + NLMSG_ALIGN(header.nlmsg_len));
  std::memcpy(buf.data() + start, &header, sizeof header);
  std::memcpy(buf.data() + start + NLMSG_HDRLEN, payload.data(), payload.size());
}

TEST(DestroyNotice, ProtocolAndCookieComeFromTheMessage) {
  std::vector<uint8_t> buf;
  AppendNotice(buf, AF_INET, IPPROTO_TCP, kTcpClose, 40000, 80, 0x1122334455667788ull);
  AppendNotice(buf, AF_INET6, IPPROTO_UDP, kTcpEstablished, 5353, 53, 9);
  AppendNotice(buf, AF_INET, -1, kTcpClose, 1, 2, 3);            // no protocol: skipped
  AppendNotice(buf, AF_INET, IPPROTO_SCTP, kTcpClose, 1, 2, 4);  // not ours: skipped
  std::vector<RawSocket> rows;
  EXPECT_EQ(ParseDiagReply(buf.data(), buf.size(), 0, 0, rows), DiagStatus::kMore);
  ASSERT_EQ(rows.size(), 2u);
  EXPECT_EQ(rows[0].protocol, kProtoTcp);
  EXPECT_EQ(rows[0].cookie, 0x1122334455667788ull);
  EXPECT_EQ(rows[0].src_port, 40000);
  EXPECT_EQ(rows[0].dst_port, 80);
  EXPECT_FALSE(rows[0].ipv6);
  EXPECT_EQ(rows[1].protocol, kProtoUdp);
  EXPECT_TRUE(rows[1].ipv6);
  EXPECT_EQ(rows[1].cookie, 9u);

  // Every cut of the datagram is refused or parsed without reading past it.
  for (std::size_t size = 0; size < buf.size(); ++size) {
    std::vector<uint8_t> cut(buf.begin(), buf.begin() + static_cast<std::ptrdiff_t>(size));
    std::vector<RawSocket> some;
    ParseDiagReply(cut.data(), cut.size(), 0, 0, some);
    EXPECT_LE(some.size(), 2u);
  }
}

RawSocket Sock(uint8_t protocol, uint16_t sport, uint16_t dport, uint64_t cookie, uint8_t state = kTcpClose) {
  RawSocket raw;
  raw.protocol = protocol;
  raw.state = state;
  raw.src = {127, 0, 0, 1};
  raw.dst = {127, 0, 0, 1};
  raw.src_port = sport;
  raw.dst_port = dport;
  raw.cookie = cookie;
  return raw;
}

TracedSocket Trace(uint8_t protocol, uint16_t sport, uint16_t dport, uint64_t cookie, uint32_t pid,
                   uint64_t when_ns, std::string name = "curl") {
  TracedSocket t;
  t.protocol = protocol;
  t.src = {127, 0, 0, 1};
  t.dst = {127, 0, 0, 1};
  t.src_port = sport;
  t.dst_port = dport;
  t.cookie = cookie;
  t.pid = pid;
  t.when_ns = when_ns;
  t.name = std::move(name);
  return t;
}

TEST(SeenReads, ACookieCountsUntilLongAfterItLeftAndATupleOnlyWithoutOne) {
  SeenReads seen;
  RawSocket polled = Sock(kProtoTcp, 1000, 80, 77, kTcpEstablished);
  NoteRead(seen, {polled}, 0);
  RawSocket same_tuple_other_socket = polled;
  same_tuple_other_socket.cookie = 78;
  EXPECT_TRUE(SeenByRead(seen, polled));
  EXPECT_FALSE(SeenByRead(seen, same_tuple_other_socket)) << "a reused tuple is another socket";
  NoteRead(seen, {}, 50);
  NoteRead(seen, {}, 100);
  EXPECT_TRUE(SeenByRead(seen, polled)) << "a late notification still finds the read that saw it";
  // Reset, then closed by its holder many reads later: still the socket the polls told.
  for (int64_t t = 150; t <= 50 + kDepartedMs; t += 50) NoteRead(seen, {}, t);
  EXPECT_TRUE(SeenByRead(seen, polled));
  NoteRead(seen, {}, 51 + kDepartedMs);
  EXPECT_FALSE(SeenByRead(seen, polled));

  RawSocket from_proc = polled;
  from_proc.cookie = 0;
  NoteRead(seen, {from_proc}, 60000);
  EXPECT_TRUE(SeenByRead(seen, same_tuple_other_socket)) << "no cookie read: the tuple decides";
}

TEST(PickShortLived, WhoAndWhetherToReport) {
  struct Case {
    const char* name;
    std::vector<RawSocket> read;  // the last read of the table
    std::vector<TracedSocket> traced;
    RawSocket destroyed;
    bool reported;
    uint32_t pid;
    uint16_t dst_port;
    uint64_t life_ns;
  };
  const RawSocket tw = Sock(kProtoTcp, 1000, 80, 500, kTcpTimeWait);
  const std::vector<Case> cases = {
      {"unseen, no tracer", {}, {}, Sock(kProtoTcp, 1000, 80, 1), true, 0, 80, 0},
      {"seen only before its connect",
       {Sock(kProtoUdp, 1000, 0, 1, 7)},
       {},
       Sock(kProtoUdp, 1000, 53, 1, kTcpEstablished),
       true,
       0,
       53,
       0},
      {"seen by a read",
       {Sock(kProtoTcp, 1000, 80, 1, kTcpEstablished)},
       {},
       Sock(kProtoTcp, 1000, 80, 1),
       false,
       0,
       0,
       0},
      {"ownerless beside its TIME_WAIT row", {tw}, {}, Sock(kProtoTcp, 1000, 80, 2), false, 0, 0, 0},
      {"TIME_WAIT of another tuple", {tw}, {}, Sock(kProtoTcp, 1001, 80, 2), true, 0, 80, 0},
      {"owner known beside its TIME_WAIT row",
       {tw},
       {Trace(kProtoTcp, 1000, 80, 2, 42, 10)},
       Sock(kProtoTcp, 1000, 80, 2),
       true,
       42,
       80,
       0},
      // The kernel's TIME_WAIT remnant carries the cookie of the socket it replaced.
      {"owner known, its remnant carries its cookie",
       {Sock(kProtoTcp, 1000, 80, 2, kTcpTimeWait)},
       {Trace(kProtoTcp, 1000, 80, 2, 42, 10)},
       Sock(kProtoTcp, 1000, 80, 2),
       true,
       42,
       80,
       0},
      {"ownerless, its remnant carries its cookie",
       {Sock(kProtoTcp, 1000, 80, 2, kTcpTimeWait)},
       {},
       Sock(kProtoTcp, 1000, 80, 2),
       false,
       0,
       0,
       0},
      {"UDP has no TIME_WAIT",
       {Sock(kProtoTcp, 1000, 80, 500, kTcpTimeWait)},
       {},
       Sock(kProtoUdp, 1000, 80, 2, kTcpEstablished),
       true,
       0,
       80,
       0},
      {"owner by cookie, life from first to last record",
       {},
       {Trace(kProtoTcp, 1000, 80, 3, 42, 100), Trace(kProtoTcp, 1000, 80, 3, 43, 5100)},
       Sock(kProtoTcp, 1000, 80, 3),
       true,
       42,
       80,
       5000},
      {"a record without a cookie names nothing, whatever its tuple",
       {},
       {Trace(kProtoUdp, 1000, 53, 0, 7, 1)},
       Sock(kProtoUdp, 1000, 53, 4, kTcpEstablished),
       true,
       0,
       53,
       0},
      {"cookies differ: not that socket",
       {},
       {Trace(kProtoTcp, 1000, 80, 99, 7, 1)},
       Sock(kProtoTcp, 1000, 80, 4),
       true,
       0,
       80,
       0},
      {"reset, no record: no destination to report", {}, {}, Sock(kProtoTcp, 1000, 0, 5), false, 0, 0, 0},
      {"reset, the tracer's tuple restores it",
       {},
       {Trace(kProtoTcp, 1000, 80, 5, 9, 1)},
       Sock(kProtoTcp, 1000, 0, 5),
       true,
       9,
       80,
       0},
      {"reset, record of another socket with its tuple",
       {},
       {Trace(kProtoTcp, 1000, 80, 55, 9, 1)},
       Sock(kProtoTcp, 1000, 0, 5),
       false,
       0,
       0,
       0},
      {"record without a PID",
       {},
       {Trace(kProtoTcp, 1000, 80, 6, 0, 1)},
       Sock(kProtoTcp, 1000, 80, 6),
       true,
       0,
       80,
       0},
      {"unconnected UDP is left to the filters", {}, {}, Sock(kProtoUdp, 1000, 0, 7, 7), true, 0, 0, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    SeenReads seen;
    NoteRead(seen, c.read, 0);
    std::vector<ShortLivedSocket> out;
    ShortLivedTally tally;
    PickShortLived({c.destroyed}, c.traced, seen, out, tally);
    ASSERT_EQ(out.size(), c.reported ? 1u : 0u);
    EXPECT_EQ(tally.destroyed, 1u);
    EXPECT_EQ(tally.reported + tally.seen + tally.time_wait + tally.no_peer, 1u);
    if (!c.reported) continue;
    EXPECT_EQ(out[0].pid, c.pid);
    EXPECT_EQ(out[0].raw.dst_port, c.dst_port);
    EXPECT_EQ(out[0].life_ns, c.life_ns);
    EXPECT_EQ(out[0].name, c.pid != 0 ? "curl" : "");
  }
}

// A connection its process closed that the reads first list as an ownerless
// remnant is told once, under that process, as a read before the close would
// have listed it; its destroy notification then tells nothing more.
TEST(PickClosedRemnants, ToldOnceUnderTheProcessThatClosedIt) {
  constexpr uint8_t kFinWait2 = 5, kLastAck = 9, kCloseWait = 8, kFinWait1 = 4;
  const auto closed_by = [](uint64_t cookie, uint8_t from, uint8_t to) {
    TracedSocket t = Trace(kProtoTcp, 1000, 80, cookie, 42, 20);
    t.kind = TraceKind::kState;
    t.old_state = from;
    t.state = to;
    return t;
  };
  struct Case {
    const char* name;
    std::vector<RawSocket> earlier;  // the read before
    RawSocket row;
    std::vector<TracedSocket> traced;
    uint8_t state;  // told with; 0: not told
  };
  const RawSocket tw = Sock(kProtoTcp, 1000, 80, 2, kTcpTimeWait);
  const std::vector<Case> cases = {
      {"TIME_WAIT first seen, connect record",
       {},
       tw,
       {Trace(kProtoTcp, 1000, 80, 2, 42, 10)},
       kTcpEstablished},
      {"FIN_WAIT2 first seen, the owner's close",
       {},
       Sock(kProtoTcp, 1000, 80, 2, kFinWait2),
       {Trace(kProtoTcp, 1000, 80, 2, 42, 10), closed_by(2, kTcpEstablished, kFinWait1)},
       kTcpEstablished},
      {"LAST_ACK: closed after its peer",
       {},
       Sock(kProtoTcp, 1000, 80, 2, kLastAck),
       {closed_by(2, kCloseWait, kLastAck)},
       kCloseWait},
      {"listed before, with its owner",
       {Sock(kProtoTcp, 1000, 80, 2, kTcpEstablished)},
       tw,
       {Trace(kProtoTcp, 1000, 80, 2, 42, 10)},
       0},
      {"its TIME_WAIT row listed before", {tw}, tw, {Trace(kProtoTcp, 1000, 80, 2, 42, 10)}, 0},
      {"no record", {}, tw, {}, 0},
      {"a record of another cookie", {}, tw, {Trace(kProtoTcp, 1000, 80, 3, 42, 10)}, 0},
      {"still held: shut down, not closed",
       {},
       [] {
         RawSocket held = Sock(kProtoTcp, 1000, 80, 2, kFinWait2);
         held.inode = 7;
         return held;
       }(),
       {Trace(kProtoTcp, 1000, 80, 2, 42, 10)},
       0},
      {"not a remnant",
       {},
       Sock(kProtoTcp, 1000, 80, 2, kTcpEstablished),
       {Trace(kProtoTcp, 1000, 80, 2, 42, 10)},
       0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    SeenReads seen;
    NoteRead(seen, c.earlier, 0);
    std::vector<ShortLivedSocket> told;
    PickClosedRemnants({c.row}, c.traced, seen, told);
    ASSERT_EQ(told.size(), c.state != 0 ? 1u : 0u);
    if (c.state == 0) continue;
    EXPECT_EQ(told[0].pid, 42u);
    EXPECT_EQ(told[0].name, "curl");
    EXPECT_EQ(told[0].raw.state, c.state);
    NoteRead(seen, {c.row}, 0);
    MarkSeen(seen, c.row.cookie);
    std::vector<ShortLivedSocket> again;
    ShortLivedTally tally;
    PickShortLived({Sock(kProtoTcp, 1000, 80, c.row.cookie)}, c.traced, seen, again, tally);
    EXPECT_TRUE(again.empty());
    PickClosedRemnants({c.row}, c.traced, seen, again);
    EXPECT_TRUE(again.empty());
  }
}

}  // namespace
}  // namespace sockvane::source

namespace sockvane::source {
namespace {

// The tracer's owner stands in only where the descriptor search found none,
// and never for a TIME_WAIT remnant, which no process holds; the name it
// recorded comes along.
TEST(GiveTracedOwners, OnlyWhereTheSearchFoundNone) {
  struct Case {
    const char* name;
    RawSocket row;
    uint64_t inode;
    uint32_t searched;  // the search's answer
    std::vector<TracedSocket> traced;
    uint32_t want;
    bool closes_only = false;  // the walk found nobody holding it
  };
  const auto released_by = [](uint32_t pid) {
    TracedSocket t = Trace(kProtoTcp, 0, 0, 9, pid, 2);
    t.kind = TraceKind::kRelease;
    return t;
  };
  const std::vector<Case> cases = {
      {"closed since the read: its closer",
       Sock(kProtoTcp, 1000, 80, 9, kTcpEstablished),
       5,
       0,
       {Trace(kProtoTcp, 1000, 80, 9, 42, 1), released_by(43)},
       43,
       true},
      {"in flight, never closed: a connect names nobody",
       Sock(kProtoTcp, 1000, 80, 9, kTcpEstablished),
       5,
       0,
       {Trace(kProtoTcp, 1000, 80, 9, 42, 1)},
       0,
       true},
      {"by cookie",
       Sock(kProtoTcp, 1000, 80, 9, kTcpEstablished),
       5,
       0,
       {Trace(kProtoTcp, 1000, 80, 9, 42, 1)},
       42},
      {"not by tuple: a record without a cookie",
       Sock(kProtoUdp, 1000, 53, 9, 7),
       5,
       0,
       {Trace(kProtoUdp, 1000, 53, 0, 43, 1)},
       0},
      {"the later record wins",
       Sock(kProtoTcp, 1000, 80, 9, kTcpEstablished),
       5,
       0,
       {Trace(kProtoTcp, 1000, 80, 9, 42, 1), Trace(kProtoTcp, 1000, 80, 9, 44, 2)},
       44},
      {"the search's owner stays",
       Sock(kProtoTcp, 1000, 80, 9, kTcpEstablished),
       5,
       7,
       {Trace(kProtoTcp, 1000, 80, 9, 42, 1)},
       7},
      {"a remnant has no file",
       Sock(kProtoTcp, 1000, 80, 9, kTcpTimeWait),
       0,
       0,
       {Trace(kProtoTcp, 1000, 80, 9, 42, 1)},
       0},
      {"another port",
       Sock(kProtoTcp, 1001, 80, 0, kTcpEstablished),
       5,
       0,
       {Trace(kProtoTcp, 1000, 80, 0, 42, 1)},
       0},
      {"no PID in the record",
       Sock(kProtoTcp, 1000, 80, 9, kTcpEstablished),
       5,
       0,
       {Trace(kProtoTcp, 1000, 80, 9, 0, 1)},
       0},
      {"no name in the record",
       Sock(kProtoTcp, 1000, 80, 9, kTcpEstablished),
       5,
       0,
       {Trace(kProtoTcp, 1000, 80, 9, 45, 1, "")},
       45},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    RawSocket row = c.row;
    row.inode = c.inode;
    std::vector<uint32_t> pids = {c.searched};
    std::unordered_map<uint32_t, std::string> names;
    GiveTracedOwners({row}, c.traced, c.closes_only, pids, names);
    EXPECT_EQ(pids[0], c.want);
    // A name only for an owner the tracer gave, and only the one it recorded.
    const bool given = c.want != 0 && c.want != c.searched;
    const std::string recorded = given ? c.traced.back().name : "";
    EXPECT_EQ(names.count(c.want), given && !recorded.empty() ? 1u : 0u);
    if (given && !recorded.empty()) {
      EXPECT_EQ(names.at(c.want), recorded);
    }
    EXPECT_LE(names.size(), 1u);
  }
}

}  // namespace
}  // namespace sockvane::source
