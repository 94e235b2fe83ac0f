#include "scan/frontier.hpp"

#include <algorithm>
#include <array>

#include "platform/text.hpp"
#include "platform/utf8.hpp"
#include "scan/walker.hpp"

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

ScanFrontier frontier_pass(ScanSession& session, JobQueue& queue) {
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
    const auto class_of = [&](std::uint64_t group) -> unsigned {
        return group < classes.size() ? classes[group] : rank(WalkPriority::normal);
    };

    const auto start = std::chrono::steady_clock::now();
    while (frontier.expanded.size() < kFrontierMaxDirectories) {
        const auto now = std::chrono::steady_clock::now();
        if (now > start && now - start >= kFrontierTimeBudget) break;
        if (session.cancelled()) break;

        ScanJob chosen;
        {
            std::lock_guard<std::mutex> lock(queue.mutex);
            auto best = queue.jobs.end();
            unsigned best_key = 0;
            unsigned best_class = 0;
            for (auto it = queue.jobs.begin(); it != queue.jobs.end(); ++it) {
                if (it->depth > kFrontierMaxDepth) continue;
                const unsigned cls = class_of(it->group);
                const unsigned key = it->depth + cls;
                if (best == queue.jobs.end() || key < best_key ||
                    (key == best_key && cls < best_class) ||
                    (key == best_key && cls == best_class && it->depth < best->depth)) {
                    best = it;
                    best_key = key;
                    best_class = cls;
                }
            }
            if (best == queue.jobs.end()) break;
            chosen = std::move(*best);
            queue.jobs.erase(best);
        }

        std::deque<ScanJob> fresh;
        TreeNode node =
            walk_directory(session, chosen.path, TopLevelMode{&fresh, nullptr}, chosen.depth);
        ExpandedDirectory expanded{std::move(node), {}};
        expanded.child_paths.reserve(fresh.size());
        for (auto& job : fresh) {
            job.group = chosen.group;
            expanded.child_paths.push_back(job.path);
        }
        frontier.expanded.insert_or_assign(chosen.path, std::move(expanded));
        {
            std::lock_guard<std::mutex> lock(queue.mutex);
            for (auto& job : fresh) queue.jobs.push_back(std::move(job));
            if (queue.jobs.size() >= 2) {
                std::ranges::stable_sort(queue.jobs, {}, &ScanJob::group);
            }
        }
    }

    std::lock_guard<std::mutex> lock(queue.mutex);
    for (const auto& job : queue.jobs) {
        frontier.pending.insert_or_assign(job.path, job.progress);
    }
    return frontier;
}

void merge_children(TreeNode& node, std::vector<TreeNode> children, TreePurpose purpose) {
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
        std::vector<TreeNode> children;
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
        std::vector<TreeNode> children;
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
