#include "core/cleanup/dev_recheck.hpp"

#include <algorithm>
#include <optional>

#include "core/cleanup/dev_cleanup_texts.hpp"
#include "core/cleanup/failure.hpp"
#include "core/development/artifact_candidate.hpp"
#include "core/development/classify.hpp"
#include "core/development/git_inspect.hpp"
#include "core/development/measure.hpp"
#include "core/development/paths.hpp"
#include "core/development/state.hpp"
#include "core/filesystem/byte_path.hpp"
#include "core/policy/decision.hpp"
#include "platform/file_status.hpp"
#include "platform/os_error.hpp"

namespace bramvelt::cleanup {
namespace {

using development::CandidateKind;
using development::DevCandidate;
using development::Recommendation;
using platform::FollowFinalLink;

// A folder that holds ".git" (any kind, links followed) or is itself a Git directory.
bool is_checkout(const std::string& folder) {
    return platform::status_of_path(filesystem::path_join(folder, ".git"), FollowFinalLink::yes)
               .has_value() ||
           development::is_git_dir(folder);
}

// The nearest ancestor of `folder` that is a checkout, from its parent upwards.
std::optional<std::string> enclosing_checkout(const std::string& folder) {
    for (std::optional<std::string> at = filesystem::path_parent(folder); at && !at->empty();
         at = filesystem::path_parent(*at)) {
        if (is_checkout(*at)) return at;
    }
    return std::nullopt;
}

// The artifact `folder` is, as the search would report it with its checkout's context.
std::expected<void, std::string> rescan_artifact(development::DevScanState& state,
                                                 const std::string& folder) {
    const auto artifact = development::classify_artifact(folder);
    if (!artifact) return fail(kNoLongerRecognized);
    std::optional<development::RepoContext> repo;
    if (auto root = enclosing_checkout(folder)) {
        std::optional<std::vector<std::string>> tracked;
        if (auto listed = development::run_ls_files(state, *root)) {
            tracked = std::move(listed->paths);
        }
        repo = development::RepoContext{std::move(*root), std::move(tracked)};
    }
    const auto status = platform::status_of_path(folder, FollowFinalLink::no);
    if (!status) return std::unexpected(platform::os_error_text(status.error()));
    development::HardLinkSet links;
    const development::FolderMeasurement measurement =
        development::measure_candidate(state, folder, status->device, nullptr, links);
    development::build_artifact_candidate(state, folder, *artifact, repo ? &*repo : nullptr,
                                          measurement);
    return {};
}

bool same_path(std::string_view a, std::string_view b) {
    return a == b || filesystem::paths_equal(a, b);
}

// A worktree passes only as it was reviewed: offered for removal, provably clean, free,
// at the recorded HEAD and contained in another branch.
bool worktree_still_removable(const DevCandidate& candidate, const DevCleanupItem& item) {
    const development::GitDetail& git = *candidate.git;
    return candidate.recommendation == Recommendation::ReviewRemoval &&
           git.dirty == development::DirtyState::No && git.staged == 0 && git.modified == 0 &&
           git.untracked == 0 && git.ignored_unknown == 0 && !git.locked && !git.shallow &&
           !git.partial_history && !git.operation_in_progress && git.head && item.head &&
           *git.head == *item.head &&
           (!git.merged_into.empty() || !git.verified_remote_refs.empty());
}

bool still_rebuildable(const DevCandidate& candidate) {
    return candidate.recommendation == Recommendation::Regenerable && !candidate.git &&
           (candidate.kind == CandidateKind::Build || candidate.kind == CandidateKind::Cache ||
            candidate.kind == CandidateKind::Dependencies);
}

}  // namespace

std::expected<std::vector<DevCandidate>, std::string> rescan_dev_folder(std::string_view folder,
                                                                        bool verify_remotes,
                                                                        const CancelFlag& cancel) {
    const std::string path(folder);
    const auto status = platform::status_of_path(path, FollowFinalLink::no);
    if (development::has_symlink_component(path) || !status || !status->is_directory()) {
        return fail(kFolderChangedOrAlias);
    }
    development::CandidateListSink sink;
    development::DevScanState state(
        development::DevScanRequest{{path}, kRecheckDepth, kRecheckEntries, verify_remotes}, {path},
        cancel, sink);
    if (is_checkout(path)) {
        development::inspect_git_checkout(state, path);
    } else if (auto artifact = rescan_artifact(state, path); !artifact) {
        return std::unexpected(std::move(artifact.error()));
    }
    if (state.summary.entries_examined >= state.request.max_entries ||
        state.kept_candidates.size() > kMaxRecheckCandidates ||
        state.elapsed() >= development::kSearchTimeLimit || state.cancelled()) {
        return fail(kRecheckLimit);
    }
    return std::move(state.kept_candidates);
}

std::expected<DevRecheck, std::string> recheck_dev_item(const DevCleanupItem& item,
                                                        const DevCleanupRequest& request,
                                                        const CancelFlag& cancel) {
    if (auto gate =
            policy::require_acknowledgement(request.context, item.path, request.acknowledged);
        !gate) {
        return std::unexpected(std::move(gate.error()));
    }
    auto candidates = rescan_dev_folder(item.path, request.verify_remotes, cancel);
    if (!candidates) return std::unexpected(std::move(candidates.error()));
    auto found = std::find_if(candidates->begin(), candidates->end(),
                              [&](const DevCandidate& c) { return c.path == item.path; });
    if (found == candidates->end()) {
        found = std::find_if(candidates->begin(), candidates->end(),
                             [&](const DevCandidate& c) { return same_path(c.path, item.path); });
    }
    if (found == candidates->end()) return fail(kNoLongerCandidate);
    const DevCandidate& candidate = *found;
    if (!candidate.measurement_complete || candidate.kind != item.kind) {
        return fail(kNotFullyChecked);
    }
    if (candidate.kind == CandidateKind::Worktree) {
        if (!candidate.git) return fail(kGitEvidenceUnavailable);
        if (!worktree_still_removable(candidate, item)) return fail(kWorktreeChanged);
    } else if (!still_rebuildable(candidate)) {
        return fail(kNoLongerRebuildable);
    }
    DevCandidate own = candidate;
    return DevRecheck{std::move(own), std::move(*candidates)};
}

}  // namespace bramvelt::cleanup
