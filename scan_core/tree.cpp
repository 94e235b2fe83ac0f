#include "scan_core/tree.hpp"

#include <algorithm>

namespace bramvelt::scan {

std::string_view node_display_name(std::string_view path) {
    const auto slash = path.rfind('/');
    if (slash == std::string_view::npos) {
        return path;
    }
    const std::string_view tail = path.substr(slash + 1);
    return tail.empty() ? path : tail;
}

void sort_children_by_size(std::vector<TreeNode>& children) {
    if (children.size() < 2) return;
    std::ranges::stable_sort(children,
                             [](const TreeNode& a, const TreeNode& b) { return a.size > b.size; });
}

}  // namespace bramvelt::scan
