// The interface as a Linux user meets it, in a real terminal (tmux): pasting into the
// text lines, Ctrl with a letter in the development view, a stop and `fg` from the
// shell, the machine's volumes in the launcher, and a folder whose name is not UTF-8.

#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <chrono>
#include <fstream>
#include <string>

#include "support/temp_dir.hpp"
#include "support/tmux.hpp"

namespace bramvelt::testing {
namespace {

using namespace std::chrono_literals;

class TuiLinux : public ::testing::Test {
  protected:
    void SetUp() override {
        if (!tmux_available()) GTEST_SKIP() << "tmux is not installed";
        home_ = dir_.make_dir("home");
        tree_ = dir_.make_dir("tree");
        dir_.write_file("tree/alpha/one", std::string(64 * 1024, 'a'));
        dir_.write_file("tree/beta/one", std::string(24 * 1024, 'b'));
        dir_.write_file("tree/zeta.txt", std::string(4 * 1024, 'z'));
    }

    // The program in the pane, started in `folder` with our HOME and no colours.
    std::string program(const std::string& folder, const std::string& args = "") const {
        return "cd " + shell_quoted(folder) + " && env HOME=" + shell_quoted(home_) +
               " NO_COLOR=1 " + shell_quoted(BRAMVELT_BINARY) + args;
    }

