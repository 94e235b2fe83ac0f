#include "src/tui/widgets.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <string>
#include <vector>

#include "platform/utf8.hpp"
#include "src/tui/kit/clear.hpp"
#include "src/tui/kit/graphemes.hpp"

namespace bramvelt::tui {
namespace {

using kit::Buffer;
using kit::Rect;

std::string repeat(std::string_view s, std::size_t n) {
    std::string out;
    for (std::size_t i = 0; i < n; ++i) out += s;
    return out;
}

TEST(Truncate, KeepsStartOrEndByCharacters) {
    struct Case {
        std::string text;
        std::size_t max;
        std::string start;
        std::string end;
    };
    const std::string a4 = repeat("ä", 4);
    const std::vector<Case> cases = {
        {"abcdef", 4, "…def", "abc…"},
        {"abcdef", 6, "abcdef", "abcdef"},
        {"abcdef", 60, "abcdef", "abcdef"},
        {"abcdef", 2, "…f", "a…"},
        {"abcdef", 1, "…", "…"},
        {"ab", 1, "…", "…"},
        {"a", 1, "a", "a"},
        {"abcdef", 0, "", ""},
        {"", 0, "", ""},
        {a4, 3, "…ää", "ää…"},
        {"日本語テキスト", 4, "…キスト", "日本語…"},  // wide characters count as one
        // A name that is not UTF-8: each stray byte is drawn as one replacement character
        // and counts as one.
        {std::string(6, '\x80'), 4, "…\x80\x80\x80", "\x80\x80\x80…"},
        {"ab\xFF\xFE"
         "cd",
         5,
         "…\xFF\xFE"
         "cd",
         "ab\xFF\xFE…"},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(truncate_start(c.text, c.max), c.start) << c.text << " " << c.max;
        EXPECT_EQ(truncate_end(c.text, c.max), c.end) << c.text << " " << c.max;
        for (const std::string& cut :
             {truncate_start(c.text, c.max), truncate_end(c.text, c.max)}) {
            EXPECT_LE(kit::display_width(cut), c.max * 2) << c.text;
            Buffer buf(Rect{0, 0, 40, 1});
            buf.set_string(0, 0, cut, kit::Style{});
            std::size_t drawn = 0;
            for (const kit::Cell& cell : buf.content()) {
                drawn += cell.symbol != " " ? 1 : 0;
            }
            EXPECT_LE(drawn, c.max) << c.text << " " << c.max;
        }
    }
}

TEST(Truncate, ToWidthKeepsTheStartByCells) {
    const std::string flag = "\U0001F1E9\U0001F1EA";
    struct Case {
        std::string text;
        std::size_t cells;
        std::string expected;
    };
    const std::vector<Case> cases = {
        {"abcdef", 6, "abcdef"},
        {"abcdef", 4, "abc…"},
        {"abcdef", 1, "…"},
        {"abcdef", 0, ""},
        {"", 0, ""},
        {"日本語テキスト", 14, "日本語テキスト"},
        {"日本語テキスト", 7, "日本語…"},
        {"日本語テキスト", 6, "日本…"},  // a wide cluster that would straddle is left out
        {"wide漢字フォルダ", 11, "wide漢字フ…"},
        {"e\u0301tude", 3, "e\u0301t…"},
        {flag + flag + "x", 4, flag + "…"},
    };
    for (const Case& c : cases) {
        const std::string cut = truncate_end_to_width(c.text, c.cells);
        EXPECT_EQ(cut, c.expected) << c.text << " " << c.cells;
        EXPECT_LE(kit::display_width(cut), c.cells) << c.text << " " << c.cells;
    }
}

TEST(UsageBar, FullPartialAndEmptyCells) {
    struct Case {
        std::size_t width;
        double ratio;
        std::string expected;
    };
    const double nan = std::numeric_limits<double>::quiet_NaN();
    const double inf = std::numeric_limits<double>::infinity();
    const std::vector<Case> cases = {
        {10, 0.5, repeat("█", 5) + "     "},
        {10, 1.0, repeat("█", 10)},
        {10, 7.0, repeat("█", 10)},
        {10, -1.0, std::string(10, ' ')},
        {10, nan, std::string(10, ' ')},
        {10, inf, std::string(10, ' ')},
        {4, 0.3, "█▎  "},
        {0, 0.5, ""},
        {1, 1.0, "█"},
        {8, 1.0 / 64.0, "▏       "},
        {8, 0.99, repeat("█", 7) + "▉"},
        {12, 0.0, std::string(12, ' ')},
    };
    for (const Case& c : cases) {
        const std::string bar = usage_bar(c.width, c.ratio);
        EXPECT_EQ(bar, c.expected) << c.width << " " << c.ratio;
        EXPECT_EQ(platform::count_code_points(bar), c.width);
    }
}

TEST(InputLine, LabelTextAndCursorBar) {
    const kit::Line line = input_line("Search:", "q ä");
    ASSERT_EQ(line.spans.size(), 3u);
    EXPECT_EQ(line.spans[0].content, " Search: ");
    EXPECT_EQ(line.spans[0].style, kit::fg(palette::kAccent).bold());
    EXPECT_EQ(line.spans[1].content, "q ä");
    EXPECT_EQ(line.spans[1].style, kit::Style{});
    EXPECT_EQ(line.spans[2].content, "▏");
    EXPECT_EQ(line.spans[2].style, kit::fg(palette::kAccent));
    EXPECT_EQ(line.style, kit::Style{});
    EXPECT_FALSE(line.alignment.has_value());

    // An empty text puts the cursor bar right after the label; a typed escape sequence
    // is drawn as replacement characters, never sent raw.
    Buffer buf(Rect{0, 0, 14, 1});
    input_line("Folder:", "").render(buf.area(), buf);
    EXPECT_EQ(buf.row_text(0), " Folder: ▏    ");
    input_line("Folder:", "\x1b[2J").render(buf.area(), buf);
    EXPECT_EQ(buf.row_text(0), " Folder: \uFFFD[2J▏");
}

TEST(PanelBlocks, BordersTitlesAndPopupFill) {
    Buffer buf(Rect{0, 0, 10, 4});
    buf.set_string(0, 1, "xxxxxxxxxx", kit::Style{});
    panel_block(" Start ", Focus::Focused).render(buf.area(), buf);
    EXPECT_EQ(buf.row_text(0), "╭ Start ─╮");
    EXPECT_EQ(buf.row_text(3), "╰────────╯");
    EXPECT_EQ(buf.row_text(1), "│xxxxxxxx│");
    EXPECT_EQ(buf.at(0, 0).fg, palette::kAccent);
    EXPECT_EQ(buf.at(2, 0).fg, palette::kLight);
    EXPECT_TRUE(kit::has(buf.at(2, 0).modifier, kit::Modifier::Bold));
    EXPECT_FALSE(kit::has(buf.at(0, 0).modifier, kit::Modifier::Bold));
    EXPECT_TRUE(buf.at(4, 1).bg.reset);  // no fill inside a panel

    Buffer unfocused(Rect{0, 0, 4, 3});
    panel_block("", Focus::Unfocused).render(unfocused.area(), unfocused);
    EXPECT_EQ(unfocused.row_text(0), "╭──╮");
    EXPECT_EQ(unfocused.row_text(1), "│  │");
    EXPECT_EQ(unfocused.row_text(2), "╰──╯");
    EXPECT_EQ(unfocused.at(0, 1).fg, palette::kDim);
    EXPECT_EQ(panel_block(" T ", Focus::Unfocused).inner(Rect{0, 0, 10, 5}), (Rect{1, 1, 8, 3}));

    Buffer popup(Rect{0, 0, 12, 4});
    kit::Clear{}.render(popup.area(), popup);
    popup_block(" Help ").render(popup.area(), popup);
    for (const kit::Cell& c : popup.content()) {
        EXPECT_EQ(c.bg, palette::kSurface);
    }
    EXPECT_EQ(popup.at(5, 2).fg, palette::kLight);
    EXPECT_EQ(popup.at(0, 0).fg, palette::kAccent);
    EXPECT_EQ(popup.row_text(0), "╭ Help ────╮");
    EXPECT_EQ(table_panel_block(std::string(" 3 items "), Focus::Focused)
                  .titles.at(0)
                  .line.spans.at(0)
                  .content,
              " 3 items ");
}

TEST(TabLabel, ActiveAndInactiveStyles) {
    const kit::Line active = tab_label("Disk", "1", Tab::Active);
    ASSERT_EQ(active.spans.size(), 3u);
    EXPECT_EQ(active.spans[0].content, " 1 ");
    EXPECT_EQ(active.spans[1].content, "Disk ");
    EXPECT_EQ(active.spans[2].content, " ");
    const kit::Style on = kit::fg_bg(palette::kDarkText, palette::kAccent).bold();
    EXPECT_EQ(active.spans[0].style, on);
    EXPECT_EQ(active.spans[1].style, on);
    EXPECT_EQ(active.spans[2].style, kit::Style{});
    const kit::Line inactive = tab_label("Dev cleanup", "2", Tab::Inactive);
    EXPECT_EQ(inactive.spans[0].style, kit::fg(palette::kAccent).bold());
    EXPECT_EQ(inactive.spans[1].style, kit::fg(palette::kMuted));
}

TEST(CenteredRect, FitsAndCentres) {
    EXPECT_EQ(centered_rect(Rect{0, 0, 80, 24}, 64, 9), (Rect{8, 7, 64, 9}));
    EXPECT_EQ(centered_rect(Rect{2, 1, 10, 5}, 64, 9), (Rect{2, 1, 10, 5}));
    EXPECT_EQ(centered_rect(Rect{0, 0, 7, 3}, 2, 2), (Rect{2, 0, 2, 2}));
    EXPECT_EQ(centered_rect(Rect{0, 0, 0, 0}, 5, 5), (Rect{0, 0, 0, 0}));
}

kit::KeyEvent ch(char32_t c, std::uint8_t mods = kit::key_modifiers::None) {
    kit::KeyEvent k;
    k.code = kit::KeyCode::Char;
    k.ch = c;
    k.modifiers = mods;
    return k;
}

kit::KeyEvent code(kit::KeyCode c) {
    kit::KeyEvent k;
    k.code = c;
    return k;
}

TEST(EditTextInput, EditingKeysAtTheEnd) {
    const auto ctrl = kit::key_modifiers::Control;
    std::string text;
    EXPECT_TRUE(edit_text_input(text, code(kit::KeyCode::Backspace)));  // a change even when empty
    EXPECT_TRUE(edit_text_input(text, ch(U'q')));
    EXPECT_TRUE(edit_text_input(text, ch(U'ä')));
    EXPECT_EQ(text, "qä");
    EXPECT_TRUE(edit_text_input(text, code(kit::KeyCode::Backspace)));
    EXPECT_EQ(text, "q");  // a whole character, not a byte
    EXPECT_FALSE(edit_text_input(text, ch(U'a', ctrl)));
    EXPECT_FALSE(edit_text_input(text, code(kit::KeyCode::Left)));
    EXPECT_FALSE(edit_text_input(text, code(kit::KeyCode::Delete)));
    EXPECT_EQ(text, "q");

    text = "~/src/my project";
    const std::vector<std::string> after_ctrl_w = {"~/src/my ", "~/src/my", "~/src/", "~/src",
                                                   "~/",        "~",        "",       ""};
    for (const std::string& expected : after_ctrl_w) {
        EXPECT_TRUE(edit_text_input(text, ch(U'w', ctrl)));
        EXPECT_EQ(text, expected);
    }
    text = "abc";
    EXPECT_TRUE(edit_text_input(text, ch(U'u', ctrl)));
    EXPECT_EQ(text, "");
}

TEST(PasteTextInput, AppendsWhatTypingCouldProduce) {
    struct Case {
        std::string pasted;
        std::string appended;
    };
    const std::vector<Case> cases = {
        {"/srv/data dir", "/srv/data dir"},
        {"/srv/a\r\n", "/srv/a"},
        {"one\ttwo\nthree", "onetwothree"},
        {"\x1b[31mred\x07", "[31mred"},
        {"nel\u0085line\u2028para\u2029end\u007f", "nellineparaend"},
        {"gr\u00fc\u00dfe \u6f22\u5b57", "gr\u00fc\u00dfe \u6f22\u5b57"},
        // A path that is not UTF-8 keeps its bytes, so it still opens.
        {"/tmp/bad\xff\xfe", "/tmp/bad\xff\xfe"},
    };
    for (const Case& c : cases) {
        std::string text = "x";
        EXPECT_EQ(paste_text_input(text, c.pasted), !c.appended.empty()) << c.pasted;
        EXPECT_EQ(text, "x" + c.appended) << c.pasted;
    }
    std::string text = "x";
    EXPECT_FALSE(paste_text_input(text, "\r\n\t"));
    EXPECT_EQ(text, "x");
}

}  // namespace
}  // namespace bramvelt::tui
