#pragma once
// An entry addressed through its opened parent folder, and the operations that act on
// it only while its authorized identity still holds. Every operation re-reads the entry
// through the parent descriptor; none retries, sleeps or falls back to a path.

#include <expected>
#include <string>
#include <string_view>

#include "core/filesystem/identity.hpp"
#include "core/filesystem/io_error.hpp"
#include "platform/fd.hpp"

namespace bramvelt::filesystem {

inline constexpr std::string_view kCannotOperateOnRoot = "Cannot operate on a root";
inline constexpr std::string_view kMissingFilename = "Missing filename";
inline constexpr std::string_view kNulInFilename = "NUL in filename";
inline constexpr std::string_view kNulInParentPath = "NUL in parent path";
inline constexpr std::string_view kItemChanged =
    "Item changed since authorization; refresh before cleanup";
inline constexpr std::string_view kParentChanged = "Parent directory changed since authorization";
inline constexpr std::string_view kDirectoryChangedWhileOpening = "Directory changed while opening";
inline constexpr std::string_view kFileChangedWhileOpening = "File changed while opening";

// How `open_verified_file` opens the file.
enum class FileAccess { ReadOnly, ReadWrite };

// What `unlink_verified` removes: an empty folder, or any entry that is not a folder.
enum class UnlinkAs { NonDirectory, Directory };

// Owns the parent's descriptor, opened without following any link on the way, and closes
// it when dropped; the parent stays pinned all that time.
struct ParentHandle {
    std::string path;  // the parent's real path joined with `name`
    std::string name;  // the final component, free of NUL bytes
    platform::Fd parent_fd;
};

// Resolves the parent's real path and opens it. Fails with kCannotOperateOnRoot when the
// path has no parent, kMissingFilename when its last component is not a plain name.
std::expected<ParentHandle, IoError> open_parent_dir(std::string_view path);

// The entry under the parent descriptor still has exactly `authorized` (kItemChanged), and
// the handle's parent path still names the folder held open (kParentChanged).
std::expected<void, IoError> check_authorized_identity(const ParentHandle& handle,
                                                       const FileIdentity& authorized);

// Check, open the folder relative to the parent without following a link, compare again.
std::expected<platform::Fd, IoError> open_verified_dir(const ParentHandle& handle,
                                                       const FileIdentity& authorized);

// As above for a file, read-only or read-write, non-blocking; never creates or truncates.
std::expected<platform::Fd, IoError> open_verified_file(const ParentHandle& handle,
                                                        FileAccess access,
                                                        const FileIdentity& authorized);

// Check, then remove the name relative to the parent (a folder must already be empty).
std::expected<void, IoError> unlink_verified(const ParentHandle& handle, UnlinkAs kind,
                                             const FileIdentity& authorized);

}  // namespace bramvelt::filesystem
