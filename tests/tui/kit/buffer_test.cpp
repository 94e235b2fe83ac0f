#include <gtest/gtest.h>

#include <string>

#include "src/tui/kit/buffer.hpp"
#include "src/tui/kit/graphemes.hpp"

namespace bramvelt::tui::kit {
namespace {

TEST(Graphemes, WidthsAndClusters) {
    EXPECT_EQ(display_width("abc"), 3u);
    EXPECT_EQ(display_width("日本"), 4u);
    EXPECT_EQ(display_width("e\u0301"), 1u);       // e + combining acute: one cluster
    EXPECT_EQ(display_width("\u2764\uFE0F"), 2u);  // emoji presentation
    EXPECT_EQ(display_width("\u2764"), 1u);
    EXPECT_EQ(display_width(""), 0u);
    // Clusters as terminals draw them: a flag is two regional indicators in two cells, a
    // lone indicator one cell; a joined family is one wide cluster.
    EXPECT_EQ(display_width("\U0001F1E9\U0001F1EA"), 2u);
    EXPECT_EQ(display_width("\U0001F1E9"), 1u);
    EXPECT_EQ(display_width("\U0001F1E9\U0001F1EA\U0001F1EB\U0001F1F7"), 4u);  // two flags
    EXPECT_EQ(display_width("\U0001F468\u200D\U0001F469\u200D\U0001F467"), 2u);
    EXPECT_EQ(display_width("\u263A\uFE0Fx"), 3u);
    EXPECT_EQ(symbol_width("\U0001F1E9\U0001F1EA"), 2);
    EXPECT_EQ(symbol_width("\u263A\uFE0F"), 2);
    EXPECT_EQ(symbol_width("\uFE0F"), 0);  // a selector with no base stays zero-width

    GraphemeIterator it("e\u0301x");
    std::string symbol;
    int width = 0;
    ASSERT_TRUE(it.next(symbol, width));
    EXPECT_EQ(symbol, "e\u0301");
    EXPECT_EQ(width, 1);
    ASSERT_TRUE(it.next(symbol, width));
    EXPECT_EQ(symbol, "x");
    EXPECT_FALSE(it.next(symbol, width));
}

TEST(Buffer, ControlCharactersNeverReachACell) {
    Buffer buf(Rect{0, 0, 10, 1});
    buf.set_string(0, 0, "a\x1b[2Jb\x07\xC2\x9B\x7F", Style{});
    for (const Cell& c : buf.content()) {
        for (unsigned char b : c.symbol) {
            EXPECT_GE(b, 0x20) << "raw control byte in a cell";
            EXPECT_NE(b, 0x7F);
        }
    }
    EXPECT_EQ(buf.row_text(0), "a\uFFFD[2Jb\uFFFD\uFFFD\uFFFD ");

    Cell cell;
    cell.set_symbol("\x1b");
    EXPECT_EQ(cell.symbol, "\uFFFD");
    cell.set_symbol("\xFF");  // invalid UTF-8
    EXPECT_EQ(cell.symbol, "\uFFFD");
    cell.set_symbol("");
    EXPECT_EQ(cell.symbol, " ");
}

TEST(Buffer, SetStringClipsAtEdgesAndWideCharacters) {
    Buffer buf(Rect{0, 0, 5, 2});
    // A wide character that would straddle the right edge is left out whole.
    EXPECT_EQ(buf.set_string(0, 0, "abcd日", Style{}), 4);
    EXPECT_EQ(buf.row_text(0), "abcd ");
    // The cell under the second half of a wide character is reset.
    buf.set_string(0, 1, "xyz", Style{});
    buf.set_string(1, 1, "日", Style{});
    EXPECT_EQ(buf.at(2, 1).symbol, " ");
    EXPECT_EQ(buf.row_text(1), "x日  ");
    // Positions outside the buffer, zero widths and huge texts are harmless.
    EXPECT_EQ(buf.set_string(9, 9, "abc", Style{}), 9);
    buf.set_stringn(0, 0, "abc", 0, Style{});
    buf.set_string(0, 0, std::string(100000, 'q'), Style{});
    EXPECT_EQ(buf.row_text(0), "qqqqq");
    Buffer empty(Rect{0, 0, 0, 0});
    empty.set_string(0, 0, "abc", Style{});
    EXPECT_EQ(empty.cell(0, 0), nullptr);
}

TEST(Buffer, StylePatchesOnlyWhatItSets) {
    Buffer buf(Rect{0, 0, 3, 1});
    const Color red = Color::rgb(255, 0, 0);
    const Color blue = Color::rgb(0, 0, 255);
    buf.set_style(Rect{0, 0, 3, 1}, fg_bg(red, blue).bold());
    buf.set_style(Rect{1, 0, 5, 5}, Style{}.with_fg(blue).remove(Modifier::Bold));
    EXPECT_EQ(buf.at(0, 0).fg, red);
    EXPECT_TRUE(has(buf.at(0, 0).modifier, Modifier::Bold));
    EXPECT_EQ(buf.at(1, 0).fg, blue);
    EXPECT_EQ(buf.at(1, 0).bg, blue);
    EXPECT_FALSE(has(buf.at(2, 0).modifier, Modifier::Bold));
}

TEST(Buffer, DiffWritesChangedCellsAndSkipsWideHalves) {
    Buffer before(Rect{0, 0, 4, 2});
    Buffer after(Rect{0, 0, 4, 2});
    EXPECT_TRUE(after.diff(before).empty());

    after.set_string(1, 0, "日", Style{});
    auto updates = after.diff(before);
    ASSERT_EQ(updates.size(), 1u);  // the hidden half is not written
    EXPECT_EQ(updates[0].x, 1);
    EXPECT_EQ(updates[0].cell->symbol, "日");

    // Replacing the wide character with narrow ones rewrites the hidden cell too.
    Buffer narrow(Rect{0, 0, 4, 2});
    narrow.set_string(1, 0, "a", Style{});
    updates = narrow.diff(after);
    ASSERT_EQ(updates.size(), 2u);
    EXPECT_EQ(updates[0].x, 1);
    EXPECT_EQ(updates[1].x, 2);
}

}  // namespace
}  // namespace bramvelt::tui::kit
