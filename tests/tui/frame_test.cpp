#include "src/tui/frame.hpp"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "src/tui/launcher.hpp"
#include "src/tui/volumes.hpp"
#include "src/tui/widgets.hpp"
#include "tests/tui/tree_fixture.hpp"

namespace bramvelt::tui {
namespace {

using kit::Buffer;
using kit::Rect;

std::string cells(const Buffer& buf, std::uint16_t x, std::uint16_t y, std::uint16_t n) {
    std::string out;
    for (std::uint16_t i = 0; i < n; ++i) out += buf.cell(x + i, y)->symbol;
    return out;
}

// Mount points of the tests' own df lines do not exist here.
bool any_folder(const std::string&) {
    return true;
}

struct Fixture {
    std::pair<UiSender, UiReceiver> channel = make_channel<UiMessage>();
    App app{channel.first};
    DrawClock clock;

    Fixture() {
        app.launcher = build_launcher_entries("/work", "/home/u", {});
        clock.monotonic = std::chrono::steady_clock::now();
        clock.unix_seconds = 1'700'000'000;
    }
    Buffer draw(std::uint16_t w, std::uint16_t h) {
        Buffer buf(Rect{0, 0, w, h});
        draw_frame(app, buf, buf.area(), clock);
        return buf;
    }
};

TEST(Frame, TitleBarTabsAndVersionFrom66Columns) {
    Fixture f;
    Buffer narrow = f.draw(65, 20);
    EXPECT_EQ(narrow.row_text(0).find("v2.0.1"), std::string::npos);
    EXPECT_EQ(cells(narrow, 0, 0, 12), " ◐ bramvelt ");
    EXPECT_EQ(narrow.at(3, 0).fg, palette::kAccent);
    EXPECT_EQ(narrow.at(7, 0).fg, palette::kLight);
    Buffer wide = f.draw(66, 20);
    EXPECT_EQ(cells(wide, 41, 0, 25), "v2.0.1 · ? help · q quit ");
    EXPECT_EQ(wide.at(41, 0).fg, palette::kMuted);
    // The active tab in dark text on accent; the other key in accent, label muted.
    EXPECT_EQ(cells(wide, 13, 0, 9), " 1 Disk  ");
    EXPECT_EQ(wide.at(14, 0).bg, palette::kAccent);
    EXPECT_EQ(wide.at(14, 0).fg, palette::kDarkText);
    EXPECT_EQ(wide.at(17, 0).bg, palette::kAccent);
    EXPECT_EQ(wide.at(21, 0).bg, palette::kSurface);
    EXPECT_EQ(cells(wide, 22, 0, 15), " 2 Dev cleanup ");
    EXPECT_EQ(wide.at(23, 0).fg, palette::kAccent);
    EXPECT_EQ(wide.at(26, 0).fg, palette::kMuted);
    EXPECT_EQ(wide.at(26, 0).bg, palette::kSurface);
    f.app.view = ActiveView::Development;  // the styles swap
    Buffer swapped = f.draw(66, 20);
    EXPECT_EQ(swapped.at(14, 0).fg, palette::kAccent);
    EXPECT_EQ(swapped.at(26, 0).bg, palette::kAccent);
    // Every cell has the surface background unless something else set it.
    EXPECT_EQ(wide.at(30, 10).bg, palette::kSurface);
    EXPECT_EQ(wide.at(0, 19).fg, palette::kLight);
}

TEST(Frame, FooterShowsTheHintsOfTheScreenInFront) {
    Fixture f;
    Buffer buf = f.draw(100, 30);
    EXPECT_TRUE(
        buf.row_text(29).starts_with(" ↑↓ choose  Enter open  / type a path  2 dev cleanup  "));
    EXPECT_EQ(buf.at(1, 29).fg, palette::kAccent);
    EXPECT_EQ(buf.at(4, 29).fg, palette::kMuted);
    f.app.path_input = "/tm";
    buf = f.draw(100, 30);
    EXPECT_TRUE(buf.row_text(29).starts_with(" Enter scan  Esc cancel  ^U clear  "));
}

TEST(Frame, StatusBoxSizeAndPlacement) {
    Fixture f;
    set_status(f.app, std::string(200, 's'), f.clock.monotonic);
    Buffer buf = f.draw(80, 24);  // body: rows 1..22, 80 wide
    // 78 columns (body width − 2), one free column at the right, one free row below.
    EXPECT_EQ(buf.at(1, 19).symbol, "╭");
    EXPECT_EQ(buf.at(78, 19).symbol, "╮");
    EXPECT_EQ(buf.at(1, 21).symbol, "╰");
    EXPECT_EQ(buf.row_text(20), " │" + std::string(76, 's') + "│ ");
    EXPECT_EQ(buf.at(40, 20).bg, palette::kSurface);

    set_status(f.app, "Sorted by name", f.clock.monotonic);
    Buffer small = f.draw(80, 24);
    EXPECT_EQ(cells(small, 61, 20, 18), "│ Sorted by name │");
    EXPECT_EQ(small.at(61, 19).symbol, "╭");

    // Gone after 4 seconds; a clock that went back keeps it.
    f.clock.monotonic += std::chrono::seconds(4);
    EXPECT_EQ(f.draw(80, 24).row_text(20).find("Sorted"), std::string::npos);
    f.clock.monotonic -= std::chrono::seconds(10);
    EXPECT_NE(f.draw(80, 24).row_text(20).find("Sorted"), std::string::npos);

    // Bodies of 7 columns or of 3 rows show no box.
    f.clock.monotonic += std::chrono::seconds(6);
    set_status(f.app, "QQQ", f.clock.monotonic);
    for (auto [w, h] : {std::pair<std::uint16_t, std::uint16_t>{7, 20}, {40, 3}}) {
        const Buffer tiny = f.draw(w, h);
        for (std::uint16_t y = 0; y < h; ++y) {
            EXPECT_EQ(tiny.row_text(y).find("QQQ"), std::string::npos) << w << "x" << h;
        }
    }
}

TEST(Frame, HelpOverlaySizeAndTables) {
    Fixture f;
    f.app.help_open = true;
    Buffer launcher = f.draw(100, 40);
    // Launcher: 7 lines + 3 = 10 rows, 76 wide, centred in the whole frame.
    EXPECT_EQ(launcher.at(12, 15).symbol, "╭");
    EXPECT_EQ(cells(launcher, 12, 15, 25), "╭ Help · any key closes ─");
    EXPECT_EQ(launcher.at(87, 24).symbol, "╯");
    EXPECT_EQ(cells(launcher, 13, 18, 38), "        ↑↓ Enter  Choose what to scan ");
    EXPECT_EQ(cells(launcher, 13, 21, 49), "             1 2  Disk map · Development cleanup ");

    // Disk view: 19 rows; on 60 × 15 the whole frame, from the top-left corner.
    f.app.disk.root = "/r";
    Buffer small = f.draw(60, 15);
    EXPECT_EQ(small.at(0, 0).symbol, "╭");
    EXPECT_EQ(small.at(59, 14).symbol, "╯");
    Buffer disk = f.draw(100, 40);
    EXPECT_EQ(disk.at(12, 10).symbol, "╭");
    EXPECT_EQ(disk.at(12, 28).symbol, "╰");
    EXPECT_EQ(help_rows(f.app).size(), 11u);
    f.app.view = ActiveView::Development;
    EXPECT_EQ(help_rows(f.app).size(), 12u);
}

TEST(Frame, LauncherPanelAndItems) {
    Fixture f;
    f.app.launcher = build_launcher_entries(
        "/work", "/home/u",
        parse_df_output("h\n"
                        "/a 1000 800 0 0% /mnt/Eighty\n"
                        "/b 1000 950 0 0% /mnt/NinetyFive\n"
                        "/c 1000 750 0 0% /mnt/A volume title longer than twenty-four\n",
                        any_folder));
    ASSERT_EQ(f.app.launcher.size(), 7u);
    f.app.launcher.pop_back();
    ASSERT_EQ(f.app.launcher.size(), 6u);
    // Six entries: 84 × 27 centred in a body of 120 × 48.
    Buffer buf = f.draw(120, 50);
    const std::uint16_t left = 18;
    const std::uint16_t top = 1 + (48 - 27) / 2;
    EXPECT_EQ(cells(buf, left, top + 5, 9), "╭ Start ─");
    EXPECT_EQ(buf.at(left + 83, top + 5).symbol, "╮");
    EXPECT_EQ(buf.at(left, top + 24).symbol, "╰");
    EXPECT_EQ(buf.at(left, top + 25).symbol, " ");  // the input area
    EXPECT_EQ(cells(buf, left, top + 1, 31), "◐ What should BramVelt look at?");
    // The highlighted first item in accent with its marker.
    EXPECT_EQ(cells(buf, left + 1, top + 6, 13), "▶ This folder");
    EXPECT_EQ(buf.at(left + 3, top + 6).fg, palette::kAccent);
    EXPECT_EQ(cells(buf, left + 1, top + 9, 6), "  Home");
    EXPECT_EQ(buf.at(left + 3, top + 9).fg, palette::kLight);
    EXPECT_EQ(buf.at(left + 3, top + 10).fg, palette::kMuted);
    // Volume bars: 80 % warning, 95 % error, exactly 75 % accent.
    EXPECT_EQ(buf.at(left + 27, top + 12).fg, palette::kWarning);
    EXPECT_EQ(buf.at(left + 27, top + 12).bg, palette::kDim);
    EXPECT_EQ(buf.at(left + 27, top + 15).fg, palette::kError);
    EXPECT_EQ(buf.at(left + 27, top + 18).fg, palette::kAccent);
    EXPECT_EQ(cells(buf, left + 3, top + 18, 24), "A volume title longer t…");
    EXPECT_EQ(cells(buf, left + 45, top + 12, 26), "  200.0 KiB free of 1000.0");
}

TEST(Frame, LauncherScrollsOnASmallScreen) {
    Fixture f;
    std::string df = "h\n";
    for (int i = 0; i < 10; ++i) df += "/d 10 1 9 1% /mnt/v" + std::to_string(i) + "\n";
    f.app.launcher = build_launcher_entries("/work", "/home/u", parse_df_output(df, any_folder));
    ASSERT_EQ(f.app.launcher.size(), 14u);
    f.app.launcher_selected = 13;
    Buffer buf = f.draw(100, 40);
    std::string all;
    for (std::uint16_t y = 0; y < 40; ++y) all += buf.row_text(y) + "\n";
    EXPECT_NE(all.find("▶ Another folder…"), std::string::npos);
    EXPECT_EQ(all.find("This folder"), std::string::npos);
}

TEST(Frame, TinyTerminalsDrawWithoutHarm) {
    Fixture f;
    f.app.help_open = true;
    set_status(f.app, "hello", f.clock.monotonic);
    for (auto [w, h] :
         {std::pair<std::uint16_t, std::uint16_t>{1, 1}, {20, 5}, {2, 40}, {300, 2}}) {
        (void)f.draw(w, h);
        f.app.disk = DiskView{};
        const ScanTicket t = begin_disk_scan(f.app.disk, "/r");
        apply_disk_message(
            f.app.disk, t.generation,
            DiskSnapshot{testing::folder("/r", {testing::file("/r/日本語\x07", 5)})});
        (void)f.draw(w, h);
        f.app.disk = DiskView{};
    }
}

}  // namespace
}  // namespace bramvelt::tui
