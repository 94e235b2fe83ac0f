#pragma once
// The launcher's volume entries, read from the portable output of `df -kP`.

#include <chrono>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/file_system_type.hpp"
#include "src/tui/app.hpp"

namespace bramvelt::tui {

// How long start-up waits for `df`; a hung network mount must not hold the interface.
inline constexpr std::chrono::seconds kDfTimeLimit{2};

// Whether a mount point is a folder (following links); tests give their own.
using IsFolder = std::function<bool(const std::string&)>;
bool is_folder(const std::string& path);

// The type of the file system mounted at a mount point, none when it cannot be read;
// tests give their own.
using MountedType = std::function<std::optional<platform::FileSystemType>(const std::string&)>;
std::optional<platform::FileSystemType> mounted_type(const std::string& mount_point);

// The entries of the mounts that count as volumes (platform::volume_title, a folder, and
// not a file system in memory whatever its source says), in the order of the output; the
// first of a repeated mount point wins.
std::vector<LauncherEntry> parse_df_output(std::string_view output,
                                           const IsFolder& folder = is_folder,
                                           const MountedType& type = mounted_type);

// Runs `df -kP` (standard input from /dev/null) and parses what it printed; nothing
// when it cannot start, fails, or takes longer than the limit.
std::vector<LauncherEntry> read_volumes(std::chrono::milliseconds limit = kDfTimeLimit);

}  // namespace bramvelt::tui
