#include "src/cli/scan_report.hpp"

#include <fmt/format.h>

#include <algorithm>
#include <atomic>
#include <thread>
#include <unordered_map>

#include "scan/tree_json.hpp"
#include "src/cli/errors.hpp"
#include "src/cli/format.hpp"

namespace bramvelt::cli {
namespace {

using scan::NodeState;
using scan::TreeNode;

std::string_view status_tag(const TreeNode& node) {
    switch (node.state) {
        case NodeState::Incomplete:
            return node.is_readable ? " [incomplete]" : " [unreadable]";
        case NodeState::MountPoint:
            return " [mount excluded]";
        case NodeState::CloudPlaceholder:
            return " [online only]";
        case NodeState::DirectoryAlias:
            return " [directory alias excluded]";
        case NodeState::PolicyExcluded:
            return " [policy excluded]";
        default:
            return node.is_readable ? "" : " [unreadable]";
    }
}

std::string size_text(std::int64_t size) {
    return format_size(size < 0 ? 0 : static_cast<std::uint64_t>(size));
}

using OmittedIndex = std::unordered_map<std::string_view, const OmittedDetail*>;

bool print_tree(platform::Writer& out, const TreeNode& node, std::size_t depth,
                const OmittedIndex& omitted) {
    const std::string indent(depth * 2, ' ');
    const std::string_view name =
        depth == 0 ? std::string_view(node.path) : scan::node_display_name(node.path);
    std::string line = fmt::format("{}{:>10}  {}{}\n", indent, size_text(node.size),
                                   escape_message(name), status_tag(node));
    if (!out.write(line)) return false;
    for (const TreeNode& child : node.children) {
        if (!print_tree(out, child, depth + 1, omitted)) return false;
    }
    if (auto it = omitted.find(node.path); it != omitted.end()) {
        const std::string more(std::string((depth + 1) * 2, ' '));
        if (!out.write(fmt::format("{}… {} entries hidden by --{}\n", more,
                                   it->second->omitted_children,
                                   omitted_reason_text(it->second->reason)))) {
            return false;
        }
    }
    return true;
}

// Size, largest first, then path. The engine hands children over sorted by size
// already, so usually only runs of equal size need ordering. Siblings share their
// parent's path as a prefix, so comparing what follows it orders them the same way.
void order_children(const TreeNode& parent, std::vector<TreeNode>& children) {
    std::size_t shared = parent.path.size();
    for (const TreeNode& child : children) {
        if (!child.path.starts_with(parent.path)) {
            shared = 0;
            break;
        }
    }
    const auto by_path = [shared](const TreeNode& a, const TreeNode& b) {
        return std::string_view(a.path).substr(shared) < std::string_view(b.path).substr(shared);
    };
    const auto by_size = [](const TreeNode& a, const TreeNode& b) { return a.size > b.size; };
    if (!std::ranges::is_sorted(children, by_size)) {
        std::ranges::sort(children, [&](const TreeNode& a, const TreeNode& b) {
            if (a.size != b.size) return a.size > b.size;
            return by_path(a, b);
        });
        return;
    }
    auto run = children.begin();
    while (run != children.end()) {
        const std::int64_t size = run->size;
        auto end =
            std::find_if(run, children.end(), [size](const TreeNode& n) { return n.size != size; });
        if (end - run > 1 && !std::is_sorted(run, end, by_path)) std::sort(run, end, by_path);
        run = end;
    }
}

std::string optional_number(std::optional<std::uint64_t> value) {
    return value ? std::to_string(*value) : std::string("null");
}

// Everything after the tree: stats, flags, limits and the omitted-detail records.
bool write_json_tail(platform::Writer& out, const scan::ScanOutcome& outcome,
                     const OutputLimits& limits, bool incomplete,
                     const std::vector<OmittedDetail>& omitted) {
    std::string tail = fmt::format(
        ",\"stats\":{{\"bytesScanned\":{},\"filesScanned\":{},\"directoriesScanned\":{},"
        "\"unreadableItems\":{},\"hardlinkBytesSaved\":{}}},\"elapsedSeconds\":{:.6f},"
        "\"cancelled\":{},\"incomplete\":{},\"outputLimits\":{{\"depth\":{},\"top\":{}}},"
        "\"omittedDetails\":[",
        outcome.bytes_scanned, outcome.files_scanned, outcome.directories_scanned,
        outcome.unreadable_items, outcome.hard_link_bytes_saved, outcome.elapsed_seconds,
        outcome.cancelled, incomplete, optional_number(limits.depth), optional_number(limits.top));
    bool first = true;
    for (const auto& record : omitted) {
        if (!first) tail += ',';
        first = false;
        tail += "{\"path\":";
        append_json_string(tail, record.path);
        tail += fmt::format(",\"omittedChildren\":{},\"reason\":\"{}\"}}", record.omitted_children,
                            omitted_reason_text(record.reason));
    }
    tail += "]}\n";
    return out.write(tail);
}

// Cuts one node's children to the limits (not its descendants'); the record, if any,
// goes to `omitted`, the cut subtrees to `trimmed`.
void trim_children(TreeNode& node, std::uint64_t depth, const OutputLimits& limits,
                   std::vector<OmittedDetail>& omitted, TrimmedNodes& trimmed) {
    order_children(node, node.children);
    std::size_t keep = node.children.size();
    OmittedReason reason = OmittedReason::top;
    if (limits.depth && depth >= *limits.depth) {
        keep = 0;
        reason = OmittedReason::depth;
    } else if (limits.top && node.children.size() >= *limits.top) {
        keep = static_cast<std::size_t>(*limits.top);
    }
    if (keep < node.children.size()) {
        omitted.push_back({node.path, reason, node.children.size() - keep});
        const auto cut = node.children.begin() + static_cast<std::ptrdiff_t>(keep);
        // Moving a node moves its subtree's ownership; nothing below it is touched.
        trimmed.insert(trimmed.end(), std::make_move_iterator(cut),
                       std::make_move_iterator(node.children.end()));
        node.children.erase(cut, node.children.end());
    }
}

}  // namespace

std::string_view omitted_reason_text(OmittedReason reason) {
    return reason == OmittedReason::depth ? "depth" : "top";
}

void trim_for_output(TreeNode& node, std::uint64_t depth, const OutputLimits& limits,
                     std::vector<OmittedDetail>& omitted, TrimmedNodes& trimmed) {
    trim_children(node, depth, limits, omitted, trimmed);
    for (TreeNode& child : node.children) {
        trim_for_output(child, depth + 1, limits, omitted, trimmed);
    }
}

void trim_for_output(TreeNode& node, std::uint64_t depth, const OutputLimits& limits,
                     std::vector<OmittedDetail>& omitted) {
    TrimmedNodes trimmed;
    trim_for_output(node, depth, limits, omitted, trimmed);
}

bool tree_has_problems(const TreeNode& node) {
    if (!node.is_readable || node.state == NodeState::Incomplete) return true;
    return std::ranges::any_of(node.children,
                               [](const TreeNode& c) { return tree_has_problems(c); });
}

bool write_scan_report(platform::Writer& out, const scan::ScanOutcome& outcome, ReportFormat format,
                       const OutputLimits& limits, bool incomplete,
                       const std::vector<OmittedDetail>& omitted) {
    if (format == ReportFormat::text) {
        OmittedIndex index;
        for (const auto& record : omitted) index.emplace(record.path, &record);
        if (!print_tree(out, outcome.tree, 0, index)) return false;
        const std::string_view suffix =
            outcome.cancelled ? " · interrupted" : (incomplete ? " · incomplete" : "");
        return out.write(fmt::format("\n{} allocated · {} files · {} directories · {:.3f}s{}\n",
                                     size_text(outcome.bytes_scanned), outcome.files_scanned,
                                     outcome.directories_scanned, outcome.elapsed_seconds, suffix));
    }
    if (!out.write("{\"schemaVersion\":1,\"tree\":") || !scan::write_tree_json(out, outcome.tree)) {
        return false;
    }
    return write_json_tail(out, outcome, limits, incomplete, omitted);
}

namespace {

// Appends to a string it does not own.
class AppendWriter final : public platform::Writer {
  public:
    explicit AppendWriter(std::string& out) : out_(out) {}
    bool write(std::string_view bytes) override {
        out_.append(bytes);
        return true;
    }
    bool flush() override { return true; }

