#pragma once
// The development view's state and the operations that change it apart from single
// key effects: applying search and cleanup messages, the selection, the cursor, the
// review dialog and the stop request. Only the interface thread touches it.

#include <chrono>
#include <cstdint>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <utility>
#include <variant>
#include <vector>

#include "core/cleanup/progress.hpp"
#include "core/cleanup/result.hpp"
#include "core/development/types.hpp"
#include "platform/cancel_flag.hpp"
#include "src/cli/cleanup_review.hpp"
#include "src/cli/dev_options.hpp"
#include "src/cli/dev_view_model.hpp"
#include "src/tui/dev_update.hpp"
#include "src/tui/worker_thread.hpp"

namespace bramvelt::tui {

inline constexpr std::string_view kSelectFirst = "Select eligible items with Space (or a) first";
inline constexpr std::string_view kWaitForScan = "Wait for the scan to finish before cleaning up";

struct ReviewDialog {
    cli::CleanupReview review;
    std::size_t scroll = 0;
    cli::CleanAction method = cli::CleanAction::Trash;
    bool acknowledged = false;
    bool confirm_pending = false;
};

struct ProgressDialog {
    cli::CleanupReview review;
    std::vector<cleanup::CleanupItemResult> results;
    std::optional<cleanup::CleanupProgress> current;
    std::optional<cleanup::CleanupSummary> outcome;
    std::optional<std::string> error;
    cli::CleanAction method = cli::CleanAction::Trash;
    bool finished = false;
    bool stopping = false;
};

using CleanupDialog = std::variant<std::monostate, ReviewDialog, ProgressDialog>;

inline cli::DevItemFilter initial_dev_filter() {
    cli::DevItemFilter filter;
    filter.category = cli::DevCategory::Rebuildable;
    return filter;
}

// "largest first", "oldest change first" or "least recently accessed": the table's
// title and the sort key's status say it alike.
std::string_view sort_label(cli::DevSortOrder sort);

struct DevView {
    std::vector<std::string> roots;
    std::vector<development::DevCandidate> candidates;
    cli::DevItemFilter filter = initial_dev_filter();
    std::optional<development::DevScanSummary> summary;
    std::optional<std::string> error;
    std::optional<std::string> search_input;
    std::optional<std::string> folders_input;
    CleanupDialog dialog;
    std::optional<std::chrono::steady_clock::time_point> search_started;
    std::set<std::string> selected_paths;
    std::uint64_t search_generation = 0;
    std::optional<CancelFlag> search_cancel;
    std::size_t cursor = 0;
    std::size_t scroll = 0;
    std::size_t page = 10;
    std::optional<CancelFlag> cleanup_stop;
    std::optional<WorkerThread> cleanup_thread;
    std::uint64_t cleanup_generation = 0;
    bool verify_remotes = false;
    bool searched = false;
    bool scanning = false;
};

// Applies one update when its generation is the current one of its kind; returns the
// status text to show, if any.
std::optional<std::string> apply_dev_message(DevView& view, std::uint64_t generation,
                                             DevUpdate update);

// Opens the review dialog for the selection (or the eligible row under the cursor);
// returns the text explaining why it could not.
std::optional<std::string> open_review(DevView& view);

std::size_t move_cursor(DevView& view, std::int64_t delta);

// The candidates that pass the filter, in its order; recomputed at every call.
std::vector<const development::DevCandidate*> visible_items(const DevView& view);

std::pair<std::string, cli::DevCategory> item_key(const development::DevCandidate& candidate);

// Stops a running cleanup and cancels a running search; false when neither was asked.
bool request_stop(DevView& view);

std::vector<std::string> eligible_candidate_paths(
    const std::vector<const development::DevCandidate*>& candidates);

std::vector<const development::DevCandidate*> selected_candidates(
    const std::vector<development::DevCandidate>& candidates, const DevView& view);

// The comma-separated folders of a typed line, a leading "~" or "~/" expanded.
std::vector<std::string> split_folder_list(std::string_view text,
                                           const std::optional<std::string>& home);

}  // namespace bramvelt::tui
