#include "platform/access_time.hpp"

#include <sys/stat.h>

#include <cerrno>

namespace bramvelt::platform {

std::expected<void, int> set_access_time(int fd, std::int64_t seconds, std::int32_t nanoseconds) {
    const struct timespec times[2] = {{static_cast<time_t>(seconds), nanoseconds},
                                      {0, UTIME_OMIT}};
    if (futimens(fd, times) != 0) return std::unexpected(errno);
    return {};
}

}  // namespace bramvelt::platform
