#pragma once

#include <string_view>

namespace bramvelt::filesystem {

// Whether `path` is the root of a mounted file system: a path without a parent always
// is; otherwise a folder (final link not followed) whose device differs from its
// parent's, or that the kernel marks as a mount root (bind mounts share the device).
// Any read failure answers false.
bool is_mount_point(std::string_view path);

}  // namespace bramvelt::filesystem
