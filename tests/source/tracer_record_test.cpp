#include "source/tracer_record.h"

#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "source/bpf/owners_record.h"

namespace sockvane::source {
namespace {

// A record as the BPF side lays it out: the fixed part, then `name` bytes.
std::vector<uint8_t> Record(const sv_owner_record& head, const std::string& name) {
  std::vector<uint8_t> bytes(SV_RECORD_HEAD + name.size());
  std::memcpy(bytes.data(), &head, SV_RECORD_HEAD);
  std::memcpy(bytes.data() + SV_RECORD_HEAD, name.data(), name.size());
  return bytes;
}

sv_owner_record TcpHead() {
  sv_owner_record head{};
  head.cookie = 0x1122334455667788ULL;
  head.when_ns = 987654321;
  head.task_start_ns = 42;
  head.tgid = 4321;
  head.src_port = 40000;
  head.dst_port = 443;
  head.protocol = 6;
  head.state = 4;
  head.old_state = 1;
  head.kind = SV_KIND_STATE;
  head.family = SV_FAMILY_INET;
  const uint8_t src[4] = {127, 0, 0, 1};
  const uint8_t dst[4] = {10, 1, 2, 3};
  std::memcpy(head.src, src, 4);
  std::memcpy(head.dst, dst, 4);
  return head;
}

TEST(DecodeOwnerRecord, CarriesEveryField) {
  sv_owner_record head = TcpHead();
  head.name_len = 4;
  const auto bytes = Record(head, "curl");
  TracedSocket got;
  uint64_t start = 0;
  ASSERT_TRUE(DecodeOwnerRecord(bytes.data(), bytes.size(), got, start));
  EXPECT_EQ(got.cookie, 0x1122334455667788ULL);
  EXPECT_EQ(got.when_ns, 987654321u);
  EXPECT_EQ(got.pid, 4321u);
  EXPECT_EQ(got.src_port, 40000);
  EXPECT_EQ(got.dst_port, 443);
  EXPECT_EQ(got.protocol, 6);
  EXPECT_EQ(got.state, 4);
  EXPECT_EQ(got.old_state, 1);
  EXPECT_EQ(got.kind, TraceKind::kState);
  EXPECT_FALSE(got.ipv6);
  EXPECT_EQ(got.src, (std::array<uint8_t, 16>{127, 0, 0, 1}));
  EXPECT_EQ(got.dst, (std::array<uint8_t, 16>{10, 1, 2, 3}));
  EXPECT_EQ(got.name, "curl");
  EXPECT_EQ(start, 42u);
}

TEST(DecodeOwnerRecord, Ipv6KeepsAllSixteenBytesAndIpv4OnlyFour) {
  sv_owner_record head = TcpHead();
  head.family = SV_FAMILY_INET6;
  for (int i = 0; i < 16; ++i) {
    head.src[i] = static_cast<uint8_t>(i + 1);
    head.dst[i] = static_cast<uint8_t>(0xF0 + i);
  }
  auto bytes = Record(head, "");
  TracedSocket got;
  uint64_t start = 0;
  ASSERT_TRUE(DecodeOwnerRecord(bytes.data(), bytes.size(), got, start));
  EXPECT_TRUE(got.ipv6);
  EXPECT_EQ(got.src[15], 16);
  EXPECT_EQ(got.dst[0], 0xF0);

  // Whatever an IPv4 record holds past its address is not an address.
  head.family = SV_FAMILY_INET;
  bytes = Record(head, "");
  ASSERT_TRUE(DecodeOwnerRecord(bytes.data(), bytes.size(), got, start));
  EXPECT_EQ(got.src, (std::array<uint8_t, 16>{1, 2, 3, 4}));
  EXPECT_EQ(got.dst, (std::array<uint8_t, 16>{0xF0, 0xF1, 0xF2, 0xF3}));
}

TEST(DecodeOwnerRecord, DatagramSocketsHaveNoState) {
  sv_owner_record head = TcpHead();
  head.kind = SV_KIND_CONNECT;
  head.protocol = 17;
  head.state = 7;  // whatever the socket's field held
  const auto bytes = Record(head, "");
  TracedSocket got;
  uint64_t start = 0;
  ASSERT_TRUE(DecodeOwnerRecord(bytes.data(), bytes.size(), got, start));
  EXPECT_EQ(got.protocol, 17);
  EXPECT_EQ(got.state, 0);
}

TEST(DecodeOwnerRecord, NamesAreBytesUpToTheirLengthOrFirstNul) {
  struct Case {
    std::string sent;
    uint16_t name_len;
    std::string want;
  };
  const std::string longest(SV_NAME_MAX, 'x');
  const Case cases[] = {
      {"", 0, ""},
      {"nginx: worker", 13, "nginx: worker"},
      {"a\tb\x1b[31m\xff", 9, "a\tb\x1b[31m\xff"},  // hostile bytes pass; output escapes them
      {std::string("ab\0cd", 5), 5, "ab"},
      {"python3.11", 6, "python"},  // the length rules, not the bytes after it
      {longest, SV_NAME_MAX, longest},
  };
  for (const Case& c : cases) {
    sv_owner_record head = TcpHead();
    head.name_len = c.name_len;
    const auto bytes = Record(head, c.sent);
    TracedSocket got;
    uint64_t start = 0;
    ASSERT_TRUE(DecodeOwnerRecord(bytes.data(), bytes.size(), got, start)) << c.sent;
    EXPECT_EQ(got.name, c.want);
  }
}

TEST(DecodeOwnerRecord, RefusesMalformedRecords) {
  struct Case {
    const char* what;
    std::size_t size_change;  // bytes cut off the end
    uint16_t name_len;
    uint8_t family;
    uint8_t protocol;
    uint8_t kind = SV_KIND_STATE;
    uint64_t cookie = 1;
  };
  const Case cases[] = {
      {"name longer than the record", 0, 6, SV_FAMILY_INET, 6},
      {"name longer than a file name", 0, SV_NAME_MAX + 1, SV_FAMILY_INET, 6},
      {"shorter than the fixed part", SV_RECORD_HEAD - 4 + 1, 0, SV_FAMILY_INET, 6},
      {"unknown family", 0, 0, 1, 6},
      {"unknown protocol", 0, 0, SV_FAMILY_INET, 132},
      {"unknown kind", 0, 0, SV_FAMILY_INET, 6, 0},
      {"a state change of a datagram socket", 0, 0, SV_FAMILY_INET, 17, SV_KIND_STATE},
      // Matched by cookie alone: a record without one belongs to no socket.
      {"no cookie", 0, 0, SV_FAMILY_INET, 6, SV_KIND_RELEASE, 0},
  };
  for (const Case& c : cases) {
    sv_owner_record head = TcpHead();
    head.name_len = c.name_len;
    head.family = c.family;
    head.protocol = c.protocol;
    head.kind = c.kind;
    head.cookie = c.cookie;
    auto bytes = Record(head, "curl");
    bytes.resize(bytes.size() - c.size_change);
    TracedSocket got;
    uint64_t start = 0;
    EXPECT_FALSE(DecodeOwnerRecord(bytes.data(), bytes.size(), got, start)) << c.what;
  }
  TracedSocket got;
  uint64_t start = 0;
  EXPECT_FALSE(DecodeOwnerRecord(nullptr, 0, got, start));
}

TEST(CarryOwnerName, GivesANamelessRecordItsProcessesEarlierName) {
  OwnerNames names;
  TracedSocket connect;
  connect.pid = 100;
  connect.name = "curl";
  CarryOwnerName(names, 7, connect);
  EXPECT_EQ(connect.name, "curl");

  TracedSocket exit_close;
  exit_close.pid = 100;
  CarryOwnerName(names, 7, exit_close);
  EXPECT_EQ(exit_close.name, "curl");

  // The same PID in a later process is someone else.
  TracedSocket reused;
  reused.pid = 100;
  CarryOwnerName(names, 8, reused);
  EXPECT_EQ(reused.name, "");

  // A process that runs a new image keeps its PID and start: the newest name counts.
  TracedSocket after_exec;
  after_exec.pid = 100;
  after_exec.name = "wget";
  CarryOwnerName(names, 7, after_exec);
  TracedSocket later;
  later.pid = 100;
  CarryOwnerName(names, 7, later);
  EXPECT_EQ(later.name, "wget");
}

TEST(CarryOwnerName, StaysWithinItsLimit) {
  OwnerNames names;
  for (uint32_t pid = 1; pid <= 10; ++pid) {
    TracedSocket s;
    s.pid = pid;
    s.name = "p" + std::to_string(pid);
    CarryOwnerName(names, 0, s, 4);
    EXPECT_LE(names.by_task.size(), 4u);
  }
  TracedSocket newest;
  newest.pid = 10;
  CarryOwnerName(names, 0, newest, 4);
  EXPECT_EQ(newest.name, "p10");
}

// The walk's output as the iterator writes it.
struct WalkBytes {
  std::vector<uint8_t> bytes;
  WalkBytes& Name(uint32_t tgid, const std::string& name, uint32_t len) {
    Entry(0, tgid, len);
    std::string padded = name;
    padded.resize((name.size() + 7) / 8 * 8, '\0');
    bytes.insert(bytes.end(), padded.begin(), padded.end());
    return *this;
  }
  WalkBytes& Table(uint32_t tgid, uint64_t print) {
    const sv_walked_table entry{0, tgid, SV_TABLE_ENTRY, print};
    const auto* raw = reinterpret_cast<const uint8_t*>(&entry);
    bytes.insert(bytes.end(), raw, raw + sizeof entry);
    return *this;
  }
  WalkBytes& Entry(uint64_t inode, uint32_t tgid, uint32_t fd) {
    const sv_held_socket entry{inode, tgid, fd};
    const auto* raw = reinterpret_cast<const uint8_t*>(&entry);
    bytes.insert(bytes.end(), raw, raw + sizeof entry);
    return *this;
  }
};

TEST(DecodeHeldSockets, TakesWholeEntriesAndLeavesACutOne) {
  const auto walk = WalkBytes()
                        .Name(10, "nginx", 5)
                        .Entry(111, 10, 3)
                        .Entry(112, 10, 4)
                        .Table(10, 0x1111)
                        .Table(10, 0x2222)  // a thread's own table
                        .Table(15, 0)
                        .Name(20, std::string("a\nb\0c", 5), 5)
                        .Entry(113, 20, 7)
                        .Table(20, ~uint64_t{0})
                        .bytes;
  // Every cut, as one read() may end anywhere: the whole comes out the same.
  for (std::size_t cut = 0; cut <= walk.size(); ++cut) {
    HeldSockets out;
    std::size_t used = 0;
    ASSERT_TRUE(DecodeHeldSockets(walk.data(), cut, out, used)) << cut;
    ASSERT_LE(used, cut);
    std::vector<uint8_t> rest(walk.begin() + static_cast<std::ptrdiff_t>(used), walk.end());
    std::size_t rest_used = 0;
    ASSERT_TRUE(DecodeHeldSockets(rest.data(), rest.size(), out, rest_used)) << cut;
    ASSERT_EQ(rest_used, rest.size()) << cut;
    ASSERT_EQ(out.sockets.size(), 3u) << cut;
    EXPECT_EQ(out.sockets[1].inode, 112u);
    EXPECT_EQ(out.sockets[2].pid, 20u);
    EXPECT_EQ(out.sockets[2].fd, 7u);
    EXPECT_EQ(out.names[10], "nginx");
    EXPECT_EQ(out.names[20], "a\nb");  // up to the first NUL
    EXPECT_EQ(out.prints,
              (std::unordered_map<uint32_t, uint64_t>{{10, 0x3333}, {15, 0}, {20, ~uint64_t{0}}}));
  }
}

TEST(DecodeHeldSockets, RefusesMalformedEntries) {
  const std::vector<std::vector<uint8_t>> cases = {
      WalkBytes().Entry(5, 0, 1).bytes,                  // no process
      WalkBytes().Name(10, "x", SV_NAME_MAX + 1).bytes,  // a name longer than a file name
  };
  for (const auto& bytes : cases) {
    HeldSockets out;
    std::size_t used = 0;
    EXPECT_FALSE(DecodeHeldSockets(bytes.data(), bytes.size(), out, used));
  }
}

TEST(Cgroup2Mount, FindsTheRootOfTheHierarchy) {
  struct Case {
    const char* mountinfo;
    const char* want;
  };
  const Case cases[] = {
      {"24 1 0:22 / /sys/fs/cgroup rw,nosuid shared:9 - cgroup2 cgroup2 rw\n", "/sys/fs/cgroup"},
      // Hybrid: the v1 controllers first, the unified hierarchy elsewhere; no optional fields.
      {"30 25 0:26 / /sys/fs/cgroup/cpu rw - cgroup cgroup rw,cpu\n"
       "35 25 0:31 / /sys/fs/cgroup/unified rw,relatime - cgroup2 cgroup2 rw\n",
       "/sys/fs/cgroup/unified"},
      // A bind mount of one group sees only that group; an escaped blank in the path.
      {"40 1 0:22 /system.slice /mnt/part rw - cgroup2 cgroup2 rw\n"
       "41 1 0:22 / /mnt/with\\040blank rw master:2 - cgroup2 none rw\n",
       "/mnt/with blank"},
      {"40 1 0:22 /system.slice /mnt/part rw - cgroup2 cgroup2 rw\n", ""},
      {"22 1 8:1 / / rw - ext4 /dev/sda1 rw\n", ""},
      {"cgroup2 - cgroup2\n- cgroup2\n\n", ""},
  };
  for (const Case& c : cases) EXPECT_EQ(Cgroup2Mount(c.mountinfo), c.want) << c.mountinfo;
}

}  // namespace
}  // namespace sockvane::source
