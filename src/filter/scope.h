// Whether a destination address is public.
#pragma once

#include "track/conn.h"

namespace sockvane::filter {

// Private, loopback, link-local, documentation, multicast and other reserved
// blocks are not public. An IPv6 address is judged as its text shows it.
bool IsPublicDestination(const track::Address& address);

}  // namespace sockvane::filter
