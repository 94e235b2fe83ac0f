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
#include "core/cleanup/run_stop.hpp"
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
// A step threw (memory ran out, a thread could not start, the sink failed): the item
// failed with this text whatever the cancel flag says, and the run stopped itself.
struct StoppedRun {
    std::string message;
};
// How one item's steps ended: done, a failure text, unknown, or an exception.
using StepOutcome = std::variant<std::monostate, std::string, Indeterminate, StoppedRun>;

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
        case CleanupAction::Kind::Delete: {
            RemovalRules item_rules = rules;
            item_rules.unchanged_since = item.unchanged_since;
            return outcome_of(remove_permanently(item.canonical_path, item.identity, item.item_id,
                                                 item_rules, reporter, removed));
        }
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
        const auto* stopped = std::get_if<StoppedRun>(&outcome);
        if (is_cancelled(cancel) && stopped == nullptr) {
            ++summary.cancelled_items;
            result.status = CleanupStatus::Cancelled;
        } else {
            ++summary.failed_items;
            result.status = CleanupStatus::Failed;
        }
        result.error = sanitize_report_text(stopped != nullptr ? stopped->message
                                                               : std::get<std::string>(outcome));
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

// What a plan needs before its first item: the authorized items, the backup folder, its
// work units.
struct Preflight {
    std::vector<AuthorizedItem> items;
    std::optional<filesystem::ReservedDir> reserved;
    std::uint64_t work = 0;
};

// Validation and the backup folder; the Failed event that refuses the plan otherwise.
std::expected<Preflight, Failed> prepare_plan(const CleanupPlan& plan, const CancelFlag& cancel) {
    auto authorized = validate_cleanup_plan(plan, cancel);
    if (!authorized) {
        const std::string_view code = is_cancelled(cancel) ? kCodeCancelled : kCodeCleanupPreflight;
        return std::unexpected(Failed{std::string(code), sanitize_report_text(authorized.error())});
    }
    Preflight ready;
    ready.items = std::move(*authorized);
    std::uint64_t total = 0;
    for (const AuthorizedItem& item : ready.items) {
        total = platform::saturating_add(total, counted_bytes(plan.action.kind, item));
    }
    if (plan.action.kind == CleanupAction::Kind::BackupToFolder) {
        auto folder = reserve_backup_folder(plan.action.destination, ready.items);
        if (!folder) {
            return std::unexpected(
                Failed{std::string(kCodeBackupDestination), sanitize_report_text(folder.error())});
        }
        ready.reserved = std::move(*folder);
    }
    ready.work = work_units(plan.action.kind, total);
    return ready;
}

// The action's steps on one item; an exception stops the run and is the item's outcome.
StepOutcome run_action_or_stop(const AuthorizedItem& item, const RemovalRules& rules,
                               host_trash::CleanupHostLink& host_link, ProgressReporter& reporter,
                               const filesystem::ReservedDir* reserved,
                               std::optional<std::string>& backup_path, ItemBytes& removed) {
    try {
        return run_action(item, rules, host_link, reporter, reserved, backup_path, removed);
    } catch (...) {
        return StoppedRun{stop_run_for_exception(reporter.cancel)};
    }
}

// Whether a plan stopped the run itself, on an exception (its sink's included).
enum class PlanEnd : std::uint8_t { Ran, RunStopped };

PlanEnd execute_plan(const CleanupPlan& plan, const CancelFlag& cancel,
                     host_trash::CleanupHostLink& host_link, const CleanupEventSink& sink) {
    std::expected<Preflight, Failed> ready = std::unexpected(Failed{});
    std::optional<policy::SafetyPolicy> safety;
    std::optional<ProgressReporter> reporter;
    PlanEnd end = PlanEnd::Ran;
    // An exception before the first item refuses the plan: nothing was touched.
    try {
        ready = prepare_plan(plan, cancel);
        if (ready) {
            safety.emplace(policy::build_policy(plan.context, plan.scan_root));
            reporter.emplace(plan, cancel, sink);
            std::optional<std::string> caution;
            if (plan.action.kind == CleanupAction::Kind::Overwrite)
                caution = std::string(kOverwriteCaution);
            sink(PlanStarted{std::move(caution), ready->items.size(), ready->work});
        }
    } catch (...) {
        ready = std::unexpected(Failed{std::string(kCodeCleanupPreflight),
                                       sanitize_report_text(stop_run_for_exception(cancel))});
        end = PlanEnd::RunStopped;
    }
    if (!ready) {
        send_or_stop(cancel, [&] { sink(std::move(ready.error())); });
        return end;
    }

    CleanupSummary summary;
    if (ready->reserved) summary.backup_folder = platform::to_utf8_lossy(ready->reserved->path);
    reporter->progress.items_total = ready->items.size();
    reporter->progress.bytes_total = ready->work;
    const RemovalRules rules{&*safety, plan.acknowledged, HiddenEntries::Allowed};

    for (const AuthorizedItem& item : ready->items) {
        std::optional<std::string> backup_path;
        ItemBytes removed;
        StepOutcome outcome =
            run_action_or_stop(item, rules, host_link, *reporter,
                               ready->reserved ? &*ready->reserved : nullptr, backup_path, removed);
        if (std::holds_alternative<StoppedRun>(outcome)) end = PlanEnd::RunStopped;
        CleanupItemResult result =
            result_of(item, plan.action, std::move(outcome), removed, cancel, summary);
        result.backup_path = std::move(backup_path);
        if (result.error) summary.results.push_back(result);
        const bool result_lost =
            send_or_stop(cancel, [&] { sink(ItemFinished{std::move(result)}); });
        ++reporter->progress.items_done;
        const bool progress_lost = send_or_stop(cancel, [&] { send_progress_now(*reporter); });
        if (result_lost || progress_lost) end = PlanEnd::RunStopped;
    }
    summary.cancelled = is_cancelled(cancel);
    send_or_stop(cancel, [&] { sink(Summary{std::move(summary)}); });
    return end;
}

}  // namespace

void execute_cleanup_plan(const CleanupPlan& plan, const CancelFlag& cancel,
                          host_trash::CleanupHostLink& host_link, const CleanupEventSink& sink) {
    (void)execute_plan(plan, cancel, host_link, sink);
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
    const PlanEnd end = execute_plan(plan, cancel, host_link, [&adapter](CleanupEvent event) {
        adapter.forward_executor_event(std::move(event));
    });
    const std::optional<CleanupItemResult>& result = adapter.kept_result();
    if (result &&
        (result->status == CleanupStatus::Removed || result->status == CleanupStatus::Trashed)) {
        return PlanOutcome{result->status, result->processed_bytes};
    }
    // The plan's own stop set the flag: an item it failed stays Failed.
    const bool stopped = end == PlanEnd::RunStopped;
    if (result && result->error) {
        return std::unexpected(PlanFailure{*result->error, result->status, result->error_code,
                                           result->processed_bytes,
                                           stopped && result->status == CleanupStatus::Failed});
    }
    auto failure = plan_failure(adapter.kept_failure().value_or(std::string(kRemovalNotConfirmed)));
    if (stopped) {
        failure.error().status = CleanupStatus::Failed;
        failure.error().stopped_run = true;
    }
    return failure;
}

}  // namespace bramvelt::cleanup
