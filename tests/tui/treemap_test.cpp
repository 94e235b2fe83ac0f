#include "src/tui/treemap.hpp"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "src/tui/disk_treemap.hpp"
#include "src/tui/widgets.hpp"
#include "tests/tui/tree_fixture.hpp"

namespace bramvelt::tui {
namespace {

using kit::Rect;
using testing::file;
using testing::folder;

TEST(Squarify, LayoutCases) {
    using Sizes = std::vector<std::uint64_t>;
    // The plane is 20 × 20; two equal areas form one column (an equal ratio joins).
    auto two = squarify(Sizes{5, 5}, Rect{0, 0, 20, 10});
    ASSERT_EQ(two.size(), 2u);
    EXPECT_EQ(two[0], (Rect{0, 0, 20, 5}));
    EXPECT_EQ(two[1], (Rect{0, 5, 20, 5}));

    // Offsets of the region carry over.
    auto offset = squarify(Sizes{1}, Rect{3, 4, 6, 2});
    EXPECT_EQ(offset[0], (Rect{3, 4, 6, 2}));

    for (const auto& none :
         {squarify(Sizes{}, Rect{0, 0, 10, 10}), squarify(Sizes{1, 2}, Rect{0, 0, 0, 10}),
          squarify(Sizes{1, 2}, Rect{0, 0, 10, 0}), squarify(Sizes{0, 0}, Rect{0, 0, 10, 10})}) {
        for (const auto& r : none) EXPECT_FALSE(r);
    }

    // A size too small for a cell gets none, and its neighbours are not enlarged.
    auto tiny = squarify(Sizes{1000000, 1}, Rect{0, 0, 10, 5});
    EXPECT_TRUE(tiny[0]);
    EXPECT_FALSE(tiny[1]);
    // Zero sizes in the middle keep none; the others still cover the region.
    auto gaps = squarify(Sizes{4, 0, 4}, Rect{0, 0, 8, 4});
    EXPECT_TRUE(gaps[0]);
    EXPECT_FALSE(gaps[1]);
    EXPECT_TRUE(gaps[2]);
    EXPECT_EQ(gaps[0]->area() + gaps[2]->area(), 32u);

    // Tiles never overlap and stay inside the region.
    Sizes many;
    for (int i = 60; i > 0; --i) many.push_back(static_cast<std::uint64_t>(i) * 37);
    const Rect region{2, 1, 53, 17};
    auto rects = squarify(many, region);
    std::vector<int> covered(region.area(), 0);
    for (const auto& r : rects) {
        if (!r) continue;
        EXPECT_EQ(r->intersection(region), *r);
        for (std::uint32_t y = r->y; y < r->bottom(); ++y) {
            for (std::uint32_t x = r->x; x < r->right(); ++x) {
                ++covered[(y - region.y) * region.width + (x - region.x)];
            }
        }
    }
    for (int c : covered) EXPECT_LE(c, 1);
}

std::string row(const kit::Buffer& buf, std::uint16_t y) {
    return buf.row_text(y);
}

TEST(TreemapTile, SmallTilesLabelsAndNesting) {
    const kit::Color teal = kit::Color::rgb(100, 200, 50);
    // Two columns or fewer: a plain coloured block.
    kit::Buffer narrow(Rect{0, 0, 2, 3});
    draw_treemap_tile(narrow, Rect{0, 0, 2, 3}, teal, file("/r/name", 10), TileSelection::Plain, 0);
    EXPECT_EQ(row(narrow, 0), "  ");
    EXPECT_EQ(narrow.at(1, 1).bg, teal);
    EXPECT_TRUE(narrow.at(1, 2).bg.reset);  // the bottom row is left as a separator

    // One row: the name and the size when the name is more than 10 characters shorter.
    kit::Buffer one(Rect{0, 0, 20, 1});
    draw_treemap_tile(one, Rect{0, 0, 20, 1}, teal, file("/r/abc", 2048), TileSelection::Plain, 0);
    EXPECT_EQ(row(one, 0), " abc 2.0 KiB        ");
    EXPECT_EQ(one.at(1, 0).fg, palette::kDarkText);
    EXPECT_TRUE(kit::has(one.at(1, 0).modifier, kit::Modifier::Bold));
    kit::Buffer cut(Rect{0, 0, 6, 1});
    draw_treemap_tile(cut, Rect{0, 0, 6, 1}, teal, file("/r/abcdefgh", 1), TileSelection::Plain, 0);
    EXPECT_EQ(row(cut, 0), " abc… ");  // fill width 5, label at most 4

    // 8 × 2 fill cells or more: the size on the second row.
    kit::Buffer sized(Rect{0, 0, 10, 4});
    draw_treemap_tile(sized, Rect{0, 0, 10, 4}, teal, file("/r/f", 3 * 1024 * 1024),
                      TileSelection::Plain, 1);
    EXPECT_EQ(row(sized, 0), " f        ");
    EXPECT_EQ(row(sized, 1), " 3.0 MiB  ");
    EXPECT_FALSE(kit::has(sized.at(1, 0).modifier, kit::Modifier::Bold));  // depth 1
    EXPECT_TRUE(sized.at(9, 0).bg.reset);

    // 12 × 5 fill cells with children: caption beside the name, children nested in
    // darker shades, no size line.
    const DiskNode parent = folder("/r/p", {file("/r/p/a", 3000), file("/r/p/b", 1000)});
    kit::Buffer nest(Rect{0, 0, 20, 8});
    draw_treemap_tile(nest, Rect{0, 0, 20, 8}, teal, parent, TileSelection::Plain, 0);
    EXPECT_EQ(row(nest, 0).substr(0, 12), " p  3.9 KiB ");
    EXPECT_EQ(nest.at(1, 2).bg, kit::Color::rgb(72, 144, 36));  // × 0.72
    EXPECT_EQ(row(nest, 1), std::string(20, ' '));
}

// Names of wide characters are measured in cells: the label is shortened to the tile,
// and the caption stands one cell after the label's last cell, or is left out.
TEST(TreemapTile, WideLabelsAndTheCaptionAreMeasuredInCells) {
    const kit::Color teal = kit::Color::rgb(100, 200, 50);
    const auto nested = [](const std::string& name) {
        return folder("/r/" + name,
                      {file("/r/" + name + "/a", 100 * 1024), file("/r/" + name + "/b", 4 * 1024)});
    };

    // 4 + 6 × 2 = 16 cells of name; the caption " 104.0 KiB" follows after one cell.
    kit::Buffer fits(Rect{0, 0, 30, 8});
    draw_treemap_tile(fits, Rect{0, 0, 30, 8}, teal, nested("wide漢字フォルダ"),
                      TileSelection::Plain, 0);
    EXPECT_EQ(row(fits, 0), " wide漢字フォルダ  104.0 KiB  ");
    EXPECT_FALSE(kit::has(fits.at(19, 0).modifier, kit::Modifier::Bold));

    // 16 + 10 + 2 cells do not fit a fill width of 25: the name alone, whole.
    kit::Buffer no_caption(Rect{0, 0, 26, 8});
    draw_treemap_tile(no_caption, Rect{0, 0, 26, 8}, teal, nested("wide漢字フォルダ"),
                      TileSelection::Plain, 0);
    EXPECT_EQ(row(no_caption, 0), " wide漢字フォルダ         ");

    // A name wider than the tile is cut to the fill width less one, ellipsis included.
    kit::Buffer cut(Rect{0, 0, 13, 8});
    draw_treemap_tile(cut, Rect{0, 0, 13, 8}, teal, nested("wide漢字フォルダ"),
                      TileSelection::Plain, 0);
    EXPECT_EQ(row(cut, 0), " wide漢字フ… ");

    // One row: the size joins the name only when the name's cells leave room for it
    // (eight characters, sixteen cells: no room for a size in a fill width of 19).
    kit::Buffer one(Rect{0, 0, 20, 1});
    draw_treemap_tile(one, Rect{0, 0, 20, 1}, teal, file("/r/漢字フォルダ漢字", 2048),
                      TileSelection::Plain, 0);
    EXPECT_EQ(row(one, 0), " 漢字フォルダ漢字   ");
}

TEST(TreemapRegion, TopTilesColoursAndSelection) {
    std::vector<DiskNode> children;
    for (int i = 0; i < 90; ++i)
        children.push_back(
            folder("/r/d" + std::to_string(i), {file("/r/d" + std::to_string(i) + "/f", 100 + i)}));
    children.push_back(file("/r/zero", 0));
    DiskView view;
    const ScanTicket ticket = begin_disk_scan(view, "/r");
    apply_disk_message(view, ticket.generation, DiskSnapshot{folder("/r", children)});
    refresh_visible(view);
    EXPECT_EQ(nonempty_child_indices(*view.tree).size(), 90u);
    kit::Buffer buf(Rect{0, 0, 200, 60});
    draw_treemap(view, buf, buf.area());
    // The largest child (rank 0) takes palette colour 0, lightened while selected.
    const kit::Color first = folder_color(0);
    EXPECT_EQ(lighten(first), kit::Color::rgb(119, 217, 208));
    EXPECT_EQ(buf.at(0, 0).bg, lighten(first));
    // Only the 80 largest get tiles: the smallest ten names never appear.
    std::string all;
    for (std::uint16_t y = 0; y < 60; ++y) all += buf.row_text(y);
    EXPECT_NE(all.find("d89"), std::string::npos);
    EXPECT_EQ(all.find("d5 "), std::string::npos);
}

}  // namespace
}  // namespace bramvelt::tui
