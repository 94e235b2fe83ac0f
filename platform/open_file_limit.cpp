#include "platform/open_file_limit.hpp"

#include <sys/resource.h>

namespace bramvelt::platform {

std::optional<unsigned long> open_file_limit() {
    struct rlimit limit {};
    if (::getrlimit(RLIMIT_NOFILE, &limit) != 0 || limit.rlim_cur == RLIM_INFINITY) {
        return std::nullopt;
    }
    return static_cast<unsigned long>(limit.rlim_cur);
}

}  // namespace bramvelt::platform
