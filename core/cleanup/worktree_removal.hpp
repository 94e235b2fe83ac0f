#pragma once
// A clean Git worktree is cleaned in two stages: its generated output first, through the
// orchestrator, then the worktree itself, once Git confirms it would remove it without
// forcing: its folder and then Git's entry for it go through this program's own guarded
// removal (Git deletes by path and would follow a link swapped in meanwhile), so its
// branch and history stay in the repository. These are the pieces of both stages.

#include <cstddef>
#include <cstdint>
#include <expected>
#include <string>
#include <string_view>
#include <vector>

#include "core/cleanup/event.hpp"
#include "core/cleanup/progress.hpp"
#include "core/development/types.hpp"
#include "core/filesystem/identity.hpp"
#include "core/host_trash/host_link.hpp"
#include "core/policy/context.hpp"
#include "core/policy/decision.hpp"
#include "platform/cancel_flag.hpp"

namespace bramvelt::cleanup {

// Git's check that the worktree is clean, and the confirming list.
inline constexpr std::uint64_t kWorktreeRemoveSeconds = 120;
inline constexpr std::uint64_t kWorktreeListSeconds = 5;

// The candidates that are generated output inside the worktree ("regenerable", no Git
// evidence, at or below `worktree` component by component), in their order.
std::vector<development::DevCandidate> retain_worktree_outputs(
    std::vector<development::DevCandidate> candidates, std::string_view worktree);

// One output to clean: its position in the list sorted by path (which names it), and
// the output.
struct WorktreeOutput {
    std::size_t position = 0;
    const development::DevCandidate* candidate = nullptr;
};

// `outputs` sorted by path, bytewise and stable, then each in that order unless it lies
// inside an output taken before it (any of them, not only the last: "a", "a-x", "a/b"
// sort in that order): cleaning that one took it along.
std::vector<WorktreeOutput> worktree_outputs_to_clean(
    std::vector<development::DevCandidate>& outputs);

// The identity an output is cleaned with, read just before its plan: through its parent
// opened with no link followed anywhere, so that a folder on the way swapped for a link
// fails here (kFolderChangedOrAlias) instead of handing the plan another folder's
// identity to expect.
std::expected<filesystem::FileIdentity, std::string> read_output_identity(std::string_view output);

// One worktree to remove, as the run's last re-check left it.
struct WorktreeTarget {
    std::string_view worktree;                 // its canonical path
    std::string_view repository;               // from its Git evidence
    std::string_view item_id;                  // the run's id for the item
    const filesystem::FileIdentity& identity;  // the folder as the worktree steps read it
    std::uint64_t measured_bytes = 0;          // what the re-check measured of it
};

// Where a worktree removal stopped: the text, and what of the folder was gone by then.
struct WorktreeRemovalFailure {
    std::string message;
    std::uint64_t removed_bytes = 0;
    bool part_removed = false;
};

// The run's context for the steps of a removal.
struct WorktreeRemovalRun {
    const policy::PolicyContext& context;
    policy::Acknowledgement acknowledged;
    const CancelFlag& cancel;
    host_trash::CleanupHostLink& link;
    const CleanupProgress& base;  // the run's progress, which the steps' progress is rebased on
    const CleanupEventSink& sink;
};

// Pairs the worktree with its administrative folder; asks Git, without deleting anything,
// whether it would remove the worktree unforced (listed, not the main worktree, not
// locked, `git status` clean with every untracked file shown and the repository's filter
// drivers emptied, then no submodules and no file present whose edits the status looks
// past); removes the folder, then the administrative folder, each with the guarded
// permanent removal (never `git worktree remove` or `prune`, which delete by path); then
// Git's list must no longer name it. Nothing in the folder changed since just before
// Git's first look is removed: the removal stops at such an entry with
// kChangedDuringCheck, keeping it, everything not yet removed and Git's entry. The
// removal's own progress (stage "removing", a path for detail) goes to `run.sink`; a
// development run keeps it out of its stream, where one "removing_worktree" Progress
// stands for the whole step. Returns the folder's bytes (`measured_bytes`); a failure
// tells what was removed before.
std::expected<std::uint64_t, WorktreeRemovalFailure> remove_worktree(const WorktreeTarget& target,
                                                                     const WorktreeRemovalRun& run);

}  // namespace bramvelt::cleanup
