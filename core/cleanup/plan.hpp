#pragma once
// What a caller asks the cleanup engine for: a plan of items inside one folder, one
// action for all of them, and whether the user acknowledged the policy's warnings.

#include <cstddef>
#include <optional>
#include <string>
#include <vector>

#include "core/cleanup/action.hpp"
#include "core/filesystem/identity.hpp"
#include "core/policy/context.hpp"
#include "core/policy/decision.hpp"
#include "platform/change_clock.hpp"

namespace bramvelt::cleanup {

inline constexpr std::size_t kMaxPlanItems = 4096;
inline constexpr std::size_t kMaxItemIdBytes = 256;

struct CleanupItem {
    // When present, the item must still have exactly this identity at validation.
    std::optional<filesystem::FileIdentity> expected_identity;
    std::string item_id;  // every event about the item carries it
    std::string path;     // absolute
    // When present, nothing of the item changed after this moment may be removed (a
    // worktree edited after Git's last look at it): the Delete action refuses the item, or
    // stops its walk at the first such entry.
    std::optional<platform::ChangeTime> unchanged_since = std::nullopt;
};

struct CleanupPlan {
    policy::PolicyContext context;
    std::string scan_root;  // every item must lie inside it
    std::vector<CleanupItem> items;
    CleanupAction action;
    policy::Acknowledgement acknowledged = policy::Acknowledgement::Missing;
};

}  // namespace bramvelt::cleanup
