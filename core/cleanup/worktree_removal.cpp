#include "core/cleanup/worktree_removal.hpp"

#include <algorithm>
#include <cerrno>
#include <optional>

#include "core/cleanup/dev_cleanup_texts.hpp"
#include "core/cleanup/failure.hpp"
#include "core/development/filter_drivers.hpp"
#include "core/development/git_runner.hpp"
#include "core/development/paths.hpp"
#include "core/development/state.hpp"
#include "core/development/worktree_list.hpp"
#include "core/filesystem/byte_path.hpp"
#include "core/filesystem/parent_handle.hpp"
#include "platform/file_status.hpp"
#include "platform/utf8.hpp"

namespace bramvelt::cleanup {
namespace {

using development::DevCandidate;

// The filter drivers `git worktree remove` must empty: its check that the worktree is
// clean hashes the worktree's files through them. Read from the repository's
// configuration files (every worktree's included), else asked of Git in the worktree,
// whose listing shows what a command there sees. Nothing when neither can tell; the
// runner then refuses the removal.
std::optional<development::FilterDrivers> worktree_filter_drivers(std::string_view worktree,
                                                                  std::string_view repository,
                                                                  const CancelFlag& cancel) {
    static const std::vector<std::string> kCommonDir{"rev-parse", "--path-format=absolute",
                                                     "--git-common-dir"};
    if (auto out =
            development::run_git(repository, kCommonDir, cancel, development::kGitTimeoutSeconds)) {
        if (auto common = development::parse_single_line(std::move(*out))) {
            if (auto drivers = development::read_filter_drivers(*common)) return drivers;
        }
    }
    auto listing = development::run_git(worktree, development::filter_listing_args(), cancel,
                                        development::kGitTimeoutSeconds);
    if (!listing) return std::nullopt;
    return development::parse_filter_listing(*listing);
}

}  // namespace

std::expected<filesystem::FileIdentity, std::string> read_output_identity(std::string_view output) {
    auto parent = filesystem::open_real_parent(output);
    if (!parent) {
        // The open reports a link on the way by whichever error its walk met there.
        if (development::has_symlink_component(output)) return fail(kFolderChangedOrAlias);
        return std::unexpected(std::move(parent.error().message));
    }
    auto identity = filesystem::identity_at(parent->parent_fd(), parent->name());
    if (!identity) return std::unexpected(std::move(identity.error().message));
    return std::move(*identity);
}

std::vector<DevCandidate> retain_worktree_outputs(std::vector<DevCandidate> candidates,
                                                  std::string_view worktree) {
    std::erase_if(candidates, [&](const DevCandidate& c) {
        return c.recommendation != development::Recommendation::Regenerable || c.git ||
               !development::path_inside(c.path, worktree);
    });
    return candidates;
}

std::vector<WorktreeOutput> worktree_outputs_to_clean(std::vector<DevCandidate>& outputs) {
    std::stable_sort(outputs.begin(), outputs.end(),
                     [](const DevCandidate& a, const DevCandidate& b) { return a.path < b.path; });
    std::vector<WorktreeOutput> taken;
    for (std::size_t k = 0; k < outputs.size(); ++k) {
        const std::string& path = outputs[k].path;
        const bool went_along =
            std::any_of(taken.begin(), taken.end(), [&](const WorktreeOutput& o) {
                return development::path_inside(path, o.candidate->path);
            });
        if (!went_along) taken.push_back({k, &outputs[k]});
    }
    return taken;
}

std::expected<void, std::string> remove_worktree(std::string_view worktree,
                                                 std::string_view repository,
                                                 const CancelFlag& cancel) {
    if (!platform::is_valid_utf8(worktree)) return fail(kUnsupportedPath);
    const auto drivers = worktree_filter_drivers(worktree, repository, cancel);
    const std::vector<std::string> remove{"worktree", "remove", "--", std::string(worktree)};
    (void)development::run_git(repository, remove, cancel, kWorktreeRemoveSeconds,
                               drivers ? &*drivers : nullptr);

    const auto left = platform::status_of_path(worktree, platform::FollowFinalLink::no);
    if (left || left.error() != ENOENT) return fail(kWorktreeRemovalUnconfirmed);
    static const std::vector<std::string> kList{"worktree", "list", "--porcelain", "-z"};
    // The confirmation runs even when the run was cancelled meanwhile.
    auto listed = development::run_git(repository, kList, make_cancel_flag(), kWorktreeListSeconds);
    if (!listed) return std::unexpected(std::move(listed.error()));
    for (const development::WorktreeEntry& entry : development::parse_worktree_list(*listed)) {
        if (entry.path == worktree || filesystem::paths_equal(entry.path, worktree)) {
            return fail(kWorktreeRemovalUnconfirmed);
        }
    }
    return {};
}

}  // namespace bramvelt::cleanup
