// A tuple filter as the kernel's socket-dump filter (sock_diag bytecode), so
// that the dump leaves out what the filters would drop. Pure.
#pragma once

#include <cstdint>
#include <optional>
#include <vector>

#include "source/bpf/owners_record.h"
#include "source/tuple_filter.h"

namespace sockvane::source {

// The INET_DIAG_REQ_BYTECODE program for a dump of `family` (AF_INET or
// AF_INET6) that keeps at least every socket `filter` keeps. Parts that would
// make too long a program are left out (the filters still apply). nullopt
// when no socket of that family can pass: the dump may be skipped.
std::optional<std::vector<uint8_t>> DumpBytecode(const TupleFilter& filter, int family);

// The same for the tracer's table iterators, whose filter holds only so
// many ranges and prefixes: it keeps at least every socket `filter` keeps.
// `filtered` false: it keeps everything, listeners too.
sv_table_filter TableIteratorFilter(const TupleFilter& filter, bool filtered);

}  // namespace sockvane::source
