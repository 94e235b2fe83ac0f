#include "core/development/git_recommendation.hpp"

#include "platform/utf8.hpp"

namespace bramvelt::development {

DevCandidate build_git_candidate(const std::string& folder, CheckoutRole role, TrackedList tracked,
                                 const FolderMeasurement& measurement, GitDetail detail) {
    const bool linked_worktree = role == CheckoutRole::LinkedWorktree;
    const bool no_container = detail.merged_into.empty() && detail.verified_remote_refs.empty();
    const bool eligible = linked_worktree && detail.dirty == DirtyState::No &&
                          detail.ignored_unknown == 0 && !detail.locked && !detail.shallow &&
                          !detail.partial_history && !detail.operation_in_progress &&
                          tracked == TrackedList::Known && measurement.complete && !no_container;

    std::vector<std::string> reasons;
    const auto add = [&reasons](bool when, std::string_view text) {
        if (when) reasons.emplace_back(text);
    };
    add(!linked_worktree, kReasonPrimary);
    add(detail.dirty != DirtyState::No, kReasonDirty);
    add(detail.ignored_unknown != 0, kReasonIgnoredUnknown);
    add(detail.locked || detail.operation_in_progress, kReasonLockedOrBusy);
    add(detail.shallow, kReasonShallow);
    add(detail.partial_history, kReasonPartial);
    add(!measurement.complete, kReasonMeasurementIncomplete);
    add(no_container, kReasonNoContainingBranch);
    add(!detail.cached_remote_refs.empty() && detail.verified_remote_refs.empty(),
        kReasonCachedRefs);
    add(eligible, kReasonEligible);
    add(true, kReasonSquash);

    DevCandidate c;
    c.path = platform::to_utf8_lossy(folder);
    c.kind = linked_worktree ? CandidateKind::Worktree : CandidateKind::Repository;
    c.tool = "Git";
    c.allocated_bytes = measurement.allocated_bytes;
    c.files = measurement.files;
    c.measurement_complete = measurement.complete;
    for (const auto& t :
         {measurement.last_modified, detail.last_git_activity, detail.last_commit}) {
        if (t && (!c.last_modified || *t > *c.last_modified)) {
            c.last_modified = t;
        }
    }
    c.recommendation = eligible ? Recommendation::ReviewRemoval : Recommendation::Keep;
    c.reasons = std::move(reasons);
    c.git = std::move(detail);
    return c;
}

}  // namespace bramvelt::development
