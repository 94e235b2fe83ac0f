#include "platform/volume.hpp"

#include "platform/file_status.hpp"

namespace bramvelt::platform {

std::optional<std::string> separate_data_volume() {
    const auto root = status_of_path("/", FollowFinalLink::yes);
    const auto data = status_of_path(kDataVolume, FollowFinalLink::yes);
    if (root && data && data->is_directory() && root->device != data->device) {
        return std::string(kDataVolume);
    }
    return std::nullopt;
}

std::optional<std::string> volume_title(std::string_view mount_point, std::string_view source) {
    for (std::string_view memory : {"none", "tmpfs", "devtmpfs", "ramfs"}) {
        if (source == memory) return std::nullopt;
    }
    if (mount_point == "/") return std::string("File System");
    const bool removable = mount_point.starts_with("/media/") ||
                           mount_point.starts_with("/run/media/") ||
                           mount_point.starts_with("/mnt/");
    if (mount_point != "/home" && !removable) return std::nullopt;
    return std::string(mount_point.substr(mount_point.rfind('/') + 1));
}

}  // namespace bramvelt::platform
