// A real development cleanup driven through the interface's keys: the batch limit of the
// review, and the stop keys while the run works through its items on its own thread.

#include "src/tui/dev_cleanup.hpp"

#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "src/tui/dev_dialogs.hpp"
#include "src/tui/keys.hpp"
#include "src/tui/main_loop.hpp"
#include "tests/support/temp_dir.hpp"
#include "tests/tui/key_events.hpp"

namespace bramvelt::tui {
namespace {

namespace fs = std::filesystem;
using kit::KeyCode;
using kit::KeyEvent;

using test_keys::ch;
using test_keys::code;

const KeyEvent kCtrlC = ch(U'c', kit::key_modifiers::Control);

std::string project_name(int i) {
    std::string digits = std::to_string(i);
    return "p" + std::string(3 - digits.size(), '0') + digits;
}

// `count` Cargo projects with their build output, searched for real from the
// development view, which is in front with the whole search applied.
struct Workspace {
    testing::TempDir tmp;
    testing::ScopedEnv home{"HOME", tmp.path().c_str()};
    std::pair<UiSender, UiReceiver> channel = make_channel<UiMessage>();
    App app{channel.first};
    KeyServices services = KeyServices::real();

    explicit Workspace(int count) {
        for (int i = 0; i < count; ++i) {
            const std::string project = "ws/" + project_name(i);
            tmp.write_file(project + "/Cargo.toml", "[package]\nname = \"p\"\n");
            tmp.write_file(project + "/src/main.rs", "fn main() {}\n");
            tmp.write_file(project + "/target/debug/app", std::string(5000, 'x'));
            tmp.write_file(project + "/target/debug/deps/lib.rlib", std::string(3000, 'y'));
        }
        open_dev_view(app, std::vector<std::string>{tmp / "ws"});
        drain_while([&] { return app.dev.scanning; });
    }
    ~Workspace() {
        // A run still going must not outlive the folders it works in.
        if (app.dev.cleanup_stop) (*app.dev.cleanup_stop)->store(true);
        if (app.dev.cleanup_thread && app.dev.cleanup_thread->joinable()) {
            app.dev.cleanup_thread->join();
        }
    }
    Workspace(const Workspace&) = delete;
    Workspace& operator=(const Workspace&) = delete;

