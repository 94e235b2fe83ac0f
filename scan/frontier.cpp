#include "scan/frontier.hpp"

#include <algorithm>
#include <array>
#include <exception>
#include <optional>
#include <thread>

#include "platform/text.hpp"
#include "platform/utf8.hpp"
#include "scan/walker.hpp"
#include "scan/worker.hpp"

namespace bramvelt::scan {
namespace {

bool state_spoils_parent(const TreeNode& child) {
    return child.state == NodeState::Incomplete || !child.is_readable;
}

// A priority as a number that adds to a depth: the pass lists the smallest sum first.
constexpr unsigned rank(WalkPriority priority) {
    return static_cast<unsigned>(priority);
}

std::string_view last_component(std::string_view path) {
    while (path.size() > 1 && path.ends_with('/')) path.remove_suffix(1);
    const auto slash = path.rfind('/');
    return slash == std::string_view::npos ? path : path.substr(slash + 1);
}

}  // namespace

WalkPriority frontier_class(std::string_view path) {
    const std::string_view last = last_component(path);
    if (last.empty() || last == "/" || last == "." || last == "..") return WalkPriority::normal;
    const std::string name = platform::lower_case(platform::to_utf8_lossy(last));
    if (name == "home" || name == "users") return WalkPriority::first;
    static constexpr std::array<std::string_view, 27> early_names = {
        "var",        "srv",        "opt",         "mnt",       "root",      "data",
        "dist",       ".git",       ".npm",        "media",     "build",     ".venv",
        "venvs",      "target",     "vendor",      ".cache",    ".cargo",    "volumes",
        ".docker",    ".mozilla",   "datasets",    "workspace", "downloads", "worktrees",
        "workspaces", ".worktrees", "node_modules"};
    for (const auto candidate : early_names) {
        if (name == candidate) return WalkPriority::early;
    }
    return WalkPriority::normal;
}

namespace {

// One directory the pass lists: its job, and what its listing gave.
struct Expansion {
    ScanJob job;
    TreeNode node;
    std::deque<ScanJob> fresh;
    LinkLog links;
};

// Hands out the listings of one level in order until the budget runs out or the scan is
// cancelled. The test and the claim go together, so what is listed is always a prefix.
class Claims {
  public:
    Claims(const ScanSession& session, std::size_t count,
           std::chrono::steady_clock::time_point start)
        : session_(session), count_(count), start_(start) {}

    std::optional<std::size_t> next() {
        std::lock_guard<std::mutex> lock(mutex_);
        if (stopped_ || next_ >= count_) return std::nullopt;
        const auto now = std::chrono::steady_clock::now();
        if ((now > start_ && now - start_ >= kFrontierTimeBudget) || session_.cancelled()) {
            stopped_ = true;
            return std::nullopt;
        }
        return next_++;
    }
    std::size_t claimed() const { return next_; }  // once every lister has ended

