#include "core/cleanup/orchestrator.hpp"

#include <variant>

#include "core/cleanup/backup_folder.hpp"
#include "core/cleanup/backup_handoff.hpp"
#include "core/cleanup/backup_removal.hpp"
#include "core/cleanup/cancelled.hpp"
#include "core/cleanup/event_forwarding.hpp"
#include "core/cleanup/item_bytes.hpp"
#include "core/cleanup/native_trash_step.hpp"
#include "core/cleanup/permanent_removal.hpp"
#include "core/cleanup/progress_reporter.hpp"
#include "core/cleanup/removal_rules.hpp"
#include "core/cleanup/sanitize.hpp"
#include "core/cleanup/step_guard.hpp"
#include "core/cleanup/validation.hpp"
#include "core/filesystem/byte_path.hpp"
#include "core/policy/classification.hpp"
#include "platform/text.hpp"
#include "platform/utf8.hpp"

namespace bramvelt::cleanup {
namespace {

// The host side could not tell whether a move to the Trash happened.
struct Indeterminate {};
// How one item's steps ended: done, a failure text, or unknown.
using StepOutcome = std::variant<std::monostate, std::string, Indeterminate>;

StepOutcome outcome_of(std::expected<void, std::string> step) {
    if (!step) return std::move(step.error());
    return std::monostate{};
}

StepOutcome outcome_of(host_trash::TrashOutcome trash) {
    switch (trash.kind) {
        case host_trash::TrashOutcome::Kind::Moved:
            return std::monostate{};
        case host_trash::TrashOutcome::Kind::Indeterminate:
            return Indeterminate{};
        case host_trash::TrashOutcome::Kind::Failed:
            break;
    }
    return std::move(trash.message);
}

StepOutcome run_action(const AuthorizedItem& item, const RemovalRules& rules,
                       host_trash::CleanupHostLink& host_link, ProgressReporter& reporter,
                       const filesystem::ReservedDir* reserved,
                       std::optional<std::string>& backup_path, ItemBytes& removed) {
    if (is_cancelled(reporter.cancel)) return std::string(kCleanupCancelled);
    // The guard's handle is closed at once: each step opens its own.
    if (auto guard = step_guard(reporter, item.canonical_path, item.identity); !guard) {
        return std::move(guard.error());
    }
    if (auto guard = step_guard(reporter, item.canonical_path, item.identity); !guard) {
        return std::move(guard.error());
    }
    switch (reporter.plan.action.kind) {
        case CleanupAction::Kind::Delete:
            return outcome_of(remove_permanently(item.canonical_path, item.identity, item.item_id,
                                                 rules, reporter, removed));
        case CleanupAction::Kind::Trash:
            return outcome_of(native_trash_step(item, host_link, reporter));
        case CleanupAction::Kind::Overwrite:
            return outcome_of(remove_item(item.canonical_path, item.identity, item.item_id,
                                          OverwriteFiles::Yes, nullptr, reporter));
        case CleanupAction::Kind::BackupToFolder:
            if (reserved == nullptr) break;
            return outcome_of(back_up_to_folder(item, *reserved, reporter, backup_path));
        case CleanupAction::Kind::ExternalBackup:
            return outcome_of(archive_handoff_backup(item, host_link.backup_acknowledgements,
                                                     reporter, backup_path));
    }
    return std::string(kActionUnsupported);
}

// `removed` is what a permanent removal took away before it stopped.
CleanupItemResult result_of(const AuthorizedItem& item, const CleanupAction& action,
                            StepOutcome outcome, const ItemBytes& removed, const CancelFlag& cancel,
                            CleanupSummary& summary) {
    CleanupItemResult result;
    result.item_id = item.item_id;
    result.path = sanitize_report_text(item.canonical_path);
    if (std::holds_alternative<std::monostate>(outcome)) {
        ++summary.completed_items;
        summary.processed_bytes = platform::saturating_add(summary.processed_bytes, item.bytes);
        result.processed_bytes = item.bytes;
        if (action.kind == CleanupAction::Kind::Trash) {
            result.status = CleanupStatus::Trashed;
            result.trashed_bytes = item.bytes;
            summary.trashed_bytes = platform::saturating_add(summary.trashed_bytes, item.bytes);
        } else {
            result.status = CleanupStatus::Removed;
        }
    } else if (std::holds_alternative<Indeterminate>(outcome)) {
        ++summary.failed_items;
        result.status = CleanupStatus::Failed;
        result.error_code = std::string(kCodeNativeTrashIndeterminate);
        result.error = std::string(kNativeTrashUnknown);
    } else {
        if (is_cancelled(cancel)) {
            ++summary.cancelled_items;
            result.status = CleanupStatus::Cancelled;
        } else {
            ++summary.failed_items;
            result.status = CleanupStatus::Failed;
        }
        result.error = sanitize_report_text(std::get<std::string>(outcome));
        // Nothing removed is restored, so what went before the stop is reported as gone.
        if (removed.entries() > 0) {
            result.processed_bytes = removed.total();
            result.error_code = std::string(kCodeDevelopmentPartial);
            summary.processed_bytes =
                platform::saturating_add(summary.processed_bytes, removed.total());
        }
    }
    return result;
}

// The bytes an action's steps count as they go, so that a plan's total and its progress
// agree: a permanent removal counts what it frees in the review's measure; a copy, the
// removal after it and an overwrite pass count the files' sizes.
std::uint64_t counted_bytes(CleanupAction::Kind kind, const AuthorizedItem& item) {
    return kind == CleanupAction::Kind::Delete ? item.bytes : item.file_bytes;
}

}  // namespace

void execute_cleanup_plan(const CleanupPlan& plan, const CancelFlag& cancel,
                          host_trash::CleanupHostLink& host_link, const CleanupEventSink& sink) {
    auto authorized = validate_cleanup_plan(plan, cancel);
    if (!authorized) {
        const std::string_view code = is_cancelled(cancel) ? kCodeCancelled : kCodeCleanupPreflight;
        sink(Failed{std::string(code), sanitize_report_text(authorized.error())});
        return;
    }
    std::uint64_t total = 0;
    for (const AuthorizedItem& item : *authorized) {
        total = platform::saturating_add(total, counted_bytes(plan.action.kind, item));
    }
    std::optional<filesystem::ReservedDir> reserved;
    if (plan.action.kind == CleanupAction::Kind::BackupToFolder) {
        auto folder = reserve_backup_folder(plan.action.destination, *authorized);
        if (!folder) {
            sink(Failed{std::string(kCodeBackupDestination), sanitize_report_text(folder.error())});
            return;
        }
        reserved = std::move(*folder);
    }
    const std::uint64_t work = work_units(plan.action.kind, total);
    std::optional<std::string> caution;
    if (plan.action.kind == CleanupAction::Kind::Overwrite)
        caution = std::string(kOverwriteCaution);
    sink(PlanStarted{std::move(caution), authorized->size(), work});

    CleanupSummary summary;
    if (reserved) summary.backup_folder = platform::to_utf8_lossy(reserved->path);
    ProgressReporter reporter(plan, cancel, sink);
    reporter.progress.items_total = authorized->size();
    reporter.progress.bytes_total = work;
    const policy::SafetyPolicy safety = policy::build_policy(plan.context, plan.scan_root);
    const RemovalRules rules{&safety, plan.acknowledged, HiddenEntries::Allowed};

    for (const AuthorizedItem& item : *authorized) {
        std::optional<std::string> backup_path;
        ItemBytes removed;
        StepOutcome outcome = run_action(item, rules, host_link, reporter,
                                         reserved ? &*reserved : nullptr, backup_path, removed);
        CleanupItemResult result =
            result_of(item, plan.action, std::move(outcome), removed, cancel, summary);
        result.backup_path = std::move(backup_path);
        if (result.error) summary.results.push_back(result);
        sink(ItemFinished{std::move(result)});
        ++reporter.progress.items_done;
        send_progress_now(reporter);
    }
    summary.cancelled = is_cancelled(cancel);
    sink(Summary{std::move(summary)});
}

std::expected<PlanOutcome, PlanFailure> run_cleanup_plan(
    const policy::PolicyContext& context, const CleanupAction& action,
    policy::Acknowledgement acknowledged, const CleanupItem& item, const CancelFlag& cancel,
    host_trash::CleanupHostLink& host_link, const CleanupProgress& caller_progress,
    const CleanupEventSink& caller_sink) {
    // Without a result of the item's own, the cancel flag tells how it ended.
    const auto plan_failure = [&cancel](std::string_view text) {
        return std::unexpected(PlanFailure{
            std::string(text),
            is_cancelled(cancel) ? CleanupStatus::Cancelled : CleanupStatus::Failed, std::nullopt});
    };
    const std::vector<filesystem::Component> components = filesystem::path_components(item.path);
    if (components.empty() || components.back().kind == filesystem::ComponentKind::Root) {
        return plan_failure(kCannotRemoveRoot);
    }
    const CleanupPlan plan{context,
                           platform::to_utf8_lossy(filesystem::path_parent(item.path).value_or("")),
                           {item},
                           action,
                           acknowledged};
    ExecutorEventAdapter adapter(caller_sink, caller_progress);
    execute_cleanup_plan(plan, cancel, host_link, [&adapter](CleanupEvent event) {
        adapter.forward_executor_event(std::move(event));
    });
    const std::optional<CleanupItemResult>& result = adapter.kept_result();
    if (result &&
        (result->status == CleanupStatus::Removed || result->status == CleanupStatus::Trashed)) {
        return PlanOutcome{result->status, result->processed_bytes};
    }
    if (result && result->error) {
        return std::unexpected(PlanFailure{*result->error, result->status, result->error_code,
                                           result->processed_bytes});
    }
    if (adapter.kept_failure()) return plan_failure(*adapter.kept_failure());
    return plan_failure(kRemovalNotConfirmed);
}

}  // namespace bramvelt::cleanup
