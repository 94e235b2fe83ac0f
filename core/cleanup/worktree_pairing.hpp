#pragma once
// A linked worktree and its administrative folder (`worktrees/<name>` in the repository's
// common Git directory), paired from both ends before anything of either is removed:
// exactly one administrative folder names the worktree's `.git` file, and that file (a
// regular file, never a link) names the folder back. Both ends are compared by device
// and inode, never by text.

#include <expected>
#include <string>
#include <string_view>

#include "core/filesystem/identity.hpp"
#include "core/policy/context.hpp"
#include "core/policy/decision.hpp"
#include "platform/cancel_flag.hpp"
#include "platform/fd.hpp"

namespace bramvelt::cleanup {

// A `.git` file or a `gitdir` file is a line of a path; anything longer is not Git's.
inline constexpr std::size_t kGitLinkFileLimit = 8192;

// Owns the descriptors it holds (each opened with no link followed) and closes them.
struct WorktreeAdmin {
    std::string common_dir;             // real path of the common Git directory
    std::string name;                   // the plain name below its `worktrees` folder
    std::string path;                   // common_dir/worktrees/name
    filesystem::FileIdentity identity;  // the administrative folder as opened
    platform::Fd common_fd;
    platform::Fd worktrees_fd;  // common_dir/worktrees
    platform::Fd admin_fd;
};

// Pairs the worktree at `worktree` (a real path) with its administrative folder, asking
// Git in `repository` for the common Git directory, then decides that folder with the
// safety policy as any removal target is decided. Fails with the policy's text, or with
// the text of a worktree removal Git could not confirm.
std::expected<WorktreeAdmin, std::string> pair_worktree_admin(std::string_view worktree,
                                                              std::string_view repository,
                                                              const policy::PolicyContext& context,
                                                              policy::Acknowledgement acknowledged,
                                                              const CancelFlag& cancel);

// The path a `.git` file or a `gitdir` file names: its "gitdir: " line or its one line,
// without the line end. Nothing for any other content.
std::optional<std::string> git_link_target(std::string_view contents, bool gitdir_prefix);

}  // namespace bramvelt::cleanup
