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

// Which end opened the connection; kUnknown when the source could not tell.
enum class Direction : uint8_t { kUnknown, kIn, kOut };

// How the row's owner is known: kFd found in a descriptor table (or by the
// kernel's own table) during this read, kCached kept from an earlier read,
// kTraced the tracer's record, kNone no owner (PID 0). kUnknown: not said.
enum class OwnerFrom : uint8_t { kUnknown, kFd, kCached, kTraced, kNone };

// A socket whose owner's user ID no source gave.
inline constexpr uint32_t kNoUid = UINT32_MAX;

// What is known of a process, shared by every row of it in a poll.
struct ProcessFacts {
  std::string name;
  std::string unit;  // its systemd unit or container scope; "" unless asked for and known
};

// Never null in a stored row.
using ProcessName = std::shared_ptr<const ProcessFacts>;

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
  // Filled when --extra asks for them.
  Direction direction = Direction::kUnknown;
  OwnerFrom owner_from = OwnerFrom::kUnknown;
  uint32_t uid = kNoUid;
};

ProcessName MakeProcessName(std::string name, std::string unit = {});

// MIB state number to name; 1, 0 and 13+ as decimal text.
std::string TcpStateName(uint32_t state);

std::string_view ProtoName(Proto proto);

// "in", "out", or "" when unknown.
std::string_view DirectionName(Direction direction);

// "fd", "cached", "traced", "none", or "" when not said.
std::string_view OwnerFromName(OwnerFrom from);

// The process name, "" for a row that has none.
std::string_view ProcessText(const TConn& row);

// The owning process's unit, "" for a row that has none.
std::string_view UnitText(const TConn& row);

}  // namespace sockvane::track
