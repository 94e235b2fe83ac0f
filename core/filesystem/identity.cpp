#include "core/filesystem/identity.hpp"

#include <bit>
#include <cerrno>
#include <string>

namespace bramvelt::filesystem {
namespace {

const char* kind_of(const platform::EntryStatus& status) {
    if (status.is_directory()) return "directory";
    if (status.is_regular()) return "file";
    if (status.is_symlink()) return "symlink";
    return "special";
}

std::expected<FileIdentity, IoError> from_status(std::expected<platform::EntryStatus, int> status) {
    if (!status) return std::unexpected(IoError::os(status.error()));
    return identity_from_status(*status);
}

}  // namespace

FileIdentity identity_from_status(const platform::EntryStatus& status) {
    FileIdentity id;
    id.modified_ns = static_cast<int128_t>(status.mtime_seconds) * 1'000'000'000 +
                     static_cast<int128_t>(status.mtime_nanoseconds);
    id.kind = kind_of(status);
    id.device = std::bit_cast<std::int64_t>(status.device);
    id.inode = status.inode;
    id.size = status.size;
    id.links = status.link_count;
    return id;
}

std::expected<FileIdentity, IoError> read_identity(std::string_view path) {
    return from_status(platform::status_of_path(path, platform::FollowFinalLink::no));
}

std::expected<FileIdentity, IoError> identity_of_fd(int fd) {
    return from_status(platform::status_of_fd(fd));
}

std::expected<FileIdentity, IoError> identity_at(int dir_fd, std::string_view name) {
    if (name.find('\0') != std::string_view::npos) {
        return std::unexpected(IoError::os(EINVAL));
    }
    const std::string text(name);
    return from_status(platform::status_at(dir_fd, text.c_str(), platform::FollowFinalLink::no));
}

}  // namespace bramvelt::filesystem
