#pragma once
// Facts of the volume layout that the scan and the development search rely on. On macOS
// the user's files live on a separate data volume mounted at /System/Volumes/Data, and
// "/" is a read-only system volume; on Linux the folder does not exist and every query
// below answers as for a single volume.

#include <optional>
#include <string>
#include <string_view>

namespace bramvelt::platform {

inline constexpr std::string_view kDataVolume = "/System/Volumes/Data";

// The folder to walk instead of "/" when the data volume is a separate file system.
std::optional<std::string> separate_data_volume();

// The title of a mounted file system that this system shows its users as a volume, or
// none for any other mount, judged by its place and its source (df's first column). On
// Linux: "/" as "File System", "/home", and what is mounted under /media/, /run/media/
// and /mnt/, titled by the last component of the mount point; a source of "none", or one
// that names a file system in memory (tmpfs, devtmpfs, ramfs), is never a volume. The
// source is free text, so the caller also checks the mounted type
// (is_memory_file_system), and whether the mount point is a folder.
std::optional<std::string> volume_title(std::string_view mount_point, std::string_view source);

}  // namespace bramvelt::platform
