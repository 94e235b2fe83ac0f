#include "scan/tree.hpp"

#include <string.h>

#include <algorithm>
#include <array>
#include <span>
#include <utility>

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

void sort_children_by_size(NodeList& children) {
    const std::size_t count = children.size();
    if (count < 2) return;
    if (std::ranges::is_sorted(
            children, [](const TreeNode& a, const TreeNode& b) { return a.size > b.size; })) {
        return;
    }
    // Sorted as (size, position) pairs, the position keeping it stable, then each node
    // moved once to its place: nodes are large, and a stable sort of the nodes themselves
    // would allocate a buffer of them and move each several times. The pairs of a small
    // list stay on the stack; a large list's are freed at once for the nodes to come.
    using Key = std::pair<std::int64_t, std::size_t>;
    constexpr std::size_t kOnStack = 64;
    std::array<Key, kOnStack> small;
    std::vector<Key> large;
    if (count > kOnStack) large.resize(count);
    const std::span<Key> order =
        count > kOnStack ? std::span<Key>(large) : std::span<Key>(small.data(), count);
    for (std::size_t i = 0; i < count; ++i) order[i] = Key(children[i].size, i);
    std::ranges::sort(order, [](const Key& a, const Key& b) {
        return a.first != b.first ? a.first > b.first : a.second < b.second;
    });
    // Place p takes the node at order[p].second; a cycle of places at a time.
    for (std::size_t start = 0; start < count; ++start) {
        if (order[start].second == start) continue;
        TreeNode held = std::move(children[start]);
        std::size_t place = start;
        for (;;) {
            const std::size_t from = order[place].second;
            order[place].second = place;
            if (from == start) {
                children[place] = std::move(held);
                break;
            }
            children[place] = std::move(children[from]);
            place = from;
        }
    }
}

}  // namespace bramvelt::scan
