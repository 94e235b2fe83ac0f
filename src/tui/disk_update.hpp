#pragma once
// What a disk scan's worker tells the interface: throttled progress, pruned live
// snapshots, and once, at the end, the scan's outcome or its error text.

#include <cstdint>
#include <expected>
#include <string>
#include <variant>

#include "scan/event.hpp"
#include "src/tui/disk_node.hpp"

namespace bramvelt::tui {

struct DiskProgress {
    std::string path;
    std::uint64_t bytes = 0;
    std::uint64_t files = 0;
    std::uint64_t folders = 0;
    std::uint64_t unreadable = 0;
};

struct DiskSnapshot {
    DiskNode tree;
};

struct DiskFinished {
    std::expected<scan::ScanOutcome, std::string> result;
};

using DiskUpdate = std::variant<DiskProgress, DiskSnapshot, DiskFinished>;

}  // namespace bramvelt::tui
