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
    void keys(const std::vector<std::string>& keys) const {
        std::vector<std::string> args{"send-keys"};
        args.insert(args.end(), keys.begin(), keys.end());
        tmux(args);
    }
    bool wait_for_text(const std::string& text, std::chrono::milliseconds limit = 20s) const {
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
    std::string command() const {
        return "env HOME=" + quoted(account_home()) + " XDG_DATA_HOME=" + quoted(tmp_ / "data") +
               " GIT_CONFIG_NOSYSTEM=1 GIT_CONFIG_GLOBAL=/dev/null LC_ALL=C.UTF-8 NO_COLOR= " +
               quoted(BRAMVELT_BINARY) + " dev -i " + quoted(tmp_ / "ws") + "; sleep 600";
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

}  // namespace
}  // namespace bramvelt::testing
