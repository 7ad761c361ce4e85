// One observed socket endpoint, in binary form, and the texts it is shown as.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

#include "track/address.h"
#include "track/text.h"

namespace sockvane::track {

enum class Proto : uint8_t { kTcp, kUdp };

// Shared by every row of one process in a poll; never null in a stored row.
using ProcessName = std::shared_ptr<const std::string>;

struct TConn {
  Address src_ip{};
  Address dst_ip{};
  ProcessName process;
  int64_t first_seen = 0;  // steady-clock milliseconds when first stored
  int64_t life_ms = 0;     // a short-lived socket's known life, from its source; 0 when unknown
  uint32_t pid = 0;
  uint32_t state = 0;  // MIB state number, as TcpStateName names it
  uint16_t src_port = 0;
  uint16_t dst_port = 0;
  Proto proto = Proto::kTcp;
};

ProcessName MakeProcessName(std::string name);

// MIB state number to name; 1, 0 and 13+ as decimal text.
std::string TcpStateName(uint32_t state);

std::string_view ProtoName(Proto proto);

// The process name, "" for a row that has none.
std::string_view ProcessText(const TConn& row);

}  // namespace sockvane::track
