#include "src/tui/disk_node.hpp"

#include <algorithm>
#include <numeric>
#include <vector>

namespace bramvelt::tui {

bool is_openable(const DiskNode& node) {
    return node.kind == scan::NodeKind::Directory || node.kind == scan::NodeKind::Package ||
           !node.children.empty();
}

DiskNode prune_tree(const DiskNode& node, unsigned depth_left, std::size_t max_children) {
    DiskNode copy;
    copy.path = node.path;
    copy.size = node.size;
    copy.file_count = node.file_count;
    copy.modification_time = node.modification_time;
    copy.kind = node.kind;
    copy.is_readable = node.is_readable;
    copy.state = node.state;
    if (depth_left == 0 || node.children.empty()) {
        return copy;
    }
    std::vector<std::size_t> order(node.children.size());
    std::iota(order.begin(), order.end(), std::size_t{0});
    std::stable_sort(order.begin(), order.end(), [&](std::size_t a, std::size_t b) {
        return node_size(node.children[a]) > node_size(node.children[b]);
    });
    order.resize(std::min(order.size(), max_children));
    copy.children.reserve(order.size());
    for (std::size_t i : order) {
        copy.children.push_back(prune_tree(node.children[i], depth_left - 1, max_children));
    }
    return copy;
}

}  // namespace bramvelt::tui
