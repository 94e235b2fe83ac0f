#include "core/development/state.hpp"

#include <algorithm>

namespace bramvelt::development {

void CandidateListSink::on_event(DevScanEvent event) {
    if (auto* c = std::get_if<DevScanEvent::Candidate>(&event.value)) {
        candidates_.push_back(std::move(c->candidate));
    }
}

DevScanState::DevScanState(DevScanRequest request_in, std::vector<std::string> roots_in,
                           CancelFlag cancel_in, DevScanSink& sink_in, SearchClock clock_in)
    : request(std::move(request_in)),
      roots(std::move(roots_in)),
      clock(clock_in ? std::move(clock_in) : SearchClock(&std::chrono::steady_clock::now)),
      cancel(std::move(cancel_in)),
      sink(&sink_in) {
    summary.roots = roots;
    start = clock();
    last_progress = clock();
}

std::chrono::steady_clock::duration DevScanState::elapsed() const {
    const auto d = now() - start;
    return d < std::chrono::steady_clock::duration::zero()
               ? std::chrono::steady_clock::duration::zero()
               : d;
}

bool DevScanState::budget_spent() {
    if (summary.entries_examined >= request.max_entries || summary.candidates >= kMaxCandidates) {
        summary.limited = true;
        return true;
    }
    if (elapsed() >= kSearchTimeLimit) {
        summary.limited = true;
        return true;
    }
    return cancelled();
}

const GitLaunch& DevScanState::git_launch() {
    if (!git_launch_) {
        git_launch_ = current_git_launch(ProgramLookup::Once);
    }
    return *git_launch_;
}

void emit_candidate(DevScanState& state, DevCandidate candidate) {
    if (state.summary.candidates >= kMaxCandidates) {
        state.summary.limited = true;
        return;
    }
    ++state.summary.candidates;
    state.sink->on_event(DevScanEvent{DevScanEvent::Candidate{candidate}});
    state.kept_candidates.push_back(std::move(candidate));
}

void emit_progress(DevScanState& state) {
    const auto now = state.now();
    if (now - state.last_progress < kProgressInterval) {
        return;
    }
    state.summary.elapsed_ms = static_cast<std::uint64_t>(
        std::chrono::duration_cast<std::chrono::milliseconds>(state.elapsed()).count());
    state.sink->on_event(DevScanEvent{DevScanEvent::Progress{state.summary}});
    state.last_progress = state.now();
}

void add_scan_warning(DevScanState& state, std::string_view text) {
    auto& warnings = state.summary.warnings;
    if (warnings.size() >= kMaxWarnings ||
        std::find(warnings.begin(), warnings.end(), text) != warnings.end()) {
        return;
    }
    warnings.emplace_back(text);
}

}  // namespace bramvelt::development
