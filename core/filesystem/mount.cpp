#include "core/filesystem/mount.hpp"

#include <sys/stat.h>

#include <string>

#include "core/filesystem/byte_path.hpp"
#include "platform/mount_point.hpp"

namespace bramvelt::filesystem {

bool is_mount_point(std::string_view path) {
    const std::optional<std::string> parent = path_parent(path);
    if (!parent) {
        return true;
    }
    if (path.find('\0') != std::string_view::npos || parent->find('\0') != std::string::npos) {
        return false;
    }
    const std::string text(path);
    struct stat entry {};
    struct stat above {};
    if (::lstat(text.c_str(), &entry) != 0 || ::stat(parent->c_str(), &above) != 0) {
        return false;
    }
    if (!S_ISDIR(entry.st_mode)) {
        return false;
    }
    return entry.st_dev != above.st_dev || platform::statx_mount_root(path).value_or(false);
}

}  // namespace bramvelt::filesystem
