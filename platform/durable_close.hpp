#pragma once
// Making a written file's bytes durable and learning of a late write error: the sync is
// retried only when interrupted (a failed flush, EIO, may have dropped the data, so it is
// never retried), and the close reports its own error, which the owning Fd ignores.

#include <expected>

#include "platform/fd.hpp"

namespace bramvelt::platform {

// fsync. The error is errno.
std::expected<void, int> full_sync(int fd);

// Closes the descriptor and reports close's error (errno). The descriptor is gone either way.
std::expected<void, int> close_reporting(Fd fd);

}  // namespace bramvelt::platform
