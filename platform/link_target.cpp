#include "platform/link_target.hpp"

#include <unistd.h>

#include <cerrno>

namespace bramvelt::platform {

std::expected<std::string, int> read_link_at(int dirfd, const char* name) {
    // readlinkat truncates silently: grow until the target fits with room to spare.
    for (std::size_t size = 256;; size *= 2) {
        std::string buffer(size, '\0');
        const ssize_t got = readlinkat(dirfd, name, buffer.data(), buffer.size());
        if (got < 0) return std::unexpected(errno);
        if (static_cast<std::size_t>(got) < size) {
            buffer.resize(static_cast<std::size_t>(got));
            return buffer;
        }
    }
}

}  // namespace bramvelt::platform
