#include "core/filesystem/identity.hpp"

#include <fcntl.h>

#include <bit>
#include <cerrno>

namespace bramvelt::filesystem {
namespace {

const char* kind_of(mode_t mode) {
    if (S_ISDIR(mode)) return "directory";
    if (S_ISREG(mode)) return "file";
    if (S_ISLNK(mode)) return "symlink";
    return "special";
}

std::expected<FileIdentity, IoError> stat_at(int dir_fd, std::string_view name, int flags) {
    if (name.find('\0') != std::string_view::npos) {
        return std::unexpected(IoError::os(EINVAL));
    }
    const std::string text(name);
    struct stat st {};
    if (::fstatat(dir_fd, text.c_str(), &st, flags) != 0) {
        return std::unexpected(IoError::os(errno));
    }
    return identity_from_stat(st);
}

}  // namespace

FileIdentity identity_from_stat(const struct stat& st) {
    FileIdentity id;
    id.modified_ns = static_cast<int128_t>(st.st_mtim.tv_sec) * 1'000'000'000 +
                     static_cast<int128_t>(st.st_mtim.tv_nsec);
    id.kind = kind_of(st.st_mode);
    id.device = std::bit_cast<std::int64_t>(static_cast<std::uint64_t>(st.st_dev));
    id.inode = static_cast<std::uint64_t>(st.st_ino);
    id.size = static_cast<std::int64_t>(st.st_size);
    id.links = static_cast<std::uint64_t>(st.st_nlink);
    return id;
}

std::expected<FileIdentity, IoError> read_identity(std::string_view path) {
    return stat_at(AT_FDCWD, path, AT_SYMLINK_NOFOLLOW);
}

std::expected<FileIdentity, IoError> identity_of_fd(int fd) {
    struct stat st {};
    if (::fstat(fd, &st) != 0) {
        return std::unexpected(IoError::os(errno));
    }
    return identity_from_stat(st);
}

std::expected<FileIdentity, IoError> identity_at(int dir_fd, std::string_view name) {
    return stat_at(dir_fd, name, AT_SYMLINK_NOFOLLOW);
}

}  // namespace bramvelt::filesystem
