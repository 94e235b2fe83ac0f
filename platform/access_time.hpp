#pragma once
// Putting back the access time that reading a file moved, leaving its other times alone.

#include <cstdint>
#include <expected>

namespace bramvelt::platform {

// The error is errno.
std::expected<void, int> set_access_time(int fd, std::int64_t seconds, std::int32_t nanoseconds);

}  // namespace bramvelt::platform
