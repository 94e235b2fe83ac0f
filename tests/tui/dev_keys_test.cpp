#include "src/tui/dev_keys.hpp"

#include <gtest/gtest.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "src/tui/dev_cleanup.hpp"
#include "src/tui/dev_roots.hpp"
#include "src/tui/main_loop.hpp"
#include "tests/support/temp_dir.hpp"
#include "tests/tui/dev_candidates.hpp"
#include "tests/tui/key_events.hpp"

namespace bramvelt::tui {
namespace {

using development::DevCandidate;
using development::Recommendation;
using kit::KeyCode;
using kit::KeyEvent;

using test_keys::ch;
using test_keys::code;

using test_candidates::candidate;

// The development view in front, its searches started on threads that do nothing.
struct Harness {
    std::pair<UiSender, UiReceiver> channel = make_channel<UiMessage>();
    App app{channel.first};
    KeyServices services;
    int searches = 0;

    Harness() {
        services.start_thread = [this](std::function<void()>) {
            ++searches;
            return WorkerThread::start([] {});
        };
        app.view = ActiveView::Development;
        app.dev.searched = true;
        app.dev.roots = {"/w"};
        app.dev.filter.category.reset();
        app.dev.candidates = {candidate("/w/a", 300), candidate("/w/b", 200),
                              candidate("/w/k", 100, Recommendation::Keep)};
    }
    void press(const KeyEvent& key) { handle_key(app, key, services); }
};

TEST(DevKeys, ListSelectionFiltersAndStatus) {
    Harness h;
    h.press(ch(U' '));  // selects /w/a and moves down
    EXPECT_EQ(h.app.dev.selected_paths, (std::set<std::string>{"/w/a"}));
    EXPECT_EQ(h.app.dev.cursor, 1u);
    h.press(ch(U'G'));
    h.press(ch(U'x'));  // the Keep item
    EXPECT_EQ(h.app.status, "Kept items can't be removed here — see the details below");
    h.press(ch(U'a'));
    EXPECT_EQ(h.app.status, "Selected 2 eligible items");
    EXPECT_EQ(h.app.dev.selected_paths.size(), 2u);
    h.press(ch(U'n'));
    EXPECT_TRUE(h.app.dev.selected_paths.empty());

    for (const char* label : {"oldest change first", "least recently accessed", "largest first"}) {
        h.press(ch(U's'));
        EXPECT_EQ(h.app.status, std::string("Sorted ") + label);
    }
    h.press(ch(U'f'));
    h.press(ch(U'f'));
    EXPECT_EQ(h.app.dev.filter.older_than_days, 90u);
    h.press(ch(U'm'));
    EXPECT_EQ(h.app.dev.filter.min_size, 100'000'000u);

    // Categories cycle any → Rebuildable → Worktree → Keep → any, and back.
    h.press(code(KeyCode::Tab));
    EXPECT_EQ(h.app.dev.filter.category, cli::DevCategory::Rebuildable);
    h.press(code(KeyCode::BackTab));
    h.press(code(KeyCode::BackTab));
    EXPECT_EQ(h.app.dev.filter.category, cli::DevCategory::Keep);

    // The search line: typing filters, Esc clears; global keys are off while it is open.
    h.press(ch(U'/'));
    h.press(ch(U'q'));
    EXPECT_FALSE(h.app.quit);
    EXPECT_EQ(h.app.dev.filter.search, "q");
    h.press(code(KeyCode::Esc));
    EXPECT_FALSE(h.app.dev.search_input.has_value());
    EXPECT_EQ(h.app.dev.filter.search, "");

    // The folders line shows the roots; an unknown folder keeps them.
    h.press(ch(U'o'));
    EXPECT_EQ(h.app.dev.folders_input, "/w");
    h.press(ch(U'x'));
    h.press(code(KeyCode::Enter));
    EXPECT_EQ(h.app.dev.roots, std::vector<std::string>{"/w"});
    EXPECT_TRUE(h.app.status.has_value());

    const int before = h.searches;
    h.press(ch(U'v'));
    EXPECT_EQ(h.app.status, "Verifying Git backups on remotes…");
    EXPECT_EQ(h.searches, before + 1);
}

// A folder that is not UTF-8 is never shown in the folders line (typed back, its text
// would name another folder), and one that a typed folder leads to is refused by name.
TEST(DevKeys, FoldersLineAndFoldersThatAreNotUtf8) {
    testing::TempDir tmp;
    const std::string bad = tmp.make_dir("bad\xff\xfename");
    ASSERT_EQ(::symlink(bad.c_str(), (tmp / "link").c_str()), 0);
    Harness h;
    h.app.dev.roots = {"/w", "/x/bad\xff"};
    h.press(ch(U'o'));
    EXPECT_EQ(h.app.dev.folders_input, "/w");
    h.press(ch(U'u', kit::key_modifiers::Control));
    EXPECT_TRUE(handle_paste(h.app, tmp / "link"));
    h.press(code(KeyCode::Enter));
    EXPECT_EQ(h.app.dev.roots, std::vector<std::string>{bad});
    EXPECT_EQ(h.app.dev.error, std::string(kFoldersNotUtf8));
    EXPECT_TRUE(h.app.dev.candidates.empty());
    EXPECT_EQ(h.searches, 0);
    h.press(ch(U'o'));
    EXPECT_EQ(h.app.dev.folders_input, "");
}

// Modifiers are ignored outside the text lines, as in the disk view.
TEST(DevKeys, ControlWithALetterActsAsTheLetter) {
    const auto ctrl = kit::key_modifiers::Control;
    Harness h;
    h.press(ch(U's', ctrl));
    EXPECT_EQ(h.app.status, "Sorted oldest change first");
    h.press(ch(U'a', ctrl));
    EXPECT_EQ(h.app.status, "Selected 2 eligible items");
    h.press(ch(U'n', ctrl));
    EXPECT_TRUE(h.app.dev.selected_paths.empty());
    // Inside a text line Control keeps its editing meaning.
    h.press(ch(U'/'));
    h.press(ch(U'a'));
    h.press(ch(U'u', ctrl));
    EXPECT_EQ(h.app.dev.search_input, "");
}

TEST(DevKeys, PasteGoesIntoTheOpenLineOnly) {
    Harness h;
    h.app.dev.cursor = 2;
    EXPECT_FALSE(handle_paste(h.app, "a"));  // the list: no "select all"
    EXPECT_TRUE(h.app.dev.selected_paths.empty());
    EXPECT_FALSE(h.app.status);

    h.press(ch(U'/'));
    EXPECT_TRUE(handle_paste(h.app, "/w/\nb"));
    EXPECT_EQ(h.app.dev.search_input, "/w/b");
    EXPECT_EQ(h.app.dev.filter.search, "/w/b");
    EXPECT_EQ(h.app.dev.cursor, 0u);
    h.press(code(KeyCode::Enter));

    h.press(ch(U'o'));
    EXPECT_TRUE(handle_paste(h.app, ", /x\r\n"));
    EXPECT_EQ(h.app.dev.folders_input, "/w, /x");
    h.press(code(KeyCode::Esc));

    h.app.dev.dialog = ReviewDialog{};
    std::get<ReviewDialog>(h.app.dev.dialog).confirm_pending = true;
    EXPECT_FALSE(handle_paste(h.app, "y"));
    EXPECT_EQ(h.searches, 0);
    EXPECT_TRUE(std::get<ReviewDialog>(h.app.dev.dialog).confirm_pending);
}

TEST(DevKeys, ReviewDialogKeysAndWarnings) {
    Harness h;
    ReviewDialog review;
    review.review.candidates = {candidate("/w/a", 1)};
    review.review.warnings = std::vector<std::string>(6, "near the home folder");
    h.app.dev.dialog = review;
    h.press(code(KeyCode::Enter));
    EXPECT_EQ(h.app.status, "Review the location warnings and press a to acknowledge them");
    h.press(ch(U'a'));
    h.press(ch(U'd'));
    auto& shown = std::get<ReviewDialog>(h.app.dev.dialog);
    EXPECT_TRUE(shown.acknowledged);
    EXPECT_EQ(shown.method, cli::CleanAction::Delete);
    h.press(ch(U'2'));  // global keys are off while a dialog is open
    h.press(code(KeyCode::Enter));
    EXPECT_TRUE(std::get<ReviewDialog>(h.app.dev.dialog).confirm_pending);
    h.press(ch(U'n'));  // anything but y goes back
    EXPECT_FALSE(std::get<ReviewDialog>(h.app.dev.dialog).confirm_pending);
    h.press(code(KeyCode::Esc));
    EXPECT_TRUE(std::holds_alternative<std::monostate>(h.app.dev.dialog));

    review.review.warnings.push_back("seventh");
    h.app.dev.dialog = review;
    h.press(ch(U' '));
    EXPECT_EQ(h.app.status,
              "7 locations have warnings; select fewer items so each one can be reviewed");
    EXPECT_FALSE(std::get<ReviewDialog>(h.app.dev.dialog).acknowledged);
}

std::vector<DevUpdate> drain(UiReceiver& receiver) {
    std::vector<DevUpdate> updates;
    while (auto message = receiver.try_receive()) {
        updates.push_back(std::get<DevUpdate>(std::move(message->update)));
    }
    return updates;
}

TEST(DevCleanupWorker, AFailingRunStillEndsWithFailedThenDone) {
    auto [sender, receiver] = make_channel<UiMessage>();
    DevCleanupJob job{{}, sender, {}, {}, make_cancel_flag(), 4};
    dev_cleanup_worker(job,
                       [](const cleanup::DevCleanupRequest&, const CancelFlag&,
                          std::shared_ptr<host_trash::TrashRegistry>,
                          const cleanup::CleanupEventSink&) { throw std::runtime_error("boom"); });
    auto updates = drain(receiver);
    ASSERT_EQ(updates.size(), 2u);
    const auto& failed = std::get<cleanup::Failed>(std::get<DevCleanupUpdate>(updates[0]).event);
    EXPECT_EQ(failed.message, std::string(kCleanupWorkerFailed) + ": boom");
    EXPECT_TRUE(std::holds_alternative<DevCleanupDone>(updates[1]));

    // The real run refusing an empty request: one Failed event, then CleanupDone.
    dev_cleanup_worker(DevCleanupJob{{}, sender, {}, {}, make_cancel_flag(), 5});
    updates = drain(receiver);
    ASSERT_GE(updates.size(), 2u);
    EXPECT_TRUE(std::holds_alternative<cleanup::Failed>(
        std::get<DevCleanupUpdate>(updates[updates.size() - 2]).event));
    EXPECT_TRUE(std::holds_alternative<DevCleanupDone>(updates.back()));
}

TEST(DevCleanupWorker, ConfirmationStartsTheRunOrShowsWhyNot) {
    testing::TempDir tmp;
    testing::ScopedEnv home("HOME", tmp.path().c_str());
    auto [sender, receiver] = make_channel<UiMessage>();
    DevView view;
    view.dialog = ReviewDialog{};
    start_cleanup_run(view, sender, [](std::function<void()>) {
        return std::expected<WorkerThread, std::string>(std::unexpected(std::string("no threads")));
    });
    const auto& failed = std::get<ProgressDialog>(view.dialog);
    EXPECT_TRUE(failed.finished);
    EXPECT_EQ(failed.error, "Could not start the cleanup: no threads");

    view.dialog = ReviewDialog{};
    start_cleanup_run(
        view, sender, WorkerThread::start,
        [](const cleanup::DevCleanupRequest&, const CancelFlag&,
           std::shared_ptr<host_trash::TrashRegistry>, const cleanup::CleanupEventSink& sink) {
            cleanup::CleanupSummary summary;
            sink(cleanup::Summary{summary});
        });
    EXPECT_EQ(view.cleanup_generation, 2u);
    EXPECT_TRUE(view.cleanup_thread.has_value());
    while (!std::get<ProgressDialog>(view.dialog).finished) {
        if (auto message = receiver.try_receive()) {
            apply_dev_message(view, message->generation,
                              std::get<DevUpdate>(std::move(message->update)));
        }
    }
    EXPECT_FALSE(view.cleanup_thread.has_value());
    EXPECT_TRUE(std::get<ProgressDialog>(view.dialog).outcome.has_value());

    testing::ScopedEnv no_home("HOME", nullptr);
    view.dialog = ReviewDialog{};
    start_cleanup_run(view, sender);
    EXPECT_TRUE(std::holds_alternative<std::monostate>(view.dialog));
    EXPECT_EQ(view.error, std::string(cli::kHomeUnset));
}

}  // namespace
}  // namespace bramvelt::tui
