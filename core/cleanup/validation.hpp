#pragma once
// Before anything is touched, a plan becomes a list of authorized items: each normalized,
// resolved, inside the scan root and apart from the others, allowed by the safety policy,
// equal to the identity its caller expects, and recorded with a snapshot of everything
// below it. The first failure ends the validation and nothing is changed.

#include <cstdint>
#include <expected>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "core/cleanup/plan.hpp"
#include "core/cleanup/tree_snapshot.hpp"
#include "core/filesystem/identity.hpp"
#include "platform/cancel_flag.hpp"

namespace bramvelt::cleanup {

inline constexpr std::string_view kItemCount = "Select between 1 and 4096 items";
inline constexpr std::string_view kItemIds = "Item IDs must be unique and nonempty";
inline constexpr std::string_view kCannotCleanRoot = "Cannot clean a root";
inline constexpr std::string_view kOutsideScanRoot =
    "Selected items must be inside the explicit scan root";
inline constexpr std::string_view kSelectionsOverlap = "Selections overlap; collect each item once";
inline constexpr std::string_view kNoItemIdentity = "Cannot establish item identity";
inline constexpr std::string_view kOverwriteHardLinks =
    "Overwrite is refused for files with other hard links";

struct AuthorizedItem {
    filesystem::FileIdentity identity;  // as the policy decision on the canonical path found it
    std::optional<filesystem::FileIdentity> expected_identity;
    std::string item_id;
    std::string path;            // as the plan gave it
    std::string canonical_path;  // the real parent joined with the item's own name
    std::shared_ptr<const TreeSnapshot> snapshot;
    std::uint64_t bytes = 0;       // what a removal frees: the review's measure (item_bytes.hpp)
    std::uint64_t file_bytes = 0;  // what a copy reads: the sizes of its regular files
    std::optional<platform::ChangeTime> unchanged_since;  // as the plan's item gave it
};

// The authorized items in plan order, or the first failure's text.
std::expected<std::vector<AuthorizedItem>, std::string> validate_cleanup_plan(
    const CleanupPlan& plan, const CancelFlag& cancel);

}  // namespace bramvelt::cleanup
