#include "platform/durable_close.hpp"

#include <unistd.h>

#include <cerrno>

#include "platform/io.hpp"

namespace bramvelt::platform {

std::expected<void, int> full_sync(int fd) {
    if (retry_on_eintr([&] { return ::fsync(fd); }) != 0) return std::unexpected(errno);
    return {};
}

std::expected<void, int> close_reporting(Fd fd) {
    const int raw = fd.release();
    if (raw < 0) return {};
    // Linux frees the descriptor even when close fails, so it is never closed again.
    if (::close(raw) != 0 && errno != EINTR) return std::unexpected(errno);
    return {};
}

}  // namespace bramvelt::platform
