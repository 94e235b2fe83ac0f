#pragma once
// How many descriptors this process may hold open at once, to size what a walk keeps
// open.

#include <optional>

namespace bramvelt::platform {

// The soft limit on open descriptors; nothing when the system cannot tell or sets none.
std::optional<unsigned long> open_file_limit();

}  // namespace bramvelt::platform
