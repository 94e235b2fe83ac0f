#pragma once
// How the authorization walk and the removal walk judge each entry below an item.

#include <optional>

#include "core/policy/classification.hpp"
#include "core/policy/decision.hpp"
#include "platform/change_clock.hpp"

namespace bramvelt::cleanup {

// Whether an entry whose only policy warning is hidden data passes without acknowledgement.
enum class HiddenEntries { NeedAcknowledgement, Allowed };

struct RemovalRules {
    // Built for the plan's context and scan root; without one, entries are not classified.
    const policy::SafetyPolicy* policy = nullptr;
    policy::Acknowledgement acknowledged = policy::Acknowledgement::Missing;
    HiddenEntries hidden_entries = HiddenEntries::NeedAcknowledgement;
    // When set, an entry whose change time is after it changed since the check that
    // cleared the item (Git's last look at a worktree): it is refused, so that a walk stops
    // there and keeps it and everything after it.
    std::optional<platform::ChangeTime> unchanged_since = std::nullopt;
};

}  // namespace bramvelt::cleanup
