// Drives the built program's terminal interface inside tmux, as a user at a terminal
// would: keys in, the screen (with its colours) and the pane's terminal modes out.

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <fstream>
#include <functional>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "support/run_process.hpp"
#include "support/temp_dir.hpp"
#include "support/tmux.hpp"

namespace bramvelt::testing {
namespace {

using namespace std::chrono_literals;

class TuiTest : public ::testing::Test {
  protected:
    void SetUp() override {
        if (!tmux_available()) GTEST_SKIP() << "tmux is not installed";
        home_ = dir_.make_dir("home");
        tree_ = dir_.make_dir("tree");
        dir_.write_file("tree/alpha/deep/one", std::string(64 * 1024, 'a'));
        dir_.write_file("tree/alpha/two", std::string(8 * 1024, 'a'));
        dir_.write_file("tree/beta/one", std::string(24 * 1024, 'b'));
        dir_.write_file("tree/zeta.txt", std::string(4 * 1024, 'z'));
    }

    TempDir dir_;
    ScopedEnv no_color_{"NO_COLOR", nullptr};
    std::string home_;
    ScopedEnv home_env_{"HOME", nullptr};
    std::string tree_;
};

TEST_F(TuiTest, LauncherFolderTableTreemapKeysAndQuit) {
    ScopedEnv home("HOME", home_.c_str());
    Tmux t("walk",
           pane_command("cd " + shell_quoted(tree_) + " && " + shell_quoted(BRAMVELT_BINARY)), 120,
           36);
    ASSERT_TRUE(t.wait_for_text("What should BramVelt look at?"));
    EXPECT_EQ(t.display("#{alternate_on}"), "1");
    EXPECT_EQ(t.display("#{mouse_any_flag}"), "1");
    EXPECT_NE(t.screen().find("▶ This folder"), std::string::npos);

    t.keys({"Enter"});
    ASSERT_TRUE(t.wait_for_text("Scanned in"));
    std::string s = t.screen();
    EXPECT_NE(s.find("3 items · by size"), std::string::npos) << s;
    EXPECT_NE(s.find("Treemap"), std::string::npos);
    EXPECT_LT(s.find("alpha/"), s.find("beta/"));
    EXPECT_LT(s.find("beta/"), s.find("zeta.txt"));
    // Colours: the active tab on accent, the selected row on the selection colour.
    const std::string coloured = t.screen(true);
    EXPECT_NE(coloured.find("48;2;46;212;196"), std::string::npos);
    EXPECT_NE(coloured.find("48;2;44;56;70"), std::string::npos);

    t.keys({"s"});
    ASSERT_TRUE(t.wait_for_text("3 items · by name"));
    EXPECT_NE(t.screen().find("Sorted by name"), std::string::npos);

    t.keys({"/"});
    t.literal("bet");
    ASSERT_TRUE(t.wait_for_text("1 items · by name · “bet”"));
    t.keys({"Enter"});
    t.keys({"Escape"});  // with a filter, Esc only clears it
    ASSERT_TRUE(t.wait_for_text("3 items · by name"));

    t.keys({"Enter"});  // into alpha, the first by name
    ASSERT_TRUE(t.wait_for_text("tree › alpha"));
    ASSERT_TRUE(t.wait_for_text("2 items · by name"));
    t.keys({"Left"});
    ASSERT_TRUE(t.wait_for([](const std::string& screen) {
        return screen.find("tree › alpha") == std::string::npos &&
               screen.find("3 items · by name") != std::string::npos;
    }));

    t.keys({"q"});
    ASSERT_TRUE(t.wait_for_text("EXIT=0"));
    expect_modes_restored(t);
}

TEST_F(TuiTest, TerminalGivenBackAfterSigterm) {
    ScopedEnv home("HOME", home_.c_str());
    const std::string pid_file = dir_ / "pid";
    Tmux t("term",
           pane_command("sh -c " +
                        shell_quoted("echo $$ > " + shell_quoted(pid_file) + "; exec " +
                                     shell_quoted(BRAMVELT_BINARY) + " ui " + shell_quoted(tree_))),
           100, 30);
    ASSERT_TRUE(t.wait_for_text("Scanned in"));
    std::ifstream in(pid_file);
    pid_t pid = 0;
    ASSERT_TRUE(in >> pid);
    ASSERT_EQ(::kill(pid, SIGTERM), 0);
    ASSERT_TRUE(t.wait_for_text("EXIT=143"));
    expect_modes_restored(t);
}

TEST_F(TuiTest, ResizeDuringAScanKeepsTheLoopRunning) {
    ScopedEnv home("HOME", home_.c_str());
    // /usr is large enough for the scan to be running when the window changes size.
    Tmux t("winch", pane_command(shell_quoted(BRAMVELT_BINARY) + " ui /usr"), 80, 24);
    ASSERT_TRUE(t.wait_for_text("/usr"));
    t.tmux({"resize-window", "-x", "130", "-y", "40"});
    ASSERT_TRUE(t.wait_for([](const std::string& s) {
        const auto first_line = s.substr(0, s.find('\n'));
        return first_line.ends_with("v2.0.1 · ? help · q quit") && first_line.size() > 130;
    }));
    t.tmux({"resize-window", "-x", "100", "-y", "30"});
    ASSERT_TRUE(t.wait_for_text("Treemap"));
    t.keys({"?"});
    ASSERT_TRUE(t.wait_for_text("Help · any key closes"));
    t.keys({"x"});
    ASSERT_TRUE(t.wait_for_text_gone("Help ·"));
    t.keys({"q"});
    ASSERT_TRUE(t.wait_for_text("EXIT=0"));
    expect_modes_restored(t);
}

// The desktop's opener often stays in the foreground with the application it started:
// the open key must not freeze the interface behind it, nor kill it.
TEST_F(TuiTest, OpenKeyDoesNotWaitForAnOpenerThatStays) {
    ScopedEnv home("HOME", home_.c_str());
    const std::string bin = dir_.make_dir("bin");
    const std::string opener = bin + "/xdg-open";
    const std::string pid_file = dir_ / "opener.pid";
    const auto write_opener = [&](const std::string& body) {
        const std::string staged = opener + ".new";
        std::ofstream(staged) << "#!/bin/sh\n" << body << "\n";
        ::chmod(staged.c_str(), 0755);
        ASSERT_EQ(::rename(staged.c_str(), opener.c_str()), 0);
    };
    write_opener("exit 7");
    Tmux t("open",
           pane_command("env PATH=" + shell_quoted(bin + ":/usr/bin:/bin") + " " +
                        shell_quoted(BRAMVELT_BINARY) + " ui " + shell_quoted(tree_)),
           100, 30);
    ASSERT_TRUE(t.wait_for_text("Scanned in"));
    t.keys({"o"});
    ASSERT_TRUE(t.wait_for_text("opening BramVelt failed: exit status: 7"));

    write_opener("echo $$ > " + shell_quoted(pid_file) + ".tmp; mv " + shell_quoted(pid_file) +
                 ".tmp " + shell_quoted(pid_file) + "; exec sleep 90");
    t.keys({"o"});
    ASSERT_TRUE(t.wait_for_text("Opened in BramVelt"));
    pid_t pid = 0;
    {
        std::ifstream in(pid_file);
        ASSERT_TRUE(in >> pid);
    }
    // Still answering keys while the opener runs on.
    t.keys({"?"});
    ASSERT_TRUE(t.wait_for_text("Help · any key closes"));
    t.keys({"x"});
    ASSERT_TRUE(t.wait_for_text_gone("Help ·"));
    t.keys({"q"});
    ASSERT_TRUE(t.wait_for_text("EXIT=0"));
    expect_modes_restored(t);
    EXPECT_EQ(::kill(pid, 0), 0) << "the opener was ended by the interface";
    ::kill(pid, SIGKILL);
}

}  // namespace
}  // namespace bramvelt::testing
