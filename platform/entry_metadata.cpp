#include "platform/entry_metadata.hpp"

#include <fcntl.h>
#include <sys/stat.h>

#include <cerrno>
#include <string>

namespace bramvelt::platform {
namespace {

void fill(struct timespec (&out)[2], const EntryTimes& times) {
    out[0] = {static_cast<time_t>(times.atime_seconds), times.atime_nanoseconds};
    out[1] = {static_cast<time_t>(times.mtime_seconds), times.mtime_nanoseconds};
}

}  // namespace

std::expected<void, int> set_mode(int fd, std::uint32_t mode) {
    if (::fchmod(fd, static_cast<mode_t>(mode & 07777)) != 0) return std::unexpected(errno);
    return {};
}

std::expected<void, int> set_times(int fd, const EntryTimes& times) {
    struct timespec both[2];
    fill(both, times);
    if (::futimens(fd, both) != 0) return std::unexpected(errno);
    return {};
}

std::expected<void, int> set_link_times(std::string_view path, const EntryTimes& times) {
    if (path.find('\0') != std::string_view::npos) return std::unexpected(EINVAL);
    struct timespec both[2];
    fill(both, times);
    const std::string owned(path);
    if (::utimensat(AT_FDCWD, owned.c_str(), both, AT_SYMLINK_NOFOLLOW) != 0) {
        return std::unexpected(errno);
    }
    return {};
}

}  // namespace bramvelt::platform
