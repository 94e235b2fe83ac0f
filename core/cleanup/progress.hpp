#pragma once
// The state of a cleanup run as a progress event shows it, and the stage words it uses.

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace bramvelt::cleanup {

struct CleanupProgress {
    std::string stage;                   // empty until a step first reports
    std::optional<std::string> detail;   // the path or text worked on, sanitized
    std::optional<std::string> item_id;  // the item worked on
    std::uint64_t items_done = 0;
    std::uint64_t items_total = 0;
    std::uint64_t bytes_done = 0;   // work units, saturating
    std::uint64_t bytes_total = 0;  // 0 when the run does not count them

    friend bool operator==(const CleanupProgress&, const CleanupProgress&) = default;
};

inline constexpr std::string_view kStageCheckingDevelopment = "checking_development";
inline constexpr std::string_view kStageRemovingWorktree = "removing_worktree";
inline constexpr std::string_view kStageRemoving = "removing";
inline constexpr std::string_view kStageOverwriting = "overwriting";
inline constexpr std::string_view kStageAwaitingNativeTrash = "awaiting_native_trash";
inline constexpr std::string_view kStageBackingUp = "backing_up";
inline constexpr std::string_view kStageVerifyingBackup = "verifying_backup";
inline constexpr std::string_view kStageArchivingBackup = "archiving_backup";
inline constexpr std::string_view kStageAwaitingExternalBackup = "awaiting_external_backup";
inline constexpr std::string_view kStageVerifyingExternalBackup = "verifying_external_backup";

}  // namespace bramvelt::cleanup
