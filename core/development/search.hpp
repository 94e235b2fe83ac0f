#pragma once
// The development search: walks one to 32 folders breadth-first within a budget of
// entries, finds and time, hands checkouts to the Git inspection and artifacts to the
// measurement, and reports every find through the caller's sink as it is made. A
// whole-disk root is replaced by the usual development locations.

#include <cstdint>
#include <expected>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "core/development/state.hpp"
#include "core/development/types.hpp"
#include "platform/cancel_flag.hpp"

namespace bramvelt::development {

inline constexpr std::string_view kBadSearchRequest =
    "Choose 1 through 32 absolute folders and bounded scan limits";

// Where a whole-disk root sends the search. The defaults are the real locations; tests
// point them into a temporary folder.
struct SearchLocations {
    std::vector<std::string> temp_folders{"/tmp", "/var/tmp", "/private/tmp"};
    std::vector<std::string> home_bases{"/home", "/Users"};
    std::vector<std::string> developer_folders{
        "src",       "projects",           "kaskel-repos",
        "worktrees", ".claude/worktrees",  ".codex/worktrees",
        ".cache",    ".bun/install/cache", "Library/Developer/Xcode/DerivedData"};
    std::size_t max_home_entries = 256;
};

// Git children that ask ahead, and threads that measure ahead, while the walk goes on:
// about one per processor, at most 8 of each.
unsigned default_ahead_threads();

struct SearchOptions {
    SearchLocations locations;
    SearchClock clock;  // empty: the monotonic clock
    std::uint64_t git_timeout_seconds = kGitTimeoutSeconds;
    // 0: every Git command runs, and every folder is measured, when the search reaches it.
    unsigned ahead_threads = default_ahead_threads();
};

// Runs the whole search on the calling thread. Errors (a request out of range, a root
// that does not normalise) come before any event; otherwise exactly one Finished ends
// the stream, also when limits or the cancel flag cut the search short. Memory that runs
// out on the calling thread (in the sink too) ends the search with that failure's text
// (platform/resource_exhaustion.hpp) instead, after whatever events went before; threads
// working ahead that fail or cannot start are done without.
std::expected<void, std::string> scan_development(DevScanRequest request, CancelFlag cancel,
                                                  DevScanSink& sink);
std::expected<void, std::string> scan_development(DevScanRequest request, CancelFlag cancel,
                                                  DevScanSink& sink, const SearchOptions& options);

// The search roots of a request: normalised, canonical where possible, none inside
// another; or the normalisation error of the first root that fails.
std::expected<std::vector<std::string>, std::string> resolve_search_roots(
    const std::vector<std::string>& requested);

// Sum of the "regenerable" and "review_removal" finds, leaving out those inside another
// "review_removal" find; saturating.
std::uint64_t compute_candidate_bytes(const std::vector<DevCandidate>& candidates);

}  // namespace bramvelt::development
