#pragma once
// The node tree a scan produces. A whole tree is one root node that owns its children;
// a node's name is not stored but derived from its path.

#include <atomic>
#include <cstdint>
#include <limits>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

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

struct TreeNode {
    std::string path;  // full path, valid UTF-8 (invalid bytes replaced by U+FFFD)
    // Allocated bytes of the entry and everything below it. Signed: every sort and the
    // JSON writer treat it so, and no listing yields more than 2^63 - 1.
    std::int64_t size = 0;
    std::int64_t file_count = 0;
    // Whole seconds since the Unix epoch; absent when unknown or before 1970.
    std::optional<std::int64_t> modification_time;
    std::vector<TreeNode> children;  // largest first
    NodeKind kind = NodeKind::Directory;
    bool is_readable = true;
    NodeState state = NodeState::Normal;
};

// a + b, held at the largest (or smallest) signed value instead of wrapping: a file
// system may report any allocation, and a total must never turn negative.
constexpr std::int64_t saturating_add(std::int64_t a, std::int64_t b) {
    std::int64_t sum = 0;
    if (__builtin_add_overflow(a, b, &sum)) {
        return b > 0 ? std::numeric_limits<std::int64_t>::max()
                     : std::numeric_limits<std::int64_t>::min();
    }
    return sum;
}

// The same for a shared counter.
inline void saturating_add(std::atomic<std::int64_t>& total, std::int64_t amount) {
    std::int64_t current = total.load(std::memory_order_relaxed);
    while (!total.compare_exchange_weak(current, saturating_add(current, amount),
                                        std::memory_order_relaxed)) {
    }
}

// An unsigned shared counter held at `limit` instead of wrapping.
inline void saturating_add(std::atomic<std::uint64_t>& total, std::uint64_t amount,
                           std::uint64_t limit = std::numeric_limits<std::uint64_t>::max()) {
    std::uint64_t current = total.load(std::memory_order_relaxed);
    for (;;) {
        const std::uint64_t next =
            (current > limit || amount > limit - current) ? limit : current + amount;
        if (total.compare_exchange_weak(current, next, std::memory_order_relaxed)) return;
    }
}

// The text after the last "/"; the whole path when that is empty or there is no "/".
std::string_view node_display_name(std::string_view path);

// Stable sort of children by size, largest first (sizes compared as signed values).
void sort_children_by_size(std::vector<TreeNode>& children);

}  // namespace bramvelt::scan
