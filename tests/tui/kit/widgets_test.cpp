#include <gtest/gtest.h>

#include <cmath>
#include <string>
#include <vector>

#include "platform/utf8.hpp"
#include "src/tui/kit/block.hpp"
#include "src/tui/kit/clear.hpp"
#include "src/tui/kit/gauge.hpp"
#include "src/tui/kit/list.hpp"
#include "src/tui/kit/paragraph.hpp"
#include "src/tui/kit/table.hpp"
#include "src/tui/kit/terminal.hpp"

namespace bramvelt::tui::kit {
namespace {

constexpr Color kRed = Color::rgb(200, 0, 0);
constexpr Color kBlue = Color::rgb(0, 0, 200);
constexpr Color kGreen = Color::rgb(0, 200, 0);

std::vector<std::string> rows(const Buffer& buf) {
    std::vector<std::string> out;
    for (std::uint16_t y = buf.area().y; y < buf.area().bottom(); ++y) {
        out.push_back(buf.row_text(y));
    }
    return out;
}

Buffer filled(Rect area, char c) {
    Buffer buf(area);
    for (std::uint16_t y = area.y; y < area.bottom(); ++y) {
        buf.set_string(area.x, y, std::string(area.width, c), Style{});
    }
    return buf;
}

TEST(BlockWidget, RoundedBordersWithTitlesTopAndBottom) {
    Buffer buf(Rect{0, 0, 12, 4});
    Block block = Block::bordered();
    block.border_type = BorderType::Rounded;
    block.border_style = fg(kRed);
    block.title(Line(Span(" Top ", fg(kBlue).bold())));
    block.title(Line("R"), TitlePosition::Top, Alignment::Right);
    block.title(Line("mid"), TitlePosition::Bottom, Alignment::Center);
    block.title_bottom(Line("b"));
    block.render(buf.area(), buf);
    EXPECT_EQ(rows(buf), (std::vector<std::string>{
                             "╭ Top ────R╮",
                             "│          │",
                             "│          │",
                             "╰b──mid────╯",
                         }));
    EXPECT_EQ(buf.at(0, 0).fg, kRed);
    EXPECT_EQ(buf.at(2, 0).fg, kBlue);  // title style over the border style
    EXPECT_TRUE(has(buf.at(2, 0).modifier, Modifier::Bold));
    EXPECT_FALSE(has(buf.at(7, 0).modifier, Modifier::Bold));
    EXPECT_EQ(block.inner(buf.area()), (Rect{1, 1, 10, 2}));
}

// A flag and an emoji presentation sequence take two cells each, as the terminal draws
// them, so a full row ends exactly at the frame's right border; padding and cutting count
// them the same way.
TEST(BlockWidget, FlagsAndEmojiSequencesKeepTheRightBorderInPlace) {
    const std::string flag = "\U0001F1E9\U0001F1EA";
    const std::string heart = "\u2764\uFE0F";
    Buffer buf(Rect{0, 0, 8, 3});
    Paragraph(Text(Line(flag + heart + "abcd")))
        .with_block(Block::bordered())
        .render(buf.area(), buf);
    EXPECT_EQ(buf.at(1, 1).symbol, flag);
    EXPECT_EQ(buf.at(3, 1).symbol, heart);
    EXPECT_EQ(buf.at(5, 1).symbol, "a");
    EXPECT_EQ(buf.at(6, 1).symbol, "b");
    EXPECT_EQ(buf.at(7, 1).symbol, "│");
    EXPECT_EQ(buf.row_text(1), "│" + flag + heart + "ab│");

    Buffer right(Rect{0, 0, 5, 1});
    Line(flag + "x").aligned(Alignment::Right).render(right.area(), right);
    EXPECT_EQ(right.at(2, 0).symbol, flag);
    EXPECT_EQ(right.at(4, 0).symbol, "x");

    Buffer cut(Rect{0, 0, 4, 1});
    EXPECT_EQ(cut.set_stringn(0, 0, "a" + flag + "b", 2, Style{}), 1);
    EXPECT_EQ(cut.row_text(0), "a   ");
}

TEST(BlockWidget, LeftTitleWinsWhereTitlesOverlap) {
    Buffer buf(Rect{0, 0, 10, 2});
    Block block = Block::bordered();
    block.title(Line("RRRR"), TitlePosition::Top, Alignment::Right);
    block.title(Line("LLLLLL"));
    block.title(Line("cc"), TitlePosition::Bottom, Alignment::Center);
    block.title(Line("LLLL"), TitlePosition::Bottom);
    block.render(buf.area(), buf);
    EXPECT_EQ(rows(buf), (std::vector<std::string>{"┌LLLLLLRR┐", "└LLLLc───┘"}));
}

TEST(BlockWidget, StyleFillsInsideAndTinyAreasDoNotOverflow) {
    Buffer buf = filled(Rect{0, 0, 6, 3}, 'x');
    Block block = Block::bordered();
    block.style = fg_bg(kGreen, kBlue);
    block.title(Line("a very long title"));
    block.render(buf.area(), buf);
    EXPECT_EQ(buf.at(3, 1).bg, kBlue);
    EXPECT_EQ(buf.at(3, 1).symbol, "x");  // the inside keeps its symbols
    EXPECT_EQ(buf.row_text(0), "┌a ve┐");

    for (Rect area : {Rect{0, 0, 0, 0}, Rect{0, 0, 1, 1}, Rect{0, 0, 2, 1}, Rect{4, 2, 10, 10}}) {
        Buffer small(Rect{0, 0, 6, 3});
        block.render(area, small);
        const Rect inner = block.inner(area);
        EXPECT_LE(inner.right(), std::max(area.right(), area.x));
    }
    EXPECT_EQ(Block::bordered().inner(Rect{0, 0, 1, 1}).area(), 0u);
}

TEST(ParagraphWidget, WrapsAtWordsWithAndWithoutTrimming) {
    const Text text(Line("  one two three four"));
    struct Case {
        std::optional<LeadingSpace> wrap;
        std::vector<std::string> expected;
    };
    const std::vector<Case> cases = {
        {std::nullopt, {"  one two ", "          ", "          "}},
        {LeadingSpace::Trim, {"one two   ", "three four", "          "}},
        {LeadingSpace::Keep, {"  one two ", "three four", "          "}},
    };
    for (const Case& c : cases) {
        Buffer buf(Rect{0, 0, 10, 3});
        Paragraph p(text);
        if (c.wrap) p.wrapped(*c.wrap);
        p.render(buf.area(), buf);
        EXPECT_EQ(rows(buf), c.expected)
            << (c.wrap ? (*c.wrap == LeadingSpace::Trim ? "trim" : "keep") : "no wrap");
    }

    // A word longer than the line breaks inside the word.
    Buffer buf(Rect{0, 0, 4, 3});
    Paragraph(Text(Line("abcdefghij"))).wrapped(LeadingSpace::Trim).render(buf.area(), buf);
    EXPECT_EQ(rows(buf), (std::vector<std::string>{"abcd", "efgh", "ij  "}));
}

std::vector<std::string> wrapped_rows(std::string_view text, std::uint16_t width,
                                      LeadingSpace leading_space) {
    Buffer buf(Rect{0, 0, width, 8});
    Paragraph(Text::raw(text)).wrapped(leading_space).render(buf.area(), buf);
    std::vector<std::string> out;
    for (std::string row : rows(buf)) {
        while (!row.empty() && row.back() == ' ') row.pop_back();
        out.push_back(row);
    }
    while (!out.empty() && out.back().empty()) out.pop_back();
    return out;
}

TEST(ParagraphWidget, WordWrapTable) {
    struct Case {
        std::string text;
        std::uint16_t width;
        LeadingSpace leading_space;
        std::vector<std::string> expected;
    };
    const std::vector<Case> cases = {
        {"abcd efghij klmnopabcd efgh ijklmnopabcdefg hijkl mnopab c d e f g h i j k l m n o",
         20,
         LeadingSpace::Trim,
         {"abcd efghij", "klmnopabcd efgh", "ijklmnopabcdefg", "hijkl mnopab c d e f",
          "g h i j k l m n o"}},
        {"AAAAAAAAAAAAAAAAAAAA    AAA", 20, LeadingSpace::Keep, {"AAAAAAAAAAAAAAAAAAAA", "   AAA"}},
        {"AAA AAA AAAAA AA AAAAAA\n B\n  C\n   D",
         10,
         LeadingSpace::Keep,
         {"AAA AAA", "AAAAA AA", "AAAAAA", " B", "  C", "   D"}},
        {"AAA AAA AAAAA AA AAAAAA\n B\n  C\n   D",
         10,
         LeadingSpace::Trim,
         {"AAA AAA", "AAAAA AA", "AAAAAA", "B", "C", "D"}},
        {"               4 Indent\n                 must wrap!",
         10,
         LeadingSpace::Keep,
         {"", "    4", "Indent", "", "      must", "wrap!"}},
        {"日本語 テキスト", 6, LeadingSpace::Trim, {"日本語", "テキス", "ト"}},
        {"abcd efghij klmnopabcdefghijklmnopabcdefghijkl mnopab cdefghi j klmno",
         20,
         LeadingSpace::Trim,
         {"abcd efghij", "klmnopabcdefghijklmn", "opabcdefghijkl", "mnopab cdefghi j", "klmno"}},
        {"コンピュ ータ上で文字を扱う場合、 典型的には文 字による 通信を行 う場合にその両端点"
         "では、",
         20,
         LeadingSpace::Trim,
         {"コンピュ", "ータ上で文字を扱う場", "合、 典型的には文", "字による 通信を行",
          "う場合にその両端点で", "は、"}},
        // A no-break space holds its neighbours together.
        {"AAAAAAAAAAAAAAA AAAA AAA", 20, LeadingSpace::Trim, {"AAAAAAAAAAAAAAA", "AAAA AAA"}},
        {"ab cd", 1, LeadingSpace::Trim, {"a", "b", "c", "d"}},
        {"a" + std::string(60, ' ') + "b", 20, LeadingSpace::Trim, {"a", "b"}},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(wrapped_rows(c.text, c.width, c.leading_space), c.expected) << c.text;
    }
}

TEST(ParagraphWidget, RightAlignedLineDrawsOverExistingCells) {
    Buffer buf = filled(Rect{0, 0, 10, 2}, '.');
    Paragraph(Text(Line(Span("v1", fg(kRed)))))
        .aligned(Alignment::Right)
        .render(Rect{0, 0, 10, 1}, buf);
    EXPECT_EQ(buf.row_text(0), "........v1");
    EXPECT_EQ(buf.at(8, 0).fg, kRed);
    EXPECT_TRUE(buf.at(7, 0).fg.reset);

    Paragraph centred(Text(Line("ab")));
    centred.aligned(Alignment::Center).render(Rect{0, 1, 10, 1}, buf);
    EXPECT_EQ(buf.row_text(1), "....ab....");
}

TEST(ParagraphWidget, CentredLinesTakeHalfTheAreaLessHalfTheLine) {
    // An odd line in an even area leans right; in an odd area both ways agree.
    struct Case {
        std::string line;
        std::uint16_t width;
        std::string expected;
    };
    const std::vector<Case> cases = {
        {"abc", 10, "....abc..."},          {"abc", 9, "...abc..."},
        {"abcd", 9, "..abcd..."},           {"a", 2, ".a"},
        {"abcdefghijkl", 10, "abcdefghij"},  // wider than the area: cut at its end
    };
    for (const Case& c : cases) {
        Buffer buf = filled(Rect{0, 0, c.width, 1}, '.');
        Paragraph(Text(Line(c.line))).aligned(Alignment::Center).render(buf.area(), buf);
        EXPECT_EQ(buf.row_text(0), c.expected) << c.line << " in " << c.width;
    }
    // Inside a block, several lines, each centred on its own width.
    Buffer buf(Rect{0, 0, 10, 4});
    Paragraph p(Text(std::vector<Line>{Line("x"), Line("1 files")}));
    p.with_block(Block::bordered()).aligned(Alignment::Center).render(buf.area(), buf);
    EXPECT_EQ(rows(buf),
              (std::vector<std::string>{"┌────────┐", "│    x   │", "│ 1 files│", "└────────┘"}));
}

TEST(TextRaw, SplitsLinesAsTypedTextIsShown) {
    struct Case {
        std::string text;
        std::vector<std::string> lines;
    };
    const std::vector<Case> cases = {
        {"", {""}},           {"a", {"a"}},       {"a\n", {"a"}},
        {"a\r\n", {"a"}},     {"\n", {""}},       {"a\n\nb", {"a", "", "b"}},
        {"a\n\n", {"a", ""}}, {"a\rb", {"a\rb"}},  // a lone carriage return does not split
    };
    for (const Case& c : cases) {
        const Text t = Text::raw(c.text);
        std::vector<std::string> got;
        for (const Line& l : t.lines) got.push_back(l.spans.at(0).content);
        EXPECT_EQ(got, c.lines) << c.text;
    }
}

TEST(ParagraphWidget, StylesLayerAndBlockInset) {
    Buffer buf(Rect{0, 0, 8, 3});
    Text text(
        std::vector<Line>{Line(std::vector<Span>{Span("a"), Span("b", fg(kRed))}, fg(kBlue))});
    Paragraph p(text);
    p.with_style(Style{}.with_bg(kGreen)).with_block(Block::bordered());
    p.render(buf.area(), buf);
    EXPECT_EQ(buf.row_text(1), "│ab    │");
    EXPECT_EQ(buf.at(1, 1).fg, kBlue);
    EXPECT_EQ(buf.at(2, 1).fg, kRed);
    EXPECT_EQ(buf.at(2, 1).bg, kGreen);
    EXPECT_EQ(buf.at(0, 0).bg, kGreen);
}

TEST(ParagraphWidget, HostileTextDrawsSafely) {
    Buffer buf(Rect{0, 0, 5, 2});
    Paragraph(Text::raw("ab\x1b]0;evil\x07\nwide日日日")).render(buf.area(), buf);
    EXPECT_EQ(buf.row_text(0), "ab\uFFFD]0");
    EXPECT_EQ(buf.row_text(1), "wide ");  // the wide character at the edge is left out
    // Width 1 with wide characters only: nothing fits, nothing overflows.
    Buffer narrow(Rect{0, 0, 1, 3});
    Paragraph(Text(Line("日本語"))).wrapped(LeadingSpace::Trim).render(narrow.area(), narrow);
    EXPECT_EQ(rows(narrow), (std::vector<std::string>{" ", " ", " "}));
    Paragraph(Text(Line(std::string(200000, 'z'))))
        .wrapped(LeadingSpace::Trim)
        .render(narrow.area(), narrow);
    EXPECT_EQ(rows(narrow), (std::vector<std::string>{"z", "z", "z"}));
}

TEST(ListWidget, HighlightSymbolStyleAndScrolling) {
    List list;
    for (const char* name : {"one", "two", "three", "four"}) {
        list.items.emplace_back(Text(std::vector<Line>{Line(name), Line("-")}));
    }
    list.highlight_symbol = "▶ ";
    list.highlight_style = fg(kRed);
    list.items[1].style = Style{}.with_bg(kBlue);

    ListState state;
    state.selected = 2;
    Buffer buf(Rect{0, 0, 8, 4});
    list.render(buf.area(), buf, state);
    // Only two items of two lines fit; the list scrolled so that item 2 is shown.
    EXPECT_EQ(state.offset, 1u);
    EXPECT_EQ(rows(buf),
              (std::vector<std::string>{"  two   ", "  -     ", "▶ three ", "  -     "}));
    EXPECT_EQ(buf.at(0, 0).bg, kBlue);
    EXPECT_EQ(buf.at(0, 2).fg, kRed);  // the whole selected item takes the highlight
    EXPECT_EQ(buf.at(7, 3).fg, kRed);
    EXPECT_TRUE(buf.at(2, 0).fg.reset);

    // Without a selection nothing is indented; a selection past the end is clamped.
    ListState none;
    Buffer plain(Rect{0, 0, 5, 2});
    list.render(plain.area(), plain, none);
    EXPECT_EQ(plain.row_text(0), "one  ");
    ListState beyond;
    beyond.selected = 99;
    list.render(plain.area(), plain, beyond);
    EXPECT_EQ(beyond.selected, 3u);
    EXPECT_EQ(plain.row_text(0), "▶ fou");
    Buffer empty(Rect{0, 0, 0, 0});
    list.render(empty.area(), empty, beyond);

    // An empty list has nothing selected and starts again from its top.
    List nothing;
    nothing.highlight_symbol = "▶ ";
    ListState stale;
    stale.selected = 3;
    stale.offset = 2;
    nothing.render(plain.area(), plain, stale);
    EXPECT_FALSE(stale.selected.has_value());
    EXPECT_EQ(stale.offset, 0u);
}

TEST(TableWidget, ColumnConstraintsSpacingAndRowStyles) {
    Table table;
    table.widths = {Constraint::length(1), Constraint::fill(1), Constraint::length(4)};
    table.header =
        Row({TableCell(Text("")), TableCell(Text("Name")), TableCell(Text("Size"))}, fg(kBlue));
    Line size("12");
    size.aligned(Alignment::Right);
    table.rows.push_back(
        Row({TableCell(Text("▍")), TableCell(Text("a-long-name")), TableCell(Text(size))},
            Style{}.with_bg(kGreen).bold()));
    table.rows.push_back(Row({TableCell(Text("x")), TableCell(Text("b")), TableCell(Text("7"))}));
    table.rows.push_back(Row({TableCell(Text("hidden"))}));
    Block block = Block::bordered();
    table.block = block;
    Buffer buf(Rect{0, 0, 14, 5});
    table.render(buf.area(), buf);
    EXPECT_EQ(rows(buf), (std::vector<std::string>{
                             "┌────────────┐",
                             "│  Name  Size│",
                             "│▍ a-lon   12│",
                             "│x b     7   │",
                             "└────────────┘",
                         }));
    EXPECT_EQ(buf.at(2, 1).fg, kBlue);
    // The row style covers the column spacing as well.
    EXPECT_EQ(buf.at(2, 2).bg, kGreen);
    EXPECT_TRUE(has(buf.at(8, 2).modifier, Modifier::Bold));
    EXPECT_TRUE(buf.at(2, 3).bg.reset);

    const auto cols = table.column_widths(12);
    ASSERT_EQ(cols.size(), 3u);
    EXPECT_EQ(cols[1], (std::pair<std::uint16_t, std::uint16_t>{2, 5}));
    EXPECT_EQ(cols[2], (std::pair<std::uint16_t, std::uint16_t>{8, 4}));
}

TEST(TableWidget, FixedColumnsKeepTheirWidthsAndTheRestGoesToTheLastFill) {
    // Five fixed columns and one taking the rest, spaced by one: inside two borders the
    // last column gets the width less 71.
    Table table;
    table.widths = {Constraint::length(3),  Constraint::length(10), Constraint::length(5),
                    Constraint::length(20), Constraint::length(26), Constraint::fill(1)};
    for (std::uint16_t width : {100, 71, 140}) {
        const auto cols = table.column_widths(static_cast<std::uint16_t>(width - 2));
        ASSERT_EQ(cols.size(), 6u);
        EXPECT_EQ(cols[5].second, width - 71) << width;
        EXPECT_EQ(cols[1], (std::pair<std::uint16_t, std::uint16_t>{4, 10}));
    }
    // Fixed columns only: a wide table keeps them and leaves the rest blank, so a
    // right-aligned last column stays where its width puts it.
    table.widths = {Constraint::length(4), Constraint::length(3)};
    Line right("7");
    right.aligned(Alignment::Right);
    table.rows = {Row({TableCell(Text("ab")), TableCell(Text(right))})};
    Buffer buf(Rect{0, 0, 12, 1});
    table.render(buf.area(), buf);
    EXPECT_EQ(buf.row_text(0), "ab     7    ");
}

TEST(TableWidget, TableStyleLiesUnderTheBorders) {
    Table table;
    table.widths = {Constraint::fill(1)};
    table.style = Style{}.with_bg(kGreen);
    Block block = Block::bordered();
    block.border_style = fg(kRed);
    table.block = block;
    Buffer buf(Rect{0, 0, 5, 3});
    table.render(buf.area(), buf);
    EXPECT_EQ(buf.at(0, 0).bg, kGreen);
    EXPECT_EQ(buf.at(0, 0).fg, kRed);
    EXPECT_EQ(buf.at(2, 1).bg, kGreen);
}

TEST(GaugeWidget, FillsWholeCellsWithACentredLabel) {
    Gauge gauge;
    gauge.ratio = 0.5;
    gauge.label = Span("ab");
    gauge.gauge_style = fg_bg(kRed, kBlue);
    Buffer buf(Rect{0, 0, 10, 1});
    gauge.render(buf.area(), buf);
    EXPECT_EQ(buf.row_text(0), "████ab    ");
    EXPECT_EQ(buf.at(0, 0).fg, kRed);
    EXPECT_EQ(buf.at(0, 0).bg, kBlue);
    // Over the filled part the label shows swapped colours; past it, the plain ones.
    EXPECT_EQ(buf.at(4, 0).fg, kBlue);
    EXPECT_EQ(buf.at(4, 0).bg, kRed);
    EXPECT_EQ(buf.at(5, 0).fg, kRed);
    EXPECT_EQ(buf.at(5, 0).bg, kBlue);

    for (double ratio : {-3.0, std::nan(""), 7.0}) {
        gauge.ratio = ratio;
        gauge.label.reset();
        Buffer b(Rect{0, 0, 6, 1});
        gauge.render(b.area(), b);
        EXPECT_EQ(b.row_text(0), ratio > 1 ? "█100%█" : "  0%  ");
    }
}

TEST(ClearWidget, ResetsCellsInsideTheAreaOnly) {
    Buffer buf = filled(Rect{0, 0, 4, 2}, 'x');
    buf.set_style(buf.area(), fg(kRed).bold());
    Clear{}.render(Rect{1, 0, 10, 1}, buf);
    EXPECT_EQ(rows(buf), (std::vector<std::string>{"x   ", "xxxx"}));
    EXPECT_EQ(buf.at(1, 0), Cell{});
    EXPECT_EQ(buf.at(0, 0).fg, kRed);
}

}  // namespace
}  // namespace bramvelt::tui::kit

