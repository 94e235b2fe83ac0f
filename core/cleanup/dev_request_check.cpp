#include "core/cleanup/dev_request_check.hpp"

#include <algorithm>
#include <unordered_set>

#include "core/cleanup/dev_cleanup_texts.hpp"
#include "core/cleanup/failure.hpp"
#include "core/filesystem/byte_path.hpp"
#include "core/filesystem/identity.hpp"
#include "core/filesystem/real_path.hpp"
#include "core/policy/context.hpp"
#include "core/policy/normalize.hpp"

namespace bramvelt::cleanup {
namespace {

// `inner` equals `outer` or lies inside it, component by component.
bool within(std::string_view inner, std::string_view outer) {
    return filesystem::strip_path_prefix(inner, outer).has_value();
}

bool same_path(std::string_view a, std::string_view b) {
    return a == b || filesystem::paths_equal(a, b);
}

bool is_cleanable_action(const CleanupAction& action) {
    return action.kind == CleanupAction::Kind::Trash || action.kind == CleanupAction::Kind::Delete;
}

// The item's canonical path, or why it cannot be cleaned as reviewed.
std::expected<std::string, std::string> check_item(const DevCleanupRequest& request,
                                                   const DevCleanupItem& item,
                                                   const std::vector<std::string>& roots,
                                                   const std::vector<std::string>& earlier) {
    auto normalized = policy::normalize_local_path(item.path);
    if (!normalized) return std::unexpected(std::move(normalized.error()));
    if (auto gate =
            policy::require_acknowledgement(request.context, *normalized, request.acknowledged);
        !gate) {
        return std::unexpected(std::move(gate.error()));
    }
    auto real = filesystem::real_path(*normalized);
    if (!real) return std::unexpected(std::move(real.error().message));
    // A link anywhere on the way makes the real path another one.
    const bool in_roots = std::any_of(roots.begin(), roots.end(),
                                      [&](const std::string& root) { return within(*real, root); });
    if (!same_path(*real, *normalized) || !in_roots) return fail(kDevItemMoved);
    for (const std::string& other : earlier) {
        if (within(*normalized, other) || within(other, *normalized)) return fail(kDevItemsOverlap);
    }
    auto identity = filesystem::read_identity(*normalized);
    if (!identity) return std::unexpected(std::move(identity.error().message));
    if (*identity != item.identity) return fail(kDevItemChangedBeforeRun);
    return std::move(*normalized);
}

}  // namespace

std::expected<std::vector<std::string>, std::string> resolve_dev_roots(
    const std::vector<std::string>& roots) {
    std::vector<std::string> resolved;
    resolved.reserve(roots.size());
    for (const std::string& root : roots) {
        auto normalized = policy::normalize_local_path(root);
        if (!normalized) return std::unexpected(std::move(normalized.error()));
        auto real = filesystem::real_path(*normalized);
        if (!real) return std::unexpected(std::move(real.error().message));
        resolved.push_back(std::move(*real));
    }
    return resolved;
}

std::expected<std::vector<std::string>, std::string> check_dev_cleanup_request(
    const DevCleanupRequest& request) {
    if (auto local = policy::check_local_service_context(request.context); !local) {
        return std::unexpected(std::move(local.error()));
    }
    if (request.items.empty() || request.items.size() > kMaxDevCleanupItems ||
        request.roots.empty() || request.roots.size() > kMaxDevCleanupRoots) {
        return fail(kChooseDevItems);
    }
    if (!is_cleanable_action(request.action)) return fail(kDevActionUnsupported);
    auto roots = resolve_dev_roots(request.roots);
    if (!roots) return std::unexpected(std::move(roots.error()));

    std::unordered_set<std::string_view> ids;
    std::vector<std::string> canonical;
    canonical.reserve(request.items.size());
    for (const DevCleanupItem& item : request.items) {
        if (item.item_id.empty() || item.item_id.size() > kMaxDevItemIdBytes ||
            !ids.insert(item.item_id).second) {
            return fail(kDevItemIds);
        }
        auto path = check_item(request, item, *roots, canonical);
        if (!path) return std::unexpected(std::move(path.error()));
        canonical.push_back(std::move(*path));
    }
    return canonical;
}

}  // namespace bramvelt::cleanup
