// The systemd unit or container scope a process runs in, from its cgroup.
#pragma once

#include <string>
#include <string_view>

namespace sockvane::source {

// At most this many bytes of /proc/PID/cgroup are read: a cgroup path is at
// most a page, and a hybrid host lists a dozen v1 hierarchies before it.
inline constexpr std::size_t kCgroupFileLimit = 16384;

// From the text of /proc/PID/cgroup: the last component of the cgroup-v2
// path ("0::/...") that ends in ".service" or ".scope", else its last
// component; "" without a v2 line or at the root. At most 255 bytes, the
// longest name a cgroup directory can have. Pure.
std::string UnitFromCgroup(std::string_view text);

}  // namespace sockvane::source
