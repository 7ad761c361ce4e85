#include "source/dump_filter_linux.h"

#include <linux/inet_diag.h>
#include <sys/socket.h>

#include <algorithm>
#include <cstring>

namespace sockvane::source {
namespace {

// Longer clauses are left out: every op in them costs the kernel time on
// every socket it walks, and the program must stay well within 64 KiB.
constexpr std::size_t kMaxClauseOps = 256;

// Where a test that fails goes: the next alternative of its clause, the next
// clause, or past the end (the kernel's way to drop the socket). A test that
// holds goes on to the next op.
enum class Target { kNextAlternative, kNextClause, kDrop };

struct Op {
  uint8_t code = INET_DIAG_BC_NOP;
  Target no = Target::kDrop;
  std::vector<uint8_t> operand;  // a port op or a host condition
  int clause = 0;
  int alternative = 0;
};

// A clause holds when one of its alternatives holds; an alternative holds
// when all its tests do.
struct Program {
  std::vector<Op> ops;
  int clause = 0;
  int alternative = 0;
  void Add(uint8_t code, Target no, std::vector<uint8_t> operand = {}) {
    ops.push_back(Op{code, no, std::move(operand), clause, alternative});
  }
  void EndAlternative() { ++alternative; }
  // Ends the clause begun at op `begin`, leaving it out when it is too long.
  void EndClause(std::size_t begin) {
    if (ops.size() - begin > kMaxClauseOps) ops.resize(begin);
    ++alternative;
    ++clause;
  }
};

template <typename T>
std::vector<uint8_t> Bytes(const T& value) {
  std::vector<uint8_t> bytes(sizeof value);
  std::memcpy(bytes.data(), &value, sizeof value);
  return bytes;
}

// A port comparison keeps its port in the `no` of a second op.
std::vector<uint8_t> PortOperand(uint16_t port) {
  inet_diag_bc_op op{};
  op.no = port;
  return Bytes(op);
}

std::vector<uint8_t> HostOperand(const track::Prefix& prefix) {
  const bool ipv4 = IsIpv4Prefix(prefix);
  inet_diag_hostcond cond{};
  cond.family = ipv4 ? AF_INET : AF_INET6;
  cond.prefix_len = static_cast<uint8_t>(ipv4 ? prefix.length - 96 : prefix.length);
  cond.port = -1;
  std::vector<uint8_t> bytes(sizeof cond);
  std::memcpy(bytes.data(), &cond, sizeof cond);
  if (ipv4) {
    bytes.insert(bytes.end(), prefix.address.begin() + 12, prefix.address.end());
  } else {
    bytes.insert(bytes.end(), prefix.address.begin(), prefix.address.end());
  }
  return bytes;
}

// Falls through when the destination port is within the range.
void AddRange(Program& program, const PortRange& range, Target no) {
  program.Add(INET_DIAG_BC_D_GE, no, PortOperand(range.first));
  program.Add(INET_DIAG_BC_D_LE, no, PortOperand(range.last));
}

// Whether the kernel tests a prefix on sockets of `family` as the filters
// match it. An IPv4 condition also matches the v4-mapped destinations of
// IPv6 sockets, as the filters do; an IPv6 one matches v4-mapped
// destinations the filters leave alone, which only an alternative may do (it
// keeps more, never less).
bool Applies(const track::Prefix& prefix, int family, bool may_keep_more) {
  if (IsIpv4Prefix(prefix)) return true;
  if (family != AF_INET6) return false;
  if (may_keep_more) return true;
  // No v4-mapped address within it: within its length, one of the first 80
  // bits is set or one of the next 16 is not.
  for (unsigned bit = 0; bit < prefix.length && bit < 96; ++bit) {
    if (((prefix.address[bit / 8] >> (7 - bit % 8)) & 1) != (bit >= 80)) return true;
  }
  return false;
}

// Drops the socket when one alternative holds.
void AddDrops(Program& program, const std::vector<PortRange>& ports,
              const std::vector<track::Prefix>& prefixes, int family) {
  const std::size_t begin = program.ops.size();
  for (const PortRange& range : ports) {
    AddRange(program, range, Target::kNextAlternative);
    program.Add(INET_DIAG_BC_JMP, Target::kDrop);
    program.EndAlternative();
  }
  for (const track::Prefix& prefix : prefixes) {
    if (!Applies(prefix, family, false)) continue;
    program.Add(INET_DIAG_BC_D_COND, Target::kNextAlternative, HostOperand(prefix));
    program.Add(INET_DIAG_BC_JMP, Target::kDrop);
    program.EndAlternative();
  }
  program.EndClause(begin);
}

// Keeps the socket only when one alternative holds: every one but the last
// jumps to the next clause when it holds, the last falls through to it.
template <typename Item, typename AddTest>
void AddKeeps(Program& program, const std::vector<Item>& items, AddTest&& add_test) {
  const std::size_t begin = program.ops.size();
  for (std::size_t i = 0; i < items.size(); ++i) {
    const bool last = i + 1 == items.size();
    add_test(items[i], last ? Target::kDrop : Target::kNextAlternative);
    if (!last) program.Add(INET_DIAG_BC_JMP, Target::kNextClause);
    program.EndAlternative();
  }
  program.EndClause(begin);
}

std::vector<uint8_t> Assemble(const Program& program) {
  const std::vector<Op>& ops = program.ops;
  std::vector<std::size_t> offsets(ops.size() + 1, 0);
  for (std::size_t i = 0; i < ops.size(); ++i) {
    offsets[i + 1] = offsets[i] + sizeof(inet_diag_bc_op) + ops[i].operand.size();
  }
  std::vector<uint8_t> bytes;
  for (std::size_t i = 0; i < ops.size(); ++i) {
    const Op& op = ops[i];
    std::size_t to = i + 1;
    while (to < ops.size() && (op.no == Target::kNextAlternative ? ops[to].alternative == op.alternative
                                                                 : ops[to].clause == op.clause)) {
      ++to;
    }
    inet_diag_bc_op head{};
    head.code = op.code;
    head.yes = static_cast<uint8_t>(sizeof head + op.operand.size());
    const std::size_t target = op.no == Target::kDrop ? offsets.back() + sizeof head : offsets[to];
    head.no = static_cast<uint16_t>(target - offsets[i]);
    const std::vector<uint8_t> head_bytes = Bytes(head);
    bytes.insert(bytes.end(), head_bytes.begin(), head_bytes.end());
    bytes.insert(bytes.end(), op.operand.begin(), op.operand.end());
  }
  return bytes;
}

}  // namespace

std::optional<std::vector<uint8_t>> DumpBytecode(const TupleFilter& filter, int family) {
  Program program;
  // Destination port 0 (a listener, an unconnected datagram socket) is never
  // wanted; the cheapest tests that drop most come first.
  AddRange(program, PortRange{1, 65535}, Target::kDrop);
  program.EndClause(0);
  AddKeeps(program, filter.ports,
           [&program](const PortRange& range, Target no) { AddRange(program, range, no); });
  AddDrops(program, {}, filter.dropped_destinations, family);
  AddDrops(program, filter.dropped_ports, {}, family);
  for (const std::vector<track::Prefix>& list : filter.destinations) {
    std::vector<track::Prefix> applying;
    for (const track::Prefix& prefix : list) {
      if (Applies(prefix, family, true)) applying.push_back(prefix);
    }
    if (applying.empty() && !list.empty()) return std::nullopt;  // no socket of the family can pass
    AddKeeps(program, applying, [&program](const track::Prefix& prefix, Target no) {
      program.Add(INET_DIAG_BC_D_COND, no, HostOperand(prefix));
    });
  }
  return Assemble(program);
}

namespace {

// Ranges past what the filter holds: a list that keeps may not be cut (it
// would keep less), one that drops may (it drops less).
uint32_t CopyRanges(const std::vector<PortRange>& ranges, bool may_cut, sv_port_range* out) {
  if (ranges.size() > SV_TABLE_RANGES && !may_cut) return 0;
  const std::size_t count = std::min<std::size_t>(ranges.size(), SV_TABLE_RANGES);
  for (std::size_t i = 0; i < count; ++i) out[i] = sv_port_range{ranges[i].first, ranges[i].last};
  return static_cast<uint32_t>(count);
}

}  // namespace

sv_table_filter TableIteratorFilter(const TupleFilter& filter, bool filtered) {
  sv_table_filter out{};
  if (!filtered) return out;
  out.filtered = 1;
  out.port_count = CopyRanges(filter.ports, false, out.ports);
  out.dropped_port_count = CopyRanges(filter.dropped_ports, true, out.dropped_ports);
  for (const track::Prefix& prefix : filter.dropped_destinations) {
    if (out.dropped_count == SV_TABLE_PREFIXES) break;
    sv_table_prefix& to = out.dropped[out.dropped_count++];
    track::Address mask{};
    for (int bit = 0; bit < prefix.length && bit < 128; ++bit)
      mask[bit / 8] |= static_cast<uint8_t>(0x80 >> (bit % 8));
    const track::Address address = track::Masked(prefix.address, prefix.length);
    std::memcpy(to.address, address.data(), sizeof to.address);
    std::memcpy(to.mask, mask.data(), sizeof to.mask);
    to.ipv4 = IsIpv4Prefix(prefix) ? 1 : 0;
  }
  return out;
}

}  // namespace sockvane::source
