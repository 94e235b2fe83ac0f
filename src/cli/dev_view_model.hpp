#pragma once
// How both front ends present development finds: category, badge and label of a find,
// the list filter and orders, the set a cleanup would actually reclaim (a find inside
// another counted once), and the folders a search runs on. Everything here is pure except
// the folder resolution, which reads the file system and the current directory.

#include <cstdint>
#include <expected>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "core/development/types.hpp"
#include "src/cli/dev_category.hpp"

namespace bramvelt::cli {

using development::DevCandidate;

struct DevItemFilter {
    std::string search;                             // free text; empty matches everything
    std::vector<development::CandidateKind> kinds;  // empty keeps every kind
    std::uint64_t older_than_days = 0;              // 0: no age limit
    std::uint64_t min_size = 0;                     // bytes; 0: no size limit
    DevSortOrder sort = DevSortOrder::Largest;
    std::optional<DevCategory> category;  // absent: any
};

DevCategory item_category(const DevCandidate& candidate);

// The fixed status text of a find ("Rebuildable", "Local changes", ...).
std::string_view item_badge(const DevCandidate& candidate);

// What the find is, from its kind and tool ("Gradle cache", "Git worktree", ...).
std::string item_label(const DevCandidate& candidate);

bool item_matches_filter(const DevItemFilter& filter, std::uint64_t now,
                         const DevCandidate& candidate);

// The finds that pass the filter, stably sorted by its order; ties go by path bytes.
std::vector<const DevCandidate*> filter_and_sort_items(const DevItemFilter& filter,
                                                       std::span<const DevCandidate> candidates,
                                                       std::uint64_t now);

// Whether the lower-cased `text` contains `needle_lower` (already lower-cased).
bool contains_lowercase(std::string_view needle_lower, std::string_view text);

// The finds a cleanup would touch: not Keep, and not inside another such find (removing
// the outer folder removes it), ordered by path components.
std::vector<const DevCandidate*> reclaimable_items(std::span<const DevCandidate* const> items);

// Allocated bytes of reclaimable_items, saturating.
std::uint64_t reclaimable_total(std::span<const DevCandidate* const> items);
std::uint64_t reclaimable_total_of_items(std::span<const DevCandidate> items);

// Absolute canonical folders, or the first folder's error text. No folder gives the one
// target "/", which the search reads as the usual development locations.
std::expected<std::vector<std::string>, std::string> resolve_targets(
    std::span<const std::string> folders);
std::expected<std::string, std::string> resolve_target(std::string_view folder,
                                                       std::string_view current_dir);

// "usual development locations", or the folders as displayed paths joined with ", ".
std::string describe_targets(std::span<const std::string> targets,
                             const std::optional<std::string>& home);

}  // namespace bramvelt::cli
