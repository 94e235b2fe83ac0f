#pragma once
// The check of a development cleanup request as a whole, before any item is touched:
// bounds, the action, the searched folders, and each item's place and identity exactly as
// reviewed. The first failure refuses the whole request.

#include <cstddef>
#include <expected>
#include <string>
#include <vector>

#include "core/cleanup/development_cleanup.hpp"

namespace bramvelt::cleanup {

inline constexpr std::size_t kMaxDevItemIdBytes = 128;

// Each root normalised and resolved to its real path, in order; the first failure's
// text (the normalisation's, or the system's for the resolution).
std::expected<std::vector<std::string>, std::string> resolve_dev_roots(
    const std::vector<std::string>& roots);

// The canonical path of each item, in item order: its normalised path, which must be its
// real path (no link on the way), inside a root, apart from every other item, and with
// all six identity fields as reviewed.
std::expected<std::vector<std::string>, std::string> check_dev_cleanup_request(
    const DevCleanupRequest& request);

}  // namespace bramvelt::cleanup
