// The fixed texts that users and scripts see, letter for letter. The other tests compare
// against the named constants, so only this one notices a changed character.

#include <gtest/gtest.h>

#include "core/development/artifact_candidate.hpp"
#include "core/development/git_recommendation.hpp"
#include "core/development/git_runner.hpp"
#include "core/development/search.hpp"
#include "core/development/state.hpp"

namespace bramvelt::development {
namespace {

TEST(DevFixedTexts, LetterForLetter) {
    const std::vector<std::pair<std::string_view, std::string_view>> texts = {
        {kReasonPrimary, "Primary repository or submodule: keep its shared Git data."},
        {kReasonDirty, "Uncommitted changes, untracked files, or an incomplete Git status check."},
        {kReasonIgnoredUnknown,
         "Ignored files include data that is not a recognized regenerable artifact."},
        {kReasonLockedOrBusy, "Worktree is locked or has a Git operation in progress."},
        {kReasonShallow, "Shallow history cannot establish complete ancestry."},
        {kReasonPartial,
         "Partial clone: history checks are skipped to avoid implicit object downloads."},
        {kReasonMeasurementIncomplete, "Size and activity measurement is incomplete."},
        {kReasonNoContainingBranch,
         "No other local branch or verified remote branch is known to contain HEAD."},
        {kReasonCachedRefs,
         "Remote-tracking refs are cached evidence, not a live backup confirmation."},
        {kReasonEligible,
         "Clean linked worktree; committed history is preserved. Review age and running tools "
         "before removal."},
        {kReasonSquash, "Ancestry checks do not recognize squash merges or rebased equivalents."},
        {kReasonOwnershipUnproven,
         "Contains tracked files, is not ignored by Git, or its ownership check failed."},
        {kReasonManifestNoProof,
         "A package manifest and folder name alone do not prove build ownership outside Git."},
        {kReasonNodeOutsideGit,
         "Outside a Git project, nothing proves these packages can be installed again; "
         "installed tools and extensions may need them."},
        {kReasonMeasurementStopped, "Measurement stopped or encountered inaccessible content."},
        {kReasonTemporaryLocation,
         "Temporary location alone does not prove that its contents can be recreated."},
        {kReasonAccessEstimate,
         "Access time is an estimate; filesystem mount settings and background readers affect "
         "it."},
        {kWarningRemoteUnverified,
         "A remote could not be verified; cached refs are not a confirmed backup."},
        {kWarningLimit,
         "Scan limit reached; incomplete measurements and checks cannot establish removal "
         "eligibility."},
        {kWarningSkipped,
         "Some paths were inaccessible, on another filesystem, or outside the selected scope."},
        {kBadSearchRequest, "Choose 1 through 32 absolute folders and bounded scan limits"},
        {kGitCancelled, "Cancelled"},
        {kGitKilled, "Git check cancelled, timed out, or exceeded its output limit"},
        {kGitUnavailable, "Git check unavailable"},
        {kGitOutputTooLarge, "Git output exceeded its limit"},
        {kGitBudgetSpent, "Scan limit reached or cancelled"},
    };
    for (const auto& [constant, text] : texts) {
        EXPECT_EQ(constant, text);
    }
    EXPECT_EQ(recognized_reason("CMake/Ninja"),
              "Recognized CMake/Ninja output; regenerating it may require downloads or a "
              "rebuild.");
}

}  // namespace
}  // namespace bramvelt::development
