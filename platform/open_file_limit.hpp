#pragma once
// The number of descriptors the process may hold open. A removal walk holds one per
// level of the tree it empties, so the program starts with as many as it is allowed.

#include <sys/resource.h>

#include <expected>

namespace bramvelt::platform {

// Raises the soft limit on open descriptors to the hard limit; the new soft limit, or
// errno when it could not be read or set.
std::expected<rlim_t, int> raise_open_file_limit();

}  // namespace bramvelt::platform
