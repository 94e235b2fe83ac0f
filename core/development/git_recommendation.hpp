#pragma once
// Turns the Git evidence of one checkout into its candidate. Only a linked worktree that
// is provably clean and whose HEAD another local branch or a verified remote branch
// contains is offered for removal ("review_removal"); everything else is "keep".

#include <cstdint>
#include <string>
#include <string_view>

#include "core/development/measure.hpp"
#include "core/development/types.hpp"

namespace bramvelt::development {

inline constexpr std::string_view kReasonPrimary =
    "Primary repository or submodule: keep its shared Git data.";
inline constexpr std::string_view kReasonDirty =
    "Uncommitted changes, untracked files, or an incomplete Git status check.";
inline constexpr std::string_view kReasonIgnoredUnknown =
    "Ignored files include data that is not a recognized regenerable artifact.";
inline constexpr std::string_view kReasonLockedOrBusy =
    "Worktree is locked or has a Git operation in progress.";
inline constexpr std::string_view kReasonShallow =
    "Shallow history cannot establish complete ancestry.";
inline constexpr std::string_view kReasonPartial =
    "Partial clone: history checks are skipped to avoid implicit object downloads.";
inline constexpr std::string_view kReasonMeasurementIncomplete =
    "Size and activity measurement is incomplete.";
inline constexpr std::string_view kReasonNoContainingBranch =
    "No other local branch or verified remote branch is known to contain HEAD.";
inline constexpr std::string_view kReasonCachedRefs =
    "Remote-tracking refs are cached evidence, not a live backup confirmation.";
inline constexpr std::string_view kReasonEligible =
    "Clean linked worktree; committed history is preserved. Review age and running tools "
    "before removal.";
inline constexpr std::string_view kReasonSquash =
    "Ancestry checks do not recognize squash merges or rebased equivalents.";

// A primary checkout (a main repository or a submodule) or a linked worktree.
enum class CheckoutRole : std::uint8_t { Primary, LinkedWorktree };

// Whether `git ls-files` listed the tracked files of the checkout.
enum class TrackedList : std::uint8_t { Unknown, Known };

DevCandidate build_git_candidate(const std::string& folder, CheckoutRole role, TrackedList tracked,
                                 const FolderMeasurement& measurement, GitDetail detail);

}  // namespace bramvelt::development
