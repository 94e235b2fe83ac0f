#pragma once

#include <cstdint>
#include <expected>
#include <string>
#include <string_view>

#include "platform/fd.hpp"

namespace bramvelt::cleanup {

inline constexpr std::string_view kCannotOpenFolder = "Cannot open a folder during cleanup: ";
inline constexpr std::string_view kFolderReplaced = "A folder was replaced during cleanup";

// The folder `name` below the open folder `dir_fd`, opened read-only without following a
// link, and only when it is still the folder that was examined (same device and inode)
// and not the root of a mount placed over the name since (kFolderReplaced).
std::expected<platform::Fd, std::string> open_child_dir(int dir_fd, const char* name,
                                                        std::uint64_t expected_device,
                                                        std::uint64_t expected_inode);

}  // namespace bramvelt::cleanup
