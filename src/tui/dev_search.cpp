#include "src/tui/dev_search.hpp"

#include <exception>

#include "core/development/search.hpp"
#include "src/tui/dev_roots.hpp"
#include "src/tui/failure_text.hpp"

namespace bramvelt::tui {
namespace {

DevUpdate wrap(development::DevScanEvent event) {
    if (auto* c = std::get_if<development::DevScanEvent::Candidate>(&event.value)) {
        return DevCandidateUpdate{std::move(c->candidate)};
    }
    if (auto* p = std::get_if<development::DevScanEvent::Progress>(&event.value)) {
        return DevProgressUpdate{std::move(p->summary)};
    }
    return DevFinishedUpdate{
        std::move(std::get<development::DevScanEvent::Finished>(event.value).summary)};
}

}  // namespace

void TuiDevSink::on_event(development::DevScanEvent event) {
    if (!sender_.send(UiMessage{MessageKind::Development, generation_, wrap(std::move(event))})) {
        if (cancel_) cancel_->store(true);
    }
}

void dev_search_worker(DevSearchJob job) {
    dev_search_worker(std::move(job), [](development::DevScanRequest request, CancelFlag cancel,
                                         development::DevScanSink& sink) {
        return development::scan_development(std::move(request), std::move(cancel), sink);
    });
}

void dev_search_worker(DevSearchJob job, const DevSearchRun& search) {
    std::optional<std::string> failure;
    try {
        development::DevScanRequest request;
        request.roots = std::move(job.roots);
        request.max_depth = 8;
        request.max_entries = 2'000'000;
        request.verify_remotes = job.verify_remotes;
        TuiDevSink sink(job.sender, job.generation, job.cancel);
        auto result = search(std::move(request), job.cancel, sink);
        if (!result) failure = std::move(result.error());
    } catch (...) {
        // The search's memory is given back by now, so the text can still be made.
        failure = failure_text(kDevSearchFailed, std::current_exception());
    }
    if (!failure) return;
    try {
        (void)job.sender.send(UiMessage{MessageKind::Development, job.generation,
                                        DevUpdate{DevFailedUpdate{std::move(*failure)}}});
    } catch (...) {  // NOLINT(bugprone-empty-catch): out of memory; the view shows it as running
    }
}

void start_dev_search(DevView& view, const UiSender& sender, const ThreadStarter& start) {
    if (view.search_cancel) (*view.search_cancel)->store(true);
    view.searched = true;
    ++view.search_generation;
    view.candidates.clear();
    view.summary.reset();
    view.error.reset();
    if (auto refused = roots_not_utf8(view.roots); !refused.empty()) {
        view.roots = std::move(refused);
        view.error = std::string(kFoldersNotUtf8);
        view.scanning = false;
        return;
    }
    view.scanning = true;
    view.search_started = std::chrono::steady_clock::now();
    CancelFlag cancel = make_cancel_flag();
    view.search_cancel = cancel;
    DevSearchJob job{sender, view.roots, cancel, view.search_generation, view.verify_remotes};
    auto thread = start([job = std::move(job)]() mutable { dev_search_worker(std::move(job)); });
    if (!thread) {
        view.scanning = false;
        view.error = "Could not start the search: " + thread.error();
        return;
    }
    thread->detach();
}

void show_folder_failure(DevView& view, std::string error) {
    view.searched = true;
    view.error = std::move(error);
}

void apply_folders_input(DevView& view, const std::vector<std::string>& folders,
                         const UiSender& sender, const ThreadStarter& start) {
    auto targets = resolve_search_folders(folders);
    if (!targets) {
        show_folder_failure(view, std::move(targets.error()));
        return;
    }
    view.roots = std::move(*targets);
    start_dev_search(view, sender, start);
}

}  // namespace bramvelt::tui
