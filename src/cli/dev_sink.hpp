#pragma once
// The command line's development-search sink: collects the finds (a newer record for
// the same path replaces the older one in place), shows a progress line on standard
// error when asked to, and keeps the final summary.

#include <cstddef>
#include <cstdint>
#include <expected>
#include <string>
#include <unordered_map>
#include <vector>

#include "core/development/search.hpp"
#include "core/development/types.hpp"
#include "platform/writer.hpp"

namespace bramvelt::cli {

// Whether the search draws its progress line on standard error: only when the command
// asked for progress (no --json) and standard error is a terminal.
enum class ProgressLine : std::uint8_t { Hidden, Shown };

class CliDevSink final : public development::DevScanSink {
  public:
    CliDevSink(platform::Writer& err, ProgressLine progress)
        : err_(err), progress_(progress == ProgressLine::Shown) {}

    void on_event(development::DevScanEvent event) override;

    // Erases the progress line once the search has returned (when progress is shown).
    void finish_progress();

    bool progress() const { return progress_; }
    std::vector<development::DevCandidate>& candidates() { return candidates_; }
    const development::DevScanSummary& summary() const { return summary_; }

  private:
    platform::Writer& err_;
    bool progress_;
    std::vector<development::DevCandidate> candidates_;
    std::unordered_map<std::string, std::size_t> index_;  // path -> position in candidates_
    development::DevScanSummary summary_;
};

struct DevSearchResult {
    std::vector<development::DevCandidate> candidates;
    development::DevScanSummary summary;
};

// Runs the search into a CliDevSink and erases its progress line afterwards; on an
// error text the collected records are dropped and the error returned.
std::expected<DevSearchResult, std::string> run_cli_dev_search(development::DevScanRequest request,
                                                               CancelFlag cancel,
                                                               platform::Writer& err,
                                                               ProgressLine progress);

}  // namespace bramvelt::cli
