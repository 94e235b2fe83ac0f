#pragma once
// The status of one file-system entry as the search needs it.

#include <sys/types.h>

#include <cstdint>
#include <optional>
#include <string>

namespace bramvelt::development {

struct FileTime {
    std::int64_t seconds = 0;
    std::uint32_t nanoseconds = 0;
};

enum class EntryType : std::uint8_t { Directory, Regular, Symlink, Other };

struct EntryStatus {
    EntryType type = EntryType::Other;
    dev_t device = 0;
    ino_t inode = 0;
    std::uint64_t links = 0;
    std::uint64_t blocks = 0;  // 512-byte units
    std::optional<FileTime> modified;
    std::optional<FileTime> accessed;
    // Whether the entry is the root of a mount, when the query that made this status
    // could tell (the queries relative to an open folder can).
    std::optional<bool> mount_root;

    bool is_dir() const { return type == EntryType::Directory; }
    bool is_regular() const { return type == EntryType::Regular; }
    bool is_symlink() const { return type == EntryType::Symlink; }
    // Blocks × 512, saturating.
    std::uint64_t allocated_bytes() const;
};

// lstat-like: the entry itself, links not followed.
std::optional<EntryStatus> status_nofollow(const std::string& path);
// stat-like: links followed.
std::optional<EntryStatus> status_follow(const std::string& path);
// The same, for `name` relative to an open folder: no lookup of the folder's path again.
// The no-follow form also tells whether the entry is a mount root.
std::optional<EntryStatus> status_nofollow_at(int dirfd, const char* name);
std::optional<EntryStatus> status_follow_at(int dirfd, const char* name);

// The entry at `path` lies on another file system than the folder holding it: another
// device, or a mount root of the same device (a bind mount).
bool on_other_file_system(const std::string& path, const EntryStatus& child, dev_t parent_device);
// The same for the entry `name` of the open folder `dirfd`.
bool on_other_file_system_at(int dirfd, const char* name, const EntryStatus& child,
                             dev_t parent_device);

}  // namespace bramvelt::development
