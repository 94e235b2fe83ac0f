#include "core/cleanup/child_dir.hpp"

#include "platform/file_status.hpp"
#include "platform/io.hpp"
#include "platform/os_error.hpp"

namespace bramvelt::cleanup {

std::expected<platform::Fd, std::string> open_child_dir(int dir_fd, const char* name,
                                                        std::uint64_t expected_device,
                                                        std::uint64_t expected_inode) {
    auto fd = platform::open_directory_at(dir_fd, name, platform::FollowFinalLink::no);
    if (!fd) {
        return std::unexpected(std::string(kCannotOpenFolder) +
                               platform::os_error_text(fd.error()));
    }
    const auto opened = platform::status_of_fd(fd->get());
    if (!opened) return std::unexpected(platform::os_error_text(opened.error()));
    if (opened->device != expected_device || opened->inode != expected_inode ||
        opened->mount_root) {
        return std::unexpected(std::string(kFolderReplaced));
    }
    return std::move(*fd);
}

}  // namespace bramvelt::cleanup
