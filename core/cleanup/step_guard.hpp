#pragma once

#include <expected>
#include <string>
#include <string_view>

#include "core/cleanup/progress_reporter.hpp"
#include "core/filesystem/identity.hpp"
#include "core/filesystem/parent_handle.hpp"

namespace bramvelt::cleanup {

// The gate before every step that acts on an item: the run is not cancelled, the policy
// still allows the item's canonical path (with the plan's acknowledgement), its parent
// opens with no link followed anywhere and is the folder the decision saw, and the entry
// under it still has exactly the authorized identity. Returns the opened parent.
std::expected<filesystem::ParentHandle, std::string> step_guard(
    const ProgressReporter& reporter, std::string_view canonical_path,
    const filesystem::FileIdentity& authorized);

}  // namespace bramvelt::cleanup
