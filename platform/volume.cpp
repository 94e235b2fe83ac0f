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

}  // namespace bramvelt::platform
