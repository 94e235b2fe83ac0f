#include "src/cli/cleanup_review.hpp"

#include <fmt/format.h>

#include "core/policy/decision.hpp"
#include "platform/text.hpp"
#include "src/cli/dev_view_model.hpp"
#include "src/cli/format.hpp"

namespace bramvelt::cli {

std::expected<policy::PolicyContext, std::string> open_cleanup_service() {
    const std::optional<std::string> home = home_dir();
    if (!home) return std::unexpected(std::string(kHomeUnset));
    policy::PolicyContext context;
    context.transport = policy::PolicyTransport::local();
    context.home = *home;
    context.protected_paths.push_back(*home + std::string(kStateFolderInHome));
    context.host_os = policy::HostOs::MacOs;
    if (auto accepted = policy::check_local_service_context(context); !accepted) {
        return std::unexpected(accepted.error());
    }
    return context;
}

std::expected<CleanupReview, std::string> build_cleanup_review(
    const policy::PolicyContext& context,
    std::span<const development::DevCandidate* const> selected) {
    const std::vector<const development::DevCandidate*> items = reclaimable_items(selected);
    if (items.empty()) return std::unexpected(std::string(kNothingRemovable));
    if (items.size() > cleanup::kMaxDevCleanupItems) {
        return std::unexpected(std::string(kTooManySelected));
    }

    CleanupReview review;
    review.items.reserve(items.size());
    for (std::size_t i = 0; i < items.size(); ++i) {
        const development::DevCandidate& candidate = *items[i];
        // By bytes: a path that is not valid UTF-8 is refused rather than decided for its
        // replaced text, which could name another entry.
        const policy::PathDecision decision = policy::evaluate_path_bytes(context, candidate.path);
        if (decision.verdict == policy::PolicyVerdict::Refused || decision.is_symlink ||
            !decision.identity) {
            return std::unexpected(
                fmt::format("{} is protected, missing or changed. Scan again before cleanup.",
                            escape_for_display(candidate.path)));
        }
        if (decision.verdict == policy::PolicyVerdict::NeedsAcknowledgement) {
            std::string messages;
            for (const std::string& message : decision.messages) {
                if (!messages.empty()) messages += ' ';
                messages += message;
            }
            review.warnings.push_back(
                fmt::format("{}: {}", escape_for_display(candidate.path), messages));
        }
        cleanup::DevCleanupItem item;
        item.identity = *decision.identity;
        item.item_id = fmt::format("item-{}", i);
        item.path = candidate.path;
        item.kind = candidate.kind;
        if (candidate.git && candidate.git->head) item.head = candidate.git->head;
        review.items.push_back(std::move(item));
        review.total_bytes =
            platform::saturating_add(review.total_bytes, candidate.allocated_bytes);
        if (candidate.kind == development::CandidateKind::Worktree) ++review.worktree_count;
    }
    review.candidates.reserve(items.size());
    for (const auto* candidate : items) review.candidates.push_back(*candidate);
    return review;
}

}  // namespace bramvelt::cli
