// Whether a destination address is public.
#pragma once

#include <string_view>

#include "track/conn.h"

namespace sockvane::filter {

bool IsPublicDestination(std::string_view address);

// The same judgement on a row's address, without its text.
bool IsPublicAddress(const track::Address& address);

}  // namespace sockvane::filter
