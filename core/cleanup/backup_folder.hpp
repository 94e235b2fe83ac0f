#pragma once
// The BackupToFolder action: one new, uniquely named folder reserved inside the
// destination before the run, and per item a copy into it that is verified against the
// source entry by entry before the item is removed against the copy's record.

#include <cstdint>
#include <expected>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "core/cleanup/progress_reporter.hpp"
#include "core/cleanup/validation.hpp"
#include "core/filesystem/reserved_dir.hpp"

namespace bramvelt::cleanup {

inline constexpr std::string_view kDestinationNotDirectory =
    "Backup destination must be an existing directory";
inline constexpr std::string_view kDestinationInsideItem =
    "Backup destination is inside a selected item";
inline constexpr std::string_view kNoUniqueBackupDir = "Could not reserve a unique backup directory";
inline constexpr std::string_view kBackupLostEntry =
    "Backup lost an entry before cleanup; original kept";
inline constexpr std::string_view kBackupFolderPrefix = "BramVelt Backup ";
inline constexpr int kBackupNameAttempts = 100;

// The parts of a reservation's names that stay fixed across its attempts.
struct BackupNameParts {
    std::int64_t seconds = 0;
    std::uint64_t random = 0;
};

// Fixes those parts for later reservations, so a test can take every candidate name;
// nullopt goes back to the clock and the random source.
void set_backup_name_parts_for_testing(std::optional<BackupNameParts> parts);

std::expected<filesystem::ReservedDir, std::string> reserve_backup_folder(
    std::string_view destination, const std::vector<AuthorizedItem>& items);

// Copies, verifies and then removes one item. `backup_path` receives the copy's path as
// soon as it is known, and keeps it when a later step fails.
std::expected<void, std::string> back_up_to_folder(const AuthorizedItem& item,
                                                   const filesystem::ReservedDir& reserved,
                                                   ProgressReporter& reporter,
                                                   std::optional<std::string>& backup_path);

}  // namespace bramvelt::cleanup
