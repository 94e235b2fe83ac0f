#include "scan/snapshot.hpp"

#include <algorithm>

#include "scan/tree_json.hpp"

namespace bramvelt::scan {
namespace {

FinishedRefs finished_refs(const std::vector<JobResult>& results) {
    FinishedRefs finished;
    finished.reserve(results.size());
    for (const auto& result : results) finished.insert_or_assign(result.path, &result.node);
    return finished;
}

// One entry of a list written in size order: an own child of a listed directory or a
// live child.
struct SortedChild {
    const TreeNode* own = nullptr;
    const LiveNode* live = nullptr;
    std::int64_t size() const { return own != nullptr ? own->size : live->size(); }
};

}  // namespace

bool write_live_tree_json(platform::Writer& sink, const LiveNode& node) {
    if (node.kind != LiveNode::Kind::Expanded) {
        return write_tree_json(sink, node.shown());
    }
    const TreeNode& own = *node.node;
    if (!write_node_fields_json(sink, own, node.is_package ? NodeKind::Package : own.kind,
                                node.total_size, node.total_files, node.state) ||
        !sink.write(",\"children\":[")) {
        return false;
    }
    if (!node.is_package) {
        std::vector<SortedChild> gathered;
        gathered.reserve(own.children.size() + node.children.size());
        for (const auto& child : own.children) gathered.push_back({&child, nullptr});
        for (const auto& child : node.children) gathered.push_back({nullptr, &child});
        std::ranges::stable_sort(gathered, [](const SortedChild& a, const SortedChild& b) {
            return a.size() > b.size();
        });
        bool first = true;
        for (const auto& child : gathered) {
            if (!first && !sink.write(",")) return false;
            first = false;
            const bool ok = child.own != nullptr ? write_tree_json(sink, *child.own)
                                                 : write_live_tree_json(sink, *child.live);
            if (!ok) return false;
        }
    }
    return sink.write("]}");
}

void emit_snapshot(ScanSession& session, const TreeNode& root, const ScanFrontier& frontier,
                   const std::vector<JobResult>& results) {
    if (snapshots_ignored(session)) return;
    bool has_callback = false;
    {
        std::lock_guard<std::mutex> lock(session.output_mutex);
        has_callback = static_cast<bool>(session.output.callback);
    }
    const FinishedRefs finished = finished_refs(results);
    if (has_callback) {
        TreeNode copy = root;
        for (const auto& path : frontier.top_paths) {
            adopt_top_child(copy, copy_snapshot_tree(frontier, session, path, finished));
        }
        sort_children_by_size(copy.children);
        emit_event(session, SnapshotEvent{&copy});
        return;
    }

    LiveNode live;
    live.kind = LiveNode::Kind::Expanded;
    live.node = &root;
    live.total_size = root.size;
    live.total_files = root.file_count;
    live.state = root.state;
    for (const auto& path : frontier.top_paths) {
        live.children.push_back(build_live_node(frontier, session, path, finished));
    }
    live.roll_up_children();
    // A Scanning child never changes the root's own state.
    if (live.state == NodeState::Scanning) live.state = root.state;

    std::lock_guard<std::mutex> lock(session.output_mutex);
    auto& sink = session.output.event_buffer;
    const bool ok = sink.write("{\"type\":\"snapshot\",\"tree\":") &&
                    write_live_tree_json(sink, live) && sink.write("}\n") && sink.flush();
    if (!ok) session.close_output();
}

}  // namespace bramvelt::scan
