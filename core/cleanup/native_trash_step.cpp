#include "core/cleanup/native_trash_step.hpp"

#include <optional>

#include "core/cleanup/authorization_walk.hpp"
#include "core/cleanup/sanitize.hpp"
#include "core/cleanup/step_guard.hpp"
#include "core/host_trash/trash_registry.hpp"

namespace bramvelt::cleanup {

using host_trash::TrashOutcome;

host_trash::TreeRecheck tree_recheck_of(std::shared_ptr<const TreeSnapshot> authorized) {
    return [authorized = std::move(authorized)](std::string_view path, const CancelFlag& cancel,
                                                policy::Acknowledgement acknowledged)
               -> std::expected<void, host_trash::TreeRecheckFailure> {
        auto same = verify_snapshot_unchanged(path, *authorized, cancel, acknowledged);
        if (same) return {};
        // Both say the tree is no longer the one authorized; the second is the item itself.
        if (same.error() == kSourceChanged || same.error() == kItemChangedSinceConfirmation) {
            return std::unexpected(
                host_trash::TreeRecheckFailure{host_trash::TreeRecheckFailure::Kind::Changed, {}});
        }
        return std::unexpected(host_trash::TreeRecheckFailure{
            host_trash::TreeRecheckFailure::Kind::Other, std::move(same.error())});
    };
}

TrashOutcome native_trash_step(const AuthorizedItem& item, host_trash::CleanupHostLink& link,
                               ProgressReporter& reporter,
                               const host_trash::TrashWaitTimings& timings) {
    auto handle = step_guard(reporter, item.canonical_path, item.identity);
    if (!handle) return TrashOutcome::failed(std::move(handle.error()));
    auto identity = filesystem::identity_at(handle->parent_fd(), handle->name());
    if (!identity) return TrashOutcome::failed(std::move(identity.error().message));
    auto token = host_trash::new_trash_token();
    if (!token) return TrashOutcome::failed(std::move(token.error()));
    emit_cleanup_progress(reporter, kStageAwaitingNativeTrash, item.canonical_path, item.item_id,
                          ForceReport::Yes);

    std::shared_ptr<host_trash::TrashAuthorization> authorization;
    std::optional<host_trash::TrashRegistration> registration;
    if (link.registry) {
        authorization =
            std::make_shared<host_trash::TrashAuthorization>(host_trash::TrashAuthorizationFields{
                .context = reporter.plan.context,
                .parent = std::move(*handle),
                .identity = *identity,
                .item_id = item.item_id,
                .path = item.canonical_path,
                .token = *token,
                .issued_at = host_trash::Clock::now(),
                .tree_recheck = tree_recheck_of(item.snapshot),
                .cancel = reporter.cancel,
                .acknowledged = reporter.acknowledged,
            });
        link.registry->insert(item.item_id, authorization);
        registration.emplace(link.registry, item.item_id);
    }

    reporter.sink(NativeTrashRequest{*identity, item.item_id,
                                     sanitize_report_text(item.canonical_path), *token});

    const host_trash::TrashWait wait{
        .authorization = authorization,
        .item_id = item.item_id,
        .token = std::move(*token),
        .path = item.canonical_path,
        .identity = item.identity,
        .cancel = reporter.cancel,
    };
    return host_trash::await_native_trash(wait, link.trash_acknowledgements, timings);
}

}  // namespace bramvelt::cleanup
