// Whether a destination address is public.
#pragma once

#include <string_view>

namespace sockvane::filter {

bool IsPublicDestination(std::string_view address);

}  // namespace sockvane::filter
