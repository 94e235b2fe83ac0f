#include "platform/open_file_limit.hpp"

#include <cerrno>

namespace bramvelt::platform {

std::expected<rlim_t, int> raise_open_file_limit() {
    struct rlimit limit {};
    if (::getrlimit(RLIMIT_NOFILE, &limit) != 0) return std::unexpected(errno);
    if (limit.rlim_cur == limit.rlim_max) return limit.rlim_cur;
    limit.rlim_cur = limit.rlim_max;
    if (::setrlimit(RLIMIT_NOFILE, &limit) != 0) return std::unexpected(errno);
    return limit.rlim_cur;
}

std::optional<unsigned long> open_file_limit() {
    struct rlimit limit {};
    if (::getrlimit(RLIMIT_NOFILE, &limit) != 0 || limit.rlim_cur == RLIM_INFINITY) {
        return std::nullopt;
    }
    return static_cast<unsigned long>(limit.rlim_cur);
}

}  // namespace bramvelt::platform
