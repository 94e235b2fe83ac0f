#pragma once
// Reading and writing descriptors in full. The EINTR retry and the short-count loops live
// here and nowhere else: every caller above platform/ goes through these.

#include <sys/types.h>

#include <cerrno>
#include <cstddef>
#include <expected>
#include <limits>
#include <span>
#include <string>
#include <string_view>

#include "platform/fd.hpp"
#include "platform/follow.hpp"

namespace bramvelt::platform {

// Calls `call` again while it fails with EINTR; returns its last result. For the calls
// that report failure as -1 with errno set.
template <class Call>
auto retry_on_eintr(Call call) {
    for (;;) {
        auto result = call();
        if (!(result == -1 && errno == EINTR)) return result;
    }
}

// One read of at most `buffer.size()` bytes; 0 at the end of input. The error is errno.
std::expected<std::size_t, int> read_some(int fd, std::span<char> buffer);

// Everything until the end of input, or until `limit` bytes have been read (what lies
// beyond is left unread). The error is errno.
std::expected<std::string, int> read_all(
    int fd, std::size_t limit = std::numeric_limits<std::size_t>::max());

// Writes every byte, looping over short writes. The error is errno. Only write(2) and
// errno: safe to call from a signal handler (the terminal restore relies on it).
std::expected<void, int> write_all(int fd, std::string_view bytes);

// Moves an open file's offset back to its start. The error is errno.
std::expected<void, int> rewind(int fd);

// openat(2) with O_CLOEXEC added. The error is errno.
std::expected<Fd, int> open_at(int dirfd, const char* name, int flags, mode_t mode = 0);

// A folder opened for listing and descriptor-relative work (O_RDONLY | O_DIRECTORY).
std::expected<Fd, int> open_directory_at(int dirfd, const char* name, FollowFinalLink follow);

}  // namespace bramvelt::platform
