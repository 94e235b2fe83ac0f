#include "core/cleanup/development_cleanup.hpp"

#include <fmt/format.h>

#include <algorithm>
#include <variant>

#include "core/cleanup/dev_cleanup_texts.hpp"
#include "core/cleanup/dev_recheck.hpp"
#include "core/cleanup/dev_request_check.hpp"
#include "core/cleanup/orchestrator.hpp"
#include "core/cleanup/run_stop.hpp"
#include "core/cleanup/sanitize.hpp"
#include "core/cleanup/worktree_removal.hpp"
#include "core/filesystem/identity.hpp"
#include "core/host_trash/host_link.hpp"
#include "core/host_trash/trash_authorization.hpp"
#include "platform/text.hpp"

namespace bramvelt::cleanup {
namespace {

using development::DevCandidate;

// Why an item was not cleaned, and the code that goes with it, if any.
struct ItemFailure {
    std::string message;
    std::optional<std::string> code;
    // An exception failed the item and stopped the run: Failed, whatever the flag says.
    bool stopped_run = false;
};

using ItemOutcome = std::expected<CleanupStatus, ItemFailure>;

std::unexpected<ItemFailure> fail(std::string text) {
    return std::unexpected(ItemFailure{std::move(text), std::nullopt});
}
std::unexpected<ItemFailure> fail(std::string_view text) {
    return fail(std::string(text));
}

// What one development run shares between its items.
struct DevRun {
    const DevCleanupRequest& request;
    const CancelFlag& cancel;
    host_trash::CleanupHostLink& link;
    const CleanupEventSink& sink;
    CleanupProgress base;
    std::uint64_t processed = 0;
    std::uint64_t trashed = 0;  // the part of `processed` that went to the Trash
    bool part_removed = false;  // something of the current item is gone

    void send_base() const { sink(Progress{base}); }

