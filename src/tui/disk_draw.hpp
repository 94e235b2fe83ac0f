#pragma once
// Draws the disk view: the breadcrumb and folder size, the scan's status line, the
// directory table with the treemap beside it on wide screens (or a placeholder until
// the first tree), and the filter line. Reads the view, except that the table writes
// back its scroll position and page size.

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "src/tui/disk_view.hpp"
#include "src/tui/key_hint.hpp"
#include "src/tui/kit/buffer.hpp"
#include "src/tui/kit/table.hpp"

namespace bramvelt::tui {

// The clocks a frame reads: the monotonic one for the scan's elapsed time, and the
// wall clock (seconds since the epoch) for ages.
struct DrawClock {
    std::chrono::steady_clock::time_point monotonic = std::chrono::steady_clock::now();
    std::int64_t unix_seconds = 0;
    static DrawClock now();
};

KeyHints draw_disk_view(DiskView& view, kit::Buffer& buf, kit::Rect area,
                        const std::optional<std::string>& home, std::uint64_t tick,
                        const DrawClock& clock = DrawClock::now());

// The body's table and treemap: 54 and 46 per cent, but never so narrow a table that its
// Name column gets fewer than 20 cells; the table takes the whole body when the treemap is
// hidden or would be left fewer than 24 columns.
enum class TreemapShown { No, Yes };
struct BodySplit {
    kit::Rect table;
    std::optional<kit::Rect> treemap;
};
BodySplit split_disk_body(kit::Rect body, TreemapShown shown);

void draw_disk_table(DiskView& view, kit::Buffer& buf, kit::Rect area, std::int64_t now);

// Table rows for `count` entries of `visible` from `first`.
std::vector<kit::Row> build_disk_rows(const std::vector<std::size_t>& visible, std::size_t first,
                                      std::size_t count, const DiskNode& folder,
                                      std::size_t selected,
                                      const std::vector<std::optional<std::size_t>>& color_ranks,
                                      double folder_total, std::int64_t now);

}  // namespace bramvelt::tui
