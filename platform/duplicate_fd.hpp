#pragma once
// A second descriptor for the same open file, close-on-exec, so a caller can hand out or
// consume a descriptor without giving up the one it keeps.

#include <expected>

#include "platform/fd.hpp"

namespace bramvelt::platform {

// The lowest free descriptor above standard error that refers to `fd`'s open file. The
// error is errno.
std::expected<Fd, int> duplicate_fd(int fd);

}  // namespace bramvelt::platform
