#pragma once
// The fixed texts of a development cleanup run: why a request was refused, and why an
// item was kept.

#include <string_view>

namespace bramvelt::cleanup {

// The request as a whole.
inline constexpr std::string_view kChooseDevItems =
    "Choose 1 through 256 development items inside the scanned folders.";
inline constexpr std::string_view kDevActionUnsupported =
    "Development cleanup supports Trash or permanent removal only.";
inline constexpr std::string_view kDevItemIds = "Cleanup item IDs must be unique and bounded.";
inline constexpr std::string_view kDevItemMoved =
    "A development item changed location or is outside the scanned folders. Scan again.";
inline constexpr std::string_view kDevItemsOverlap =
    "A selected worktree already includes its generated output. Select each folder only once.";
inline constexpr std::string_view kDevItemChangedBeforeRun =
    "A selected folder changed after review. Scan again before removing it.";

// One item.
inline constexpr std::string_view kCleanupStopped = "Cleanup stopped.";
inline constexpr std::string_view kChangedAfterReview =
    "This folder changed after review. Files kept; scan again.";
inline constexpr std::string_view kChangedDuringCheck =
    "This folder changed during its safety check. Files kept; scan again.";
inline constexpr std::string_view kNoLongerCandidate =
    "This folder is no longer a development cleanup candidate. Scan again.";
inline constexpr std::string_view kNotFullyChecked =
    "The folder could not be fully checked or its type changed. Scan again.";
inline constexpr std::string_view kGitEvidenceUnavailable =
    "Git evidence is unavailable; worktree kept.";
inline constexpr std::string_view kWorktreeChanged =
    "This worktree changed, has local data, or its commits are no longer verified elsewhere. "
    "Worktree kept; scan again.";
inline constexpr std::string_view kNoLongerRebuildable =
    "This folder is no longer confirmed rebuildable output. Files kept; scan again.";
inline constexpr std::string_view kFolderChangedOrAlias =
    "The selected folder changed or contains a symbolic-link alias. Scan again.";
inline constexpr std::string_view kNoLongerRecognized =
    "This folder is no longer recognized development output. Scan again.";
inline constexpr std::string_view kRecheckLimit =
    "The safety recheck was cancelled or exceeded its scan limit. Nothing further was removed.";

// A worktree and its generated output.
inline constexpr std::string_view kOutputChanged = "Generated output changed; worktree kept.";
inline constexpr std::string_view kOutputChangedScanAgain =
    "Generated output changed; worktree kept. Scan again.";
inline constexpr std::string_view kWorktreeReplaced =
    "The worktree was replaced. Worktree kept; scan again.";
inline constexpr std::string_view kUnsupportedPath = "Unsupported path";
inline constexpr std::string_view kWorktreeRemovalUnconfirmed =
    "Git could not confirm worktree removal without forcing. It may have changed, be locked, or "
    "contain submodules. Scan again; its branch is kept.";

}  // namespace bramvelt::cleanup
