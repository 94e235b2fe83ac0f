#include "platform/path_io.hpp"

#include <fcntl.h>

#include "platform/io.hpp"

namespace bramvelt::platform {

std::expected<Fd, int> open_directory_path(const char* path, FollowFinalLink follow) {
    return open_directory_at(AT_FDCWD, path, follow);
}

std::expected<std::string, int> read_file(const char* path) {
    const auto fd = open_at(AT_FDCWD, path, O_RDONLY);
    if (!fd) return std::unexpected(fd.error());
    return read_all(fd->get());
}

}  // namespace bramvelt::platform
