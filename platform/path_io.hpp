#pragma once
// The path forms of io.hpp's calls, for an entry named by a path (absolute, or relative
// to the working folder). Same EINTR retry, same errors.

#include <expected>
#include <string>

#include "platform/fd.hpp"
#include "platform/follow.hpp"

namespace bramvelt::platform {

// A folder opened for listing (O_RDONLY | O_DIRECTORY). The error is errno.
std::expected<Fd, int> open_directory_path(const char* path, FollowFinalLink follow);

// The whole content of the file at `path`, following links. The error is errno.
std::expected<std::string, int> read_file(const char* path);

}  // namespace bramvelt::platform
