#include "src/tui/disk_draw.hpp"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "src/tui/widgets.hpp"
#include "tests/tui/tree_fixture.hpp"

namespace bramvelt::tui {
namespace {

using kit::Buffer;
using kit::Rect;
using testing::file;
using testing::folder;

constexpr std::int64_t kNow = 1'700'000'000;

DrawClock fixed_clock(std::chrono::steady_clock::time_point monotonic) {
    DrawClock c;
    c.monotonic = monotonic;
    c.unix_seconds = kNow;
    return c;
}

DiskView view_of(DiskNode tree, std::string root = "/r") {
    DiskView view;
    const ScanTicket t = begin_disk_scan(view, root);
    apply_disk_message(view, t.generation, DiskSnapshot{std::move(tree)});
    return view;
}

std::string screen(const Buffer& buf) {
    std::string out;
    for (std::uint16_t y = 0; y < buf.area().height; ++y) out += buf.row_text(y) + "\n";
    return out;
}

// The symbols of `n` cells from (x, y).
std::string cells(const Buffer& buf, std::uint16_t x, std::uint16_t y, std::uint16_t n) {
    std::string out;
    for (std::uint16_t i = 0; i < n; ++i) out += buf.cell(x + i, y)->symbol;
    return out;
}

bool contains(const Buffer& buf, std::string_view text) {
    return screen(buf).find(text) != std::string::npos;
}

// The table keeps 20 cells of Name beside the treemap: 54 per cent when that leaves them,
// else 70 columns; the treemap only when at least 24 columns are left for it.
TEST(DiskDraw, TableAndTreemapSplitKeepsTwentyCellsOfName) {
    struct Case {
        std::uint16_t width;
        std::uint16_t table;
        std::uint16_t treemap;  // 0: hidden
    };
    for (const Case c :
         {Case{89, 89, 0}, Case{90, 90, 0}, Case{93, 93, 0}, Case{94, 70, 24}, Case{100, 70, 30},
          Case{110, 70, 40}, Case{129, 70, 59}, Case{140, 76, 64}, Case{200, 108, 92}}) {
        const Rect body{3, 4, c.width, 20};
        const BodySplit split = split_disk_body(body, TreemapShown::Yes);
        EXPECT_EQ(split.table, (Rect{3, 4, c.table, 20})) << c.width;
        EXPECT_EQ(split.treemap.has_value(), c.treemap != 0) << c.width;
        if (split.treemap) {
            EXPECT_EQ(*split.treemap,
                      (Rect{static_cast<std::uint16_t>(3 + c.table), 4, c.treemap, 20}))
                << c.width;
        }
        const BodySplit hidden = split_disk_body(body, TreemapShown::No);
        EXPECT_EQ(hidden.table, body);
        EXPECT_FALSE(hidden.treemap);
    }

    DiskNode tree = folder("/r", {folder("/r/a", {file("/r/a/x", 4096)}), file("/r/b", 1024)});
    for (const auto& [width, treemap] : {std::pair{93, false}, std::pair{94, true}}) {
        DiskView view = view_of(tree);
        Buffer buf(Rect{0, 0, static_cast<std::uint16_t>(width), 20});
        draw_disk_view(view, buf, buf.area(), std::nullopt, 0, fixed_clock(*view.started));
        EXPECT_EQ(contains(buf, "Treemap"), treemap) << width;
        if (treemap) {
            EXPECT_EQ(buf.at(69, 2).symbol, "╮");
            EXPECT_EQ(buf.at(70, 2).symbol, "╭");
        }
    }
    DiskView hidden = view_of(tree);
    toggle_treemap(hidden);
    Buffer buf(Rect{0, 0, 120, 20});
    draw_disk_view(hidden, buf, buf.area(), std::nullopt, 0, fixed_clock(*hidden.started));
    EXPECT_FALSE(contains(buf, "Treemap"));
}

// Every name shows at least its first 20 cells at the widths where the table used to
// leave Name 0, 4 and 9 cells.
TEST(DiskDraw, NamesStayReadableBesideTheTreemap) {
    std::vector<DiskNode> children;
    for (char c = 'a'; c < 'f'; ++c) {
        children.push_back(
            file(std::string("/r/") + c + "-a-rather-long-file-name.txt", (c - 'a' + 1) * 4096));
    }
    const DiskView fresh = view_of(folder("/r", children));
    for (const std::uint16_t width : {90, 100, 110}) {
        DiskView view = fresh;
        Buffer buf(Rect{0, 0, width, 20});
        draw_disk_view(view, buf, buf.area(), std::nullopt, 0, fixed_clock(*view.started));
        EXPECT_EQ(contains(buf, "Treemap"), width != 90) << width;
        for (char c = 'a'; c < 'f'; ++c) {
            EXPECT_TRUE(contains(buf, std::string(1, c) + "-a-rather-long-file"))
                << c << " at " << width << "\n"
                << screen(buf);
        }
    }
}

TEST(DiskDraw, TableRowsColumnsAndTitles) {
    DiskNode sub = folder("/r/src", {file("/r/src/m", 3072, kNow - 7200)});
    sub.state = scan::NodeState::Scanning;
    DiskNode locked = folder("/r/locked");
    locked.is_readable = false;
    DiskNode tree = folder("/r", {sub, file("/r/notes\x1b.txt", 1024, kNow - 120), locked});
    DiskView view = view_of(tree);
    Buffer buf(Rect{0, 0, 80, 10});
    refresh_visible(view);
    draw_disk_table(view, buf, buf.area(), kNow);
    const std::string s = screen(buf);
    EXPECT_EQ(cells(buf, 0, 0, 22), "╭ 3 items · by size ──");
    EXPECT_NE(buf.row_text(1).find("Name"), std::string::npos);
    // Folder name with "/" and its status word; the control character escaped.
    EXPECT_NE(buf.row_text(2).find("src/  scanning"), std::string::npos);
    EXPECT_NE(buf.row_text(3).find("notes\\u{1b}.txt"), std::string::npos);
    EXPECT_NE(buf.row_text(4).find("locked/  unreadable"), std::string::npos);
    // Share bar, percentage, size, files (folders only), age.
    EXPECT_TRUE(buf.row_text(2).ends_with("█████████     75.0%    3.0 KiB        1     —│"))
        << buf.row_text(2);
    EXPECT_TRUE(buf.row_text(3).ends_with("███           25.0%    1.0 KiB             2m│"))
        << buf.row_text(3);
    // The selected row: selection background and bold; the bottom title names it.
    EXPECT_EQ(buf.at(5, 2).bg, palette::kSelection);
    EXPECT_TRUE(kit::has(buf.at(5, 2).modifier, kit::Modifier::Bold));
    EXPECT_EQ(buf.at(1, 2).symbol, "▍");
    EXPECT_EQ(buf.at(1, 2).fg, kit::Color::rgb(46, 196, 182));  // folder rank 0
    EXPECT_NE(buf.row_text(9).find(" src "), std::string::npos) << s;
    move_selection(view, 1);
    draw_disk_table(view, buf, buf.area(), kNow);
    EXPECT_NE(buf.row_text(9).find(" notes\\u{1b}.txt · changed 2m ago "), std::string::npos);
    EXPECT_EQ(buf.at(1, 3).fg, palette::kPlain);

    view.filter = "zzz";
    refresh_visible(view);
    Buffer empty(Rect{0, 0, 80, 10});
    draw_disk_table(view, empty, empty.area(), kNow);
    EXPECT_NE(empty.row_text(0).find("0 items · by size · “zzz” "), std::string::npos);
    EXPECT_NE(empty.row_text(4).find("No names match the filter"), std::string::npos);
    DiskView bare = view_of(folder("/r"));
    refresh_visible(bare);
    draw_disk_table(bare, empty, empty.area(), kNow);
    EXPECT_NE(empty.row_text(4).find("Empty folder"), std::string::npos);
}

TEST(DiskDraw, ScrollFollowsTheSelectionAndSmallTablesShowNoRows) {
    std::vector<DiskNode> children;
    for (int i = 0; i < 30; ++i)
        children.push_back(file("/r/f" + std::to_string(100 + i), 1000 - i));
    DiskView view = view_of(folder("/r", children));
    Buffer buf(Rect{0, 0, 60, 8});  // 5 rows shown
    refresh_visible(view);
    draw_disk_table(view, buf, buf.area(), kNow);
    EXPECT_EQ(view.page, 5u);
    move_selection(view, 7);
    draw_disk_table(view, buf, buf.area(), kNow);
    EXPECT_EQ(view.scroll, 3u);  // the selection becomes the last row shown
    EXPECT_NE(buf.row_text(6).find("f107"), std::string::npos);
    move_selection(view, -6);
    draw_disk_table(view, buf, buf.area(), kNow);
    EXPECT_EQ(view.scroll, 1u);  // ... or the first
    EXPECT_NE(buf.row_text(2).find("f101"), std::string::npos);

    Buffer tiny(Rect{0, 0, 60, 3});
    draw_disk_table(view, tiny, tiny.area(), kNow);
    EXPECT_EQ(view.page, 0u);
    move_selection(view, 1);  // a page move of 0 rows is still one row (key handling)
}

TEST(DiskDraw, ZeroSizedFolderReadsZeroPercent) {
    DiskView view = view_of(folder("/r", {file("/r/a", 0), file("/r/b", 0)}));
    Buffer buf(Rect{0, 0, 70, 6});
    refresh_visible(view);
    draw_disk_table(view, buf, buf.area(), kNow);
    EXPECT_NE(buf.row_text(2).find("  0.0%"), std::string::npos);
}

TEST(DiskDraw, HeaderBreadcrumbAndSummary) {
    DiskNode tree =
        folder("/home/u/projects",
               {folder("/home/u/projects/deep-folder-name",
                       {folder("/home/u/projects/deep-folder-name/inner",
                               {file("/home/u/projects/deep-folder-name/inner/f", 2048)})})});
    DiskView view = view_of(tree, "/home/u/projects");
    enter_selected(view);
    enter_selected(view);
    Buffer wide(Rect{0, 0, 100, 12});
    const std::optional<std::string> home = "/home/u";
    draw_disk_view(view, wide, wide.area(), home, 0, fixed_clock(*view.started));
    EXPECT_EQ(cells(wide, 0, 0, 40), " ~/projects › deep-folder-name › inner  ");
    EXPECT_EQ(wide.at(1, 0).fg, palette::kAccent);
    EXPECT_EQ(wide.at(34, 0).fg, palette::kLight);  // the current folder, bold
    EXPECT_TRUE(kit::has(wide.at(34, 0).modifier, kit::Modifier::Bold));
    EXPECT_TRUE(wide.row_text(0).ends_with("2.0 KiB · 1 files "));

    // Less room than the line: one bold span cut at its start.
    Buffer narrow(Rect{0, 0, 60, 12});
    draw_disk_view(view, narrow, narrow.area(), home, 0, fixed_clock(*view.started));
    EXPECT_EQ(cells(narrow, 0, 0, 28), " … deep-folder-name › inner ");
    EXPECT_EQ(narrow.at(1, 0).fg, palette::kLight);
    // A row narrower than 34 columns leaves the crumb no room; the summary is dropped
    // once it no longer fits.
    Buffer tight(Rect{0, 0, 18, 12});
    draw_disk_view(view, tight, tight.area(), home, 0, fixed_clock(*view.started));
    EXPECT_EQ(tight.row_text(0), std::string(18, ' '));
}

TEST(DiskDraw, StatusRowWhileScanningAndAfter) {
    DiskView view;
    const ScanTicket t = begin_disk_scan(view, "/r");
    Buffer buf(Rect{0, 0, 100, 14});
    // Before the first report the counts are 0 and the placeholder shows.
    draw_disk_view(view, buf, buf.area(), std::nullopt, 3, fixed_clock(*view.started));
    EXPECT_EQ(cells(buf, 0, 1, 54), " ⠸ Scanning 0 B · 0 files · 0 folders · 0/s · 0.0s    ");
    EXPECT_TRUE(contains(buf, "Measuring"));
    EXPECT_TRUE(contains(buf, "The map appears as soon as the first folders are measured."));

    apply_disk_message(view, t.generation,
                       DiskProgress{"/r/some/very/long/path/being/listed", 2048, 1500, 20, 0});
    // Within 0.2 s the rate reads 0; later files per second.
    draw_disk_view(view, buf, buf.area(), std::nullopt, 0,
                   fixed_clock(*view.started + std::chrono::milliseconds(200)));
    EXPECT_NE(buf.row_text(1).find("1,500 files · 20 folders · 0/s · 0.2s"), std::string::npos);
    Buffer narrow(Rect{0, 0, 70, 14});
    draw_disk_view(view, narrow, narrow.area(), std::nullopt, 0,
                   fixed_clock(*view.started + std::chrono::seconds(3)));
    EXPECT_NE(narrow.row_text(1).find("500/s · 3.0s  …"), std::string::npos) << narrow.row_text(1);
    EXPECT_TRUE(narrow.row_text(1).ends_with("3.0s  …isted ")) << narrow.row_text(1);

    scan::ScanOutcome outcome;
    outcome.tree = folder("/r", {file("/r/a", 1)});
    outcome.cancelled = true;
    outcome.elapsed_seconds = 2.25;
    outcome.files_scanned = 1234;
    outcome.directories_scanned = 5;
    outcome.unreadable_items = 2;
    apply_disk_message(view, t.generation, DiskFinished{std::move(outcome)});
    const KeyHints hints =
        draw_disk_view(view, buf, buf.area(), std::nullopt, 0, fixed_clock(*view.started));
    EXPECT_EQ(cells(buf, 0, 1, 61),
              " ■ Stopped in 2.2s · 1,234 files · 5 folders · 2 unreadable  ");
    EXPECT_EQ(hints.back(), (KeyHint{"r", "rescan"}));

    view.error = "bad\nthing";
    buf.reset();
    draw_disk_view(view, buf, buf.area(), std::nullopt, 0, fixed_clock(*view.started));
    EXPECT_EQ(cells(buf, 0, 1, 16), " ✗ bad\\nthing   ");
    EXPECT_EQ(buf.at(1, 1).fg, palette::kError);
}

// A scan that fails before its first tree shows the failure in the placeholder, and
// nothing turns from one frame to the next.
TEST(DiskDraw, AScanThatFailsBeforeAnyTreeStopsMeasuring) {
    DiskView view;
    const ScanTicket t = begin_disk_scan(view, "/r/missing");
    apply_disk_message(view, t.generation,
                       DiskFinished{std::unexpected(std::string("not a directory: /r/missing"))});
    Buffer first(Rect{0, 0, 100, 16});
    const KeyHints hints =
        draw_disk_view(view, first, first.area(), std::nullopt, 3, fixed_clock(*view.started));
    EXPECT_EQ(cells(first, 0, 1, 30), " ✗ not a directory: /r/missing");
    EXPECT_TRUE(contains(first, "✗  Scan failed"));
    EXPECT_TRUE(contains(first, "│                  not a directory: /r/missing")) << screen(first);
    EXPECT_FALSE(contains(first, "Measuring"));
    EXPECT_FALSE(contains(first, "The map appears"));
    EXPECT_EQ(hints.back(), (KeyHint{"r", "rescan"}));
    for (std::string_view frame : {"⠋", "⠙", "⠹", "⠸", "⠼", "⠴", "⠦", "⠧", "⠇", "⠏"}) {
        EXPECT_FALSE(contains(first, frame)) << frame;
    }
    Buffer later(Rect{0, 0, 100, 16});
    draw_disk_view(view, later, later.area(), std::nullopt, 4,
                   fixed_clock(*view.started + std::chrono::seconds(1)));
    EXPECT_EQ(screen(later), screen(first));
}

TEST(DiskDraw, FilterLineAndHints) {
    DiskView view = view_of(folder("/r", {file("/r/a", 1)}));
    open_filter_input(view);
    *view.filter_input = "ab";
    Buffer buf(Rect{0, 0, 100, 20});
    const KeyHints hints =
        draw_disk_view(view, buf, buf.area(), std::nullopt, 0, fixed_clock(*view.started));
    EXPECT_EQ(hints, (KeyHints{{"Enter", "keep filter"}, {"Esc", "clear"}}));
    EXPECT_EQ(cells(buf, 1, 18, 14), " Filter: ab▏  ");
    EXPECT_EQ(buf.at(1, 18).bg, palette::kSelection);
    EXPECT_EQ(buf.at(60, 18).bg, palette::kSelection);
    EXPECT_NE(buf.at(61, 18).bg, palette::kSelection);
}

}  // namespace
}  // namespace bramvelt::tui
