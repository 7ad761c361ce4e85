// The part of the compiled filters a socket source may apply before it looks
// for owners: what they drop from a socket's tuple alone.
#pragma once

#include "filter/filters.h"
#include "source/tuple_filter.h"

namespace sockvane::app {

// Drops only what PassesOwnerlessFilters drops (the allowlist is left to it):
// the destination scope, --proto, --dst-port, --exclude-port, --dst-ip and
// --dst-net. A port list is left out when it would make too long a program.
source::TupleFilter TupleFilterOf(const filter::Filters& filters);

}  // namespace sockvane::app
