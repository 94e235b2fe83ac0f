// The disk view's table beside the treemap in a real terminal (tmux) at the widths where
// a table of 54 per cent once left the names no room: every name keeps 20 cells.

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "support/temp_dir.hpp"
#include "support/tmux.hpp"

namespace bramvelt::testing {
namespace {

const std::vector<std::string> kNames = {
    "quarterly-report-2024-final.pdf",
    "holiday-photos-from-the-coast",
    "unfinished-novel-chapter-draft.md",
    "recordings-of-the-band-rehearsal",
};

TEST(TuiLayout, EveryNameKeepsTwentyCellsBesideTheTreemap) {
    if (!tmux_available()) GTEST_SKIP() << "tmux is not installed";
    TempDir dir;
    const std::string home = dir.make_dir("home");
    const std::string tree = dir.make_dir("tree");
    for (std::size_t i = 0; i < kNames.size(); ++i) {
        dir.write_file("tree/" + kNames[i], std::string((i + 1) * 8 * 1024, 'x'));
    }
    for (const int width : {90, 100, 110}) {
        SCOPED_TRACE(width);
        Tmux t("layout-" + std::to_string(width),
               "env HOME=" + shell_quoted(home) + " NO_COLOR=1 LC_ALL=C.UTF-8 " +
                   shell_quoted(BRAMVELT_BINARY) + " ui " + shell_quoted(tree) + "; " + kHoldPane,
               width, 30);
        ASSERT_TRUE(t.wait_for_text("Scanned in"));
        ASSERT_TRUE(t.wait_for_text("4 items · by size"));
        const std::string screen = t.screen();
        // At 90 columns the treemap would leave the table too little: the table alone.
        EXPECT_EQ(screen.find("Treemap") != std::string::npos, width != 90) << screen;
        // In the table, after the row's colour marker and the column gap (the treemap's
        // tiles carry names too).
        for (const std::string& name : kNames) {
            EXPECT_NE(screen.find("▍ " + name.substr(0, 20)), std::string::npos) << name << "\n"
                                                                                 << screen;
        }
        t.keys({"q"});
    }
}

}  // namespace
}  // namespace bramvelt::testing
