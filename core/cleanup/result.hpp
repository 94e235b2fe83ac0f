#pragma once
// How each item of a cleanup run ended, and the run's closing account.

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace bramvelt::cleanup {

enum class CleanupStatus : std::uint8_t { Removed = 0, Trashed = 1, Failed = 2, Cancelled = 3 };

// "removed", "trashed", "failed", "cancelled": the front ends' words.
constexpr std::string_view status_word(CleanupStatus status) {
    switch (status) {
        case CleanupStatus::Removed:
            return "removed";
        case CleanupStatus::Trashed:
            return "trashed";
        case CleanupStatus::Failed:
            return "failed";
        case CleanupStatus::Cancelled:
            break;
    }
    return "cancelled";
}

inline constexpr std::string_view kCodeNativeTrashIndeterminate = "native_trash_indeterminate";
inline constexpr std::string_view kCodeDevelopmentPartial = "development_partial";

// Removed and Trashed carry no error and no code; Failed and Cancelled always an error.
struct CleanupItemResult {
    std::string item_id;
    std::string path;                  // sanitized
    std::optional<std::string> error;  // sanitized
    std::optional<std::string>
        error_code;  // kCodeNativeTrashIndeterminate, kCodeDevelopmentPartial
    std::optional<std::string> backup_path;
    std::uint64_t processed_bytes = 0;  // bytes this item freed
    CleanupStatus status = CleanupStatus::Failed;
    // The part of processed_bytes that went to the Trash (a worktree's generated output
    // does while its folder is removed); never written to a report on its own.
    std::uint64_t trashed_bytes = 0;

    friend bool operator==(const CleanupItemResult&, const CleanupItemResult&) = default;
};

// completed + failed + cancelled = the number of ItemFinished events of the run.
struct CleanupSummary {
    std::vector<CleanupItemResult> results;  // only those with an error, in item order
    std::optional<std::string> backup_folder;
    std::uint64_t completed_items = 0;
    std::uint64_t failed_items = 0;     // ended with an error while the run went on
    std::uint64_t cancelled_items = 0;  // ended with an error after the run was cancelled
    std::uint64_t processed_bytes = 0;  // saturating
    std::uint64_t trashed_bytes = 0;    // the part of processed_bytes in the Trash; saturating
    bool cancelled = false;             // the cancel flag when the run ended

    friend bool operator==(const CleanupSummary&, const CleanupSummary&) = default;
};

}  // namespace bramvelt::cleanup
