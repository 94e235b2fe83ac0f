#pragma once
// A folder the program has opened and pinned by identity so that it can create files,
// folders and links inside it without following a path someone could have redirected.
// Every creation re-verifies the folder, walks from its descriptor one component at a time
// without following links, and creates the final entry relative to its parent's
// descriptor. The descriptor is closed when the ReservedDir is dropped.

#include <expected>
#include <string>
#include <string_view>
#include <vector>

#include "core/filesystem/identity.hpp"
#include "core/filesystem/io_error.hpp"
#include "platform/fd.hpp"

namespace bramvelt::filesystem {

inline constexpr std::string_view kBackupDirChanged = "Backup directory changed; original kept";
inline constexpr std::string_view kBackupPathEscaped = "Backup path escaped reserved directory";
inline constexpr std::string_view kInvalidRelativeBackupPath = "Invalid relative backup path";
inline constexpr std::string_view kNulInBackupFilename = "NUL in backup filename";
inline constexpr std::string_view kMissingBackupFilename = "Missing backup filename";
inline constexpr std::string_view kNulInSymlink = "NUL in symlink";

struct ReservedDir {
    FileIdentity identity;  // when opened, final link not followed
    std::string path;       // as passed when opened; must be the folder's real path
    platform::Fd fd;
};

// Normal names only (no root, ".", ".."), in order.
using RelativePath = std::vector<std::string>;

std::expected<ReservedDir, IoError> open_reserved_dir(std::string path);

// The path still names a folder with the recorded device and inode, the descriptor shows
// the same, and the path's real path equals it; otherwise kBackupDirChanged.
std::expected<void, IoError> check_reserved_dir(const ReservedDir& dir);

// `target` relative to the reserved folder, by whole components; empty for the folder itself.
std::expected<RelativePath, IoError> backup_relative_path(const ReservedDir& dir,
                                                          std::string_view target);

// What `open_dir_chain` does with a folder of the chain that does not exist.
enum class MissingFolders { Fail, Create };

// Opens each component in turn below `dir_fd` without following links (creating missing
// folders with mode 0700 when asked); the empty path yields a duplicate of `dir_fd`.
// A component that is not one plain name ("", ".", "..", holding "/") is refused with
// kInvalidRelativeBackupPath before anything is created.
std::expected<platform::Fd, IoError> open_dir_chain(int dir_fd, const RelativePath& relative,
                                                    MissingFolders missing);

// Creates every missing folder between the reserved folder and target's parent, then
// checks the reserved folder again.
std::expected<void, IoError> create_backup_parents(const ReservedDir& dir, std::string_view target);

// New folder (mode 0700, must not exist), returned open.
std::expected<platform::Fd, IoError> create_backup_dir(const ReservedDir& dir,
                                                       std::string_view target);

// New file (mode 0600, must not exist, links included), open for reading and writing.
std::expected<platform::Fd, IoError> create_backup_file(const ReservedDir& dir,
                                                        std::string_view target);

// New symbolic link holding `link_text` byte for byte; the text is never resolved.
std::expected<void, IoError> create_backup_symlink(const ReservedDir& dir,
                                                   std::string_view link_text,
                                                   std::string_view target);

}  // namespace bramvelt::filesystem
