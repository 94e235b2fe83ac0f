#include "core/cleanup/worktree_removal.hpp"

#include <algorithm>
#include <cerrno>
#include <optional>

#include "core/cleanup/dev_cleanup_texts.hpp"
#include "core/cleanup/failure.hpp"
#include "core/cleanup/orchestrator.hpp"
#include "core/cleanup/worktree_pairing.hpp"
#include "core/development/filter_drivers.hpp"
#include "core/development/git_runner.hpp"
#include "core/development/paths.hpp"
#include "core/development/state.hpp"
#include "core/development/tracked_files.hpp"
#include "core/development/worktree_list.hpp"
#include "core/filesystem/byte_path.hpp"
#include "core/filesystem/parent_handle.hpp"
#include "platform/change_clock.hpp"
#include "platform/file_status.hpp"
#include "platform/text.hpp"
#include "platform/utf8.hpp"

namespace bramvelt::cleanup {
namespace {

using development::DevCandidate;

// The filter drivers the worktree's status must empty: it hashes the worktree's files
// through them. Read from the repository's configuration files (every worktree's
// included), else asked of Git in the worktree, whose listing shows what a command there
// sees. Nothing when neither can tell; the runner then refuses the status.
std::optional<development::FilterDrivers> worktree_filter_drivers(std::string_view worktree,
                                                                  std::string_view common_dir,
                                                                  const CancelFlag& cancel) {
    if (auto drivers = development::read_filter_drivers(common_dir)) return drivers;
    auto listing = development::run_git(worktree, development::filter_listing_args(), cancel,
                                        development::kGitTimeoutSeconds);
    if (!listing) return std::nullopt;
    return development::parse_filter_listing(*listing);
}

// Whether the index's entries, read once after the status, let the worktree go: no
// submodule checked out in it (mode 160000, its folder holding a `.git`), and no file
// present whose edits the status cannot show (skip-worktree, assume-unchanged; the flag
// may be newer than the re-check, or than the status's start).
bool index_allows_removal(std::string_view worktree, const CancelFlag& cancel) {
    static const std::vector<std::string> kStage{"ls-files", "--stage", "-v", "-z"};
    const auto staged =
        development::run_git(worktree, kStage, cancel, development::kGitTimeoutSeconds);
    if (!staged) return false;
    for (const std::string_view record : platform::zero_separated_records(*staged)) {
        // "<tag> <mode> <object> <stage>\t<path>", the tag one letter and a space.
        const std::size_t tab = record.find('\t');
        if (tab == std::string_view::npos || tab < 2) continue;
        const std::string_view path = record.substr(tab + 1);
        if (development::hidden_from_status(record.front()) &&
            development::present_in_checkout(worktree, path)) {
            return false;
        }
        if (!record.substr(2).starts_with("160000 ")) continue;
        const std::string dot_git =
            filesystem::path_join(filesystem::path_join(worktree, path), ".git");
        const auto found = platform::status_of_path(dot_git, platform::FollowFinalLink::no);
        if (found || found.error() != ENOENT) return false;
    }
    return true;
}

// Git's "would you remove it without forcing?", asked without deleting anything: the
// worktree is listed, is not the main worktree and is not locked; its status, with the
// repository's filter drivers emptied, is clean; and then it holds no submodule and no
// edit the status looks past. Every untracked file counts, whatever
// status.showUntrackedFiles says: one made since the re-check would go with the folder.
// Ignored files do not count, as for Git's own unforced removal; the re-check accounted
// for those it found.
bool git_would_remove(std::string_view worktree, std::string_view repository,
                      const WorktreeAdmin& admin, const CancelFlag& cancel) {
    static const std::vector<std::string> kList{"worktree", "list", "--porcelain", "-z"};
    auto listed = development::run_git(repository, kList, cancel, kWorktreeListSeconds);
    if (!listed) return false;
    const auto entries = development::parse_worktree_list(*listed);
    const auto it = std::find_if(entries.begin(), entries.end(), [&](const auto& entry) {
        return filesystem::paths_equal(entry.path, worktree);
    });
    if (it == entries.end() || it == entries.begin() || it->locked) return false;

    const auto modules =
        platform::status_at(admin.admin_fd.get(), "modules", platform::FollowFinalLink::no);
    if (modules || modules.error() != ENOENT) return false;

    const auto drivers = worktree_filter_drivers(worktree, admin.common_dir, cancel);
    static const std::vector<std::string> kStatus{"status", "--porcelain", "--untracked-files=all",
                                                  "--ignore-submodules=dirty"};
    auto status = development::run_git(worktree, kStatus, cancel, kWorktreeRemoveSeconds,
                                       drivers ? &*drivers : nullptr);
    // The index's flags after the status they complete: a flag set while it ran hides an
    // edit from it, but not from this.
    return status && status->empty() && index_allows_removal(worktree, cancel);
}

bool exists_at(int dir_fd, const std::string& name) {
    const auto found = platform::status_at(dir_fd, name.c_str(), platform::FollowFinalLink::no);
    return found || found.error() != ENOENT;
}

// The `worktrees` folder when it is still the one paired and is left empty, removed as
// any emptied folder is: through its parent opened with no link followed, checked again.
void remove_worktrees_if_empty(const WorktreeAdmin& admin) {
    auto handle =
        filesystem::open_real_parent(filesystem::path_join(admin.common_dir, "worktrees"));
    if (!handle) return;
    const auto now = filesystem::identity_at(handle->parent_fd(), handle->name());
    const auto held = platform::status_of_fd(admin.worktrees_fd.get());
    if (!now || !held) return;
    const filesystem::FileIdentity paired = filesystem::identity_from_status(*held);
    if (now->device != paired.device || now->inode != paired.inode || now->kind != paired.kind) {
        return;
    }
    // Only an empty folder goes; one that is not empty, or anything else, stays.
    (void)filesystem::unlink_verified(*handle, filesystem::UnlinkAs::Directory, *now);
}

bool is_locked(const WorktreeAdmin& admin) {
    return exists_at(admin.admin_fd.get(), "locked");
}

// Git's entry for the worktree, once its folder is gone: the administrative folder that
// was paired with it, removed like the folder (and the `worktrees` folder when that leaves
// it empty, as Git does). Already gone counts as dropped.
bool drop_admin_folder(const WorktreeAdmin& admin, std::string_view item_id,
                       const WorktreeRemovalRun& run, const CancelFlag& finish) {
    const auto now = filesystem::identity_at(admin.worktrees_fd.get(), admin.name);
    if (now) {
        if (now->device != admin.identity.device || now->inode != admin.identity.inode ||
            now->kind != admin.identity.kind) {
            return false;
        }
        const CleanupItem entry{*now, std::string(item_id), admin.path};
        auto removed = run_cleanup_plan(run.context, CleanupAction::remove(), run.acknowledged,
                                        entry, finish, run.link, run.base, run.sink);
        if (!removed && exists_at(admin.worktrees_fd.get(), admin.name)) return false;
    } else if (now.error().error_number != ENOENT) {
        return false;
    }
    remove_worktrees_if_empty(admin);
    return true;
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

std::expected<std::uint64_t, WorktreeRemovalFailure> remove_worktree(
    const WorktreeTarget& target, const WorktreeRemovalRun& run) {
    const auto kept = [](std::string text) {
        return std::unexpected(WorktreeRemovalFailure{std::move(text), 0, false});
    };
    // Once the folder is gone, Git's entry for it is all that can remain.
    const auto entry_left = [&target] {
        return std::unexpected(WorktreeRemovalFailure{std::string(kWorktreeRemovalUnconfirmed),
                                                      target.measured_bytes, true});
    };
    if (!platform::is_valid_utf8(target.worktree)) return kept(std::string(kUnsupportedPath));

    // Marked before Git's first look: an entry changed after it may have changed after Git
    // (or the flags read after its status) looked, so the removal keeps it and stops there.
    const platform::ChangeTime checked_from = platform::mark_change_moment();
    auto admin = pair_worktree_admin(target.worktree, target.repository, run.context,
                                     run.acknowledged, run.cancel);
    if (!admin) return kept(std::move(admin.error()));
    if (!git_would_remove(target.worktree, target.repository, *admin, run.cancel)) {
        return kept(std::string(kWorktreeRemovalUnconfirmed));
    }

    if (is_locked(*admin)) return kept(std::string(kWorktreeRemovalUnconfirmed));
    const CleanupItem folder{target.identity, std::string(target.item_id),
                             std::string(target.worktree), checked_from};
    auto removed = run_cleanup_plan(run.context, CleanupAction::remove(), run.acknowledged, folder,
                                    run.cancel, run.link, run.base, run.sink);
    if (!removed) {
        return std::unexpected(WorktreeRemovalFailure{
            std::move(removed.error().message), removed.error().processed_bytes,
            removed.error().error_code == kCodeDevelopmentPartial});
    }

    // The rest of this step finishes what it started, whatever the run's flag says now.
    const CancelFlag finish = make_cancel_flag();
    if (!drop_admin_folder(*admin, target.item_id, run, finish)) return entry_left();
    static const std::vector<std::string> kList{"worktree", "list", "--porcelain", "-z"};
    auto listed = development::run_git(target.repository, kList, finish, kWorktreeListSeconds);
    if (!listed) return entry_left();
    for (const development::WorktreeEntry& entry : development::parse_worktree_list(*listed)) {
        if (filesystem::paths_equal(entry.path, target.worktree)) return entry_left();
    }
    return target.measured_bytes;
}

}  // namespace bramvelt::cleanup
