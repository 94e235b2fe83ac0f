#include "src/cli/scan_report.hpp"

#include <fmt/format.h>

#include <algorithm>
#include <unordered_map>

#include "scan_core/tree_json.hpp"
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
                                   it->second->omitted_children, it->second->reason))) {
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

std::string optional_number(bool set, std::uint64_t value) {
    return set ? std::to_string(value) : std::string("null");
}

}  // namespace

void trim_for_output(TreeNode& node, std::uint64_t depth, const OutputLimits& limits,
                     std::vector<OmittedDetail>& omitted) {
    order_children(node, node.children);
    std::size_t keep = node.children.size();
    std::string_view reason;
    if (limits.depth_set && depth >= limits.depth) {
        keep = 0;
        reason = "depth";
    } else if (limits.top_set && node.children.size() >= limits.top) {
        keep = static_cast<std::size_t>(limits.top);
        reason = "top";
    }
    if (keep < node.children.size()) {
        omitted.push_back({node.path, std::string(reason), node.children.size() - keep});
        node.children.erase(node.children.begin() + static_cast<std::ptrdiff_t>(keep),
                            node.children.end());
    }
    for (TreeNode& child : node.children) trim_for_output(child, depth + 1, limits, omitted);
}

bool tree_has_problems(const TreeNode& node) {
    if (!node.is_readable || node.state == NodeState::Incomplete) return true;
    return std::ranges::any_of(node.children,
                               [](const TreeNode& c) { return tree_has_problems(c); });
}

bool write_scan_report(platform::Writer& out, const scan::ScanOutcome& outcome, bool json,
                       const OutputLimits& limits, bool incomplete,
                       const std::vector<OmittedDetail>& omitted) {
    if (!json) {
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
    std::string tail = fmt::format(
        ",\"stats\":{{\"bytesScanned\":{},\"filesScanned\":{},\"directoriesScanned\":{},"
        "\"unreadableItems\":{},\"hardlinkBytesSaved\":{}}},\"elapsedSeconds\":{:.6f},"
        "\"cancelled\":{},\"incomplete\":{},\"outputLimits\":{{\"depth\":{},\"top\":{}}},"
        "\"omittedDetails\":[",
        outcome.bytes_scanned, outcome.files_scanned, outcome.directories_scanned,
        outcome.unreadable_items, outcome.hard_link_bytes_saved, outcome.elapsed_seconds,
        outcome.cancelled, incomplete, optional_number(limits.depth_set, limits.depth),
        optional_number(limits.top_set, limits.top));
    bool first = true;
    for (const auto& record : omitted) {
        if (!first) tail += ',';
        first = false;
        tail += "{\"path\":";
        append_json_string(tail, record.path);
        tail += fmt::format(",\"omittedChildren\":{},\"reason\":\"{}\"}}", record.omitted_children,
                            record.reason);
    }
    tail += "]}\n";
    return out.write(tail);
}

}  // namespace bramvelt::cli
