#include "core/host_trash/host_side.hpp"

#include "core/host_trash/trash_texts.hpp"

namespace bramvelt::host_trash {
namespace {

std::unexpected<std::string> failure(std::string_view text) {
    return std::unexpected(std::string(text));
}

// Token comparison that takes as long for a near miss as for a wild guess.
bool same_token(std::string_view a, std::string_view b) {
    if (a.size() != b.size()) return false;
    unsigned char difference = 0;
    for (std::size_t i = 0; i < a.size(); ++i) {
        difference |= static_cast<unsigned char>(a[i] ^ b[i]);
    }
    return difference == 0;
}

bool usable_now(const TrashAuthorization& authorization) {
    return within_lifetime(authorization, Clock::now()) && !is_cancelled(authorization.cancel());
}

// Whether the entry the host was to move is still at the item's place.
bool still_in_place(const TrashAuthorization& authorization) {
    const auto now =
        filesystem::identity_at(authorization.parent().parent_fd(), authorization.parent().name());
    return now && same_entry(*now, authorization.identity());
}

}  // namespace

std::expected<void, std::string> reserve_trash_authorization(TrashAuthorization& authorization,
                                                             std::string_view token) {
    if (!same_token(token, authorization.token()) || !usable_now(authorization)) {
        return failure(kAuthorizationInvalid);
    }
    if (!authorization.change_state(TrashState::Issued, TrashState::Reserved)) {
        return failure(kAuthorizationUsed);
    }
    if (!usable_now(authorization)) {
        authorization.store_state(TrashState::Failed);
        return failure(kAuthorizationExpiredOrCancelled);
    }
    return {};
}

std::expected<void, std::string> recheck_trash_authorization(
    const TrashAuthorization& authorization) {
    if (!usable_now(authorization)) return failure(kAuthorizationExpiredOrCancelled);
    if (auto context = policy::check_local_service_context(authorization.context()); !context) {
        return std::unexpected(context.error());
    }
    if (auto decided = policy::require_acknowledgement(
            authorization.context(), authorization.parent().path(), authorization.acknowledged());
        !decided) {
        return std::unexpected(decided.error());
    }
    if (!filesystem::check_authorized_identity(authorization.parent(), authorization.identity())) {
        return failure(kItemChangedBeforeTrash);
    }
    // Without the tree's check nothing vouches for what lies below the item.
    if (!authorization.tree_recheck()) return failure(kItemChangedBeforeTrash);
    auto tree = authorization.tree_recheck()(authorization.parent().path(), authorization.cancel(),
                                             authorization.acknowledged());
    if (!tree) {
        if (tree.error().kind == TreeRecheckFailure::Kind::Changed) {
            return failure(kItemChangedBeforeTrash);
        }
        return std::unexpected(std::move(tree.error().message));
    }
    return {};
}

std::expected<void, std::string> execute_reserved_trash(TrashAuthorization& authorization,
                                                        const TrashHostSettings& settings) {
    if (authorization.state() != TrashState::Reserved) return failure(kMustBeReserved);
    auto result = recheck_trash_authorization(authorization);
    const bool host_may_have_run = result.has_value();
    if (result) result = run_trash_adapter(authorization, settings);
    if (result) {
        authorization.store_state(TrashState::Trashed);
        return {};
    }
    if (authorization.state() == TrashState::Trashed) return {};
    if (host_may_have_run && !still_in_place(authorization)) {
        authorization.store_failure(TrashState::Indeterminate, std::string(kResultUnknown));
        return failure(kResultUnknown);
    }
    authorization.store_failure(TrashState::Failed, result.error());
    return result;
}

void serve_native_trash_request(const TrashRegistry& registry, std::string_view item_id,
                                std::string_view token, const TrashHostSettings& settings) {
    const std::shared_ptr<TrashAuthorization> authorization = registry.find(item_id);
    if (!authorization) return;
    if (reserve_trash_authorization(*authorization, token)) {
        (void)execute_reserved_trash(*authorization, settings);
    }
}

}  // namespace bramvelt::host_trash
