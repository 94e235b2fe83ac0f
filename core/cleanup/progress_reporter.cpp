#include "core/cleanup/progress_reporter.hpp"

#include "core/cleanup/sanitize.hpp"

namespace bramvelt::cleanup {

ProgressReporter::ProgressReporter(const CleanupPlan& plan_, CancelFlag cancel_,
                                   CleanupEventSink sink_, ProgressClock clock_)
    : plan(plan_),
      cancel(std::move(cancel_)),
      sink(std::move(sink_)),
      acknowledged(plan_.acknowledged),
      clock(clock_ ? std::move(clock_)
                   : ProgressClock([] { return std::chrono::steady_clock::now(); })) {
    last_emitted = clock();
}

bool progress_due(const ProgressReporter& reporter) {
    const Instant now = reporter.now();
    return now >= reporter.last_emitted && now - reporter.last_emitted > kProgressInterval;
}

void emit_cleanup_progress(ProgressReporter& reporter, std::string_view stage,
                           std::optional<std::string_view> detail,
                           std::optional<std::string_view> item_id, ForceReport force) {
    CleanupProgress& progress = reporter.progress;
    const bool changed = force == ForceReport::Yes || progress.stage != stage;
    progress.stage = std::string(stage);
    // sanitize_report_text replaces invalid UTF-8 as it goes.
    progress.detail = detail ? std::optional(sanitize_report_text(*detail)) : std::nullopt;
    progress.item_id = item_id ? std::optional(std::string(*item_id)) : std::nullopt;
    if (!changed && !progress_due(reporter)) return;
    reporter.sink(Progress{progress});
    reporter.last_emitted = reporter.now();
}

void send_progress_now(ProgressReporter& reporter) {
    reporter.sink(Progress{reporter.progress});
}

}  // namespace bramvelt::cleanup
