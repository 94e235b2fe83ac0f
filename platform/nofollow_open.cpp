#include "platform/nofollow_open.hpp"

#include <fcntl.h>
#include <linux/openat2.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <string>
#include <vector>

namespace bramvelt::platform {
namespace {

bool usable_path(std::string_view path) {
    return !path.empty() && path.front() == '/' && path.find('\0') == std::string_view::npos;
}

int open_retrying(int dirfd, const char* name, int flags, mode_t mode) {
    int fd;
    do {
        fd = ::openat(dirfd, name, flags, mode);
    } while (fd < 0 && errno == EINTR);
    return fd;
}

// O_NOFOLLOW with O_DIRECTORY reports a link as ENOTDIR; report it as ELOOP, as
// openat2 does, so callers see one answer for "a link was in the way".
int link_aware_error(int dirfd, const char* name) {
    const int error = errno;
    struct stat st {};
    if (error == ENOTDIR && ::fstatat(dirfd, name, &st, AT_SYMLINK_NOFOLLOW) == 0 &&
        S_ISLNK(st.st_mode)) {
        return ELOOP;
    }
    return error;
}

}  // namespace

std::expected<Fd, int> open_nofollow_walk(std::string_view path, int flags, mode_t mode) {
    if (!usable_path(path)) {
        return std::unexpected(EINVAL);
    }
    // Intermediate folders are opened as O_PATH: only search permission is needed, as
    // for an ordinary open of the whole path.
    constexpr int kStep = O_PATH | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC;
    const int final_flags = flags | O_NOFOLLOW | O_CLOEXEC;

    std::vector<std::string> parts;
    std::size_t start = 0;
    while (start < path.size()) {
        std::size_t end = path.find('/', start);
        if (end == std::string_view::npos) end = path.size();
        std::string_view piece = path.substr(start, end - start);
        if (!piece.empty() && piece != ".") parts.emplace_back(piece);
        start = end + 1;
    }

    if (parts.empty()) {
        const int fd = open_retrying(AT_FDCWD, "/", final_flags, mode);
        if (fd < 0) return std::unexpected(errno);
        return Fd(fd);
    }
    Fd current(open_retrying(AT_FDCWD, "/", kStep, 0));
    if (!current) return std::unexpected(errno);
    for (std::size_t i = 0; i < parts.size(); ++i) {
        const bool last = i + 1 == parts.size();
        const int fd = open_retrying(current.get(), parts[i].c_str(), last ? final_flags : kStep,
                                     last ? mode : 0);
        if (fd < 0) return std::unexpected(link_aware_error(current.get(), parts[i].c_str()));
        current = Fd(fd);
    }
    return current;
}

std::expected<Fd, int> open_nofollow_any(std::string_view path, int flags, mode_t mode) {
    if (!usable_path(path)) {
        return std::unexpected(EINVAL);
    }
    const std::string text(path);
    open_how how{};
    how.flags = static_cast<__u64>(flags | O_NOFOLLOW | O_CLOEXEC);
    // openat2 refuses a mode without O_CREAT or O_TMPFILE.
    if ((flags & O_CREAT) != 0 || (flags & O_TMPFILE) == O_TMPFILE) how.mode = mode;
    how.resolve = RESOLVE_NO_SYMLINKS;
    long fd;
    do {
        fd = ::syscall(SYS_openat2, AT_FDCWD, text.c_str(), &how, sizeof how);
    } while (fd < 0 && errno == EINTR);
    if (fd >= 0) {
        return Fd(static_cast<int>(fd));
    }
    if (errno == ENOSYS || errno == E2BIG) {
        return open_nofollow_walk(path, flags, mode);
    }
    return std::unexpected(errno);
}

}  // namespace bramvelt::platform
