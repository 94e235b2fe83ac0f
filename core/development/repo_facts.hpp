#pragma once
// What one search learns once about a whole repository, kept under its common Git
// directory so the second and later worktrees reuse it.

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "core/development/worktree_list.hpp"

namespace bramvelt::development {

struct RepoFacts {
    std::optional<std::uint64_t> remote_checked_at;
    std::optional<std::uint64_t> last_fetch;
    std::vector<WorktreeEntry> worktree_list;
    std::vector<std::string> remotes;
    // Remote name to the (branch, object id) pairs its live ls-remote reported.
    std::map<std::string, std::vector<std::pair<std::string, std::string>>> remote_heads;
    bool partial_history = false;
};

struct DevScanState;

// The facts of the repository under `common_dir`, from the state or newly gathered. Newly
// gathering them also queues the repository's other worktrees that lie inside the roots.
const RepoFacts& load_repo_facts(DevScanState& state, const std::string& folder,
                                 const std::string& common_dir);

// "<object id>\t<refs/heads/branch>" gives (branch, object id); anything else nothing.
std::optional<std::pair<std::string, std::string>> parse_ls_remote_line(std::string_view line);

// Modification time of dir/name (links followed), whole seconds since 1970.
std::optional<std::uint64_t> git_file_mtime(std::string_view dir, std::string_view name);

}  // namespace bramvelt::development
