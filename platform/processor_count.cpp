#include "platform/processor_count.hpp"

#include <unistd.h>

namespace bramvelt::platform {

std::optional<unsigned long> online_processors() {
    const long online = ::sysconf(_SC_NPROCESSORS_ONLN);
    if (online < 1) return std::nullopt;
    return static_cast<unsigned long>(online);
}

}  // namespace bramvelt::platform
