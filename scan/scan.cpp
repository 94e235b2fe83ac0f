#include "scan/scan.hpp"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <system_error>
#include <thread>
#include <vector>

#include "platform/listing.hpp"
#include "platform/utf8.hpp"
#include "platform/volume.hpp"
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
                           const std::vector<TreeNode>& placeholders) {
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

void first_snapshot(ScanSession& session, const TreeNode& root,
                    const std::vector<std::pair<std::string, std::shared_ptr<JobProgress>>>& jobs) {
    if (snapshots_ignored(session)) return;
    std::vector<TreeNode> placeholders;
    placeholders.reserve(jobs.size());
    for (const auto& [path, progress] : jobs) {
        placeholders.push_back(pending_directory_node(path, *progress));
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
        std::string cwd = "/";
        std::vector<char> buf(4096);
        for (;;) {
            if (::getcwd(buf.data(), buf.size()) != nullptr) {
                cwd = buf.data();
                break;
            }
            if (errno != ERANGE || buf.size() > (1u << 20)) break;
            buf.resize(buf.size() * 2);
        }
        text = cwd.ends_with('/') ? cwd + text : cwd + "/" + text;
    }
    return text;
}

std::expected<ScanOutcome, std::string> scan_driver(const std::shared_ptr<ScanSession>& session_ptr,
                                                    std::string_view folder, unsigned jobs,
                                                    double snapshot_interval) {
    ScanSession& session = *session_ptr;
    std::string path = normalize_scan_root(folder);
    if (is_filesystem_root(path)) {
        if (auto data = platform::separate_data_volume()) path = std::move(*data);
    }
    const auto root_status = platform::status_of_path(path, platform::FollowFinalLink::yes);
    if (!root_status || !root_status->is_directory()) {
        return std::unexpected("not a directory: " + std::string(folder));
    }
    if (session.catalog && session.catalog->device() == root_status->device &&
        session.catalog->inode() == root_status->inode) {
        return std::unexpected(std::string("Catalog lease must differ from the scan root"));
    }
    session.root_device.store(root_status->device);
    session.root_device_set.store(true);
    const auto start = Clock::now();

    auto queue = std::make_shared<JobQueue>();
    auto channel = std::make_shared<ResultChannel>();

    TreeNode root = walk_directory(session, path, TopLevelMode{&queue->jobs, &queue->mutex}, 0);
    std::vector<std::pair<std::string, std::shared_ptr<JobProgress>>> queued;
    {
        std::lock_guard<std::mutex> lock(queue->mutex);
        queued.reserve(queue->jobs.size());
        for (const auto& job : queue->jobs) queued.emplace_back(job.path, job.progress);
    }
    if (queued.empty()) {
        return build_outcome(session, std::move(root), path, start);
    }
    first_snapshot(session, root, queued);
    queued.clear();

    ScanFrontier frontier = frontier_pass(session, *queue);
    std::size_t expected_results = 0;
    {
        std::lock_guard<std::mutex> lock(queue->mutex);
        expected_results = queue->jobs.size();
    }
    if (!frontier.expanded.empty() && !session.cancelled()) {
        emit_snapshot(session, root, frontier, {});
    }

    const std::size_t worker_count = std::min<std::size_t>(jobs, expected_results);
    std::vector<std::thread> threads;
    threads.reserve(worker_count);
    auto worker_ok = std::make_unique<bool[]>(worker_count);
    const auto pool = worker_count > 1 && jobs_can_be_shared(session)
                          ? std::make_shared<HelpPool>(worker_count)
                          : nullptr;
    bool start_failed = false;
    {
        ResultChannel::Sender driver_sender(channel);
        for (std::size_t i = 0; i < worker_count; ++i) {
            try {
                const int failing = worker_start_failure_index();
                if (failing >= 0 && static_cast<int>(i) >= failing) {
                    throw std::system_error(
                        std::make_error_code(std::errc::resource_unavailable_try_again));
                }
                bool* ok = &worker_ok[i];
                threads.emplace_back([session_ptr, queue, pool,
                                      sender = ResultChannel::Sender(channel), ok]() mutable {
                    *ok = scan_worker(session_ptr, queue, pool, std::move(sender));
                });
            } catch (...) {
                // Without its threads the scan cannot finish: stop the ones started.
                start_failed = true;
                session.cancel->store(true);
                // The ones started must not wait in the pool for helpers that never come.
                for (std::size_t missing = i; pool && missing < worker_count; ++missing) {
                    pool->leave();
                }
                break;
            }
        }
    }

    std::vector<JobResult> results;
    results.reserve(expected_results);
    if (expected_results > 0 && !start_failed) {
        auto last_snapshot = Clock::now();
        bool files_seen = false;
        const bool timed = snapshot_interval > 0;
        const auto interval = std::chrono::duration_cast<Clock::duration>(
            std::chrono::duration<double>(timed ? snapshot_interval : 0));
        while (results.size() < expected_results) {
            std::optional<std::chrono::nanoseconds> wait;
            if (timed) {
                const auto now = Clock::now();
                const auto since = now > last_snapshot ? now - last_snapshot : Clock::duration{0};
                auto remaining = interval - since;
                if (remaining < std::chrono::milliseconds(1))
                    remaining = std::chrono::milliseconds(1);
                wait = std::chrono::duration_cast<std::chrono::nanoseconds>(remaining);
            }
            auto received = channel->receive(wait);
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
    }
    channel->close_receiver();
    bool worker_failed = start_failed;
    for (std::size_t i = 0; i < threads.size(); ++i) {
        threads[i].join();
        if (!worker_ok[i]) worker_failed = true;
    }
    if (worker_failed) return std::unexpected(std::string(kScanWorkerFailed));
    if (!session.cancelled() && results.size() != expected_results) {
        return std::unexpected(std::string(kScanWorkerFailed));
    }
    if (session.cancelled()) root.state = NodeState::Incomplete;

    FinishedNodes finished;
    finished.reserve(results.size());
    for (auto& result : results)
        finished.insert_or_assign(std::move(result.path), std::move(result.node));
    results.clear();
    root.children.reserve(root.children.size() + frontier.top_paths.size());
    for (const auto& top : frontier.top_paths) {
        adopt_top_child(root, take_final_tree(frontier, session, top, finished));
    }
    sort_children_by_size(root.children);
    return build_outcome(session, std::move(root), path, start);
}

std::expected<ScanOutcome, std::string> run_scan(const std::shared_ptr<ScanSession>& session_ptr,
                                                 std::string_view folder) {
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

}  // namespace bramvelt::scan
