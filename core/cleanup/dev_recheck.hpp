#pragma once
// The re-check of one reviewed development item just before it is cleaned: its folder is
// searched again with the discovery's own pieces, within a bounded search of its own, and
// must get the verdict it had at review.

#include <cstdint>
#include <expected>
#include <string>
#include <string_view>
#include <vector>

#include "core/cleanup/development_cleanup.hpp"
#include "core/development/types.hpp"
#include "platform/cancel_flag.hpp"

namespace bramvelt::cleanup {

// The bounds of one folder's search.
inline constexpr std::uint64_t kRecheckDepth = 8;
inline constexpr std::uint64_t kRecheckEntries = 2'000'000;
inline constexpr std::size_t kMaxRecheckCandidates = 1'999;

// The candidates a search of `folder` alone finds: the checkout it is (with the artifacts
// inside it), or the artifact it is, measured and judged with its enclosing checkout's
// tracked files. Fails when the folder is a link or has one on the way, is no folder, is
// no known artifact, or the search hit its bounds or was cancelled.
std::expected<std::vector<development::DevCandidate>, std::string> rescan_dev_folder(
    std::string_view folder, bool verify_remotes, const CancelFlag& cancel);

struct DevRecheck {
    development::DevCandidate candidate;                // the item's own, found again
    std::vector<development::DevCandidate> candidates;  // everything the search found
};

// The item searched again: its candidate must be found with a complete measurement and
// its kind, and still pass as reviewed: a worktree clean, unlocked, at the reviewed HEAD
// and contained in another branch; any other item "regenerable" build output, cache or
// dependencies.
std::expected<DevRecheck, std::string> recheck_dev_item(const DevCleanupItem& item,
                                                        const DevCleanupRequest& request,
                                                        const CancelFlag& cancel);

}  // namespace bramvelt::cleanup
