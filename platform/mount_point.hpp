#pragma once
// Whether a folder is the root of a mount, as the kernel reports it. A bind mount of a
// folder of the same file system shares the device number of its parent, so comparing
// devices alone misses it; statx's mount-root attribute does not.

#include <optional>
#include <string_view>

namespace bramvelt::platform {

// true or false as statx reports the mount-root attribute of `path` (a final link is not
// followed); nothing when the kernel does not report the attribute or the call fails.
std::optional<bool> statx_mount_root(std::string_view path);
// The same for `name` relative to the open folder `dirfd`.
std::optional<bool> statx_mount_root_at(int dirfd, const char* name);

}  // namespace bramvelt::platform
