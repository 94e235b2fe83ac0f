#include <gtest/gtest.h>

#include "src/tui/kit/layout.hpp"

namespace bramvelt::tui::kit {
namespace {

using C = Constraint;

std::vector<std::uint16_t> sizes(const Layout& layout, std::uint16_t total) {
    std::vector<std::uint16_t> out;
    const Rect area =
        layout.direction == Direction::Horizontal ? Rect{0, 0, total, 1} : Rect{0, 0, 1, total};
    for (const Rect& r : layout.split(area)) {
        out.push_back(layout.direction == Direction::Horizontal ? r.width : r.height);
    }
    return out;
}

TEST(Layout, SizesForTheSplitsTheScreensUse) {
    struct Case {
        const char* name;
        Layout layout;
        std::uint16_t total;
        std::vector<std::uint16_t> expected;
    };
    const std::vector<Case> cases = {
        {"title, body, footer",
         Layout::vertical({C::length(1), C::min(5), C::length(1)}),
         24,
         {1, 22, 1}},
        {"min holds when short",
         Layout::vertical({C::length(1), C::min(5), C::length(1)}),
         6,
         {1, 5, 0}},
        {"zero space", Layout::vertical({C::length(1), C::min(5), C::length(1)}), 0, {0, 0, 0}},
        {"percentages", Layout::horizontal({C::percentage(54), C::percentage(46)}), 100, {54, 46}},
        {"percentages round",
         Layout::horizontal({C::percentage(54), C::percentage(46)}),
         91,
         {49, 42}},
        {"fill takes the rest",
         Layout::horizontal({C::length(1), C::fill(1), C::length(12), C::length(6)}),
         40,
         {1, 21, 12, 6}},
        {"min takes the rest",
         Layout::horizontal({C::length(3), C::length(10), C::min(0)}),
         30,
         {3, 10, 17}},
        // Fixed sizes keep their sizes; what is left stays empty after the last one.
        {"lengths only: the rest stays empty",
         Layout::vertical({C::length(2), C::length(2)}),
         10,
         {2, 2}},
        {"a lone percentage", Layout::horizontal({C::percentage(50)}), 10, {5}},
        {"min grows beside lengths",
         Layout::vertical(
             {C::length(2), C::length(3), C::length(3), C::min(2), C::length(0), C::length(2)}),
         30,
         {2, 3, 3, 20, 0, 2}},
        {"equal fills with spacing",
         Layout::horizontal({C::fill(1), C::fill(1), C::fill(1), C::fill(1)}).with_spacing(1),
         80,
         {19, 20, 19, 19}},
        {"fill weights", Layout::horizontal({C::fill(1), C::fill(3)}), 8, {2, 6}},
        {"ratio and max",
         Layout::horizontal({C::ratio(1, 4), C::max(5), C::min(0)}),
         40,
         {10, 5, 25}},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(sizes(c.layout, c.total), c.expected) << c.name;
    }
}

TEST(Layout, RectsStayInsideTheAreaAndKeepOrder) {
    const Rect area{5, 3, 17, 9};
    auto rects =
        Layout::horizontal({C::fill(1), C::fill(1), C::fill(1)}).with_spacing(2).split(area);
    ASSERT_EQ(rects.size(), 3u);
    EXPECT_EQ(rects[0].x, 5);
    for (std::size_t i = 0; i < rects.size(); ++i) {
        EXPECT_EQ(rects[i].y, 3);
        EXPECT_EQ(rects[i].height, 9);
        EXPECT_LE(rects[i].right(), area.right());
        if (i > 0) {
            EXPECT_EQ(rects[i].x, rects[i - 1].right() + 2);
        }
    }
    // Spacing wider than the area never pushes a rectangle outside it.
    for (const Rect& r :
         Layout::horizontal({C::length(3), C::length(3)}).with_spacing(50).split(area)) {
        EXPECT_LE(r.right(), area.right());
    }
    // Near the end of the coordinate range nothing wraps.
    for (const Rect& r : Layout::vertical({C::min(10), C::length(5)}).split(Rect{0, 65530, 4, 5})) {
        EXPECT_GE(r.y, 65530);
        EXPECT_LE(std::uint32_t{r.y} + r.height, 65535u);
    }
}

}  // namespace
}  // namespace bramvelt::tui::kit
