#pragma once
// Setting a copy's permission bits and times to its source's.

#include <cstdint>
#include <expected>
#include <string_view>

namespace bramvelt::platform {

struct EntryTimes {
    std::int64_t atime_seconds = 0;
    std::int32_t atime_nanoseconds = 0;
    std::int64_t mtime_seconds = 0;
    std::int32_t mtime_nanoseconds = 0;
};

// fchmod. The error is errno.
std::expected<void, int> set_mode(int fd, std::uint32_t mode);
// Access and modification times of an open file or folder.
std::expected<void, int> set_times(int fd, const EntryTimes& times);
// Of a symbolic link itself, never its target.
std::expected<void, int> set_link_times(std::string_view path, const EntryTimes& times);

}  // namespace bramvelt::platform
