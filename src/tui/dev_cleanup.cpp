#include "src/tui/dev_cleanup.hpp"

#include <exception>

#include "core/host_trash/host_side.hpp"
#include "src/cli/cleanup_review.hpp"
#include "src/tui/failure_text.hpp"

namespace bramvelt::tui {
namespace {

void send(const UiSender& sender, std::uint64_t generation, DevUpdate update) {
    try {
        (void)sender.send(UiMessage{MessageKind::Development, generation, std::move(update)});
    } catch (...) {  // NOLINT(bugprone-empty-catch): out of memory; nothing else can be told
    }
}

}  // namespace

void TuiCleanupSink::on_event(cleanup::CleanupEvent event) const {
    if (const auto* request = std::get_if<cleanup::NativeTrashRequest>(&event)) {
        if (registry_) {
            host_trash::serve_native_trash_request(*registry_, request->item_id, request->token);
        }
    }
    send(sender_, generation_, DevCleanupUpdate{std::move(event)});
}

void dev_cleanup_worker(DevCleanupJob job, const DevCleanupRun& run) {
    std::optional<std::string> failure;
    try {
        cleanup::DevCleanupRequest request;
        request.context = std::move(job.context);
        request.roots = std::move(job.roots);
        request.items = std::move(job.items);
        request.action = job.method == cli::CleanAction::Delete ? cleanup::CleanupAction::remove()
                                                                : cleanup::CleanupAction::trash();
        request.acknowledged =
            job.acknowledged ? policy::Acknowledgement::Given : policy::Acknowledgement::Missing;
        request.verify_remotes = job.verify_remotes;
        auto registry = std::make_shared<host_trash::TrashRegistry>();
        const TuiCleanupSink sink(registry, job.sender, job.generation);
        run(request, job.cancel, registry,
            [&sink](cleanup::CleanupEvent event) { sink.on_event(std::move(event)); });
    } catch (...) {
        failure = failure_text(kCleanupWorkerFailed, std::current_exception());
    }
    if (failure) {
        send(job.sender, job.generation,
             DevCleanupUpdate{
                 cleanup::Failed{std::string(kCleanupWorkerFailedCode), std::move(*failure)}});
    }
    send(job.sender, job.generation, DevCleanupDone{});
}

std::optional<std::string> start_cleanup_run(DevView& view, const UiSender& sender,
                                             const ThreadStarter& start, const DevCleanupRun& run) {
    auto* review = std::get_if<ReviewDialog>(&view.dialog);
    if (review == nullptr) return std::nullopt;
    auto context = cli::open_cleanup_service();
    if (!context) {
        view.dialog = std::monostate{};
        view.error = context.error();
        return std::nullopt;
    }
    ++view.cleanup_generation;
    CancelFlag cancel = make_cancel_flag();
    view.cleanup_stop = cancel;
    DevCleanupJob job{
        std::move(*context),     sender,         view.roots,           review->review.items, cancel,
        view.cleanup_generation, review->method, review->acknowledged, view.verify_remotes};
    ProgressDialog progress;
    progress.review = std::move(review->review);
    progress.method = review->method;
    auto thread =
        start([job = std::move(job), run]() mutable { dev_cleanup_worker(std::move(job), run); });
    if (!thread) {
        progress.error = "Could not start the cleanup: " + thread.error();
        progress.finished = true;
        view.cleanup_thread.reset();
    } else {
        // An earlier handle is let go without waiting.
        if (view.cleanup_thread && view.cleanup_thread->joinable()) view.cleanup_thread->detach();
        view.cleanup_thread = std::move(*thread);
    }
    view.dialog = std::move(progress);
    return std::nullopt;
}

}  // namespace bramvelt::tui