    // One item through the orchestrator; its bytes count for the run when it went.
    ItemOutcome clean_through_plan(const CleanupItem& item) {
        auto outcome = run_cleanup_plan(request.context, request.action, request.acknowledged, item,
                                        cancel, link, base, sink);
        if (!outcome) {
            // What a removal took before it stopped stays gone, and counts.
            processed = platform::saturating_add(processed, outcome.error().processed_bytes);
            if (outcome.error().error_code == kCodeDevelopmentPartial) part_removed = true;
            return std::unexpected(ItemFailure{std::move(outcome.error().message),
                                               std::move(outcome.error().error_code),
                                               outcome.error().stopped_run});
        }
        part_removed = true;
        processed = platform::saturating_add(processed, outcome->processed_bytes);
        if (outcome->status == CleanupStatus::Trashed) {
            trashed = platform::saturating_add(trashed, outcome->processed_bytes);
        }
        return outcome->status;
    }
};

bool same_entry(const filesystem::FileIdentity& a, const filesystem::FileIdentity& b) {
    return a.device == b.device && a.inode == b.inode && a.kind == b.kind;
}

// The worktree's generated output first, each searched again just before it goes; then
// the worktree, checked once more, goes once Git confirms it would remove it unforced.
ItemOutcome clean_worktree(DevRun& run, const DevCleanupItem& item, const DevRecheck& recheck) {
    std::vector<DevCandidate> outputs = retain_worktree_outputs(recheck.candidates, item.path);
    for (const WorktreeOutput& output : worktree_outputs_to_clean(outputs)) {
        const std::string& path = output.candidate->path;
        auto found = rescan_dev_folder(path, false, run.cancel);
        if (!found) return fail(std::move(found.error()));
        const auto again = std::find_if(found->begin(), found->end(),
                                        [&](const DevCandidate& c) { return c.path == path; });
        if (again == found->end()) return fail(kOutputChanged);
        if (again->recommendation != development::Recommendation::Regenerable ||
            !again->measurement_complete) {
            return fail(kOutputChangedScanAgain);
        }
        auto identity = read_output_identity(path);
        if (!identity) return fail(std::move(identity.error()));
        const CleanupItem plan_item{
            *identity, fmt::format("{}-output-{}", item.item_id, output.position), path};
        if (auto cleaned = run.clean_through_plan(plan_item); !cleaned) return cleaned;
        run.base.bytes_done = run.processed;
    }

    auto identity = filesystem::read_identity(item.path);
    if (!identity) return fail(std::move(identity.error().message));
    if (!same_entry(*identity, item.identity)) return fail(kWorktreeReplaced);
    auto last = recheck_dev_item(item, run.request, run.cancel);
    if (!last) return fail(std::move(last.error()));
    if (auto gate = policy::require_acknowledgement(run.request.context, item.path,
                                                    run.request.acknowledged);
        !gate) {
        return fail(std::move(gate.error()));
    }
    run.base.stage = std::string(kStageRemovingWorktree);
    run.send_base();
    // That Progress stands for the whole removal: the item's end comes next. The removal's
    // own progress stays out; its bytes reach the result.
    const CleanupEventSink quiet = [&run](CleanupEvent event) {
        if (!std::holds_alternative<Progress>(event)) run.sink(std::move(event));
    };
    const WorktreeTarget target{item.path, last->candidate.git->repository, item.item_id, *identity,
                                last->candidate.allocated_bytes};
    auto removed = remove_worktree(target, {run.request.context, run.request.acknowledged,
                                            run.cancel, run.link, run.base, quiet});
    if (!removed) {
        run.processed = platform::saturating_add(run.processed, removed.error().removed_bytes);
        if (removed.error().part_removed) run.part_removed = true;
        return fail(std::move(removed.error().message));
    }
    run.processed = platform::saturating_add(run.processed, *removed);
    return CleanupStatus::Removed;
}

// `item` is the reviewed item with its canonical path.
ItemOutcome clean_item(DevRun& run, const DevCleanupItem& item) {
    if (is_cancelled(run.cancel)) return fail(kCleanupStopped);
    auto identity = filesystem::read_identity(item.path);
    if (!identity) return fail(std::move(identity.error().message));
    if (*identity != item.identity) return fail(kChangedAfterReview);
    auto recheck = recheck_dev_item(item, run.request, run.cancel);
    if (!recheck) return fail(std::move(recheck.error()));
    identity = filesystem::read_identity(item.path);
    if (!identity) return fail(std::move(identity.error().message));
    if (*identity != item.identity) return fail(kChangedDuringCheck);
    if (recheck->candidate.kind == development::CandidateKind::Worktree) {
        return clean_worktree(run, item, *recheck);
    }
    return run.clean_through_plan(CleanupItem{item.identity, item.item_id, item.path});
}

// The item from its first report to its outcome. An exception on the way (memory ran
// out, a thread could not start, the sink failed) is its failure, and stops the run.
ItemOutcome start_and_clean_item(DevRun& run, const DevCleanupItem& reviewed,
                                 const std::string& canonical) {
    try {
        run.base.stage = std::string(kStageCheckingDevelopment);
        run.base.detail = sanitize_report_text(reviewed.path);
        run.base.item_id = reviewed.item_id;
        run.send_base();
        DevCleanupItem item = reviewed;
        item.path = canonical;
        return clean_item(run, item);
    } catch (...) {
        return std::unexpected(ItemFailure{stop_run_for_exception(run.cancel), std::nullopt, true});
    }
}

// Where the run's byte counts stood when an item began.
struct ItemStart {
    std::uint64_t processed = 0;
    std::uint64_t trashed = 0;
};

CleanupItemResult result_of(const DevRun& run, const DevCleanupItem& item, ItemOutcome outcome,
                            ItemStart start, CleanupSummary& summary) {
    CleanupItemResult result;
    result.item_id = item.item_id;
    result.path = sanitize_report_text(item.path);
    result.processed_bytes = run.processed > start.processed ? run.processed - start.processed : 0;
    result.trashed_bytes = run.trashed > start.trashed ? run.trashed - start.trashed : 0;
    if (outcome) {
        ++summary.completed_items;
        result.status = *outcome;
        return result;
    }
    result.error = sanitize_report_text(outcome.error().message);
    if (outcome.error().code == kCodeNativeTrashIndeterminate) {
        // Its fate is unknown, which is more than stopped: Failed, whatever the flag says,
        // and this code over the partial one.
        ++summary.failed_items;
        result.status = CleanupStatus::Failed;
        result.error_code = std::move(outcome.error().code);
        return result;
    }
    if (is_cancelled(run.cancel) && !outcome.error().stopped_run) {
        ++summary.cancelled_items;
        result.status = CleanupStatus::Cancelled;
    } else {
        ++summary.failed_items;
        result.status = CleanupStatus::Failed;
    }
    if (run.part_removed || run.processed > start.processed)
        result.error_code = std::string(kCodeDevelopmentPartial);
    return result;
}

}  // namespace

void run_dev_cleanup(const DevCleanupRequest& request, const CancelFlag& cancel,
                     std::shared_ptr<host_trash::TrashRegistry> registry,
                     const CleanupEventSink& sink) {
    // The sending ends stay until the run returns, so the channels never disconnect.
    std::optional<std::pair<host_trash::CleanupHostLink, host_trash::HostLinkSenders>> host;
    std::expected<std::vector<std::string>, std::string> canonical;
    // An exception before the first item refuses the run: nothing was touched.
    try {
        host.emplace(host_trash::open_host_link(std::move(registry)));
        canonical = check_dev_cleanup_request(request);
        if (canonical) sink(PlanStarted{std::nullopt, request.items.size(), 0});
    } catch (...) {
        canonical = std::unexpected(stop_run_for_exception(cancel));
    }
    if (!canonical) {
        send_or_stop(cancel, [&] {
            sink(Failed{std::string(kCodeDevelopmentPreflight),
                        sanitize_report_text(canonical.error())});
        });
        return;
    }

    DevRun run{request, cancel, host->first, sink, {}, 0, 0, false};
    run.base.stage = std::string(kStageCheckingDevelopment);
    run.base.items_total = request.items.size();
    CleanupSummary summary;

    for (std::size_t i = 0; i < request.items.size(); ++i) {
        const DevCleanupItem& reviewed = request.items[i];
        const ItemStart start{run.processed, run.trashed};
        run.part_removed = false;
        ItemOutcome outcome = start_and_clean_item(run, reviewed, (*canonical)[i]);
        CleanupItemResult result = result_of(run, reviewed, std::move(outcome), start, summary);
        if (result.error) summary.results.push_back(result);
        send_or_stop(cancel, [&] { sink(ItemFinished{std::move(result)}); });

        run.base.items_done = i + 1;
        run.base.bytes_done = run.processed;
        send_or_stop(cancel, [&] { run.send_base(); });
    }
    summary.processed_bytes = run.processed;
    summary.trashed_bytes = run.trashed;
    summary.cancelled = is_cancelled(cancel);
    send_or_stop(cancel, [&] { sink(Summary{std::move(summary)}); });
}

}  // namespace bramvelt::cleanup
