#include "platform/file_status.hpp"

#include <fcntl.h>
#include <sys/sysmacros.h>

#include <cerrno>
#include <string>

#include "platform/file_flags.hpp"

namespace bramvelt::platform {
namespace {

constexpr unsigned kStatusMask = STATX_TYPE | STATX_MODE | STATX_NLINK | STATX_INO | STATX_MTIME |
                                 STATX_ATIME | STATX_CTIME | STATX_BLOCKS | STATX_SIZE | STATX_UID |
                                 STATX_GID;

EntryStatus from_statx(const struct statx& sx) {
    EntryStatus st;
    st.mode = sx.stx_mode;
    st.device = makedev(sx.stx_dev_major, sx.stx_dev_minor);
    st.inode = sx.stx_ino;
    st.link_count = sx.stx_nlink;
    st.uid = sx.stx_uid;
    st.gid = sx.stx_gid;
    st.blocks = sx.stx_blocks;
    st.size = static_cast<std::int64_t>(sx.stx_size);
    st.mtime_seconds = sx.stx_mtime.tv_sec;
    st.mtime_nanoseconds = static_cast<std::int32_t>(sx.stx_mtime.tv_nsec);
    st.atime_seconds = sx.stx_atime.tv_sec;
    st.atime_nanoseconds = static_cast<std::int32_t>(sx.stx_atime.tv_nsec);
    st.ctime_seconds = sx.stx_ctime.tv_sec;
    st.ctime_nanoseconds = static_cast<std::int32_t>(sx.stx_ctime.tv_nsec);
    st.mount_root_known = (sx.stx_attributes_mask & STATX_ATTR_MOUNT_ROOT) != 0;
    st.mount_root = st.mount_root_known && (sx.stx_attributes & STATX_ATTR_MOUNT_ROOT) != 0;
    st.flags = file_flags(static_cast<dev_t>(st.device), static_cast<ino_t>(st.inode));
    return st;
}

}  // namespace

bool EntryStatus::is_dataless() const {
    return (flags & kDatalessFlag) != 0;
}

std::expected<EntryStatus, int> status_at(int dirfd, const char* name, FollowFinalLink follow) {
    struct statx sx {};
    const int flags = AT_NO_AUTOMOUNT | AT_STATX_DONT_SYNC |
                      (follow == FollowFinalLink::yes ? 0 : AT_SYMLINK_NOFOLLOW);
    if (::statx(dirfd, name, flags, kStatusMask, &sx) != 0) {
        return std::unexpected(errno);
    }
    return from_statx(sx);
}

std::expected<EntryStatus, int> status_of_path(std::string_view path, FollowFinalLink follow) {
    if (path.find('\0') != std::string_view::npos) return std::unexpected(EINVAL);
    // Most paths fit on the stack; the scan asks once per folder and should not allocate.
    char buffer[512];
    if (path.size() < sizeof buffer) {
        path.copy(buffer, path.size());
        buffer[path.size()] = '\0';
        return status_at(AT_FDCWD, buffer, follow);
    }
    return status_at(AT_FDCWD, std::string(path).c_str(), follow);
}

std::expected<EntryStatus, int> status_of_fd(int fd) {
    struct statx sx {};
    if (::statx(fd, "", AT_EMPTY_PATH | AT_STATX_DONT_SYNC, kStatusMask, &sx) != 0) {
        return std::unexpected(errno);
    }
    return from_statx(sx);
}

}  // namespace bramvelt::platform
