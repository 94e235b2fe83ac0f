#pragma once
// What a scan delivers while it runs and at its end, and what it returns.

#include <cstdint>
#include <expected>
#include <functional>
#include <string>
#include <string_view>
#include <variant>

#include "scan/tree.hpp"

namespace bramvelt::scan {

struct ProgressEvent {
    std::string current_path;  // the directory being listed, or the root at the end
    std::int64_t bytes_scanned = 0;
    std::uint64_t files_scanned = 0;
    std::uint64_t directories_scanned = 0;
    std::uint64_t unreadable_items = 0;
};

// The tree so far; lent for the length of the delivery only.
struct SnapshotEvent {
    const TreeNode* tree = nullptr;
};

// The final tree; lent for the length of the delivery only.
struct CompleteEvent {
    const TreeNode* tree = nullptr;
};

// `code` is "scanFailed", "catalog_error" or "cancelled"; the message and the partial
// tree are lent for the length of the delivery only.
struct ErrorEvent {
    std::string_view code;
    std::string_view message;
    const TreeNode* partial_tree = nullptr;
};

using ScanEvent = std::variant<ProgressEvent, SnapshotEvent, CompleteEvent, ErrorEvent>;

// Receives each event, one call at a time, from whichever scan thread emits it. An error
// closes the scan's output and cancels the scan.
using ScanEventCallback = std::function<std::expected<void, std::string>(ScanEvent)>;

// The callback of callers that only want the returned outcome.
std::expected<void, std::string> ignore_scan_event(ScanEvent event);

// The result of a scan that ran to its end (also when cancelled).
struct ScanOutcome {
    TreeNode tree;
    std::string root_path;  // normalised; invalid UTF-8 replaced by U+FFFD
    std::int64_t bytes_scanned = 0;
    std::uint64_t files_scanned = 0;
    std::uint64_t directories_scanned = 0;
    std::uint64_t unreadable_items = 0;
    std::uint64_t hard_link_bytes_saved = 0;
    std::uint64_t bulk_batches = 0;
    std::uint64_t bulk_trusted_entries = 0;
    std::uint64_t bulk_lstat_entries = 0;
    std::uint64_t standard_fallbacks = 0;
    std::uint64_t entry_lstat_calls = 0;
    double elapsed_seconds = 0;
    bool cancelled = false;
};

}  // namespace bramvelt::scan
