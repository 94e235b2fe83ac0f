#pragma once
// The number of descriptors the process may hold open. A removal walk holds one per
// level of the tree it empties, so the program starts with as many as it is allowed, and
// the scan sizes what it keeps open by the limit.

#include <sys/resource.h>

#include <expected>
#include <optional>

namespace bramvelt::platform {

// Raises the soft limit on open descriptors to the hard limit; the new soft limit, or
// errno when it could not be read or set.
std::expected<rlim_t, int> raise_open_file_limit();

// The soft limit on open descriptors; nothing when the system cannot tell or sets none.
std::optional<unsigned long> open_file_limit();

}  // namespace bramvelt::platform
