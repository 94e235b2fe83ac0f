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

}  // namespace bramvelt::platform
