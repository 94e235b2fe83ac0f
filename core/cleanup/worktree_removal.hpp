#pragma once
// A clean Git worktree is cleaned in two stages: its generated output first, through the
// orchestrator, then the worktree itself with `git worktree remove`, never forced, so its
// branch and history stay in the repository. These are the pieces of both stages.

#include <cstddef>
#include <cstdint>
#include <expected>
#include <string>
#include <string_view>
#include <vector>

#include "core/development/types.hpp"
#include "core/filesystem/identity.hpp"
#include "platform/cancel_flag.hpp"

namespace bramvelt::cleanup {

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

// `git worktree remove -- <worktree>` in the repository folder, without forcing and with
// the repository's filter drivers emptied; then the worktree must be gone and no longer
// in Git's worktree list. Git's own answer is not trusted either way.
std::expected<void, std::string> remove_worktree(std::string_view worktree,
                                                 std::string_view repository,
                                                 const CancelFlag& cancel);

}  // namespace bramvelt::cleanup
