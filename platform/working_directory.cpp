#include "platform/working_directory.hpp"

#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <memory>

namespace bramvelt::platform {

std::expected<std::string, int> working_directory() {
    // With no buffer, getcwd allocates one as large as the path needs.
    std::unique_ptr<char, decltype(&std::free)> path(::getcwd(nullptr, 0), &std::free);
    if (!path) return std::unexpected(errno);
    return std::string(path.get());
}

}  // namespace bramvelt::platform
