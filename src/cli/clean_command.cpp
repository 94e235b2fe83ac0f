#include "src/cli/clean_command.hpp"

#include <fmt/format.h>

#include <algorithm>
#include <expected>
#include <limits>
#include <string>
#include <string_view>
#include <vector>

#include "platform/text.hpp"
#include "src/cli/cleanup_review.hpp"
#include "src/cli/cleanup_sink.hpp"
#include "src/cli/cleanup_totals.hpp"
#include "src/cli/dev_json.hpp"
#include "src/cli/dev_view_model.hpp"
#include "src/cli/format.hpp"
#include "src/cli/interrupt.hpp"

namespace bramvelt::cli {
namespace {

struct ChosenAction {
    CleanAction method;
    cleanup::CleanupAction action;
    std::string_view json_word;
    std::string_view dry_run_verb;
};

ChosenAction choose_action(CleanAction action) {
    if (action == CleanAction::Delete) {
        return {CleanAction::Delete, cleanup::CleanupAction::remove(), "delete",
                "delete permanently"};
    }
    return {CleanAction::Trash, cleanup::CleanupAction::trash(), "trash", "move to Trash"};
}

inline constexpr std::string_view kCautionMessage =
    "Some locations need a second look; re-run with --accept-caution after reviewing them.";

// Once a cleanup may run, output failures never change what `clean` does next, nor its
// status: the status tells what happened on disk.
void put(platform::Writer& writer, std::string_view text) {
    (void)writer.write(text);
}

nlohmann::json text_array(std::span<const std::string> texts) {
    auto array = nlohmann::json::array();
    for (const auto& text : texts) array.push_back(json_text(text));
    return array;
}

std::int64_t as_seconds(std::uint64_t seconds) {
    return static_cast<std::int64_t>(
        std::min<std::uint64_t>(seconds, std::numeric_limits<std::int64_t>::max()));
}

struct DryRun {
    std::span<const std::string> targets;
    std::span<const development::DevCandidate* const> items;  // the removable items
    std::uint64_t total_bytes = 0;
    std::span<const std::string> warnings;
    std::uint64_t now = 0;
    const std::optional<std::string>& home;
    const ChosenAction& action;
};

std::string dry_run_text(const DryRun& dry) {
    const std::size_t n = dry.items.size();
    if (n == 0) {
        return fmt::format("Nothing to clean up in {} with these filters.\n",
                           describe_targets(dry.targets, dry.home));
    }
    std::string text = fmt::format("Would clean {} item{} · {}:\n\n", n, n == 1 ? "" : "s",
                                   format_size(dry.total_bytes));
    for (const auto* c : dry.items) {
        const std::string age = format_age(
            c->last_modified ? std::optional(as_seconds(*c->last_modified)) : std::nullopt,
            as_seconds(dry.now));
        text += fmt::format("  {}  {}  {} {}\n", align_right(format_size(c->allocated_bytes), 10),
                            align_right(age, 5), align_left(item_label(*c), 22),
                            display_path(c->path, dry.home));
    }
    const std::uint64_t w = count_worktrees(dry.items);
    const std::uint64_t g = n - w;
    if (g > 0) {
        text += fmt::format("\nGenerated output ({}) would {}.\n", g, dry.action.dry_run_verb);
    }
    if (w > 0) {
        text += fmt::format(
            "{}{} worktree{} would be removed permanently by git worktree remove "
            "after its generated output; branches and history stay.\n",
            g == 0 ? "\n" : "", w, w == 1 ? "" : "s");
    }
    for (const auto& warning : dry.warnings) text += fmt::format("\n⚠ {}\n", warning);
    text +=
        fmt::format("\nDry run: nothing was changed. Re-run with --yes to proceed{}.\n",
                    dry.warnings.empty() ? "" : " (and --accept-caution for the warnings above)");
    return text;
}

std::string dry_run_json(const DryRun& dry) {
    auto items = nlohmann::json::array();
    for (const auto* c : dry.items) items.push_back(serialize_candidate(*c));
    nlohmann::json document = nlohmann::json::object();
    document["action"] = std::string(dry.action.json_word);
    document["bytes"] = dry.total_bytes;
    document["dryRun"] = true;
    document["items"] = std::move(items);
    document["schemaVersion"] = 1;
    document["warnings"] = text_array(dry.warnings);
    return dump_compact(document) + "\n";
}

// A dry run changes nothing: its report is all it does, so a report that cannot be
// written fails it. Being told to end while it ran shows in the status.
int finish_dry_run(platform::Writer& out, bool json, const DryRun& dry,
                   const InterruptGuard& bridge, bool limited) {
    const bool written = out.write(json ? dry_run_json(dry) : dry_run_text(dry));
    if (!written || !out.flush()) return 1;
    if (const int stop_signal = bridge.stop_signal(); told_to_end(stop_signal)) {
        return interrupted_status(stop_signal);
    }
    return limited ? 3 : 0;
}

void write_caution(platform::Writer& out, platform::Writer& err, bool json,
                   std::span<const std::string> warnings) {
    if (json) {
        nlohmann::json document = nlohmann::json::object();
        document["error"] = {{"code", "cautionRequired"}, {"message", kCautionMessage}};
        document["schemaVersion"] = 1;
        document["warnings"] = text_array(warnings);
        put(out, dump_compact(document) + "\n");
        return;
    }
    put(err,
        "bramvelt: some locations need a second look; re-run with --accept-caution after "
        "reviewing:\n");
    for (const auto& warning : warnings) put(err, fmt::format("  {}\n", warning));
}

void write_run_output(platform::Writer& out, platform::Writer& err, bool json,
                      const CliCleanupSink& sink, const ChosenAction& action) {
    if (json) {
        nlohmann::json summary = nlohmann::json::object();
        summary["cancelled"] = sink.cancelled();
        summary["cancelledItems"] = sink.cancelled_items();
        summary["completedItems"] = sink.completed_items();
        summary["failedItems"] = sink.failed_items();
        summary["processedBytes"] = sink.processed_bytes();
        nlohmann::json document = nlohmann::json::object();
        document["action"] = std::string(action.json_word);
        document["dryRun"] = false;
        document["errors"] = text_array(sink.failures());
        document["results"] = clean_results_json(sink.results());
        document["schemaVersion"] = 1;
        document["summary"] = std::move(summary);
        put(out, dump_compact(document) + "\n");
    } else {
        for (const auto& failure : sink.failures()) {
            put(err, "bramvelt: " + escape_for_display(failure) + "\n");
        }
        (void)err.flush();
        const RemovedBytesText removed =
            removed_bytes_text(action.method, sink.processed_bytes(), sink.trashed_bytes());
        put(out,
            fmt::format(
                "\n{} · {} done · {} kept · {} stopped{}\n", removed.text, sink.completed_items(),
                sink.failed_items(), sink.cancelled_items(),
                removed.remind_to_empty_trash ? " · empty the Trash to reclaim the space" : ""));
    }
    (void)out.flush();
}

// The removable finds: the listed items of the chosen categories that are not Keep, a
// find inside another one dropped.
std::vector<const development::DevCandidate*> removable_items(
    const DevCommandOptions& options, std::span<const development::DevCandidate> candidates,
    std::uint64_t now) {
    DevItemFilter filter;
    filter.kinds = options.kinds;
    filter.older_than_days = options.older_than_days;
    filter.min_size = options.min_size;
    filter.sort = options.sort;
    std::vector<const development::DevCandidate*> retained;
    for (const auto* c : filter_and_sort_items(filter, candidates, now)) {
        const DevCategory category = item_category(*c);
        if (category == DevCategory::Keep) continue;
        if (options.categories.empty() ||
            std::ranges::find(options.categories, category) != options.categories.end()) {
            retained.push_back(c);
        }
    }
    return reclaimable_items(retained);
}

struct Reviews {
    std::vector<CleanupReview> batches;
    std::uint64_t total_bytes = 0;      // saturating
    std::vector<std::string> warnings;  // batch after batch
};

// Every batch is reviewed before anything is shown or removed; the first refusal ends it.
std::expected<Reviews, std::string> review_in_batches(
    const policy::PolicyContext& context,
    std::span<const development::DevCandidate* const> removable) {
    Reviews reviews;
    for (std::size_t start = 0; start < removable.size(); start += cleanup::kMaxDevCleanupItems) {
        const auto batch = removable.subspan(
            start, std::min(cleanup::kMaxDevCleanupItems, removable.size() - start));
        auto review = build_cleanup_review(context, batch);
        if (!review) return std::unexpected(std::move(review.error()));
        reviews.total_bytes = platform::saturating_add(reviews.total_bytes, review->total_bytes);
        reviews.warnings.insert(reviews.warnings.end(), review->warnings.begin(),
                                review->warnings.end());
        reviews.batches.push_back(std::move(*review));
    }
    return reviews;
}

// A Ctrl-C or being told to end; the watcher copies a signal into the flag up to 10 ms
// late, the bridge knows at once.
bool interrupted(const CancelFlag& cancel, const InterruptGuard& bridge) {
    return cancel->load() || bridge.stop_signal() != 0;
}

// What every batch's request shares.
struct RunSettings {
    const policy::PolicyContext& context;
    std::span<const std::string> roots;
    cleanup::CleanupAction action;
    policy::Acknowledgement acknowledged;
    bool verify_remotes;
};

// Runs the batches in order, each with a Trash registry of its own that the sink serves
// its Trash requests from. Once interrupted, the remaining batches never start and their
// items appear nowhere.
void run_batches(std::vector<CleanupReview>& batches, const RunSettings& settings,
                 const CancelFlag& cancel, const InterruptGuard& bridge, CliCleanupSink& sink,
                 const DevCleanupRun& run) {
    const cleanup::CleanupEventSink forward = [&sink](cleanup::CleanupEvent event) {
        sink.on_event(std::move(event));
    };
    for (CleanupReview& review : batches) {
        cleanup::DevCleanupRequest request;
        request.context = settings.context;
        request.roots.assign(settings.roots.begin(), settings.roots.end());
        request.items = std::move(review.items);
        request.action = settings.action;
        request.acknowledged = settings.acknowledged;
        request.verify_remotes = settings.verify_remotes;
        auto registry = std::make_shared<host_trash::TrashRegistry>();
        sink.set_registry(registry);
        run(request, cancel, registry, forward);
        if (interrupted(cancel, bridge)) break;
    }
    sink.set_registry(nullptr);
}

// Only a signal (Ctrl-C, or being told to end) makes a run "interrupted"; the engine may
// stop a run itself (an unconfirmed move to the Trash), which is a failure.
int run_status(const CliCleanupSink& sink, int stop_signal) {
    if (stop_signal != 0) return interrupted_status(stop_signal);
    if (sink.cancelled() || sink.failed_items() > 0 || !sink.failures().empty()) return 1;
    return 0;
}

}  // namespace

CleanCommandEnv real_clean_command_env() {
    CleanCommandEnv env;
    env.search = real_dev_command_env();
    env.run = &cleanup::run_dev_cleanup;
    return env;
}

std::uint64_t count_worktrees(std::span<const development::DevCandidate* const> candidates) {
    return static_cast<std::uint64_t>(std::ranges::count_if(
        candidates, [](const auto* c) { return c->kind == development::CandidateKind::Worktree; }));
}

nlohmann::json clean_results_json(std::span<const cleanup::CleanupItemResult> results) {
    auto array = nlohmann::json::array();
    for (const auto& r : results) {
        nlohmann::json record = nlohmann::json::object();
        record["backup_path"] = r.backup_path ? json_text(*r.backup_path) : nlohmann::json(nullptr);
        record["error"] = r.error ? json_text(*r.error) : nlohmann::json(nullptr);
        if (r.error_code) record["error_code"] = json_text(*r.error_code);
        record["item_id"] = json_text(r.item_id);
        record["path"] = json_text(r.path);
        record["processed_bytes"] = r.processed_bytes;
        record["status"] = std::string(cleanup::status_word(r.status));
        array.push_back(std::move(record));
    }
    return array;
}

int clean_command(const DevCommandOptions& options, platform::Writer& out, platform::Writer& err,
                  const CleanCommandEnv& env) {
    const ChosenAction action = choose_action(options.action);
    auto targets = resolve_targets(options.folders);
    if (!targets) {
        report_cli_failure(out, err, options.json, "invalidArguments", targets.error());
        return 2;
    }
    const auto context = open_cleanup_service();
    if (!context) {
        report_cli_failure(out, err, options.json, "contextUnavailable", context.error());
        return 1;
    }

    // Installed until the last batch has run: a Ctrl-C, or being told to end, at any
    // point from here on stops the command instead of the process, so that the search's
    // Git commands are ended with it and a run still reports every item.
    const CancelFlag cancel = make_cancel_flag();
    auto bridge = install_interrupt_bridge(cancel);
    auto ending_signals = bridge->catch_ending_signals();

    auto search = run_dev_scan_with_progress(
        options.verify_remotes, *targets, cancel,
        options.json ? ProgressLine::Hidden : ProgressLine::Shown, err, env.search);
    if (!search) {
        report_cli_failure(out, err, options.json, "scanFailed", search.error());
        return 1;
    }
    if (search->summary.cancelled || interrupted(cancel, *bridge)) {
        report_cli_failure(out, err, options.json, "interrupted",
                           "Scan stopped; nothing was removed.");
        return interrupted_status(bridge->stop_signal());
    }

    const std::uint64_t now = env.search.now();
    const auto removable = removable_items(options, search->candidates, now);
    const std::optional<std::string> home = home_dir();
    auto reviews = review_in_batches(*context, removable);
    if (!reviews) {
        report_cli_failure(out, err, options.json, "reviewFailed", reviews.error());
        return 1;
    }

    if (!options.yes || removable.empty()) {
        const DryRun dry{.targets = *targets,
                         .items = removable,
                         .total_bytes = reviews->total_bytes,
                         .warnings = reviews->warnings,
                         .now = now,
                         .home = home,
                         .action = action};
        return finish_dry_run(out, options.json, dry, *bridge, search->summary.limited);
    }
    if (!reviews->warnings.empty() && !options.accept_caution) {
        write_caution(out, err, options.json, reviews->warnings);
        (void)out.flush();
        (void)err.flush();
        return 1;
    }
    if (interrupted(cancel, *bridge)) {
        report_cli_failure(out, err, options.json, "interrupted",
                           "Interrupted before cleanup; nothing was removed.");
        return interrupted_status(bridge->stop_signal());
    }

    CliCleanupSink sink(out, options.json ? ItemLines::Quiet : ItemLines::Printed, home,
                        env.trash_host);
    const RunSettings settings{.context = *context,
                               .roots = *targets,
                               .action = action.action,
                               .acknowledged = options.accept_caution
                                                   ? policy::Acknowledgement::Given
                                                   : policy::Acknowledgement::Missing,
                               .verify_remotes = options.verify_remotes};
    run_batches(reviews->batches, settings, cancel, *bridge, sink, env.run);
    ending_signals.reset();
    const int stop_signal = bridge->stop_signal();
    bridge.reset();

    write_run_output(out, err, options.json, sink, action);
    return run_status(sink, stop_signal);
}

}  // namespace bramvelt::cli
