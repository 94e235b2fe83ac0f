#pragma once
// The step between a selection and a cleanup, shared by both front ends: the one policy
// context every cleanup of this program uses, and the review that turns selected finds
// into policy-checked items with their identities and the warnings the user must
// acknowledge. Nothing here changes or creates anything on disk.

#include <cstdint>
#include <expected>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "core/cleanup/development_cleanup.hpp"
#include "core/development/types.hpp"
#include "core/policy/context.hpp"

namespace bramvelt::cli {

// The program's own state folder under the home folder: named as protected, never
// created.
inline constexpr std::string_view kStateFolderInHome = "/Library/Application Support/BramVelt";

inline constexpr std::string_view kHomeUnset = "Cannot determine your home folder (HOME is unset)";
inline constexpr std::string_view kNothingRemovable =
    "Nothing selected can be cleaned up. Only rebuildable output and verified worktrees are "
    "removable.";
inline constexpr std::string_view kTooManySelected = "Select up to 256 items at a time.";

struct CleanupReview {
    std::vector<cleanup::DevCleanupItem> items;         // review order; ids item-0, item-1...
    std::vector<development::DevCandidate> candidates;  // copies, same order
    std::vector<std::string> warnings;                  // one per item needing acknowledgement
    std::uint64_t total_bytes = 0;                      // saturating
    std::uint64_t worktree_count = 0;
};

// The local context for HOME, accepted by the local service check; else the text of
// what is wrong (HOME unset, or the check's own text).
std::expected<policy::PolicyContext, std::string> open_cleanup_service();

// Keeps the removable finds (not Keep, not inside another), at most 256 of them, and
// asks the policy about each. All or nothing: the first refused, linked or vanished item
// rejects the whole selection.
std::expected<CleanupReview, std::string> build_cleanup_review(
    const policy::PolicyContext& context,
    std::span<const development::DevCandidate* const> selected);

}  // namespace bramvelt::cli
