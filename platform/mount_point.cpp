#include "platform/mount_point.hpp"

#include <fcntl.h>
#include <sys/stat.h>

#include <string>

namespace bramvelt::platform {

std::optional<bool> statx_mount_root(std::string_view path) {
    if (path.find('\0') != std::string_view::npos) {
        return std::nullopt;
    }
    const std::string text(path);
    return statx_mount_root_at(AT_FDCWD, text.c_str());
}

std::optional<bool> statx_mount_root_at(int dirfd, const char* name) {
    struct statx st {};
    if (::statx(dirfd, name, AT_SYMLINK_NOFOLLOW | AT_NO_AUTOMOUNT, STATX_TYPE, &st) != 0) {
        return std::nullopt;
    }
    if ((st.stx_attributes_mask & STATX_ATTR_MOUNT_ROOT) == 0) {
        return std::nullopt;
    }
    return (st.stx_attributes & STATX_ATTR_MOUNT_ROOT) != 0;
}

}  // namespace bramvelt::platform
