#pragma once
// Small scan trees built by hand for the interface's tests.

#include <cstdint>
#include <iterator>
#include <optional>
#include <string>
#include <vector>

#include "src/tui/disk_node.hpp"

namespace bramvelt::tui::testing {

inline DiskNode file(std::string path, std::int64_t size, std::optional<std::int64_t> mtime = {}) {
    DiskNode n;
    n.path = std::move(path);
    n.size = size;
    n.file_count = 1;
    n.kind = scan::NodeKind::File;
    n.modification_time = mtime;
    return n;
}

inline DiskNode folder(std::string path, std::vector<DiskNode> children = {}) {
    DiskNode n;
    n.path = std::move(path);
    n.kind = scan::NodeKind::Directory;
    for (const DiskNode& c : children) {
        n.size += c.size;
        n.file_count += c.file_count;
    }
    n.children.assign(std::make_move_iterator(children.begin()),
                      std::make_move_iterator(children.end()));
    return n;
}

}  // namespace bramvelt::tui::testing
