#include "src/tui/dev_view.hpp"

#include <algorithm>
#include <chrono>
#include <limits>
#include <unordered_set>

#include "platform/utf8.hpp"
#include "src/cli/format.hpp"

namespace bramvelt::tui {
namespace {

using development::DevCandidate;

std::uint64_t unix_now() {
    const auto since = std::chrono::system_clock::now().time_since_epoch();
    const auto seconds = std::chrono::duration_cast<std::chrono::seconds>(since).count();
    return seconds < 0 ? 0 : static_cast<std::uint64_t>(seconds);
}

bool is_within(std::string_view path, std::string_view folder) {
    while (!folder.empty() && folder.back() == '/') folder.remove_suffix(1);
    if (path == folder) return true;
    return path.size() > folder.size() && path.starts_with(folder) && path[folder.size()] == '/';
}

void apply_cleanup_event(DevView& view, cleanup::CleanupEvent event) {
    auto* progress = std::get_if<ProgressDialog>(&view.dialog);
    if (progress == nullptr) return;
    if (auto* p = std::get_if<cleanup::Progress>(&event)) {
        progress->current = std::move(p->progress);
    } else if (auto* item = std::get_if<cleanup::ItemFinished>(&event)) {
        progress->results.push_back(std::move(item->result));
    } else if (auto* summary = std::get_if<cleanup::Summary>(&event)) {
        progress->outcome = std::move(summary->summary);
    } else if (auto* failed = std::get_if<cleanup::Failed>(&event)) {
        progress->error = std::move(failed->message);
    }
}

void finish_cleanup(DevView& view) {
    if (view.cleanup_thread) {
        WorkerThread thread = std::move(*view.cleanup_thread);
        view.cleanup_thread.reset();
        if (thread.joinable()) thread.join();
    }
    auto* progress = std::get_if<ProgressDialog>(&view.dialog);
    if (progress == nullptr) return;
    progress->finished = true;
    if (!progress->outcome) return;
    std::unordered_set<std::string> failed;
    for (const auto& result : progress->outcome->results) failed.insert(result.path);
    for (const auto& candidate : progress->review.candidates) {
        if (failed.contains(candidate.path)) continue;
        std::erase_if(view.selected_paths, [&](const std::string& selected) {
            return is_within(selected, candidate.path);
        });
    }
}

std::optional<std::string> finish_search(DevView& view, development::DevScanSummary summary) {
    view.scanning = false;
    std::unordered_set<std::string> eligible;
    for (const auto& candidate : view.candidates) {
        if (cli::item_category(candidate) != cli::DevCategory::Keep)
            eligible.insert(candidate.path);
    }
    std::erase_if(view.selected_paths,
                  [&](const std::string& path) { return !eligible.contains(path); });
    std::optional<std::string> status;
    if (!summary.cancelled) {
        status = "Found " + cli::format_count(view.candidates.size()) + " · " +
                 cli::format_size(cli::reclaimable_total_of_items(view.candidates)) +
                 " can be reviewed";
    }
    view.summary = std::move(summary);
    return status;
}

}  // namespace

std::string_view sort_label(cli::DevSortOrder sort) {
    switch (sort) {
        case cli::DevSortOrder::Largest:
            return "largest first";
        case cli::DevSortOrder::Oldest:
            return "oldest change first";
        case cli::DevSortOrder::Access:
            break;
    }
    return "least recently accessed";
}

std::optional<std::string> apply_dev_message(DevView& view, std::uint64_t generation,
                                             DevUpdate update) {
    const bool cleanup_kind = std::holds_alternative<DevCleanupUpdate>(update) ||
                              std::holds_alternative<DevCleanupDone>(update);
    if (generation != (cleanup_kind ? view.cleanup_generation : view.search_generation)) {
        return std::nullopt;
    }
    if (auto* c = std::get_if<DevCandidateUpdate>(&update)) {
        auto found = std::ranges::find(view.candidates, c->candidate.path, &DevCandidate::path);
        if (found != view.candidates.end()) {
            *found = std::move(c->candidate);
        } else {
            view.candidates.push_back(std::move(c->candidate));
        }
    } else if (auto* p = std::get_if<DevProgressUpdate>(&update)) {
        view.summary = std::move(p->summary);
    } else if (auto* f = std::get_if<DevFinishedUpdate>(&update)) {
        return finish_search(view, std::move(f->summary));
    } else if (auto* failed = std::get_if<DevFailedUpdate>(&update)) {
        view.scanning = false;
        view.error = std::move(failed->message);
    } else if (auto* event = std::get_if<DevCleanupUpdate>(&update)) {
        apply_cleanup_event(view, std::move(event->event));
    } else {
        finish_cleanup(view);
    }
    return std::nullopt;
}

std::optional<std::string> open_review(DevView& view) {
    auto selection = selected_candidates(view.candidates, view);
    if (selection.empty()) {
        auto visible = visible_items(view);
        if (view.cursor >= visible.size() ||
            cli::item_category(*visible[view.cursor]) == cli::DevCategory::Keep) {
            return std::string(kSelectFirst);
        }
        selection.push_back(visible[view.cursor]);
    }
    if (view.scanning) return std::string(kWaitForScan);
    auto context = cli::open_cleanup_service();
    if (!context) return context.error();
    auto review = cli::build_cleanup_review(*context, selection);
    if (!review) return review.error();
    view.dialog = ReviewDialog{std::move(*review), 0, cli::CleanAction::Trash, false, false};
    return std::nullopt;
}

std::vector<const DevCandidate*> visible_items(const DevView& view) {
    return cli::filter_and_sort_items(view.filter, view.candidates, unix_now());
}

std::size_t move_cursor(DevView& view, std::int64_t delta) {
    const std::size_t n = visible_items(view).size();
    if (n == 0) {
        view.cursor = 0;
        return 0;
    }
    const auto last = static_cast<std::int64_t>(n - 1);
    std::int64_t next = static_cast<std::int64_t>(std::min<std::size_t>(view.cursor, n - 1));
    if (delta > 0) {
        next = delta > last - next ? last : next + delta;
    } else if (delta < 0) {
        next = delta < -next ? 0 : next + delta;
    }
    view.cursor = static_cast<std::size_t>(next);
    return view.cursor;
}

std::pair<std::string, cli::DevCategory> item_key(const DevCandidate& candidate) {
    return {candidate.path, cli::item_category(candidate)};
}

bool request_stop(DevView& view) {
    bool stopped = false;
    if (view.cleanup_stop && view.cleanup_thread && !view.cleanup_thread->finished() &&
        !is_cancelled(*view.cleanup_stop)) {
        (*view.cleanup_stop)->store(true);
        if (auto* progress = std::get_if<ProgressDialog>(&view.dialog)) progress->stopping = true;
        stopped = true;
    }
    if (view.search_cancel && view.scanning && !is_cancelled(*view.search_cancel)) {
        (*view.search_cancel)->store(true);
        return true;
    }
    return stopped;
}

std::vector<std::string> eligible_candidate_paths(
    const std::vector<const DevCandidate*>& candidates) {
    std::vector<std::string> paths;
    for (const auto* candidate : candidates) {
        if (cli::item_category(*candidate) != cli::DevCategory::Keep)
            paths.push_back(candidate->path);
    }
    return paths;
}

std::vector<const DevCandidate*> selected_candidates(const std::vector<DevCandidate>& candidates,
                                                     const DevView& view) {
    std::vector<const DevCandidate*> selected;
    if (view.selected_paths.empty()) return selected;
    for (const auto& candidate : candidates) {
        if (view.selected_paths.contains(candidate.path)) selected.push_back(&candidate);
    }
    return selected;
}

std::vector<std::string> split_folder_list(std::string_view text,
                                           const std::optional<std::string>& home) {
    std::vector<std::string> folders;
    while (true) {
        const std::size_t comma = text.find(',');
        // Any Unicode white space, so that a no-break space pasted before a folder goes.
        const std::string_view piece = platform::trim_white_space(text.substr(0, comma));
        if (!piece.empty()) {
            if (home && piece.starts_with('~') && (piece.size() == 1 || piece[1] == '/')) {
                folders.push_back(*home + std::string(piece.substr(1)));
            } else {
                folders.emplace_back(piece);
            }
        }
        if (comma == std::string_view::npos) break;
        text.remove_prefix(comma + 1);
    }
    return folders;
}

}  // namespace bramvelt::tui
