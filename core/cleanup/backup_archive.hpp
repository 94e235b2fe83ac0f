#pragma once
// The tar archive handed to an external backup: every entry of a verified staging copy,
// folders before their contents, with its metadata and `user.` attributes, hashed while it
// is written; and the read-back check of a saved archive.
//
// Entries are named below "item": the staged root folder is "item/", an entry at a/b is
// "item/a/b", and a staged root that is a single file is "item" (no "/", since the entry
// is a file).

#include <cstdint>
#include <expected>
#include <string>
#include <string_view>

#include "core/cleanup/tree_snapshot.hpp"
#include "core/host_trash/host_link.hpp"
#include "platform/cancel_flag.hpp"
#include "platform/fd.hpp"

namespace bramvelt::cleanup {

inline constexpr std::string_view kArchiveCancelled = "Archive cancelled";
inline constexpr std::string_view kStagedMetadataChanged = "Staged metadata changed";
inline constexpr std::string_view kStagedFileChanged = "Staged file changed while archiving";
inline constexpr std::string_view kSpecialNotArchived = "Special entries cannot be archived";
inline constexpr std::string_view kArchiveSizeOverflow = "Archive size overflow";
inline constexpr std::string_view kDigestRequired =
    "Backup verification requires a SHA-256 digest";
inline constexpr std::string_view kSavedBackupNotExclusive =
    "Saved backup is not an exclusive regular file of the expected size";
inline constexpr std::string_view kSavedBackupFailed =
    "Saved backup verification failed; original retained";
inline constexpr std::string_view kPrefixNotFound = "prefix not found";

// Writes every entry of `staged` (staged path to identity; the root among them) into the
// archive open at `archive`, syncs and closes it (a failing sync or close fails), then
// reads it back.
std::expected<host_trash::ArchiveReceipt, std::string> write_backup_archive(
    std::string_view staging_root, const TreeSnapshot& staged, std::string_view archive_path,
    platform::Fd archive, const CancelFlag& cancel);

// The archive is a single-link regular file of `size` bytes whose SHA-256 is `sha256`
// (64 lowercase hexadecimal digits).
std::expected<host_trash::ArchiveReceipt, std::string> verify_saved_backup(
    std::string_view archive_path, std::string_view sha256, std::uint64_t size,
    const CancelFlag& cancel);

}  // namespace bramvelt::cleanup
