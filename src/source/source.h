// The socket source the poll loop reads: one object per run, which main builds
// for its platform (MakeSystemSource) and a test builds of its own.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "source/tuple_filter.h"
#include "track/conn.h"

namespace sockvane::source {

using RowConsumer = std::function<void(track::TConn&& row)>;

// Judges a row whose pid and process are not filled yet: false when the row is
// not wanted whoever owns it. Such rows are not handed over, and their owners
// are not looked for (the costly part of a read).
using RowWanted = std::function<bool(const track::TConn& row)>;

struct SourceSettings {
  TupleFilter filter;
  bool ipv6 = false;         // Windows: read the IPv6 table too (Linux reads it always)
  bool short_lived = false;  // hear of sockets that open and close between two reads
  bool direction = false;    // tell each row's direction (which needs the listening sockets)
  bool units = false;        // name each owner's unit
};

class Source {
 public:
  virtual ~Source() = default;

  // Once, before the first read. Returns a line for standard error (which
  // layers run, on a terminal only), or "".
  virtual std::string Start(const SourceSettings& settings) = 0;

  // `ReadTcpTable`: hands every endpoint that `wanted` accepts to `consume`
  // with proto, pid, process, addresses, ports and state filled. False when
  // the read failed (no rows were handed over), true otherwise, an empty
  // table included.
  virtual bool ReadTcpTable(const RowConsumer& consume, const RowWanted& wanted) = 0;

  // Sockets that opened and closed since the last read, which no read saw,
  // with their owner when known (else PID 0 "unknown") and the state the
  // kernel gave at their end; `life_ms` carries the socket's known life (0 when
  // unknown). Call right after a good read.
  virtual void ReadShortLived(const RowConsumer& consume) = 0;

  // The pause between polls (also of 0 ms: the source may drain what arrived).
  virtual void Pause(uint32_t milliseconds) = 0;

  // After a poll: lines for standard error (owners that could not be looked
  // for, short-lived sockets lost), each said when it first applies and
  // rarely after; empty when there is nothing to say.
  virtual std::vector<std::string> Notices() = 0;
};

// The operating system's own source.
std::unique_ptr<Source> MakeSystemSource();

}  // namespace sockvane::source