  private:
    std::mutex mutex_;
    const ScanSession& session_;
    const std::size_t count_;
    const std::chrono::steady_clock::time_point start_;
    std::size_t next_ = 0;
    bool stopped_ = false;
};

// The jobs the pass lists next, in the order it lists them: of the candidates (depth 3
// at most) those of the smallest depth + class, by class, then queue position, at most
// `room` of them. Listing one adds jobs only one level further down, so one job at a
// time by the smallest key picks exactly these, in this order.
std::vector<std::size_t> next_level(const std::deque<ScanJob>& jobs,
                                    const std::vector<unsigned>& classes, std::size_t room) {
    const auto class_of = [&](std::uint64_t group) -> unsigned {
        return group < classes.size() ? classes[group] : rank(WalkPriority::normal);
    };
    std::optional<unsigned> best;
    for (const auto& job : jobs) {
        if (job.depth > kFrontierMaxDepth) continue;
        const unsigned key = job.depth + class_of(job.group);
        if (!best || key < *best) best = key;
    }
    std::vector<std::size_t> level;
    if (!best) return level;
    for (std::size_t i = 0; i < jobs.size(); ++i) {
        if (jobs[i].depth <= kFrontierMaxDepth &&
            jobs[i].depth + class_of(jobs[i].group) == *best) {
            level.push_back(i);
        }
    }
    std::ranges::stable_sort(level, {}, [&](std::size_t i) { return class_of(jobs[i].group); });
    if (level.size() > room) level.resize(room);
    return level;
}

// Lists the jobs of one level in order, on up to `threads` threads; the listings made
// are a prefix of the level. Multiply linked files are logged when more than one thread
// lists, and counted by the caller in order.
std::vector<Expansion> list_level(ScanSession& session, std::vector<Expansion> level,
                                  unsigned threads, std::chrono::steady_clock::time_point start) {
    std::vector<Expansion> listed = std::move(level);
    Claims claims(session, listed.size(), start);
    const bool log_links = threads > 1 && listed.size() > 1;
    std::exception_ptr error;
    std::mutex error_mutex;
    const auto lister = [&]() noexcept {
        const TreeMemoryScope tree_in_chunks;
        while (const auto k = claims.next()) {
            Expansion& item = listed[*k];
            try {
                item.node = walk_directory(
                    session, item.job.path,
                    TopLevelMode{&item.fresh, nullptr, log_links ? &item.links : nullptr},
                    item.job.depth);
            } catch (...) {
                std::lock_guard<std::mutex> lock(error_mutex);
                if (!error) error = std::current_exception();
            }
        }
    };
    std::vector<std::thread> helpers;
    const std::size_t wanted = std::min<std::size_t>(threads, listed.size());
    for (std::size_t t = 1; t < wanted; ++t) {
        try {
            helpers.emplace_back(lister);
        } catch (...) {
            break;  // fewer threads only make it slower
        }
    }
    lister();
    for (auto& helper : helpers) helper.join();
    if (error) std::rethrow_exception(error);
    listed.resize(claims.claimed());
    return listed;
}

}  // namespace

ScanFrontier frontier_pass(ScanSession& session, JobQueue& queue, unsigned threads) {
    ScanFrontier frontier;
    {
        std::lock_guard<std::mutex> lock(queue.mutex);
        std::uint64_t position = 0;
        for (auto& job : queue.jobs) {
            job.group = position++;
            frontier.top_paths.push_back(job.path);
        }
    }
    std::vector<unsigned> classes;
    classes.reserve(frontier.top_paths.size());
    for (const auto& path : frontier.top_paths) classes.push_back(rank(frontier_class(path)));
    // Listings on several threads at once must not race for which path a shared file or
    // directory counts at: only where jobs may be shared (see jobs_can_be_shared).
    if (!jobs_can_be_shared(session)) threads = 1;

    const auto start = std::chrono::steady_clock::now();
    while (frontier.expanded.size() < kFrontierMaxDirectories) {
        std::vector<std::size_t> level;
        std::vector<Expansion> batch;
        {
            std::lock_guard<std::mutex> lock(queue.mutex);
            level =
                next_level(queue.jobs, classes, kFrontierMaxDirectories - frontier.expanded.size());
            batch.resize(level.size());
            for (std::size_t k = 0; k < level.size(); ++k) batch[k].job = queue.jobs[level[k]];
        }
        if (level.empty()) break;
        std::vector<Expansion> listed = list_level(session, std::move(batch), threads, start);
        if (listed.empty()) break;  // out of time, or cancelled

        // The listed jobs leave the queue; the jobs each listing found join the end of
        // its group, listing after listing. The queue stays sorted by group.
        std::unordered_map<std::uint64_t, std::vector<ScanJob>> joining;
        for (auto& item : listed) {
            if (!item.links.empty()) finish_shared_job(session, item.node, item.links, nullptr);
            ExpandedDirectory expanded{std::move(item.node), {}};
            expanded.child_paths.reserve(item.fresh.size());
            auto& group = joining[item.job.group];
            for (auto& job : item.fresh) {
                job.group = item.job.group;
                expanded.child_paths.push_back(job.path);
                group.push_back(std::move(job));
            }
            frontier.expanded.insert_or_assign(std::move(item.job.path), std::move(expanded));
        }
        {
            std::lock_guard<std::mutex> lock(queue.mutex);
            auto& jobs = queue.jobs;
            std::vector<bool> gone(jobs.size(), false);
            for (std::size_t k = 0; k < listed.size(); ++k) gone[level[k]] = true;
            std::deque<ScanJob> next;
            for (std::size_t i = 0; i < jobs.size(); ++i) {
                if (!gone[i]) next.push_back(std::move(jobs[i]));
                if (i + 1 < jobs.size() && jobs[i + 1].group == jobs[i].group) continue;
                if (auto it = joining.find(jobs[i].group); it != joining.end()) {
                    for (auto& job : it->second) next.push_back(std::move(job));
                }
            }
            jobs = std::move(next);
        }
        if (listed.size() < level.size()) break;  // out of time, or cancelled
    }

    std::lock_guard<std::mutex> lock(queue.mutex);
    for (const auto& job : queue.jobs) {
        frontier.pending.insert_or_assign(job.path, job.progress);
    }
    return frontier;
}

void merge_children(TreeNode& node, NodeList children, TreePurpose purpose) {
    bool any_scanning = false;
    node.children.reserve(node.children.size() + children.size());
    for (auto& child : children) {
        node.size = saturating_add(node.size, child.size);
        node.file_count = saturating_add(node.file_count, child.file_count);
        if (state_spoils_parent(child)) node.state = NodeState::Incomplete;
        if (child.state == NodeState::Scanning) any_scanning = true;
        node.children.push_back(std::move(child));
    }
    if (any_scanning && node.state == NodeState::Normal) {
        node.state =
            purpose == TreePurpose::final_tree ? NodeState::Incomplete : NodeState::Scanning;
    }
    sort_children_by_size(node.children);
}

TreeNode pending_directory_node(std::string_view path, const JobProgress& progress) {
    TreeNode node;
    node.path = platform::to_utf8_lossy(path);
    node.kind = NodeKind::Directory;
    node.size = static_cast<std::int64_t>(progress.bytes.load(std::memory_order_relaxed));
    node.file_count = static_cast<std::int64_t>(progress.files.load(std::memory_order_relaxed));
    node.state = NodeState::Scanning;
    return node;
}

TreeNode take_final_tree(ScanFrontier& frontier, const ScanSession& session,
                         const std::string& path, FinishedNodes& finished) {
    if (auto it = finished.find(path); it != finished.end()) {
        TreeNode node = std::move(it->second);
        finished.erase(it);
        return node;
    }
    if (auto it = frontier.expanded.find(path); it != frontier.expanded.end()) {
        ExpandedDirectory entry = std::move(it->second);
        frontier.expanded.erase(it);
        NodeList children;
        children.reserve(entry.child_paths.size());
        for (const auto& child : entry.child_paths) {
            children.push_back(take_final_tree(frontier, session, child, finished));
        }
        merge_children(entry.node, std::move(children), TreePurpose::final_tree);
        apply_package_rule(session.collapse_packages, entry.node);
        return std::move(entry.node);
    }
    TreeNode node;
    node.path = platform::to_utf8_lossy(path);
    node.kind = NodeKind::Directory;
    node.state = NodeState::Incomplete;
    if (auto it = frontier.pending.find(path); it != frontier.pending.end()) {
        node.size = static_cast<std::int64_t>(it->second->bytes.load(std::memory_order_relaxed));
        node.file_count =
            static_cast<std::int64_t>(it->second->files.load(std::memory_order_relaxed));
        frontier.pending.erase(it);
    }
    // A path in no map cannot come from the pass; it shows as an empty Incomplete folder.
    return node;
}

TreeNode copy_snapshot_tree(const ScanFrontier& frontier, const ScanSession& session,
                            const std::string& path, const FinishedRefs& finished) {
    if (auto it = finished.find(path); it != finished.end()) {
        return *it->second;
    }
    if (auto it = frontier.expanded.find(path); it != frontier.expanded.end()) {
        TreeNode copy = it->second.node;
        NodeList children;
        children.reserve(it->second.child_paths.size());
        for (const auto& child : it->second.child_paths) {
            children.push_back(copy_snapshot_tree(frontier, session, child, finished));
        }
        merge_children(copy, std::move(children), TreePurpose::snapshot);
        apply_package_rule(session.collapse_packages, copy);
        return copy;
    }
    if (auto it = frontier.pending.find(path); it != frontier.pending.end()) {
        return pending_directory_node(path, *it->second);
    }
    TreeNode node;
    node.path = platform::to_utf8_lossy(path);
    node.state = NodeState::Scanning;
    return node;
}

void adopt_top_child(TreeNode& root, TreeNode child) {
    root.size = saturating_add(root.size, child.size);
    root.file_count = saturating_add(root.file_count, child.file_count);
    if (child.state == NodeState::Incomplete || !child.is_readable) {
        root.state = NodeState::Incomplete;
    }
    root.children.push_back(std::move(child));
}

void LiveNode::roll_up_children() {
    for (const LiveNode& child : children) {
        total_size = saturating_add(total_size, child.size());
        total_files = saturating_add(total_files, child.file_count());
        if (state == NodeState::Normal && child.rolled_state() == NodeState::Scanning) {
            state = NodeState::Scanning;
        }
        if (child.rolled_state() == NodeState::Incomplete || !child.readable()) {
            state = NodeState::Incomplete;
        }
    }
}

LiveNode build_live_node(const ScanFrontier& frontier, const ScanSession& session,
                         const std::string& path, const FinishedRefs& finished) {
    LiveNode live;
    if (auto it = finished.find(path); it != finished.end()) {
        live.kind = LiveNode::Kind::Finished;
        live.node = it->second;
        return live;
    }
    if (auto it = frontier.expanded.find(path); it != frontier.expanded.end()) {
        const ExpandedDirectory& entry = it->second;
        live.kind = LiveNode::Kind::Expanded;
        live.node = &entry.node;
        live.children.reserve(entry.child_paths.size());
        for (const auto& child : entry.child_paths) {
            live.children.push_back(build_live_node(frontier, session, child, finished));
        }
        std::string_view segment = path;
        if (const auto slash = segment.rfind('/');
            slash != std::string_view::npos && slash + 1 < segment.size()) {
            segment = segment.substr(slash + 1);
        }
        live.is_package = session.collapse_packages && is_package_name(segment);
        live.total_size = entry.node.size;
        live.total_files = entry.node.file_count;
        live.state = entry.node.state;
        live.roll_up_children();
        return live;
    }
    live.kind = LiveNode::Kind::Placeholder;
    if (auto it = frontier.pending.find(path); it != frontier.pending.end()) {
        live.placeholder = pending_directory_node(path, *it->second);
    } else {
        live.placeholder.path = platform::to_utf8_lossy(path);
        live.placeholder.state = NodeState::Scanning;
    }
    return live;
}

}  // namespace bramvelt::scan
