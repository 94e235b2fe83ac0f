#pragma once
// The status of one file-system entry, through statx: the one status call of the
// program. Automounts are never triggered, and a final link is followed only when the
// caller says so.

#include <sys/stat.h>

#include <cstdint>
#include <expected>
#include <string_view>

#include "platform/follow.hpp"

namespace bramvelt::platform {

struct EntryStatus {
    std::uint32_t mode = 0;  // type and permission bits
    std::uint64_t device = 0;
    std::uint64_t inode = 0;
    std::uint64_t link_count = 0;
    std::uint32_t uid = 0;     // owner
    std::uint32_t gid = 0;     // group
    std::uint64_t blocks = 0;  // 512-byte units
    std::int64_t size = 0;     // length in bytes
    std::int64_t mtime_seconds = 0;
    std::int32_t mtime_nanoseconds = 0;
    std::int64_t atime_seconds = 0;
    std::int32_t atime_nanoseconds = 0;
    std::int64_t ctime_seconds = 0;  // the last change of the entry or its data
    std::int32_t ctime_nanoseconds = 0;
    bool mount_root = false;        // the root of a mount (bind mounts included)
    bool mount_root_known = false;  // the kernel reported the mount-root attribute
    std::uint32_t flags = 0;        // file_flags() of the entry

    bool is_directory() const { return S_ISDIR(mode); }
    bool is_regular() const { return S_ISREG(mode); }
    bool is_symlink() const { return S_ISLNK(mode); }
    // An online-only placeholder whose data lives elsewhere.
    bool is_dataless() const;
};

// `name` relative to the open folder `dirfd` (AT_FDCWD for a path). The error is errno.
std::expected<EntryStatus, int> status_at(int dirfd, const char* name, FollowFinalLink follow);

// The entry at `path` (EINVAL for a path holding a NUL byte).
std::expected<EntryStatus, int> status_of_path(std::string_view path, FollowFinalLink follow);

// An open descriptor.
std::expected<EntryStatus, int> status_of_fd(int fd);

}  // namespace bramvelt::platform
