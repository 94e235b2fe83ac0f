#pragma once
// What the search reads from an entry's status beyond its type: the space it takes, its
// times in whole seconds, and whether it lies on another file system than its folder.

#include <cstdint>
#include <optional>

#include "platform/file_status.hpp"

namespace bramvelt::development {

struct FileTime {
    std::int64_t seconds = 0;
    std::uint32_t nanoseconds = 0;
};

// Whole seconds since 1970; nothing for an absent time or one before 1970.
std::optional<std::uint64_t> epoch_seconds(const std::optional<FileTime>& time);

FileTime modification_time(const platform::EntryStatus& status);
FileTime access_time(const platform::EntryStatus& status);

// Blocks × 512, saturating.
std::uint64_t allocated_bytes(const platform::EntryStatus& status);

// The entry `name` of the open folder `dirfd` lies on another file system than that
// folder: another device, or a mount root of the same device (a bind mount).
bool on_other_file_system_at(int dirfd, const char* name, const platform::EntryStatus& child,
                             std::uint64_t parent_device);

}  // namespace bramvelt::development
