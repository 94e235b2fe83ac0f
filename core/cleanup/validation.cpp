#include "core/cleanup/validation.hpp"

#include <unordered_set>

#include "core/cleanup/authorization_walk.hpp"
#include "core/cleanup/failure.hpp"
#include "core/cleanup/removal_rules.hpp"
#include "core/filesystem/byte_path.hpp"
#include "core/filesystem/parent_handle.hpp"
#include "core/filesystem/real_path.hpp"
#include "core/policy/classification.hpp"
#include "core/policy/normalize.hpp"

namespace bramvelt::cleanup {
namespace {

// `inner` equals `outer` or lies inside it, compared component by component.
bool within(std::string_view inner, std::string_view outer) {
    return filesystem::strip_path_prefix(inner, outer).has_value();
}

// The item's real parent joined with its own name, the name itself not resolved.
std::expected<std::string, std::string> canonical_item_path(std::string_view normalized) {
    const std::optional<std::string> parent = filesystem::path_parent(normalized);
    if (!parent) return fail(kCannotCleanRoot);
    auto real_parent = filesystem::real_path(*parent);
    if (!real_parent) return std::unexpected(std::move(real_parent.error().message));
    const std::optional<std::string> name = filesystem::path_file_name(normalized);
    if (!name) return fail(filesystem::kMissingFilename);
    return filesystem::path_join(*real_parent, *name);
}

bool has_shared_file(const TreeSnapshot& snapshot) {
    bool shared = false;
    snapshot.for_each([&](std::string_view, const filesystem::FileIdentity& identity) {
        if (identity.kind == "file" && identity.links >= 2) shared = true;
    });
    return shared;
}

}  // namespace

std::expected<std::vector<AuthorizedItem>, std::string> validate_cleanup_plan(
    const CleanupPlan& plan, const CancelFlag& cancel) {
    if (auto local = policy::check_local_service_context(plan.context); !local) {
        return std::unexpected(std::move(local.error()));
    }
    const policy::SafetyPolicy safety = policy::build_policy(plan.context, plan.scan_root);
    if (plan.items.empty() || plan.items.size() > kMaxPlanItems) return fail(kItemCount);
    auto normalized_root = policy::normalize_local_path(plan.scan_root);
    if (!normalized_root) return std::unexpected(std::move(normalized_root.error()));
    auto root = filesystem::real_path(*normalized_root);
    if (!root) return std::unexpected(std::move(root.error().message));

    std::unordered_set<std::string_view> ids;
    std::vector<AuthorizedItem> authorized;
    authorized.reserve(plan.items.size());
    for (const CleanupItem& item : plan.items) {
        if (item.item_id.empty() || item.item_id.size() > kMaxItemIdBytes ||
            !ids.insert(item.item_id).second) {
            return fail(kItemIds);
        }
        auto normalized = policy::normalize_local_path(item.path);
        if (!normalized) return std::unexpected(std::move(normalized.error()));
        if (auto gate =
                policy::require_acknowledgement(plan.context, *normalized, plan.acknowledged);
            !gate) {
            return std::unexpected(std::move(gate.error()));
        }
        auto canonical = canonical_item_path(*normalized);
        if (!canonical) return std::unexpected(std::move(canonical.error()));
        if (!within(*canonical, *root) || filesystem::paths_equal(*canonical, *root)) {
            return fail(kOutsideScanRoot);
        }
        for (const AuthorizedItem& earlier : authorized) {
            if (within(*canonical, earlier.canonical_path) ||
                within(earlier.canonical_path, *canonical)) {
                return fail(kSelectionsOverlap);
            }
        }
        auto decision =
            policy::require_acknowledgement(plan.context, *canonical, plan.acknowledged);
        if (!decision) return std::unexpected(std::move(decision.error()));
        if (!decision->identity) return fail(kNoItemIdentity);
        const filesystem::FileIdentity& identity = *decision->identity;
        if (item.expected_identity && *item.expected_identity != identity) {
            return fail(kItemChangedSinceConfirmation);
        }
        const RemovalRules rules{&safety, plan.acknowledged, HiddenEntries::Allowed,
                                 item.unchanged_since};
        auto snapshot = snapshot_authorized_item(*canonical, identity, rules, cancel);
        if (!snapshot) return std::unexpected(std::move(snapshot.error()));
        if (plan.action.kind == CleanupAction::Kind::Overwrite &&
            has_shared_file(*snapshot->snapshot)) {
            return fail(kOverwriteHardLinks);
        }
        authorized.push_back(AuthorizedItem{identity, item.expected_identity, item.item_id,
                                            item.path, std::move(*canonical),
                                            std::move(snapshot->snapshot), snapshot->bytes,
                                            snapshot->file_bytes, item.unchanged_since});
    }
    return authorized;
}

}  // namespace bramvelt::cleanup
