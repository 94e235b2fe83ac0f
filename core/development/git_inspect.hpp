#pragma once
// Inspects one Git checkout (a main repository, a linked worktree, a submodule or a bare
// Git directory) through the budgeted runner and its own Git files, in four steps: the
// facts of its repository and Git directory, the status of its working tree, the refs
// that contain its HEAD, and its measurement, which emits the artifacts found inside it
// before the checkout's own candidate. A failed query only leaves its part of the
// evidence at the value that blocks removal.

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "core/development/repo_facts.hpp"
#include "core/development/types.hpp"

namespace bramvelt::development {

struct DevScanState;

inline constexpr std::size_t kGitRefListLimit = 32;

void inspect_git_checkout(DevScanState& state, const std::string& folder);

struct GitStatusCounts {
    std::uint64_t staged = 0;
    std::uint64_t modified = 0;
    std::uint64_t untracked = 0;
    DirtyState dirty = DirtyState::NotEstablished;
    std::vector<std::string> ignored;  // relative paths of "!!" records
};

// Reads `status --porcelain=v1 -z` output.
GitStatusCounts parse_git_status(std::string_view output);

// Fills merged_into, cached_remote_refs and verified_remote_refs of `detail`.
void parse_containing_refs(DevScanState& state, const std::string& folder, const RepoFacts* facts,
                           GitDetail& detail);

}  // namespace bramvelt::development
