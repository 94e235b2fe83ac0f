#include "core/filesystem/mount.hpp"

#include <string>

#include "core/filesystem/byte_path.hpp"
#include "platform/file_status.hpp"

namespace bramvelt::filesystem {

bool is_mount_point(std::string_view path) {
    const std::optional<std::string> parent = path_parent(path);
    if (!parent) {
        return true;
    }
    const auto entry = platform::status_of_path(path, platform::FollowFinalLink::no);
    const auto above = platform::status_of_path(*parent, platform::FollowFinalLink::yes);
    if (!entry || !above || !entry->is_directory()) {
        return false;
    }
    return entry->device != above->device || entry->mount_root;
}

}  // namespace bramvelt::filesystem
