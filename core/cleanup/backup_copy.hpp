#pragma once
// Copying an item into a reserved backup folder with its metadata, entry by entry, each
// entry's copy verified as it is made and recorded in the item's backup record. A copied
// file or folder gets its `user.` attributes before its mode, so a read-only source still
// copies, and a failing sync or close of a copy fails the item.

#include <expected>
#include <string>
#include <string_view>

#include "core/cleanup/backup_snapshot.hpp"
#include "core/cleanup/progress_reporter.hpp"
#include "core/filesystem/reserved_dir.hpp"

namespace bramvelt::cleanup {

inline constexpr std::string_view kSpecialNotBackedUp = "Special files are not backed up or removed";
inline constexpr std::string_view kCopyIncomplete =
    "Source changed or copy was incomplete; original kept";
inline constexpr std::string_view kCopyContentFailed =
    "Backup content verification failed; original kept";
inline constexpr std::string_view kSymlinkMetadataChanged = "Symlink metadata changed; original kept";
inline constexpr std::string_view kSymlinkMetadataNotPreserved =
    "Could not preserve symlink metadata: ";
inline constexpr std::string_view kMetadataUnreadable = "Could not read backup metadata: ";
inline constexpr std::string_view kSourceAttributeGone = "Source metadata changed; original kept";
inline constexpr std::string_view kMetadataNotPreserved = "Could not preserve backup metadata: ";
inline constexpr std::string_view kMetadataVerificationFailed =
    "Backup metadata verification failed; original kept";
inline constexpr std::string_view kCopiedMetadataChanged =
    "Source or copied metadata changed; original kept";
inline constexpr std::size_t kCopyBuffer = 256 * 1024;

// Runs between listing a source's attributes and reading them, so a test can take one
// away at that moment; null runs nothing.
void set_after_attribute_listing_hook_for_testing(void (*hook)());

// Copies and verifies every `user.` attribute of an open file or folder.
std::expected<void, std::string> copy_extended_attributes(int source_fd, int copy_fd);

// `source` (and, for a folder, everything below it) to `copy` inside `reserved`. Given
// the item's `authorized` identity, the entry copied must still be that one: whatever took
// the item's name since its last check is never read.
std::expected<void, std::string> copy_item_to_backup(
    std::string_view source, std::string_view copy, const filesystem::ReservedDir& reserved,
    std::string_view item_id, BackupSnapshot& snapshot, ProgressReporter& reporter,
    const filesystem::FileIdentity* authorized = nullptr);

}  // namespace bramvelt::cleanup