namespace bramvelt::tui::kit {
namespace {

// Every widget, given hostile text, drawn into degenerate and out-of-range areas: the
// sanitizers catch any write outside the buffer, and no cell may hold a control byte.
TEST(AllWidgets, DegenerateAreasAndHostileTextDrawSafely) {
    const std::string hostile =
        "\x1b[31m日本\t\r\n\x7f\xC2\x9B\xFF" + std::string(5000, 'w') + "語";
    const Text text = Text::raw(hostile, fg(Color::rgb(1, 2, 3)));
    Block block = Block::bordered();
    block.border_type = BorderType::Rounded;
    block.title(Line(hostile)).title(Line(hostile), TitlePosition::Bottom, Alignment::Right);
    block.title(Line(hostile), TitlePosition::Top, Alignment::Center);

    const std::vector<Rect> areas = {
        Rect{0, 0, 0, 0},         Rect{0, 0, 1, 1},
        Rect{0, 0, 2, 1},         Rect{0, 0, 1, 5},
        Rect{3, 2, 40, 40},       Rect{5, 0, 1, 3},
        Rect{65535, 65535, 0, 0}, Rect::make(65530, 65530, 100, 100),
        Rect{0, 0, 7, 4},
    };
    for (const Rect& area : areas) {
        Buffer buf(Rect{0, 0, 7, 4});
        block.render(area, buf);
        Paragraph p(text);
        p.with_block(block);
        p.render(area, buf);
        p.wrapped(LeadingSpace::Trim).render(area, buf);
        p.wrapped(LeadingSpace::Keep).aligned(Alignment::Right).render(area, buf);
        List list;
        list.items = {ListItem(text), ListItem(text)};
        list.block = block;
        list.highlight_symbol = hostile;
        ListState state;
        state.selected = 1;
        list.render(area, buf, state);
        Table table;
        table.widths = {Constraint::length(3), Constraint::fill(1), Constraint::min(2)};
        table.header = Row({TableCell(text), TableCell(text), TableCell(text)});
        table.rows = {Row({TableCell(text), TableCell(text), TableCell(text), TableCell(text)})};
        table.block = block;
        table.render(area, buf);
        Gauge gauge;
        gauge.ratio = 0.7;
        gauge.label = Span(hostile);
        gauge.block = block;
        gauge.render(area, buf);
        Line(hostile).aligned(Alignment::Center).render(area, buf);
        Clear{}.render(Rect{0, 0, 2, 2}, buf);
        for (const Cell& c : buf.content()) {
            for (unsigned char b : c.symbol) {
                ASSERT_TRUE(b >= 0x20 && b != 0x7F) << "control byte in a cell";
            }
            ASSERT_EQ(c.symbol.find("\xC2\x9B"), std::string::npos);
        }
        EXPECT_TRUE(platform::is_valid_utf8(render_diff(Buffer(buf.area()), buf, Colors::On)));
    }
}

// Anchored at the bottom, the last produced rows stay in view however the lines wrap.
TEST(ParagraphWidget, BottomAnchorKeepsTheLastRows) {
    Buffer buf(Rect{0, 0, 6, 3});
    Paragraph(Text(std::vector<Line>{Line("one"), Line("two three four"), Line("last")}))
        .wrapped(LeadingSpace::Trim)
        .anchored(Anchor::Bottom)
        .render(buf.area(), buf);
    EXPECT_EQ(buf.row_text(0), "three ");
    EXPECT_EQ(buf.row_text(1), "four  ");
    EXPECT_EQ(buf.row_text(2), "last  ");
}

}  // namespace
}  // namespace bramvelt::tui::kit
