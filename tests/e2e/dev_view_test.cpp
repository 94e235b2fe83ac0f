// The development view in a real terminal (tmux): a Cargo project's build output is
// selected, reviewed and deleted, or left in place when the confirmation is declined.

#include <gtest/gtest.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "support/account_home.hpp"
#include "support/run_process.hpp"
#include "support/temp_dir.hpp"
#include "support/tmux.hpp"

namespace bramvelt::testing {
namespace {

using namespace std::chrono_literals;
namespace fs = std::filesystem;

// Every session of these tests: 120 × 30.
class DevTmux : public Tmux {
  public:
    DevTmux(const std::string& name, const std::string& command)
        : Tmux("dev-" + name, command, 120, 30) {}
};

class DevViewTui : public ::testing::Test {
  protected:
    void SetUp() override {
        if (!tmux_available()) GTEST_SKIP() << "tmux is not installed";
        tmp_.write_file("ws/rust/Cargo.toml", "[package]\nname = \"r\"\n");
        tmp_.write_file("ws/rust/src/main.rs", "fn main() {}\n");
        tmp_.write_file("ws/rust/target/debug/app", std::string(20'000, 'x'));
    }
    std::string program() const {
        return "env HOME=" + shell_quoted(account_home()) +
               " XDG_DATA_HOME=" + shell_quoted(tmp_ / "data") +
               " GIT_CONFIG_NOSYSTEM=1 GIT_CONFIG_GLOBAL=/dev/null LC_ALL=C.UTF-8 NO_COLOR= " +
               shell_quoted(BRAMVELT_BINARY) + " dev -i " + shell_quoted(tmp_ / "ws");
    }
    // `after` runs in the pane once the program has ended.
    std::string command(const std::string& after = kHoldPane) const {
        return program() + "; " + after;
    }
    // Selects the build output, opens the review, chooses deletion and asks to confirm.
    void review_delete(const DevTmux& t) const {
        ASSERT_TRUE(t.wait_for_text("Cargo build output"));
        ASSERT_TRUE(t.wait_for_text("can be reviewed"));
        t.keys({"Space"});
        ASSERT_TRUE(t.wait_for_text("[✓]"));
        t.keys({"Enter"});
        ASSERT_TRUE(t.wait_for_text("Review cleanup"));
        t.keys({"d"});
        ASSERT_TRUE(t.wait_for_text("Delete 1 item permanently"));
        t.keys({"Enter"});
        ASSERT_TRUE(t.wait_for_text("Are you sure? Press y to delete 1 item permanently."));
    }

    TempDir tmp_;
};

TEST_F(DevViewTui, SelectReviewDeleteAndConfirm) {
    DevTmux t("delete", command());
    review_delete(t);
    t.keys({"y"});
    ASSERT_TRUE(t.wait_for_text("Cleanup finished"));
    EXPECT_FALSE(fs::exists(tmp_ / "ws/rust/target"));
    EXPECT_TRUE(fs::exists(tmp_ / "ws/rust/Cargo.toml"));
    t.keys({"Enter"});
    // Closing searches again; the quick search's own status follows at once.
    ASSERT_TRUE(t.wait_for_text("No development clutter found here"));
    t.keys({"q"});
}

TEST_F(DevViewTui, DecliningTheConfirmationLeavesEverything) {
    DevTmux t("decline", command());
    review_delete(t);
    t.keys({"n"});
    ASSERT_TRUE(t.wait_for_text("Enter  Delete 1 item permanently"));
    t.keys({"Escape"});
    ASSERT_TRUE(t.wait_for_text("Space to review"));
    EXPECT_TRUE(fs::exists(tmp_ / "ws/rust/target/debug/app"));
    t.keys({"q"});
}

TEST_F(DevViewTui, MoveToTheTrash) {
    DevTmux t("trash", command());
    ASSERT_TRUE(t.wait_for_text("can be reviewed"));
    t.keys({"Enter"});  // nothing selected: the row under the cursor
    ASSERT_TRUE(t.wait_for_text("Move 1 item to Trash"));
    t.keys({"Enter"});
    ASSERT_TRUE(t.wait_for_text("Press y to move 1 item to trash."));
    t.keys({"y"});
    ASSERT_TRUE(t.wait_for_text("Cleanup finished"));
    EXPECT_TRUE(t.wait_for_text("Empty the Trash to reclaim the space."));
    EXPECT_FALSE(fs::exists(tmp_ / "ws/rust/target"));
    EXPECT_TRUE(fs::exists(tmp_ / "data/Trash/files/target")) << t.screen();
    t.keys({"q"});
}

// Ctrl-C while a real run works through many items: the run stops, the dialog tells
// what was done, nothing after the stop is touched, and a second Ctrl-C quits with the
// terminal given back.
TEST_F(DevViewTui, CtrlCStopsARunningCleanupThenQuits) {
    constexpr int kProjects = 150;
    const auto project = [](int i) {
        const std::string n = std::to_string(i);
        return "ws/q" + std::string(3 - n.size(), '0') + n;
    };
    const auto target = [&](int i) { return tmp_ / (project(i) + "/target"); };
    for (int i = 0; i < kProjects; ++i) {
        tmp_.write_file(project(i) + "/Cargo.toml", "[package]\nname = \"q\"\n");
        tmp_.write_file(project(i) + "/src/main.rs", "fn main() {}\n");
        tmp_.write_file(project(i) + "/target/debug/app", std::string(6000, 'x'));
        tmp_.write_file(project(i) + "/target/debug/deps/lib.rlib", std::string(3000, 'y'));
    }
    DevTmux t("stop", pane_command(program()));
    ASSERT_TRUE(t.wait_for_text("can be reviewed", 60s));
    t.keys({"a"});
    ASSERT_TRUE(t.wait_for_text("Selected 151 eligible items"));
    t.keys({"Enter"});
    ASSERT_TRUE(t.wait_for_text("Review cleanup"));
    t.keys({"d"});
    t.keys({"Enter"});
    ASSERT_TRUE(t.wait_for_text("Press y to delete 151 items permanently."));
    t.keys({"y"});
    ASSERT_TRUE(t.wait_for_text("✓ removed"));
    t.keys({"C-c"});
    ASSERT_TRUE(t.wait_for_text("Cleanup finished", 60s));
    const std::string report = t.screen();
    EXPECT_NE(report.find("■ stopped"), std::string::npos) << report;
    EXPECT_EQ(report.find("· 0 stopped"), std::string::npos) << "the run ended first:\n" << report;

    // What the folders say, in the run's order (by path, so the fixture's own "rust"
    // project comes last): removed items first, then at most one partly removed, then
    // everything left as it was.
    int removed = 0;
    int partial = 0;
    bool stopped = false;
    for (int i = 0; i < kProjects; ++i) {
        const bool whole =
            fs::exists(target(i) + "/debug/app") && fs::exists(target(i) + "/debug/deps/lib.rlib");
        if (!fs::exists(target(i))) {
            EXPECT_FALSE(stopped) << target(i) << " removed after the stop";
            ++removed;
        } else if (!whole) {
            EXPECT_FALSE(stopped) << target(i) << " touched after the stop";
            ++partial;
            stopped = true;
        } else {
            stopped = true;
        }
    }
    EXPECT_GE(removed, 1);
    EXPECT_LE(partial, 1);
    EXPECT_TRUE(stopped);
    EXPECT_TRUE(fs::exists(tmp_ / "ws/rust/target/debug/app"));
    EXPECT_NE(report.find(std::to_string(removed) + " done · 0 kept · "), std::string::npos)
        << report;

    t.keys({"C-c"});
    ASSERT_TRUE(t.wait_for_text("EXIT=0"));
    expect_modes_restored(t);
}

// A folder whose name is not UTF-8 beside one named with U+FFFD where its bad bytes are,
// which holds clutter: on every road into the search, the first is refused by name and
// nothing of the second is listed in its place.
TEST(DevViewNotUtf8, FolderIsRefusedNotSearchedUnderItsText) {
    if (!tmux_available()) GTEST_SKIP() << "tmux is not installed";
    TempDir tmp;
    const std::string home = tmp.make_dir("home");
    const std::string bad = tmp.write_file(
        "bytes/bad\xff\xfe"
        "name/own.bin",
        std::string(64 * 1024, 'b'));
    tmp.write_file("bytes/bad\uFFFD\uFFFDname/package.json", "{\"name\": \"twin\"}\n");
    tmp.write_file("bytes/bad\uFFFD\uFFFDname/node_modules/left-pad/index.js",
                   "module.exports = 1;\n");
    tmp.make_dir("bytes/plain");
    const std::string link = tmp / "link";
    ASSERT_EQ(::symlink(fs::path(bad).parent_path().c_str(), link.c_str()), 0);

    struct Road {
        std::string name;
        std::string args;
        std::function<void(const Tmux&)> steps;
    };
    const std::vector<Road> roads{
        {"map", "ui " + shell_quoted(tmp / "bytes"),
         [](const Tmux& t) {
             ASSERT_TRUE(t.wait_for_text("Scanned in"));
             t.keys({"Enter"});  // the larger of the two rows: the folder that is not UTF-8
             ASSERT_TRUE(t.wait_for_text("own.bin"));
             t.keys({"c"});
         }},
        {"working", "ui " + shell_quoted(link),
         [](const Tmux& t) {
             ASSERT_TRUE(t.wait_for_text("own.bin"));
             t.keys({"c"});
         }},
        {"dev", "dev -i " + shell_quoted(link), [](const Tmux&) {}},
        {"list", "dev -i " + shell_quoted(tmp / "bytes/plain"),
         [&link](const Tmux& t) {
             ASSERT_TRUE(t.wait_for_text("No development clutter found here"));
             t.keys({"o"});
             ASSERT_TRUE(t.wait_for_text("Scan folders"));
             t.keys({"C-u"});
             t.literal(link);
             t.keys({"Enter"});
         }},
    };
    for (const Road& road : roads) {
        SCOPED_TRACE(road.name);
        Tmux t("dev-bytes-" + road.name,
               "env HOME=" + shell_quoted(home) + " LC_ALL=C.UTF-8 NO_COLOR= " +
                   shell_quoted(BRAMVELT_BINARY) + " " + road.args + "; " + kHoldPane,
               160, 30);
        road.steps(t);
        // A miss is reported with its screen; the other roads still run.
        if (!t.wait_for_text("✗ Folder names that are not UTF-8 text cannot be searched: ")) {
            continue;
        }
        const std::string s = t.screen();
        const std::size_t header = s.find("cannot be searched: ");
        const std::string row = s.substr(header, s.find('\n', header) - header);
        EXPECT_NE(row.find("/bytes/bad\uFFFD\uFFFDname"), std::string::npos) << s;
        EXPECT_EQ(s.find("node_modules"), std::string::npos) << s;
        EXPECT_EQ(s.find("os error"), std::string::npos) << s;
        EXPECT_NE(s.find("No development clutter found here"), std::string::npos) << s;
        t.keys({"q"});
    }
}

}  // namespace
}  // namespace bramvelt::testing
