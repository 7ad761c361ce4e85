#include "source/dump_filter_linux.h"

#include <linux/inet_diag.h>
#include <sys/socket.h>

#include <cstring>

namespace sockvane::source {
namespace {

// Longer clauses are left out: every op in them costs the kernel time on
// every socket it walks, and the program must stay well within 64 KiB.
constexpr std::size_t kMaxClauseOps = 256;

// Where a test that fails goes: the next clause, the next alternative of
// this clause, or the end of the dump (the socket is dropped).
enum class Target { kClauseEnd, kNextTest, kDrop };

struct Op {
  uint8_t code = INET_DIAG_BC_NOP;
  Target no = Target::kDrop;
  std::vector<uint8_t> operand;  // what follows the op: a port op or a host condition
  std::size_t no_index = 0;      // the op `no` leads to, once resolved
};

// A program under construction: clauses of ops, each op's `no` resolved as
// its clause ends.
struct Program {
  std::vector<Op> ops;
  std::size_t clause_begin = 0;
  std::vector<std::size_t> next_test;  // ops whose `no` is the next alternative

  void Add(uint8_t code, Target no, std::vector<uint8_t> operand = {}) {
    if (no == Target::kNextTest) next_test.push_back(ops.size());
    ops.push_back(Op{code, no, std::move(operand), 0});
  }
  // The ops added since the last call are `no` targets' anchor: a next
  // alternative begins after them.
  void EndAlternative() {
    for (std::size_t i : next_test) ops[i].no_index = ops.size();
    next_test.clear();
  }
  void EndClause() {
    EndAlternative();
    for (std::size_t i = clause_begin; i < ops.size(); ++i) {
      if (ops[i].no == Target::kClauseEnd) ops[i].no_index = ops.size();
    }
    clause_begin = ops.size();
  }
  // Leaves out the clause that began at `begin` when it is too long.
  void Limit(std::size_t begin) {
    if (ops.size() - begin <= kMaxClauseOps) return;
    ops.resize(begin);
    clause_begin = begin;
  }
};

std::vector<uint8_t> PortOperand(uint16_t port) {
  inet_diag_bc_op op{};
  op.no = port;
  std::vector<uint8_t> bytes(sizeof op);
  std::memcpy(bytes.data(), &op, sizeof op);
  return bytes;
}

std::vector<uint8_t> HostOperand(const Prefix& prefix) {
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

// A range test: falls through when the port is within, goes to `no` otherwise.
void AddRange(Program& program, const PortRange& range, Target no) {
  program.Add(INET_DIAG_BC_D_GE, no, PortOperand(range.first));
  program.Add(INET_DIAG_BC_D_LE, no, PortOperand(range.last));
}

// Whether the kernel tests a prefix on sockets of `family` as the filters
// match it. An IPv4 condition also matches v4-mapped destinations of IPv6
// sockets, as the filters do; an IPv6 one matches v4-mapped destinations the
// filters leave alone, which only an alternative may do (it keeps more).
bool Applies(const Prefix& prefix, int family, bool may_keep_more) {
  if (IsIpv4Prefix(prefix)) return true;
  if (family != AF_INET6) return false;
  if (may_keep_more) return true;
  // No v4-mapped address within it: its first 80 bits are not all 0 or
  // (from bit 80 on) its bits are not all 1.
  const unsigned length = prefix.length;
  for (unsigned bit = 0; bit < length && bit < 96; ++bit) {
    const bool set = (prefix.address[bit / 8] >> (7 - bit % 8)) & 1;
    if (set != (bit >= 80)) return true;
  }
  return false;
}

// Drops sockets whose destination port is in one of the ranges.
void AddDroppedPorts(Program& program, const std::vector<PortRange>& ranges) {
  for (const PortRange& range : ranges) {
    AddRange(program, range, Target::kNextTest);
    program.Add(INET_DIAG_BC_JMP, Target::kDrop);
    program.EndAlternative();
  }
  program.EndClause();
}

// Keeps only sockets whose destination port is in one of the ranges.
void AddPorts(Program& program, const std::vector<PortRange>& ranges) {
  for (std::size_t i = 0; i + 1 < ranges.size(); ++i) {
    AddRange(program, ranges[i], Target::kNextTest);
    program.Add(INET_DIAG_BC_JMP, Target::kClauseEnd);
    program.EndAlternative();
  }
  if (!ranges.empty()) AddRange(program, ranges.back(), Target::kDrop);
  program.EndClause();
}

void AddDroppedDestinations(Program& program, const std::vector<Prefix>& prefixes, int family) {
  for (const Prefix& prefix : prefixes) {
    if (!Applies(prefix, family, false)) continue;
    program.Add(INET_DIAG_BC_D_COND, Target::kNextTest, HostOperand(prefix));
    program.Add(INET_DIAG_BC_JMP, Target::kDrop);
    program.EndAlternative();
  }
  program.EndClause();
}

// False when no prefix applies: no socket of the family can pass.
bool AddDestinations(Program& program, const std::vector<Prefix>& prefixes, int family) {
  std::vector<const Prefix*> applying;
  for (const Prefix& prefix : prefixes) {
    if (Applies(prefix, family, true)) applying.push_back(&prefix);
  }
  if (applying.empty()) return false;
  for (std::size_t i = 0; i + 1 < applying.size(); ++i) {
    program.Add(INET_DIAG_BC_D_COND, Target::kNextTest, HostOperand(*applying[i]));
    program.Add(INET_DIAG_BC_JMP, Target::kClauseEnd);
    program.EndAlternative();
  }
  program.Add(INET_DIAG_BC_D_COND, Target::kDrop, HostOperand(*applying.back()));
  program.EndClause();
  return true;
}

std::vector<uint8_t> Assemble(const Program& program) {
  std::vector<std::size_t> offsets;
  std::size_t total = 0;
  for (const Op& op : program.ops) {
    offsets.push_back(total);
    total += sizeof(inet_diag_bc_op) + op.operand.size();
  }
  offsets.push_back(total);
  std::vector<uint8_t> bytes;
  for (std::size_t i = 0; i < program.ops.size(); ++i) {
    const Op& op = program.ops[i];
    inet_diag_bc_op head{};
    head.code = op.code;
    head.yes = static_cast<uint8_t>(sizeof head + op.operand.size());
    // Past the end by one op: the kernel's way to drop the socket.
    const std::size_t to = op.no == Target::kDrop ? total + sizeof head : offsets[op.no_index];
    head.no = static_cast<uint16_t>(to - offsets[i]);
    const std::size_t at = bytes.size();
    bytes.resize(at + sizeof head);
    std::memcpy(bytes.data() + at, &head, sizeof head);
    bytes.insert(bytes.end(), op.operand.begin(), op.operand.end());
  }
  return bytes;
}

}  // namespace

std::optional<std::vector<uint8_t>> DumpBytecode(const TupleFilter& filter, int family) {
  Program program;
  // The cheapest tests that drop most come first. Destination port 0 (a
  // listener, an unconnected datagram socket) is never wanted.
  AddRange(program, PortRange{1, 65535}, Target::kDrop);
  program.EndClause();
  std::size_t begin = program.ops.size();
  AddPorts(program, filter.ports);
  program.Limit(begin);
  begin = program.ops.size();
  AddDroppedDestinations(program, filter.dropped_destinations, family);
  program.Limit(begin);
  begin = program.ops.size();
  AddDroppedPorts(program, filter.dropped_ports);
  program.Limit(begin);
  for (const std::vector<Prefix>& list : filter.destinations) {
    if (list.empty()) continue;
    begin = program.ops.size();
    if (!AddDestinations(program, list, family)) return std::nullopt;
    program.Limit(begin);
  }
  return Assemble(program);
}

}  // namespace sockvane::source
