#pragma once
// Inspects one Git checkout (a main repository, a linked worktree, a submodule or a bare
// Git directory) through the budgeted runner and its own Git files, measures it, and
// emits its candidate after the artifacts found inside it. A failed query only leaves
// its part of the evidence at the value that blocks removal.

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "core/development/repo_facts.hpp"
#include "core/development/types.hpp"

namespace bramvelt::development {

struct DevScanState;

inline constexpr std::size_t kGitRefListLimit = 32;

void inspect_git_checkout(DevScanState& state, const std::string& folder);

// The facts of the repository under `common_dir`, from the state or newly gathered.
const RepoFacts& load_repo_facts(DevScanState& state, const std::string& folder,
                                 const std::string& common_dir);

struct GitStatusCounts {
    std::uint64_t staged = 0;
    std::uint64_t modified = 0;
    std::uint64_t untracked = 0;
    DirtyState dirty = DirtyState::NotEstablished;
    std::vector<std::string> ignored;  // relative paths of "!!" records
};

// Reads `status --porcelain=v1 -z` output.
GitStatusCounts parse_git_status(std::string_view output);

// "<object id>\t<refs/heads/branch>" gives (branch, object id); anything else nothing.
std::optional<std::pair<std::string, std::string>> parse_ls_remote_line(std::string_view line);

// Fills merged_into, cached_remote_refs and verified_remote_refs of `detail`.
void parse_containing_refs(DevScanState& state, const std::string& folder, const RepoFacts* facts,
                           GitDetail& detail);

// Modification time of dir/name (links followed), whole seconds since 1970.
std::optional<std::uint64_t> git_file_mtime(std::string_view dir, std::string_view name);

}  // namespace bramvelt::development
