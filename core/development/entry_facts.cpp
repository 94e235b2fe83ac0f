#include "core/development/entry_facts.hpp"

#include <limits>

#include "platform/mount_point.hpp"

namespace bramvelt::development {

std::optional<std::uint64_t> epoch_seconds(const std::optional<FileTime>& time) {
    if (!time || time->seconds < 0 || time->nanoseconds >= 1'000'000'000u) {
        return std::nullopt;
    }
    return static_cast<std::uint64_t>(time->seconds);
}

FileTime modification_time(const platform::EntryStatus& status) {
    return FileTime{status.mtime_seconds, static_cast<std::uint32_t>(status.mtime_nanoseconds)};
}

FileTime access_time(const platform::EntryStatus& status) {
    return FileTime{status.atime_seconds, static_cast<std::uint32_t>(status.atime_nanoseconds)};
}

std::uint64_t allocated_bytes(const platform::EntryStatus& status) {
    constexpr std::uint64_t kMax = std::numeric_limits<std::uint64_t>::max();
    return status.blocks > kMax / 512 ? kMax : status.blocks * 512;
}

bool on_other_file_system_at(int dirfd, const char* name, const platform::EntryStatus& child,
                             std::uint64_t parent_device) {
    if (child.device != parent_device) {
        return true;
    }
    if (!child.is_directory()) {
        return false;
    }
    if (child.mount_root_known) {
        return child.mount_root;
    }
    return platform::statx_mount_root_at(dirfd, name).value_or(false);
}

}  // namespace bramvelt::development
