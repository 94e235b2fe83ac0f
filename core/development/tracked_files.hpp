#pragma once
// A checkout's tracked files as `git ls-files -v -z` lists them, with the entries whose
// working-tree file Git's status looks past: skip-worktree and assume-unchanged. An edit
// to such a file shows in no status, so its file, when present, counts as modified; when
// absent (as a sparse checkout leaves the files outside its cone) nothing is lost, since
// the index holds its content.

#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace bramvelt::development {

struct TrackedFiles {
    // Relative to the checkout, invalid UTF-8 replaced, in Git's order.
    std::vector<std::string> paths;
    // The entries the status looks past, as raw bytes, so that their files can be found.
    std::vector<std::string> hidden_from_status;
};

// Whether an entry's tag (the first byte of its `ls-files -v` record) marks it
// skip-worktree ("S") or assume-unchanged (any lower-case tag).
bool hidden_from_status(char tag);

// Reads `ls-files -v -z` output: records of a two-byte tag and the path.
TrackedFiles parse_tracked_files(std::string_view output);

// Whether anything (a file, a link, a folder) is at `relative` below `checkout`. An
// entry that cannot be examined counts as there: only "not found" proves it absent.
bool present_in_checkout(std::string_view checkout, std::string_view relative);

// How many of `hidden` (relative to `checkout`) have their file in the checkout: edits
// the status did not show.
std::uint64_t count_hidden_edits(std::string_view checkout, std::span<const std::string> hidden);

}  // namespace bramvelt::development
