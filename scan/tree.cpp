#include "scan/tree.hpp"

#include <string.h>

#include <algorithm>

namespace bramvelt::scan {

std::string_view node_display_name(std::string_view path) {
    // memrchr: paths are long and this runs once per node of every report.
    const void* found = path.empty() ? nullptr : ::memrchr(path.data(), '/', path.size());
    if (found == nullptr) {
        return path;
    }
    const auto slash = static_cast<std::size_t>(static_cast<const char*>(found) - path.data());
    const std::string_view tail = path.substr(slash + 1);
    return tail.empty() ? path : tail;
}

void sort_children_by_size(std::vector<TreeNode>& children) {
    if (children.size() < 2) return;
    std::ranges::stable_sort(children,
                             [](const TreeNode& a, const TreeNode& b) { return a.size > b.size; });
}

}  // namespace bramvelt::scan
