#pragma once

#include <expected>
#include <string>
#include <string_view>

#include "core/filesystem/io_error.hpp"

namespace bramvelt::filesystem {

// The absolute path of `path` with every symbolic link, "." and ".." resolved
// (realpath(3)); the entry must exist. A NUL byte in the path is EINVAL.
std::expected<std::string, IoError> real_path(std::string_view path);

}  // namespace bramvelt::filesystem
