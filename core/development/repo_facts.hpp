#pragma once
// What one search learns once about a whole repository, kept under its common Git
// directory so the second and later worktrees reuse it.

#include <cstdint>
#include <map>
#include <optional>
#include <string>
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

}  // namespace bramvelt::development
