#pragma once
// Opening an absolute path without following a symbolic link anywhere on the way, the
// final component included: a link in any component fails the open (ELOOP). Uses
// openat2 with RESOLVE_NO_SYMLINKS, and where the kernel lacks it, a walk from "/" that
// opens one component at a time with O_NOFOLLOW.

#include <sys/types.h>

#include <expected>
#include <string_view>

#include "platform/fd.hpp"

namespace bramvelt::platform {

// `flags` are open(2) flags; O_CLOEXEC and O_NOFOLLOW are always added. The error is the
// error number (EINVAL for a relative path or one holding a NUL byte).
std::expected<Fd, int> open_nofollow_any(std::string_view path, int flags, mode_t mode = 0);

// The component walk alone; the fallback of open_nofollow_any, public so it stays tested
// on kernels that have openat2.
std::expected<Fd, int> open_nofollow_walk(std::string_view path, int flags, mode_t mode = 0);

}  // namespace bramvelt::platform
