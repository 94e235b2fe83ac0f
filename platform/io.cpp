#include "platform/io.hpp"

#include <fcntl.h>
#include <unistd.h>

namespace bramvelt::platform {

std::expected<std::size_t, int> read_some(int fd, std::span<char> buffer) {
    const ssize_t n = retry_on_eintr([&] { return ::read(fd, buffer.data(), buffer.size()); });
    if (n < 0) return std::unexpected(errno);
    return static_cast<std::size_t>(n);
}

std::expected<std::string, int> read_all(int fd, std::size_t limit) {
    std::string out;
    char chunk[64 * 1024];
    while (out.size() < limit) {
        const std::size_t want = std::min(sizeof chunk, limit - out.size());
        const auto n = read_some(fd, std::span<char>(chunk, want));
        if (!n) return std::unexpected(n.error());
        if (*n == 0) break;
        out.append(chunk, *n);
    }
    return out;
}

std::expected<void, int> write_all(int fd, std::string_view bytes) {
    while (!bytes.empty()) {
        const ssize_t n = retry_on_eintr([&] { return ::write(fd, bytes.data(), bytes.size()); });
        if (n < 0) return std::unexpected(errno);
        bytes.remove_prefix(static_cast<std::size_t>(n));
    }
    return {};
}

std::expected<Fd, int> open_at(int dirfd, const char* name, int flags, mode_t mode) {
    const int fd = retry_on_eintr([&] { return ::openat(dirfd, name, flags | O_CLOEXEC, mode); });
    if (fd < 0) return std::unexpected(errno);
    return Fd(fd);
}

std::expected<Fd, int> open_directory_at(int dirfd, const char* name, FollowFinalLink follow) {
    const int nofollow = follow == FollowFinalLink::no ? O_NOFOLLOW : 0;
    return open_at(dirfd, name, O_RDONLY | O_DIRECTORY | nofollow);
}

std::expected<void, int> rewind(int fd) {
    if (::lseek(fd, 0, SEEK_SET) < 0) return std::unexpected(errno);
    return {};
}

}  // namespace bramvelt::platform
