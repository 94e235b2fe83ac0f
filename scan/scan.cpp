#include "scan/scan.hpp"

#include <algorithm>
#include <chrono>
#include <exception>
#include <optional>
#include <string>
#include <system_error>
#include <thread>
#include <vector>

#include "platform/file_status.hpp"
#include "platform/resource_exhaustion.hpp"
#include "platform/utf8.hpp"
#include "platform/volume.hpp"
#include "platform/working_directory.hpp"
#include "scan/frontier.hpp"
#include "scan/snapshot.hpp"
#include "scan/tree_json.hpp"
#include "scan/walker.hpp"
#include "scan/worker.hpp"

namespace bramvelt::scan {
namespace {

using Clock = std::chrono::steady_clock;

double seconds_since(Clock::time_point start) {
    const auto now = Clock::now();
    if (now < start) return 0;
    return std::chrono::duration<double>(now - start).count();
}

// "/" by components: "/", "/.", "/./." and the like.
bool is_filesystem_root(std::string_view path) {
    if (!path.starts_with('/')) return false;
    std::size_t pos = 0;
    while (pos < path.size()) {
        const std::size_t next = std::min(path.find('/', pos), path.size());
        const std::string_view part = path.substr(pos, next - pos);
        if (!part.empty() && part != ".") return false;
        pos = next + 1;
    }
    return true;
}

// The first snapshot as an event-stream line, written directly under the output lock.
void stream_first_snapshot(ScanSession& session, const TreeNode& root,
                           const NodeList& placeholders) {
    std::int64_t size = root.size;
    std::int64_t files = root.file_count;
    std::vector<const TreeNode*> children;
    children.reserve(root.children.size() + placeholders.size());
    for (const auto& child : root.children) children.push_back(&child);
    for (const auto& child : placeholders) {
        children.push_back(&child);
        size = saturating_add(size, child.size);
        files = saturating_add(files, child.file_count);
    }
    std::ranges::stable_sort(
        children, [](const TreeNode* a, const TreeNode* b) { return a->size > b->size; });

    std::lock_guard<std::mutex> lock(session.output_mutex);
    auto& sink = session.output.event_buffer;
    bool ok = sink.write("{\"type\":\"snapshot\",\"tree\":{\"path\":") &&
              write_json_escaped(sink, root.path) && sink.write(",\"name\":") &&
              write_json_escaped(sink, node_display_name(root.path)) &&
              sink.write(",\"kind\":\"directory\",\"size\":") && write_decimal(sink, size) &&
              sink.write(",\"fileCount\":") && write_decimal(sink, files) &&
              sink.write(",\"modificationDate\":");
    if (ok && root.modification_time) {
        ok = sink.write(
            json_quoted(format_iso8601_utc(static_cast<std::uint64_t>(*root.modification_time))));
    } else if (ok) {
        ok = sink.write("null");
    }
    ok = ok && sink.write(",\"isReadable\":true,\"isScanning\":false") &&
         (root.state != NodeState::Incomplete || sink.write(",\"isIncomplete\":true")) &&
         sink.write(",\"children\":[");
    bool first = true;
    for (const TreeNode* child : children) {
        if (!ok) break;
        ok = (first || sink.write(",")) && write_tree_json(sink, *child);
        first = false;
    }
    ok = ok && sink.write("]}") && sink.write("}\n") && sink.flush();
    if (!ok) session.close_output();
}

// The first snapshot: the root's own listing with a placeholder for every queued job.
void first_snapshot(ScanSession& session, const TreeNode& root, JobQueue& queue) {
    if (snapshots_ignored(session)) return;
    NodeList placeholders;
    {
        std::lock_guard<std::mutex> lock(queue.mutex);
        placeholders.reserve(queue.jobs.size());
        for (const auto& job : queue.jobs) {
            placeholders.push_back(pending_directory_node(job.path, *job.progress));
        }
    }
    bool has_callback = false;
    {
        std::lock_guard<std::mutex> lock(session.output_mutex);
        has_callback = static_cast<bool>(session.output.callback);
    }
    if (!has_callback) {
        stream_first_snapshot(session, root, placeholders);
        return;
    }
    TreeNode copy = root;
    for (auto& placeholder : placeholders) {
        copy.size = saturating_add(copy.size, placeholder.size);
        copy.file_count = saturating_add(copy.file_count, placeholder.file_count);
        copy.children.push_back(std::move(placeholder));
    }
    std::ranges::stable_sort(copy.children, [](const TreeNode& a, const TreeNode& b) {
        if (a.size != b.size) return a.size > b.size;
        return a.path < b.path;
    });
    emit_event(session, SnapshotEvent{&copy});
}

ScanOutcome build_outcome(ScanSession& session, TreeNode root, const std::string& path,
                          Clock::time_point start) {
    ScanOutcome outcome;
    outcome.tree = std::move(root);
    outcome.root_path = platform::to_utf8_lossy(path);
    outcome.elapsed_seconds = seconds_since(start);
    outcome.cancelled = session.cancelled();
    return outcome;
}

// The folder the walk starts from: the normalized root, or the data volume in place of
// "/" where that is a file system of its own.
std::string root_path_to_walk(std::string_view folder) {
    std::string path = normalize_scan_root(folder);
    if (is_filesystem_root(path)) {
        if (auto data = platform::separate_data_volume()) path = std::move(*data);
    }
    return path;
}

// Refuses a root that is no directory or is the catalog's own folder, and records the
// root's device for the one-file-system rule.
std::expected<void, std::string> examine_root(ScanSession& session, const std::string& path,
                                              std::string_view folder) {
    const auto status = platform::status_of_path(path, platform::FollowFinalLink::yes);
    if (!status || !status->is_directory()) {
        return std::unexpected("not a directory: " + std::string(folder));
    }
    if (session.catalog && session.catalog->device() == status->device &&
        session.catalog->inode() == status->inode) {
        return std::unexpected(std::string("Catalog lease must differ from the scan root"));
    }
    session.root_device.store(status->device);
    session.root_device_set.store(true);
    return {};
}

std::size_t queue_length(JobQueue& queue) {
    std::lock_guard<std::mutex> lock(queue.mutex);
    return queue.jobs.size();
}

// The worker threads of one scan, and how each ended.
struct Workers {
    std::vector<std::thread> threads;
    std::unique_ptr<WorkerEnd[]> ends;
    // Set when none could start: the scan then cannot go on.
    std::optional<WorkerEnd> start_failure;
};

Workers start_workers(const std::shared_ptr<ScanSession>& session_ptr,
                      const std::shared_ptr<JobQueue>& queue,
                      const std::shared_ptr<ResultChannel>& channel, std::size_t count) {
    ScanSession& session = *session_ptr;
    Workers workers;
    workers.threads.reserve(count);
    workers.ends = std::make_unique<WorkerEnd[]>(count);
    const auto pool =
        count > 1 && jobs_can_be_shared(session) ? std::make_shared<HelpPool>(count) : nullptr;
    ResultChannel::Sender driver_sender(channel);
    for (std::size_t i = 0; i < count; ++i) {
        try {
            const int failing = worker_start_failure_index();
            if (failing >= 0 && static_cast<int>(i) >= failing) {
                throw std::system_error(
                    std::make_error_code(std::errc::resource_unavailable_try_again));
            }
            WorkerEnd* end = &workers.ends[i];
            workers.threads.emplace_back(
                [session_ptr, queue, pool, sender = ResultChannel::Sender(channel), end]() mutable {
                    *end = scan_worker(session_ptr, queue, pool, std::move(sender));
                });
        } catch (...) {
            // The workers that did start take every job from the queue, only more slowly
            // (the system has no room for more threads: trying again would not help).
            // Without any the scan cannot go on.
            if (i == 0) {
                workers.start_failure =
                    WorkerEnd{false, platform::resource_exhaustion_text(std::current_exception())};
                session.cancel->store(true);
            }
            // The ones started must not wait in the pool for helpers that never come.
            for (std::size_t missing = i; pool && missing < count; ++missing) {
                pool->leave();
            }
            break;
        }
    }
    return workers;
}

// Whether every worker started and ended well; else the first failure, one that says
// why before one that does not.
WorkerEnd join_workers(Workers& workers) {
    WorkerEnd first = workers.start_failure.value_or(WorkerEnd{});
    for (std::size_t i = 0; i < workers.threads.size(); ++i) {
        workers.threads[i].join();
        const WorkerEnd& end = workers.ends[i];
        if (!end.ok && (first.ok || (first.reason.empty() && !end.reason.empty()))) first = end;
    }
    return first;
}

// "scan worker failed", and why when that is known.
std::string worker_failure_text(const WorkerEnd& end) {
    std::string text(kScanWorkerFailed);
    if (!end.reason.empty()) {
        text += ": ";
        text += end.reason;
    }
    return text;
}

// Receives the jobs' results until all have come or every worker is gone. A snapshot goes
// out when the first result with files arrives and then once per interval (after every
// result when the interval is zero).
std::vector<JobResult> collect_results(ScanSession& session, ResultChannel& channel,
                                       const TreeNode& root, const ScanFrontier& frontier,
                                       std::size_t expected, double snapshot_interval) {
    std::vector<JobResult> results;
    results.reserve(expected);
    auto last_snapshot = Clock::now();
    bool files_seen = false;
    const bool timed = snapshot_interval > 0;
    const auto interval = std::chrono::duration_cast<Clock::duration>(
        std::chrono::duration<double>(timed ? snapshot_interval : 0));
    while (results.size() < expected) {
        std::optional<std::chrono::nanoseconds> wait;
        if (timed) {
            const auto now = Clock::now();
            const auto since = now > last_snapshot ? now - last_snapshot : Clock::duration{0};
            auto remaining = interval - since;
            if (remaining < std::chrono::milliseconds(1)) remaining = std::chrono::milliseconds(1);
            wait = std::chrono::duration_cast<std::chrono::nanoseconds>(remaining);
        }
        auto received = channel.receive(wait);
        if (std::holds_alternative<ResultChannel::Closed>(received)) break;
        if (std::holds_alternative<ResultChannel::Timeout>(received)) {
            last_snapshot = Clock::now();
            if (!session.cancelled()) emit_snapshot(session, root, frontier, results);
            continue;
        }
        results.push_back(std::get<JobResult>(std::move(received)));
        if (session.cancelled()) continue;
        const bool has_files = results.back().node.file_count > 0;
        const auto now = Clock::now();
        const bool interval_passed =
            !timed || (now >= last_snapshot && now - last_snapshot >= interval);
        if ((has_files && !files_seen) || interval_passed) {
            if (has_files) files_seen = true;
            last_snapshot = now;
            emit_snapshot(session, root, frontier, results);
        }
    }
    return results;
}

// Puts the finished subtrees and the frontier's listings together under the root.
void assemble_final_tree(const ScanSession& session, TreeNode& root, ScanFrontier& frontier,
                         std::vector<JobResult> results) {
    FinishedNodes finished;
    finished.reserve(results.size());
    for (auto& result : results) {
        finished.insert_or_assign(std::move(result.path), std::move(result.node));
    }
    results.clear();
    root.children.reserve(root.children.size() + frontier.top_paths.size());
    for (const auto& top : frontier.top_paths) {
        adopt_top_child(root, take_final_tree(frontier, session, top, finished));
    }
    sort_children_by_size(root.children);
}

}  // namespace

std::string normalize_scan_root(std::string_view folder) {
    std::string text(folder);
    if (const auto home = scan_home_dir()) {
        if (folder == "~") {
            text = *home;
        } else if (folder.starts_with("~/")) {
            std::string h = *home;
            while (h.ends_with('/')) h.pop_back();
            text = h + "/" + std::string(folder.substr(2));
        }
    }
    while (text.ends_with('/')) text.pop_back();
    if (text.empty()) text = "/";
    if (!text.starts_with('/')) {
        const std::string cwd = platform::working_directory().value_or("/");
        text = cwd.ends_with('/') ? cwd + text : cwd + "/" + text;
    }
    return text;
}

std::expected<ScanOutcome, std::string> scan_driver(const std::shared_ptr<ScanSession>& session_ptr,
                                                    std::string_view folder, unsigned jobs,
                                                    double snapshot_interval) {
    ScanSession& session = *session_ptr;
    const std::string path = root_path_to_walk(folder);
    if (auto examined = examine_root(session, path, folder); !examined) {
        return std::unexpected(examined.error());
    }
    const auto start = Clock::now();

    auto queue = std::make_shared<JobQueue>();
    TreeNode root = [&] {
        const TreeMemoryScope tree_in_chunks;
        return walk_directory(session, path, TopLevelMode{&queue->jobs, &queue->mutex}, 0);
    }();
    if (queue_length(*queue) == 0) return build_outcome(session, std::move(root), path, start);
    first_snapshot(session, root, *queue);

    ScanFrontier frontier = frontier_pass(session, *queue, jobs);
    const std::size_t expected_results = queue_length(*queue);
    if (!frontier.expanded.empty() && !session.cancelled()) {
        emit_snapshot(session, root, frontier, {});
    }

    auto channel = std::make_shared<ResultChannel>();
    Workers workers =
        start_workers(session_ptr, queue, channel, std::min<std::size_t>(jobs, expected_results));
    std::vector<JobResult> results;
    std::exception_ptr receiving_failed;
    if (!workers.start_failure) {
        try {
            results = collect_results(session, *channel, root, frontier, expected_results,
                                      snapshot_interval);
        } catch (...) {
            // The workers must be stopped and joined before the failure goes on.
            receiving_failed = std::current_exception();
            session.cancel->store(true);
        }
    }
    channel->close_receiver();
    const WorkerEnd ended = join_workers(workers);
    if (receiving_failed) std::rethrow_exception(receiving_failed);
    if (!ended.ok) return std::unexpected(worker_failure_text(ended));
    if (!session.cancelled() && results.size() != expected_results) {
        return std::unexpected(std::string(kScanWorkerFailed));
    }
    if (session.cancelled()) root.state = NodeState::Incomplete;
    const TreeMemoryScope tree_in_chunks;
    assemble_final_tree(session, root, frontier, std::move(results));
    return build_outcome(session, std::move(root), path, start);
}

namespace {

std::expected<ScanOutcome, std::string> scan_and_report(
    const std::shared_ptr<ScanSession>& session_ptr, std::string_view folder) {
    ScanSession& session = *session_ptr;
    const unsigned jobs = std::clamp(session.options.jobs, 1u, 64u);
    const double interval = session.options.snapshot_interval.as_seconds();
    auto outcome = scan_driver(session_ptr, folder, jobs, interval);
    if (!outcome) {
        emit_event(session, ErrorEvent{"scanFailed", outcome.error(), nullptr});
        return std::unexpected(outcome.error());
    }
    const auto closed = [&] { return session.output_closed.load(); };
    if (closed()) return std::unexpected(std::string(kScanOutputClosed));
    if (session.catalog) {
        if (auto error = session.catalog->first_error()) {
            outcome->tree.state = NodeState::Incomplete;
            emit_event(session, ErrorEvent{"catalog_error", *error, &outcome->tree});
            return std::unexpected(*error);
        }
    }
    if (!outcome->cancelled && !session.cancelled()) {
        emit_event(session,
                   ProgressEvent{outcome->root_path, session.bytes_scanned.load(),
                                 session.files_scanned.load(), session.directories_scanned.load(),
                                 session.unreadable_items.load()});
    }
    if (closed()) return std::unexpected(std::string(kScanOutputClosed));
    const bool cancelled = outcome->cancelled || session.cancelled();
    if (cancelled) {
        outcome->tree.state = NodeState::Incomplete;
        emit_event(session, ErrorEvent{"cancelled", "scan cancelled", &outcome->tree});
    } else {
        emit_event(session, CompleteEvent{&outcome->tree});
    }
    if (closed()) return std::unexpected(std::string(kScanOutputClosed));
    outcome->bytes_scanned = session.bytes_scanned.load();
    outcome->files_scanned = session.files_scanned.load();
    outcome->directories_scanned = session.directories_scanned.load();
    outcome->unreadable_items = session.unreadable_items.load();
    outcome->hard_link_bytes_saved = session.hard_link_bytes_saved.load();
    const auto& counters = session.listing_counters;
    outcome->bulk_batches = counters.bulk_batches.load();
    outcome->bulk_trusted_entries = counters.bulk_trusted_entries.load();
    outcome->bulk_lstat_entries = counters.bulk_lstat_entries.load();
    outcome->standard_fallbacks = counters.standard_fallbacks.load();
    outcome->entry_lstat_calls = counters.entry_lstat_calls.load();
    outcome->cancelled = cancelled;
    return outcome;
}

}  // namespace

std::expected<ScanOutcome, std::string> run_scan(const std::shared_ptr<ScanSession>& session_ptr,
                                                 std::string_view folder) {
    try {
        return scan_and_report(session_ptr, folder);
    } catch (...) {
        // Memory that ran out on this thread (listing the root, the frontier, the
        // assembly, an event) fails the scan; any other exception is not ours to explain.
        const std::string_view text = platform::resource_exhaustion_text(std::current_exception());
        if (text.empty()) throw;
        std::string message(text);
        try {
            emit_event(*session_ptr, ErrorEvent{"scanFailed", message, nullptr});
        } catch (...) {  // NOLINT(bugprone-empty-catch): the caller hears of it all the same
        }
        return std::unexpected(std::move(message));
    }
}

}  // namespace bramvelt::scan
