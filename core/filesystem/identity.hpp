#pragma once
// The record that pins one file-system entry down between review and action. Two
// identities match only when all six fields are equal.

#include <cstdint>
#include <expected>
#include <string>
#include <string_view>

#include "core/filesystem/io_error.hpp"
#include "platform/file_status.hpp"

namespace bramvelt::filesystem {

__extension__ typedef __int128 int128_t;

struct FileIdentity {
    int128_t modified_ns = 0;  // seconds * 1e9 + nanoseconds, never overflowing
    std::string kind;          // "directory", "file", "symlink" or "special"
    std::int64_t device = 0;   // the full st_dev, bit for bit
    std::uint64_t inode = 0;
    std::int64_t size = 0;
    std::uint64_t links = 0;

    friend bool operator==(const FileIdentity&, const FileIdentity&) = default;
};

FileIdentity identity_from_status(const platform::EntryStatus& status);

// Without following a final symbolic link.
std::expected<FileIdentity, IoError> read_identity(std::string_view path);
std::expected<FileIdentity, IoError> identity_of_fd(int fd);
// `name` under the folder `dir_fd`, without following a final symbolic link.
std::expected<FileIdentity, IoError> identity_at(int dir_fd, std::string_view name);

}  // namespace bramvelt::filesystem
