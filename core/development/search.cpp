#include "core/development/search.hpp"

#include <fcntl.h>  // AT_FDCWD for platform::open_directory_at

#include <algorithm>

#include "core/development/artifact_candidate.hpp"
#include "core/development/classify.hpp"
#include "core/development/entry_facts.hpp"
#include "core/development/git_inspect.hpp"
#include "core/development/git_prefetch.hpp"
#include "core/development/git_queries.hpp"
#include "core/development/inspection_prefetch.hpp"
#include "core/development/measure.hpp"
#include "core/development/measure_ahead.hpp"
#include "core/development/paths.hpp"
#include "core/development/walk_lookahead.hpp"
#include "core/development/work_ahead.hpp"
#include "core/development/worktree_list.hpp"
#include "core/filesystem/byte_path.hpp"
#include "core/policy/normalize.hpp"
#include "platform/file_status.hpp"
#include "platform/io.hpp"
#include "platform/listing.hpp"
#include "platform/processor_count.hpp"
#include "platform/real_path.hpp"
#include "platform/resource_exhaustion.hpp"
#include "platform/text.hpp"
#include "platform/utf8.hpp"
#include "platform/volume.hpp"

namespace bramvelt::development {
namespace {

using platform::FollowFinalLink;

bool is_whole_disk_root(std::string_view root) {
    return filesystem::paths_equal(root, "/") ||
           filesystem::paths_equal(root, platform::kDataVolume);
}

bool is_directory_following(const std::string& path) {
    const auto st = platform::status_of_path(path, FollowFinalLink::yes);
    return st && st->is_directory();
}

// `text` under a whole-disk root: itself for "/", else joined below the root.
std::string under_root(std::string_view root, std::string_view text) {
    if (filesystem::paths_equal(root, "/")) {
        return std::string(text);
    }
    while (text.starts_with('/')) text.remove_prefix(1);
    return filesystem::path_join(root, text);
}

// Names of a folder's entries in listing order, at most `limit`; nothing when it cannot
// be opened. A failed read ends the listing.
std::optional<std::vector<std::string>> read_names(const std::string& folder, std::size_t limit) {
    auto fd = platform::open_directory_at(AT_FDCWD, folder.c_str(), FollowFinalLink::yes);
    if (!fd) {
        return std::nullopt;
    }
    platform::DirEntryReader reader(std::move(*fd));
    std::vector<std::string> names;
    while (names.size() < limit) {
        const auto batch = reader.read_batch();
        if (!batch || *batch == 0) {
            break;
        }
        for (const auto& entry : reader.entries()) {
            if (names.size() == limit) {
                break;
            }
            names.emplace_back(entry.name);
        }
    }
    return names;
}

void add_seeds(DevScanState& state, const std::string& root, const SearchLocations& locations) {
    if (!is_whole_disk_root(root)) {
        state.folder_queue.emplace_back(root, 0);
        return;
    }
    for (const auto& temp : locations.temp_folders) {
        const std::string joined = under_root(root, temp);
        std::string path = platform::real_path(joined).value_or(joined);
        if (is_directory_following(path)) {
            state.folder_queue.emplace_back(std::move(path), 0);
        }
    }
    for (const auto& base_text : locations.home_bases) {
        const std::string base = under_root(root, base_text);
        const auto names = read_names(base, locations.max_home_entries);
        if (!names) {
            continue;
        }
        for (const auto& name : *names) {
            const std::string home = filesystem::path_join(base, name);
            const auto st = platform::status_of_path(home, FollowFinalLink::no);
            if (!st || !st->is_directory()) {
                continue;
            }
            for (const auto& folder : locations.developer_folders) {
                std::string path = filesystem::path_join(home, folder);
                if (is_directory_following(path) && !has_symlink_component(path)) {
                    state.folder_queue.emplace_back(std::move(path), 0);
                }
            }
        }
    }
}

void add_scratch_file(DevScanState& state, const std::string& path,
                      const platform::EntryStatus& st) {
    FolderMeasurement m;
    m.last_modified = epoch_seconds(modification_time(st));
    m.last_access = epoch_seconds(access_time(st));
    m.allocated_bytes = allocated_bytes(st);
    m.files = 1;
    m.complete = true;
    build_artifact_candidate(state, path, CandidateKind::Temporary, kScratchTool, m, nullptr);
}

// The walk's own two queries run side by side; then the inspections it will cause are
// forecast: the admitted worktrees, which the walk takes next and inspects at once (so
// the first of them claims the repository's facts), and this checkout's own, which waits
// for the folder queue to run dry.
void examine_main_checkout(DevScanState& state, const std::string& path) {
    GitPrefetch* pool = state.prefetch;
    if (pool != nullptr && !pool->holds(path)) {
        pool->ask(GitCommandRef{path, git_query::common_dir()}, Urgency::Now);
        pool->ask(GitCommandRef{path, git_query::worktree_list()}, Urgency::Now);
    }
    std::vector<std::string> admitted_worktrees;
    const auto common = query_common_dir(state, path);
    if (common && !state.worktree_lists.contains(*common)) {
        if (auto list = query_worktree_list(state, path)) {
            for (auto it = list->rbegin(); it != list->rend(); ++it) {
                if (filesystem::paths_equal(it->path, path)) {
                    continue;
                }
                if (auto admitted = path_in_roots(state.roots, it->path)) {
                    admitted_worktrees.push_back(*admitted);
                    state.folder_queue.emplace_front(std::move(*admitted), 0);
                }
            }
            state.worktree_lists.emplace(*common, std::move(*list));
            if (pool != nullptr) {
                pool->note_worktree_list(*common);
            }
        }
    }
    state.git_queue.push_back(path);
    if (pool == nullptr) {
        return;
    }
    // Taken from the front of the queue in list order, the reverse of their collection.
    for (auto it = admitted_worktrees.rbegin(); it != admitted_worktrees.rend(); ++it) {
        if (!state.visited.contains(*it) && !pool->holds(*it)) {
            forecast_inspection(
                *pool, {*it, common, Urgency::Now, std::nullopt, state.checkout_status_ended});
        }
    }
    forecast_inspection(*pool,
                        {path, common, Urgency::Later, std::nullopt, state.checkout_status_ended});
}

// What became of a folder taken from the queue.
enum class Examined : std::uint8_t {
    Done,
    Inspected,        // a checkout inspected at once
    InspectionWaits,  // a main checkout, inspected once the folder queue runs dry
    AlreadySeen,      // examined before under this very text
};

Examined examine_folder(DevScanState& state, const std::string& path, std::uint64_t depth,
                        WalkLookahead* lookahead) {
    if (!state.visited.insert(path).second) {
        return Examined::AlreadySeen;
    }
    const auto st = platform::status_of_path(path, FollowFinalLink::no);
    if (!st) {
        ++state.summary.skipped_paths;
        return Examined::Done;
    }
    if (!st->is_directory()) {
        return Examined::Done;
    }
    const std::uint64_t device = st->device;
    if (!platform::is_valid_utf8(path)) {
        ++state.summary.skipped_paths;
        return Examined::Done;
    }

    const std::string dot_git = filesystem::path_join(path, ".git");
    const auto git_entry = platform::status_of_path(dot_git, FollowFinalLink::yes);
    if (git_entry || is_git_dir(path)) {
        if (git_entry && git_entry->is_directory()) {
            examine_main_checkout(state, path);
            return Examined::InspectionWaits;
        }
        if (state.prefetch != nullptr && !state.prefetch->holds(path)) {
            forecast_inspection(*state.prefetch, {path, std::nullopt, Urgency::Now, std::nullopt,
                                                  state.checkout_status_ended});
        }
        inspect_git_checkout(state, path);
        return Examined::Inspected;
    }

    if (auto cls = classify_artifact(path)) {
        std::optional<MeasuredFolder> ahead;
        if (state.measure_ahead != nullptr) {
            ahead = state.measure_ahead->take(path, device);
        }
        FolderMeasurement m;
        if (ahead && replay_measurement(state, *ahead, *st)) {
            m = ahead->measurement;
        } else {
            HardLinkSet links;
            m = measure_candidate(state, path, device, nullptr, links);
        }
        build_artifact_candidate(state, path, cls->kind, cls->tool, m, nullptr);
        return Examined::Done;
    }

    if (depth >= state.request.max_depth) {
        state.summary.limited = true;
        return Examined::Done;
    }

    // Children are examined through the listed folder's descriptor, not by their paths.
    const auto listing = list_folder(state, path);
    if (!listing) {
        return Examined::Done;
    }
    for (std::size_t i = 0; i < listing->size(); ++i) {
        if (state.budget_spent()) {
            break;
        }
        const std::string_view child_name = listing->name(i);
        const auto cst = platform::status_at(listing->fd(), child_name.data(), FollowFinalLink::no);
        if (!cst) {
            ++state.summary.skipped_paths;
            continue;
        }
        std::string child = filesystem::path_join(path, child_name);
        if (cst->is_directory()) {
            if (on_other_file_system_at(listing->fd(), child_name.data(), *cst, device)) {
                ++state.summary.skipped_paths;
                continue;
            }
            const std::string name = platform::to_utf8_lossy(child_name);
            if (is_skipped_folder_name(name) &&
                !classify_artifact_at(listing->fd(), child_name, child, *cst)) {
                continue;
            }
            if (lookahead != nullptr) {
                lookahead->queued(child, cst->device);
            }
            state.folder_queue.emplace_back(std::move(child), depth + 1);
        } else if (cst->is_regular()) {
            // The size first: the location test walks the whole path, and most files
            // are small.
            if (cst->blocks >= kScratchMinBlocks && is_temp_artifact(child)) {
                // A lossy name could point at nothing or at another file.
                if (!platform::is_valid_utf8(child)) {
                    ++state.summary.skipped_paths;
                    continue;
                }
                add_scratch_file(state, child, *cst);
            }
        }
    }
    if (lookahead != nullptr) {
        lookahead->listed(state.folder_queue.size());
    }
    return Examined::Done;
}

// The search proper, once its request and roots are known.
void search(DevScanRequest request, std::vector<std::string> roots, CancelFlag cancel,
            DevScanSink& sink, const SearchOptions& options) {
    DevScanState state(std::move(request), std::move(roots), std::move(cancel), sink,
                       options.clock);
    state.git_timeout_seconds = options.git_timeout_seconds;
    std::optional<WorkAhead> ahead;
    if (options.ahead_threads > 0) {
        ahead.emplace(state, std::min(options.ahead_threads, kMaxGitChildren));
    }
    WalkLookahead* lookahead = ahead ? &ahead->lookahead() : nullptr;
    for (const auto& root : state.roots) {
        add_seeds(state, root, options.locations);
    }
    if (lookahead != nullptr) {
        lookahead->seeded(state.folder_queue.size());
    }

    while (!state.budget_spent()) {
        if (!state.folder_queue.empty()) {
            // A folder put at the front was never numbered: the threads ahead learn of it
            // by name.
            if (ahead && !lookahead->taking_front(state.folder_queue.size())) {
                ahead->pool().note_examined(state.folder_queue.front().first);
                ahead->measuring().note_examined(state.folder_queue.front().first);
            }
            auto [path, depth] = std::move(state.folder_queue.front());
            state.folder_queue.pop_front();
            // What was done ahead for an inspected checkout and not taken is dropped; an
            // artifact's measurement was taken, and other folders got nothing.
            if (examine_folder(state, path, depth, lookahead) == Examined::Inspected && ahead) {
                ahead->pool().forget(path);
                ahead->measuring().forget(path);
            }
        } else if (!state.git_queue.empty()) {
            const std::string path = std::move(state.git_queue.front());
            state.git_queue.pop_front();
            inspect_git_checkout(state, path);
            if (ahead) {
                ahead->pool().forget(path);
                ahead->measuring().forget(path);
            }
        } else {
            break;
        }
        emit_progress(state);
    }
    // Measurements never taken are stopped, and what was asked ahead and never asked for
    // is killed and reaped, before the end.
    ahead.reset();

    state.summary.cancelled = state.cancelled();
    state.summary.elapsed_ms = static_cast<std::uint64_t>(
        std::chrono::duration_cast<std::chrono::milliseconds>(state.elapsed()).count());
    state.summary.candidate_bytes = compute_candidate_bytes(state.kept_candidates);
    if (state.summary.limited) {
        add_scan_warning(state, kWarningLimit);
    }
    if (state.summary.skipped_paths != 0) {
        add_scan_warning(state, kWarningSkipped);
    }
    sink.on_event(DevScanEvent{DevScanEvent::Finished{state.summary}});
}

}  // namespace

unsigned default_ahead_threads() {
    const unsigned long processors = platform::online_processors().value_or(1);
    return static_cast<unsigned>(std::clamp<unsigned long>(processors, 1, kMaxGitChildren));
}

std::expected<std::vector<std::string>, std::string> resolve_search_roots(
    const std::vector<std::string>& requested) {
    std::vector<std::string> roots;
    for (const auto& raw : requested) {
        auto normalised = policy::normalize_local_path(raw);
        if (!normalised) {
            return std::unexpected(normalised.error());
        }
        std::string path = platform::real_path(*normalised).value_or(*normalised);
        if (std::any_of(roots.begin(), roots.end(),
                        [&](const std::string& r) { return path_inside(path, r); })) {
            continue;
        }
        std::erase_if(roots, [&](const std::string& r) { return path_inside(r, path); });
        roots.push_back(std::move(path));
    }
    return roots;
}

std::uint64_t compute_candidate_bytes(const std::vector<DevCandidate>& candidates) {
    std::vector<const DevCandidate*> removable;
    for (const auto& c : candidates) {
        if (c.recommendation == Recommendation::ReviewRemoval) removable.push_back(&c);
    }
    std::uint64_t total = 0;
    for (const auto& c : candidates) {
        if (c.recommendation != Recommendation::Regenerable &&
            c.recommendation != Recommendation::ReviewRemoval) {
            continue;
        }
        const bool nested =
            std::any_of(removable.begin(), removable.end(), [&](const DevCandidate* o) {
                return o->path != c.path && path_inside(c.path, o->path);
            });
        if (nested) {
            continue;
        }
        total = platform::saturating_add(total, c.allocated_bytes);
    }
    return total;
}

std::expected<void, std::string> scan_development(DevScanRequest request, CancelFlag cancel,
                                                  DevScanSink& sink) {
    return scan_development(std::move(request), std::move(cancel), sink, SearchOptions{});
}

std::expected<void, std::string> scan_development(DevScanRequest request, CancelFlag cancel,
                                                  DevScanSink& sink, const SearchOptions& options) {
    if (request.roots.empty() || request.roots.size() > kMaxRoots || request.max_depth < 1 ||
        request.max_depth > kMaxSearchDepth || request.max_entries < 1 ||
        request.max_entries > kMaxSearchEntries) {
        return std::unexpected(std::string(kBadSearchRequest));
    }
    // Memory that runs out on the search's own thread (the sink's included) ends the
    // search, after the work ahead has been taken down: its Git children killed and
    // reaped, its threads joined. A half-done search has no answer to give.
    try {
        auto roots = resolve_search_roots(request.roots);
        if (!roots) {
            return std::unexpected(roots.error());
        }
        search(std::move(request), std::move(*roots), std::move(cancel), sink, options);
        return {};
    } catch (...) {
        return std::unexpected(std::string(platform::exception_text(std::current_exception())));
    }
}

}  // namespace bramvelt::development
