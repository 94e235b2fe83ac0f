#pragma once
// How the authorization walk and the removal walk judge each entry below an item.

#include "core/policy/classification.hpp"
#include "core/policy/decision.hpp"

namespace bramvelt::cleanup {

// Whether an entry whose only policy warning is hidden data passes without acknowledgement.
enum class HiddenEntries { NeedAcknowledgement, Allowed };

struct RemovalRules {
    // Built for the plan's context and scan root; without one, entries are not classified.
    const policy::SafetyPolicy* policy = nullptr;
    policy::Acknowledgement acknowledged = policy::Acknowledgement::Missing;
    HiddenEntries hidden_entries = HiddenEntries::NeedAcknowledgement;
};

}  // namespace bramvelt::cleanup
