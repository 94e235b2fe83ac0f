#pragma once
// Where a path really leads: every symbolic link, "." and ".." resolved (realpath(3)).

#include <expected>
#include <string>
#include <string_view>

namespace bramvelt::platform {

// The absolute path of an existing entry. The error is errno (EINVAL for a NUL byte).
std::expected<std::string, int> real_path(std::string_view path);

// The same for a folder: ENOTDIR when the entry it leads to is not one.
std::expected<std::string, int> real_directory(std::string_view path);

}  // namespace bramvelt::platform
