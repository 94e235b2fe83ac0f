#pragma once
// The node tree a scan produces. A whole tree is one root node that owns its children;
// a node's name is not stored but derived from its path. Paths and child lists live in
// node memory (tree_memory.hpp).

#include <atomic>
#include <cstdint>
#include <limits>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/text.hpp"
#include "scan/tree_memory.hpp"

namespace bramvelt::scan {

enum class NodeState : std::uint8_t {
    Normal = 0,
    Scanning = 1,  // a queued or running job; live snapshots only
    Incomplete = 2,
    MountPoint = 3,
    CloudPlaceholder = 4,
    DirectoryAlias = 5,
    PolicyExcluded = 6,
    SmallFilesAggregate = 7,
};

enum class NodeKind : std::uint8_t { Directory, File, Package };

// "directory", "file" or "package".
constexpr std::string_view kind_text(NodeKind kind) {
    switch (kind) {
        case NodeKind::Directory:
            return "directory";
        case NodeKind::File:
            return "file";
        case NodeKind::Package:
            return "package";
    }
    return "directory";
}

struct TreeNode;
using NodeList = std::vector<TreeNode, TreeAllocator<TreeNode>>;

struct TreeNode {
    TreeString path;  // full path, valid UTF-8 (invalid bytes replaced by U+FFFD)
    // Allocated bytes of the entry and everything below it. Signed: every sort and the
    // JSON writer treat it so, and no listing yields more than 2^63 - 1.
    std::int64_t size = 0;
    std::int64_t file_count = 0;
    // Whole seconds since the Unix epoch; absent when unknown or before 1970.
    std::optional<std::int64_t> modification_time;
    NodeList children;  // largest first
    NodeKind kind = NodeKind::Directory;
    bool is_readable = true;
    NodeState state = NodeState::Normal;
};

using platform::saturating_add;

// The text after the last "/"; the whole path when that is empty or there is no "/".
std::string_view node_display_name(std::string_view path);

// Stable sort of children by size, largest first (sizes compared as signed values).
void sort_children_by_size(NodeList& children);

}  // namespace bramvelt::scan
