#include "src/cli/dev_sink.hpp"

#include <fmt/format.h>

namespace bramvelt::cli {

void CliDevSink::on_event(development::DevScanEvent event) {
    using development::DevScanEvent;
    if (auto* c = std::get_if<DevScanEvent::Candidate>(&event.value)) {
        const auto [it, inserted] = index_.try_emplace(c->candidate.path, candidates_.size());
        if (inserted) {
            candidates_.push_back(std::move(c->candidate));
        } else {
            candidates_[it->second] = std::move(c->candidate);
        }
    } else if (auto* p = std::get_if<DevScanEvent::Progress>(&event.value)) {
        if (progress_) {
            // A failed write only loses the progress line.
            (void)err_.write(fmt::format("\r\x1b[2KSearching… {} candidates · {} entries",
                                         p->summary.candidates, p->summary.entries_examined));
            (void)err_.flush();
        }
    } else if (auto* f = std::get_if<DevScanEvent::Finished>(&event.value)) {
        summary_ = std::move(f->summary);
    }
}

void CliDevSink::finish_progress() {
    if (progress_) {
        (void)err_.write("\r\x1b[2K");
        (void)err_.flush();
    }
}

std::expected<DevSearchResult, std::string> run_cli_dev_search(development::DevScanRequest request,
                                                               CancelFlag cancel,
                                                               platform::Writer& err,
                                                               ProgressLine progress) {
    CliDevSink sink(err, progress);
    auto result = development::scan_development(std::move(request), std::move(cancel), sink);
    sink.finish_progress();
    if (!result) {
        return std::unexpected(result.error());
    }
    return DevSearchResult{std::move(sink.candidates()), sink.summary()};
}

}  // namespace bramvelt::cli
