#pragma once
// The target of a symbolic link, as stored in the link.

#include <expected>
#include <string>

namespace bramvelt::platform {

// `name` relative to the open folder `dirfd` (AT_FDCWD for a path). The error is errno.
std::expected<std::string, int> read_link_at(int dirfd, const char* name);

}  // namespace bramvelt::platform
