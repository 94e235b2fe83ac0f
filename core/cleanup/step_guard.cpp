#include "core/cleanup/step_guard.hpp"

#include "core/cleanup/cancelled.hpp"
#include "core/filesystem/byte_path.hpp"
#include "core/policy/decision.hpp"

namespace bramvelt::cleanup {

std::expected<filesystem::ParentHandle, std::string> step_guard(
    const ProgressReporter& reporter, std::string_view canonical_path,
    const filesystem::FileIdentity& authorized) {
    if (is_cancelled(reporter.cancel)) return std::unexpected(std::string(kCleanupCancelled));
    auto decision = policy::require_acknowledgement(reporter.plan.context, canonical_path,
                                                    reporter.acknowledged);
    if (!decision) return std::unexpected(std::move(decision.error()));
    std::expected<filesystem::ParentHandle, filesystem::IoError> handle =
        std::unexpected(filesystem::IoError{});
    if (decision->is_symlink) {
        // A link's decision names its target; the link itself is reached through its own
        // real parent, opened as written with no link followed on the way.
        handle = filesystem::open_real_parent(canonical_path);
    } else if (!decision->canonical_path ||
               !filesystem::paths_equal(*decision->canonical_path, canonical_path)) {
        // A folder on the way was replaced by a link since the item was authorized.
        return std::unexpected(std::string(filesystem::kParentChanged));
    } else {
        handle = policy::open_decided_parent(*decision);
    }
    if (!handle) return std::unexpected(std::move(handle.error().message));
    if (auto same = filesystem::check_authorized_identity(*handle, authorized); !same) {
        return std::unexpected(std::move(same.error().message));
    }
    return std::move(*handle);
}

}  // namespace bramvelt::cleanup
