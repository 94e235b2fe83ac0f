#pragma once
// Removing an item entry by entry after a backup, each entry checked against what the
// backup recorded of it before it goes; and the Overwrite action, which writes every
// regular file three times (zeros, 0xFF bytes, random bytes) before removing it. Every
// entry, a child as well, passes the step guard through a freshly opened parent first.

#include <cstddef>
#include <expected>
#include <string>
#include <string_view>

#include "core/cleanup/backup_snapshot.hpp"
#include "core/cleanup/progress_reporter.hpp"
#include "core/filesystem/identity.hpp"

namespace bramvelt::cleanup {

inline constexpr std::string_view kNeverCrossesFilesystems =
    "Cleanup never crosses filesystem boundaries";
inline constexpr std::string_view kChangedAfterBackup =
    "An item changed after its backup; removal refused";
inline constexpr std::string_view kOverwriteRefusedHardLinks =
    "Overwrite refused for a file with other hard links";
inline constexpr std::string_view kGainedHardLink =
    "File gained another hard link; overwrite stopped";
inline constexpr std::string_view kChangedDuringOverwrite =
    "File changed during overwrite; removal refused";
inline constexpr std::size_t kOverwriteChunk = 256 * 1024;
// Folder levels below the item at most; deeper trees fail instead of exhausting the stack.
inline constexpr std::size_t kMaxRemovalDepth = 2048;

enum class OverwriteFiles { No, Yes };

// `path` is the item's canonical path, `identity` its authorized identity. With a
// snapshot, every entry must be as the backup recorded it; with overwriting, bytes_done
// counts every byte each pass writes.
std::expected<void, std::string> remove_item(std::string_view path,
                                             const filesystem::FileIdentity& identity,
                                             std::string_view item_id, OverwriteFiles overwrite,
                                             const BackupSnapshot* snapshot,
                                             ProgressReporter& reporter);

}  // namespace bramvelt::cleanup
