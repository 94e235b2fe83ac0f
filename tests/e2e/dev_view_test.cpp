// The development view in a real terminal (tmux): a Cargo project's build output is
// selected, reviewed and deleted, or left in place when the confirmation is declined.

#include <gtest/gtest.h>
#include <pwd.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "support/run_process.hpp"
#include "support/temp_dir.hpp"

namespace bramvelt::testing {
namespace {

using namespace std::chrono_literals;
namespace fs = std::filesystem;

std::string quoted(const std::string& text) {
    std::string out = "'";
    for (char c : text) out += c == '\'' ? std::string("'\\''") : std::string(1, c);
    return out + "'";
}

std::string account_home() {
    const passwd* entry = ::getpwuid(::getuid());
    return entry && entry->pw_dir ? entry->pw_dir : "/";
}

class DevTmux {
  public:
    DevTmux(const std::string& name, const std::string& command)
        : socket_("bvd-" + std::to_string(::getpid()) + "-" + name) {
        const auto r = tmux({"new-session", "-d", "-x", "120", "-y", "30", command});
        EXPECT_EQ(r.status, 0) << r.err;
    }
    ~DevTmux() { tmux({"kill-server"}); }
    DevTmux(const DevTmux&) = delete;
    DevTmux& operator=(const DevTmux&) = delete;

    ProcessResult tmux(std::vector<std::string> args) const {
        args.insert(args.begin(), {"-L", socket_, "-f", "/dev/null"});
        return run_process("tmux", args);
    }
    std::string screen() const { return tmux({"capture-pane", "-p"}).out; }
    std::string display(const std::string& format) const {
        std::string out = tmux({"display-message", "-p", format}).out;
        while (!out.empty() && out.back() == '\n') out.pop_back();
        return out;
    }
    void keys(const std::vector<std::string>& keys) const {
        std::vector<std::string> args{"send-keys"};
        args.insert(args.end(), keys.begin(), keys.end());
        tmux(args);
    }
    bool wait_for_text(const std::string& text, std::chrono::milliseconds limit = 60s) const {
        const auto deadline = std::chrono::steady_clock::now() + limit;
        std::string last;
        while (std::chrono::steady_clock::now() < deadline) {
            last = screen();
            if (last.find(text) != std::string::npos) return true;
            std::this_thread::sleep_for(50ms);
        }
        ADD_FAILURE() << "never shown: " << text << "\n" << last;
        return false;
    }

  private:
    std::string socket_;
};

class DevViewTui : public ::testing::Test {
  protected:
    void SetUp() override {
        if (run_process("/bin/sh", {"-c", "command -v tmux"}).status != 0) {
            GTEST_SKIP() << "tmux is not installed";
        }
        tmp_.write_file("ws/rust/Cargo.toml", "[package]\nname = \"r\"\n");
        tmp_.write_file("ws/rust/src/main.rs", "fn main() {}\n");
        tmp_.write_file("ws/rust/target/debug/app", std::string(20'000, 'x'));
    }
    // `after` runs in the pane once the program has ended.
    std::string command(const std::string& after = "sleep 600") const {
        return "env HOME=" + quoted(account_home()) + " XDG_DATA_HOME=" + quoted(tmp_ / "data") +
               " GIT_CONFIG_NOSYSTEM=1 GIT_CONFIG_GLOBAL=/dev/null LC_ALL=C.UTF-8 NO_COLOR= " +
               quoted(BRAMVELT_BINARY) + " dev -i " + quoted(tmp_ / "ws") + "; " + after;
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
    DevTmux t("stop", command("echo \"EXIT=$?\"; stty -a | tr ' ;' '\\n\\n' | "
                              "grep -E '^-?(icanon|echo|isig)$' | tr '\\n' ' '; echo END; "
                              "sleep 600"));
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
    EXPECT_EQ(t.display("#{alternate_on}"), "0");
    EXPECT_EQ(t.display("#{cursor_flag}"), "1");
    EXPECT_EQ(t.display("#{mouse_any_flag}#{mouse_button_flag}#{mouse_standard_flag}"
                        "#{mouse_sgr_flag}"),
              "0000");
    EXPECT_NE(t.screen().find("isig icanon echo END"), std::string::npos) << t.screen();
}

}  // namespace
}  // namespace bramvelt::testing
