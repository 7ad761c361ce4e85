#include "track/conn.h"

#include <iterator>

namespace sockvane::track {

// Snapshots hold a row per socket: a field more is a cost on every host.
static_assert(sizeof(TConn) <= 88, "TConn grew");

ProcessName MakeProcessName(std::string name, std::string unit) {
  return std::make_shared<const ProcessFacts>(ProcessFacts{std::move(name), std::move(unit)});
}

std::string TcpStateName(uint32_t state) {
  static constexpr const char* kNames[] = {"LISTEN",    "SYN_SENT",  "SYN_RECV",   "ESTABLISHED",
                                           "FIN_WAIT1", "FIN_WAIT2", "CLOSE_WAIT", "CLOSING",
                                           "LAST_ACK",  "TIME_WAIT", "CLOSE"};
  if (state >= 2 && state <= 12) return kNames[state - 2];
  return DecimalText(state);
}

std::string_view ProtoName(Proto proto) {
  return proto == Proto::kUdp ? "UDP" : "TCP";
}

std::string_view DirectionName(Direction direction) {
  static constexpr std::string_view kNames[] = {"", "in", "out"};
  return kNames[static_cast<size_t>(direction) % std::size(kNames)];
}

std::string_view OwnerFromName(OwnerFrom from) {
  static constexpr std::string_view kNames[] = {"", "fd", "cached", "traced", "none"};
  return kNames[static_cast<size_t>(from) % std::size(kNames)];
}

std::string_view ProcessText(const TConn& row) {
  return row.process ? std::string_view(row.process->name) : std::string_view();
}

std::string_view UnitText(const TConn& row) {
  return row.process ? std::string_view(row.process->unit) : std::string_view();
}

}  // namespace sockvane::track