  private:
    std::string& out_;
};

// One segment of the document in order: fixed text of a large node, or a run of small
// sibling subtrees that one thread trims and writes on its own.
struct Segment {
    std::string text;
    std::vector<TreeNode*> subtrees;
    std::uint64_t depth = 0;
    std::vector<OmittedDetail> records;  // in pre-order, before any later segment's
    TrimmedNodes trimmed;
};

void plan_segments(TreeNode& node, std::uint64_t depth, const OutputLimits& limits,
                   std::int64_t segment_files, std::vector<Segment>& segments) {
    Segment open;
    trim_children(node, depth, limits, open.records, open.trimmed);
    platform::StringWriter fields;
    scan::write_node_fields_json(fields, node, node.kind, node.size, node.file_count, node.state);
    open.text = fields.text() + ",\"children\":[";
    segments.push_back(std::move(open));
    Segment run;
    std::int64_t run_files = 0;
    const auto flush_run = [&] {
        if (!run.subtrees.empty()) segments.push_back(std::move(run));
        run = Segment{};
        run.depth = depth + 1;
        run_files = 0;
    };
    flush_run();
    for (std::size_t i = 0; i < node.children.size(); ++i) {
        TreeNode& child = node.children[i];
        if (child.file_count > segment_files && !child.children.empty()) {
            flush_run();
            if (i > 0) segments.push_back({",", {}, 0, {}, {}});
            plan_segments(child, depth + 1, limits, segment_files, segments);
            continue;
        }
        // A run after a large sibling starts with the comma that separates them.
        if (run.subtrees.empty() && i > 0) run.text = ",";
        run.subtrees.push_back(&child);
        run_files += child.file_count + 1;
        if (run_files > segment_files) flush_run();
    }
    flush_run();
    segments.push_back({"]}", {}, 0, {}, {}});
}

}  // namespace

bool trim_and_write_json_report(platform::Writer& out, scan::ScanOutcome& outcome,
                                const OutputLimits& limits, bool incomplete, unsigned threads,
                                TrimmedNodes& trimmed) {
    // About 256 segments for the whole tree; a batch of them is held in memory at a time.
    const std::int64_t segment_files = std::max<std::int64_t>(2'000, outcome.tree.file_count / 256);
    std::vector<Segment> segments;
    if (outcome.tree.file_count <= segment_files || outcome.tree.children.empty()) {
        segments.push_back({{}, {&outcome.tree}, 0, {}, {}});
    } else {
        plan_segments(outcome.tree, 0, limits, segment_files, segments);
    }

    bool ok = out.write("{\"schemaVersion\":1,\"tree\":");
    // A batch holds about an eighth of the tree's files, so memory stays bounded while
    // every thread has work; the segments of a batch are written out in order after it.
    const std::int64_t batch_files =
        std::max<std::int64_t>(4 * segment_files, outcome.tree.file_count / 8);
    std::size_t next = 0;
    while (ok && next < segments.size()) {
        std::vector<std::size_t> batch;
        std::int64_t files = 0;
        std::size_t end = next;
        while (end < segments.size() && files < batch_files) {
            if (!segments[end].subtrees.empty()) {
                batch.push_back(end);
                for (const TreeNode* subtree : segments[end].subtrees) {
                    files += subtree->file_count + 1;
                }
            }
            ++end;
        }
        std::atomic<std::size_t> claimed{0};
        std::atomic<bool> failed{false};
        // Exceptions (out of memory) must not leave a helper thread; the report then
        // counts as not written.
        const auto render = [&]() noexcept {
            try {
                for (std::size_t k = claimed++; k < batch.size(); k = claimed++) {
                    Segment& segment = segments[batch[k]];
                    // Written in place, with room for a typical node each, so the text is
                    // neither copied nor regrown on the way.
                    std::int64_t nodes = 0;
                    for (const TreeNode* subtree : segment.subtrees) {
                        nodes += subtree->file_count + 1;
                    }
                    segment.text.reserve(segment.text.size() +
                                         static_cast<std::size_t>(nodes) * 320);
                    AppendWriter text(segment.text);
                    for (std::size_t i = 0; i < segment.subtrees.size(); ++i) {
                        if (i > 0) text.write(",");
                        trim_for_output(*segment.subtrees[i], segment.depth, limits,
                                        segment.records, segment.trimmed);
                        scan::write_tree_json(text, *segment.subtrees[i]);
                    }
                }
            } catch (...) {
                failed = true;
                claimed = batch.size();
            }
        };
        std::vector<std::thread> helpers;
        const std::size_t wanted = std::min<std::size_t>(threads, batch.size());
        for (std::size_t t = 1; t < wanted; ++t) {
            try {
                helpers.emplace_back(render);
            } catch (...) {
                break;  // fewer threads only make it slower
            }
        }
        render();
        for (auto& helper : helpers) helper.join();
        if (failed) return false;
        for (; next < end && ok; ++next) {
            ok = out.write(segments[next].text);
            std::string().swap(segments[next].text);
        }
    }
    if (!ok) return false;
    std::vector<OmittedDetail> omitted;
    for (auto& segment : segments) {
        for (auto& record : segment.records) omitted.push_back(std::move(record));
        trimmed.insert(trimmed.end(), std::make_move_iterator(segment.trimmed.begin()),
                       std::make_move_iterator(segment.trimmed.end()));
    }
    return write_json_tail(out, outcome, limits, incomplete, omitted);
}

}  // namespace bramvelt::cli