    TempDir dir_;
    std::string home_;
    std::string tree_;
};

// A paste fills the open line (its line break does not act as Enter) and is dropped
// where no line is open, so a pasted letter never acts as a key.
TEST_F(TuiLinux, PasteGoesIntoTheOpenTextLine) {
    Tmux t("paste", pane_command(program(dir_.path())), 110, 32);
    ASSERT_TRUE(t.wait_for_text("What should BramVelt look at?"));
    const auto paste = [&](const std::string& text) {
        ASSERT_EQ(t.tmux({"set-buffer", "--", text}).status, 0);
        ASSERT_EQ(t.tmux({"paste-buffer", "-p"}).status, 0);
    };

    paste("q");  // the launcher list: dropped
    t.keys({"/"});
    ASSERT_TRUE(t.wait_for_text("Folder:"));
    paste(tree_ + "\n");
    ASSERT_TRUE(t.wait_for_text("Folder: " + tree_ + "▏"));
    EXPECT_EQ(t.screen().find("Scanned in"), std::string::npos);
    t.keys({"Enter"});
    ASSERT_TRUE(t.wait_for_text("Scanned in"));
    ASSERT_TRUE(t.wait_for_text("3 items · by size"));

    paste("s");  // no line open: not the sort key
    t.keys({"/"});
    paste("bet\r\n");
    ASSERT_TRUE(t.wait_for_text("1 items · by size · “bet”"));
    t.keys({"Enter"});
    t.keys({"q"});
    ASSERT_TRUE(t.wait_for_text("EXIT=0"));
    expect_modes_restored(t);
}

TEST_F(TuiLinux, CtrlWithALetterWorksInTheDevelopmentView) {
    dir_.write_file("ws/rust/Cargo.toml", "[package]\nname = \"r\"\n");
    dir_.write_file("ws/rust/src/main.rs", "fn main() {}\n");
    dir_.write_file("ws/rust/target/debug/app", std::string(20'000, 'x'));
    Tmux t("ctrl", pane_command(program(dir_.path(), " dev -i " + shell_quoted(dir_ / "ws"))), 120,
           30);
    ASSERT_TRUE(t.wait_for_text("Cargo build output"));
    ASSERT_TRUE(t.wait_for_text("can be reviewed"));
    t.keys({"C-s"});
    ASSERT_TRUE(t.wait_for_text("Sorted oldest change first"));
    t.keys({"C-a"});
    ASSERT_TRUE(t.wait_for_text("Selected 1 eligible items"));
    ASSERT_TRUE(t.wait_for_text("[✓]"));
    t.keys({"C-n"});
    ASSERT_TRUE(t.wait_for_text_gone("[✓]"));
    t.keys({"q"});
    ASSERT_TRUE(t.wait_for_text("EXIT=0"));
    expect_modes_restored(t);
}

// Stopped from outside, the program gives the terminal back to the shell; `fg` brings
// it back in raw mode (keys act without Enter) with the whole screen drawn again.
TEST_F(TuiLinux, StopAndForegroundFromTheShell) {
    const std::string pid_file = dir_ / "pid";
    Tmux t("stop", "exec env PS1='$ ' bash --norc --noprofile -i", 100, 30);
    ASSERT_TRUE(t.wait_for_text("$"));
    t.literal("cd " + shell_quoted(tree_) + " && env HOME=" + shell_quoted(home_) +
              " NO_COLOR=1 sh -c " +
              shell_quoted("echo $$ > " + shell_quoted(pid_file) + ".new && mv " +
                           shell_quoted(pid_file) + ".new " + shell_quoted(pid_file) + " && exec " +
                           shell_quoted(BRAMVELT_BINARY)));
    t.keys({"Enter"});
    ASSERT_TRUE(t.wait_for_text("What should BramVelt look at?"));
    pid_t pid = 0;
    {
        std::ifstream in(pid_file);
        ASSERT_TRUE(in >> pid);
    }

    ASSERT_EQ(::kill(pid, SIGTSTP), 0);
    ASSERT_TRUE(t.wait_for_text("Stopped"));
    EXPECT_EQ(t.display("#{alternate_on}"), "0");
    EXPECT_EQ(t.display("#{cursor_flag}"), "1");
    EXPECT_EQ(t.display("#{mouse_any_flag}#{mouse_sgr_flag}"), "00");

    t.literal(pane_command("fg"));
    t.keys({"Enter"});
    ASSERT_TRUE(t.wait_for([](const std::string& s) {
        const std::string first_line = s.substr(0, s.find('\n'));
        return first_line.ends_with("v2.0.1 · ? help · q quit") &&
               s.find("What should BramVelt look at?") != std::string::npos &&
               s.find("Stopped") == std::string::npos;
    }));
    EXPECT_EQ(t.display("#{alternate_on}"), "1");
    EXPECT_EQ(t.display("#{mouse_any_flag}"), "1");
    t.keys({"/"});  // raw mode again: no Enter needed
    ASSERT_TRUE(t.wait_for_text("Folder:"));
    t.keys({"Escape"});
    ASSERT_TRUE(t.wait_for_text_gone("Folder:"));
    t.keys({"q"});
    ASSERT_TRUE(t.wait_for_text("EXIT=0"));
    EXPECT_EQ(t.display("#{alternate_on}"), "0");
    EXPECT_EQ(t.display("#{cursor_flag}"), "1");
}

TEST_F(TuiLinux, LauncherListsTheRootFileSystem) {
    Tmux t("volumes", pane_command(program(tree_)), 110, 40);
    ASSERT_TRUE(t.wait_for_text("What should BramVelt look at?"));
    ASSERT_TRUE(t.wait_for_text("File System"));
    const std::string s = t.screen();
    const std::size_t title = s.find("File System");
    const std::size_t line_end = s.find('\n', title);
    EXPECT_NE(s.substr(title, line_end - title).find(" free of "), std::string::npos) << s;
    // Its detail line, below, names the mount point.
    const std::size_t detail = s.find_first_not_of(" │", line_end + 1);
    EXPECT_EQ(s.substr(detail, 2), "/ ") << s;
    t.keys({"q"});
    ASSERT_TRUE(t.wait_for_text("EXIT=0"));
}

// The working folder's bytes reach the scan; only what is shown has U+FFFD in place of
// the byte that is not UTF-8. A typed link to such a folder is scanned the same way.
TEST_F(TuiLinux, FolderWhoseNameIsNotUtf8IsMappedFromThisFolder) {
    const std::string bad = dir_.make_dir(
        "tree/bad\xff"
        "dir");
    dir_.write_file(
        "tree/bad\xff"
        "dir/inside/file",
        std::string(16 * 1024, 'i'));
    dir_.write_file(
        "tree/bad\xff"
        "dir/top.txt",
        std::string(4 * 1024, 't'));
    ASSERT_EQ(::symlink(bad.c_str(), (dir_ / "link").c_str()), 0);
    // `cd -P` through the link: the pane's command line holds no byte that is not UTF-8.
    Tmux t("bytes",
           pane_command("cd -P " + shell_quoted(dir_ / "link") + " && env HOME=" +
                        shell_quoted(home_) + " NO_COLOR=1 " + shell_quoted(BRAMVELT_BINARY)),
           110, 32);
    ASSERT_TRUE(t.wait_for_text("▶ This folder"));
    ASSERT_TRUE(t.wait_for_text("bad\uFFFDdir"));
    t.keys({"Enter"});
    ASSERT_TRUE(t.wait_for_text("Scanned in"));
    ASSERT_TRUE(t.wait_for_text("2 items · by size"));
    std::string s = t.screen();
    EXPECT_NE(s.find("inside/"), std::string::npos) << s;
    EXPECT_NE(s.find("top.txt"), std::string::npos) << s;
    EXPECT_EQ(s.find("not a directory"), std::string::npos) << s;

    t.keys({"Escape"});
    ASSERT_TRUE(t.wait_for_text("What should BramVelt look at?"));
    t.keys({"/"});
    t.literal(dir_ / "link");
    t.keys({"Enter"});
    ASSERT_TRUE(t.wait_for_text("Scanned in"));
    ASSERT_TRUE(t.wait_for_text("2 items · by size"));
    s = t.screen();
    EXPECT_NE(s.find("top.txt"), std::string::npos) << s;
    t.keys({"q"});
    ASSERT_TRUE(t.wait_for_text("EXIT=0"));
}

}  // namespace
}  // namespace bramvelt::testing
