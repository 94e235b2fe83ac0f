#include "tools/trash_host/top_directory.hpp"

#include <cerrno>

#include "platform/file_status.hpp"

namespace bramvelt::trash_host {

std::string_view parent_path(std::string_view path) {
    const std::size_t slash = path.rfind('/');
    return slash == 0 || slash == std::string_view::npos ? std::string_view("/")
                                                         : path.substr(0, slash);
}

std::expected<std::string, int> find_top_directory(std::string_view folder, std::uint64_t device) {
    using platform::FollowFinalLink;
    auto here = platform::status_of_path(folder, FollowFinalLink::no);
    if (!here) return std::unexpected(here.error());
    if (here->device != device) return std::unexpected(EXDEV);
    std::string_view dir = folder;
    for (;;) {
        // A bind mount keeps its source's device: only the mount-root mark shows it.
        if (dir == "/" || (here->mount_root_known && here->mount_root)) return std::string(dir);
        const std::string_view up = parent_path(dir);
        auto above = platform::status_of_path(up, FollowFinalLink::no);
        if (!above) return std::unexpected(above.error());
        if (above->device != device) return std::string(dir);
        dir = up;
        here = std::move(above);
    }
}

}  // namespace bramvelt::trash_host