    std::string target(int i) const { return tmp / ("ws/" + project_name(i) + "/target"); }
    bool intact(int i) const {
        return fs::file_size(target(i) + "/debug/app") == 5000 &&
               fs::file_size(target(i) + "/debug/deps/lib.rlib") == 3000;
    }
    void press(const KeyEvent& key) { handle_key(app, key, services); }
    // Applies the interface's messages while `more` holds (at most a minute).
    void drain_while(const std::function<bool()>& more) {
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
        while (more() && std::chrono::steady_clock::now() < deadline) {
            if (auto message = channel.second.try_receive()) {
                apply_message(app, std::move(*message));
            } else {
                std::this_thread::sleep_for(std::chrono::microseconds(200));
            }
        }
        ASSERT_FALSE(more()) << "the interface never got there";
    }
    const ProgressDialog& progress() const { return std::get<ProgressDialog>(app.dev.dialog); }
    // Reviews the selection, chooses permanent deletion and confirms.
    void confirm_deletion() {
        press(code(KeyCode::Enter));
        ASSERT_TRUE(std::holds_alternative<ReviewDialog>(app.dev.dialog)) << *app.status;
        press(ch(U'd'));
        press(code(KeyCode::Enter));
        press(ch(U'y'));
        ASSERT_TRUE(std::holds_alternative<ProgressDialog>(app.dev.dialog));
    }
    // Once the first item has its result, `stop` is pressed; then the run is followed
    // to its end.
    void stop_after_the_first_item(const KeyEvent& stop) {
        drain_while([&] { return progress().results.empty(); });
        press(stop);
        EXPECT_TRUE(progress().stopping);
        drain_while([&] { return !progress().finished; });
    }
    // Everything the run did, checked against the folders: removed items are gone,
    // every item from the stop on is untouched (the one being removed when the stop came
    // may be partly gone, and says so).
    void expect_stopped_between_items(int reviewed) {
        const ProgressDialog& p = progress();
        ASSERT_TRUE(p.outcome.has_value());
        const cleanup::CleanupSummary& outcome = *p.outcome;
        EXPECT_TRUE(outcome.cancelled);
        EXPECT_EQ(outcome.failed_items, 0u);
        EXPECT_GE(outcome.completed_items, 1u);
        EXPECT_GE(outcome.cancelled_items, 1u) << "the run ended before the stop";
        EXPECT_EQ(outcome.completed_items + outcome.cancelled_items,
                  static_cast<std::uint64_t>(reviewed));
        ASSERT_EQ(p.results.size(), static_cast<std::size_t>(reviewed));
        bool stopped = false;
        for (int i = 0; i < reviewed; ++i) {
            const cleanup::CleanupItemResult& r = p.results[i];
            ASSERT_EQ(r.path, target(i));
            if (r.status == cleanup::CleanupStatus::Removed) {
                EXPECT_FALSE(stopped) << r.path << " removed after the stop";
                EXPECT_FALSE(fs::exists(r.path)) << r.path;
                continue;
            }
            ASSERT_EQ(r.status, cleanup::CleanupStatus::Cancelled) << r.path;
            if (r.error_code == cleanup::kCodeDevelopmentPartial) {
                EXPECT_FALSE(stopped) << r.path << " partly removed after the stop";
            } else {
                EXPECT_TRUE(intact(i)) << r.path;
            }
            if (stopped) {
                EXPECT_EQ(r.error, "Cleanup stopped.");
            }
            stopped = true;
        }
    }
};

TEST(DevCleanupBatch, AReviewTakes256ItemsAndRefuses257) {
    Workspace w(257);
    ASSERT_EQ(w.app.dev.candidates.size(), 257u) << w.app.dev.error.value_or("");
    w.press(ch(U'a'));
    EXPECT_EQ(w.app.status, "Selected 257 eligible items");
    w.press(code(KeyCode::Enter));
    EXPECT_EQ(w.app.status, "Select up to 256 items at a time.");
    EXPECT_TRUE(std::holds_alternative<std::monostate>(w.app.dev.dialog));

    // Sorted largest first with equal sizes: deselect whichever row comes last.
    w.press(code(KeyCode::End));
    w.press(ch(U' '));
    ASSERT_EQ(w.app.dev.selected_paths.size(), 256u);
    w.press(code(KeyCode::Enter));
    const auto* review = std::get_if<ReviewDialog>(&w.app.dev.dialog);
    ASSERT_NE(review, nullptr) << *w.app.status;
    EXPECT_EQ(review->review.candidates.size(), 256u);
    EXPECT_EQ(review->review.items.size(), 256u);
    kit::Buffer buf(kit::Rect{0, 0, 120, 40});
    (void)draw_review_dialog(w.app.dev, buf, buf.area(), std::nullopt);
    std::string shown;
    for (std::uint16_t y = 0; y < buf.area().height; ++y) shown += buf.row_text(y) + "\n";
    EXPECT_NE(shown.find(" 256 selected · "), std::string::npos) << shown;
    EXPECT_NE(shown.find("Move 256 items to Trash"), std::string::npos) << shown;
}

TEST(DevCleanupStop, EscDuringARunStopsBeforeTheNextItemAndTheDialogSaysWhatWasDone) {
    Workspace w(256);
    ASSERT_EQ(w.app.dev.candidates.size(), 256u) << w.app.dev.error.value_or("");
    w.press(ch(U'a'));
    w.confirm_deletion();
    w.press(ch(U'q'));  // only a finished run closes
    ASSERT_TRUE(std::holds_alternative<ProgressDialog>(w.app.dev.dialog));
    w.stop_after_the_first_item(code(KeyCode::Esc));
    EXPECT_EQ(w.app.status, "Selected 256 eligible items");  // Esc adds none
    w.expect_stopped_between_items(256);
    EXPECT_FALSE(w.app.dev.cleanup_thread.has_value()) << "joined on its last message";

    // Closing searches again; what was not removed stays selected.
    const std::uint64_t completed = w.progress().outcome->completed_items;
    w.press(code(KeyCode::Esc));
    EXPECT_TRUE(std::holds_alternative<std::monostate>(w.app.dev.dialog));
    EXPECT_EQ(w.app.status, "Scanning again to show what is left");
    EXPECT_EQ(w.app.dev.selected_paths.size(), 256u - completed);
    w.drain_while([&] { return w.app.dev.scanning; });
    EXPECT_EQ(w.app.dev.candidates.size(), 256u - completed);
}

TEST(DevCleanupStop, CtrlCStopsTheRunFirstAndQuitsOnlyOnceNothingRuns) {
    Workspace w(120);
    w.press(ch(U'a'));
    w.confirm_deletion();
    w.stop_after_the_first_item(kCtrlC);
    EXPECT_EQ(w.app.status, "Stopping… press Ctrl-C again to quit");
    EXPECT_FALSE(w.app.quit);
    w.expect_stopped_between_items(120);
    w.press(kCtrlC);
    EXPECT_TRUE(w.app.quit);
}

}  // namespace
}  // namespace bramvelt::tui
