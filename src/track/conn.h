// One observed socket endpoint.
#pragma once

#include <cstdint>
#include <string>

namespace sockvane::track {

struct TConn {
  std::string proto;
  std::string pid;
  std::string process;
  std::string src_ip;
  std::string dst_ip;
  std::string state;
  std::string key;
  uint16_t src_port = 0;
  uint16_t dst_port = 0;
  double first_seen = 0;  // local time as a day count; 0 until stored
};

}  // namespace sockvane::track
