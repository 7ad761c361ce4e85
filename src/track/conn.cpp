#include "track/conn.h"

namespace sockvane::track {

ProcessName MakeProcessName(std::string name) {
  return std::make_shared<const std::string>(std::move(name));
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

std::string_view ProcessText(const TConn& row) {
  return row.process ? std::string_view(*row.process) : std::string_view();
}

}  // namespace sockvane::track
