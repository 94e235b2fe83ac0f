#include "platform/ownership.hpp"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

namespace bramvelt::platform {

std::expected<bool, int> owned_by_this_account(int fd) {
    struct stat st {};
    if (::fstat(fd, &st) != 0) return std::unexpected(errno);
    return st.st_uid == ::geteuid();
}

std::expected<void, int> make_private(int fd) {
    if (::fchmod(fd, 0600) != 0) return std::unexpected(errno);
    return {};
}

}  // namespace bramvelt::platform
