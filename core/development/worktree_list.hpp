#pragma once
// Reading Git's one-line answers and its NUL-separated worktree list.

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace bramvelt::development {

struct DevScanState;

// One worktree as `git worktree list --porcelain -z` lists it; the main worktree first.
struct WorktreeEntry {
    // Device and inode of the listed folder (links followed), when it is a directory.
    std::optional<std::pair<std::uint64_t, std::uint64_t>> identity;
    std::string path;
    std::optional<std::string> branch;  // after "branch refs/heads/"; may be empty
    bool locked = false;
    bool operator==(const WorktreeEntry&) const = default;
};

// The answer as one text: trailing line feeds removed; nothing for invalid UTF-8, an
// empty answer or more than one line.
std::optional<std::string> parse_single_line(std::string bytes);

// Complete records only (each ends with an empty NUL-separated piece); never fails.
std::vector<WorktreeEntry> parse_worktree_list(std::string_view bytes);

// The common Git directory of the checkout at `folder`, through the search's budget.
std::optional<std::string> query_common_dir(DevScanState& state, const std::string& folder);
// The worktree list of the repository at `folder`; nothing when the query fails.
std::optional<std::vector<WorktreeEntry>> query_worktree_list(DevScanState& state,
                                                              const std::string& folder);

}  // namespace bramvelt::development
