#pragma once
// The disk view's window on the scan tree. Everything the interface reads of a node
// goes through these few functions, so a change to how the scan engine stores its
// tree touches this file and its source alone.

#include <cstdint>
#include <optional>
#include <span>
#include <string_view>

#include "scan/tree.hpp"

namespace bramvelt::tui {

using DiskNode = scan::TreeNode;
using scan::NodeState;

inline std::string_view node_path(const DiskNode& node) {
    return node.path;
}
// Allocated bytes; a negative count from the engine reads as 0.
inline std::uint64_t node_size(const DiskNode& node) {
    return node.size > 0 ? static_cast<std::uint64_t>(node.size) : 0;
}
inline std::uint64_t node_file_count(const DiskNode& node) {
    return node.file_count > 0 ? static_cast<std::uint64_t>(node.file_count) : 0;
}
inline std::optional<std::int64_t> node_modified(const DiskNode& node) {
    return node.modification_time;
}
inline std::span<const DiskNode> node_children(const DiskNode& node) {
    return node.children;
}
inline bool node_readable(const DiskNode& node) {
    return node.is_readable;
}
inline NodeState node_state(const DiskNode& node) {
    return node.state;
}

// The text after the last "/", or the whole path when that is empty.
inline std::string_view node_name(const DiskNode& node) {
    return scan::node_display_name(node.path);
}

// A folder for the view: a directory or package, or anything with children.
bool is_openable(const DiskNode& node);

// A copy of `node` down to `depth_left` levels below it, each folder keeping only its
// `max_children` largest children (earlier ones first among equal sizes). Sizes and
// counts still include what was left out.
DiskNode prune_tree(const DiskNode& node, unsigned depth_left, std::size_t max_children);

}  // namespace bramvelt::tui
