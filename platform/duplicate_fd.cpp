#include "platform/duplicate_fd.hpp"

#include <fcntl.h>

#include <cerrno>

namespace bramvelt::platform {

std::expected<Fd, int> duplicate_fd(int fd) {
    // Above 2, so a duplicate never lands on a standard stream that happens to be closed.
    const int copy = ::fcntl(fd, F_DUPFD_CLOEXEC, 3);
    if (copy < 0) return std::unexpected(errno);
    return Fd(copy);
}

}  // namespace bramvelt::platform
