#include "src/tui/dev_view.hpp"

#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "src/tui/dev_search.hpp"
#include "tests/support/temp_dir.hpp"
#include "tests/tui/dev_candidates.hpp"

namespace bramvelt::tui {
namespace {

using development::DevCandidate;
using development::DevScanSummary;
using development::Recommendation;

using test_candidates::candidate;

// A view in its first search, with no thread behind it.
DevView searching() {
    DevView view;
    view.search_generation = 1;
    view.scanning = true;
    view.searched = true;
    return view;
}

std::optional<std::string> deliver(DevView& view, std::uint64_t generation, DevUpdate update) {
    return apply_dev_message(view, generation, std::move(update));
}

TEST(DevView, SearchMessagesApplyByGenerationAndFinishedPrunesTheSelection) {
    DevView view = searching();
    deliver(view, 1, DevCandidateUpdate{candidate("/w/a/target", 100)});
    deliver(view, 1, DevCandidateUpdate{candidate("/w/b/target", 200)});
    deliver(view, 1, DevCandidateUpdate{candidate("/w/a/target", 300)});  // replaces in place
    deliver(view, 0, DevCandidateUpdate{candidate("/w/old/target", 1)});  // an old search
    ASSERT_EQ(view.candidates.size(), 2u);
    EXPECT_EQ(view.candidates[0].path, "/w/a/target");
    EXPECT_EQ(view.candidates[0].allocated_bytes, 300u);

    DevScanSummary progress;
    progress.entries_examined = 7;
    deliver(view, 1, DevProgressUpdate{progress});
    EXPECT_EQ(view.summary, progress);

    // A Finished of an earlier search leaves the running one alone.
    EXPECT_EQ(deliver(view, 0, DevFinishedUpdate{}), std::nullopt);
    EXPECT_TRUE(view.scanning);

    view.candidates.push_back(candidate("/w/keep", 5, Recommendation::Keep));
    view.selected_paths = {"/w/a/target", "/w/gone", "/w/keep"};
    DevScanSummary done;
    done.candidates = 3;
    const auto status = deliver(view, 1, DevFinishedUpdate{done});
    EXPECT_FALSE(view.scanning);
    EXPECT_EQ(view.summary, done);
    EXPECT_EQ(view.selected_paths, (std::set<std::string>{"/w/a/target"}));
    ASSERT_TRUE(status);
    EXPECT_TRUE(status->starts_with("Found 3 · ")) << *status;
    EXPECT_TRUE(status->ends_with(" can be reviewed")) << *status;
}

TEST(DevView, CancelledSearchPrunesWithoutStatusAndFailureShowsItsText) {
    DevView view = searching();
    view.selected_paths = {"/w/x"};
    DevScanSummary cancelled;
    cancelled.cancelled = true;
    EXPECT_EQ(deliver(view, 1, DevFinishedUpdate{cancelled}), std::nullopt);
    EXPECT_TRUE(view.selected_paths.empty());  // no candidates: nothing stays selected

    view.scanning = true;
    deliver(view, 1, DevFailedUpdate{"An absolute path is required"});
    EXPECT_FALSE(view.scanning);
    EXPECT_EQ(view.error, "An absolute path is required");
}

cleanup::CleanupItemResult result(std::string path, std::optional<std::string> error) {
    cleanup::CleanupItemResult r;
    r.path = std::move(path);
    r.error = std::move(error);
    r.status = error ? cleanup::CleanupStatus::Failed : cleanup::CleanupStatus::Removed;
    return r;
}

TEST(DevView, CleanupEventsNeedAProgressDialogAndDoneDeselectsProcessedPaths) {
    DevView view;
    view.cleanup_generation = 2;
    ProgressDialog dialog;
    for (const char* path : {"/w/a/", "/w/b", "/w/c"}) {
        dialog.review.candidates.push_back(candidate(path, 1));
    }
    // While the review is still shown, cleanup events are dropped.
    view.dialog = ReviewDialog{dialog.review};
    deliver(view, 2, DevCleanupUpdate{cleanup::ItemFinished{result("/w/a/", std::nullopt)}});
    view.dialog = dialog;
    EXPECT_TRUE(std::get<ProgressDialog>(view.dialog).results.empty());

    deliver(view, 2, DevCleanupUpdate{cleanup::ItemFinished{result("/w/a/", std::nullopt)}});
    deliver(view, 1, DevCleanupUpdate{cleanup::ItemFinished{result("/w/old", std::nullopt)}});
    deliver(view, 2, DevCleanupUpdate{cleanup::Failed{"code", "refused"}});
    cleanup::CleanupSummary summary;
    summary.results = {result("/w/c", "changed since the review")};
    summary.completed_items = 2;
    summary.failed_items = 1;
    deliver(view, 2, DevCleanupUpdate{cleanup::Summary{summary}});
    view.selected_paths = {"/w/a", "/w/a/inner", "/w/ab", "/w/b", "/w/c", "/w/d"};
    deliver(view, 1, DevCleanupDone{});  // an old run
    EXPECT_FALSE(std::get<ProgressDialog>(view.dialog).finished);
    deliver(view, 2, DevCleanupDone{});

    const auto& progress = std::get<ProgressDialog>(view.dialog);
    EXPECT_TRUE(progress.finished);
    ASSERT_EQ(progress.results.size(), 1u);
    EXPECT_EQ(progress.error, "refused");
    EXPECT_EQ(progress.outcome, summary);
    EXPECT_EQ(view.selected_paths, (std::set<std::string>{"/w/ab", "/w/c", "/w/d"}));
}

TEST(DevView, CursorSelectionAndReviewRefusals) {
    DevView view;
    view.filter.category.reset();
    EXPECT_EQ(move_cursor(view, 5), 0u);  // empty list
    view.candidates = {candidate("/w/big", 300), candidate("/w/keep", 200, Recommendation::Keep)};
    view.cursor = 1;
    EXPECT_EQ(move_cursor(view, -3), 0u);
    EXPECT_EQ(move_cursor(view, 3), 1u);
    EXPECT_EQ(eligible_candidate_paths(visible_items(view)), std::vector<std::string>{"/w/big"});

    // The cursor on a Keep item with nothing selected.
    EXPECT_EQ(open_review(view), std::string(kSelectFirst));
    view.selected_paths = {"/w/big"};
    view.scanning = true;
    EXPECT_EQ(open_review(view), std::string(kWaitForScan));
    EXPECT_TRUE(std::holds_alternative<std::monostate>(view.dialog));
    ASSERT_EQ(selected_candidates(view.candidates, view).size(), 1u);
    EXPECT_EQ(item_key(view.candidates[1]),
              (std::pair<std::string, cli::DevCategory>{"/w/keep", cli::DevCategory::Keep}));
}

TEST(DevView, ReviewOfTheItemUnderTheCursor) {
    testing::TempDir tmp;
    testing::ScopedEnv home("HOME", tmp.path().c_str());
    tmp.write_file("ws/p/Cargo.toml", "[package]\n");
    tmp.write_file("ws/p/target/debug/app", "x");
    DevView view;
    view.candidates = {candidate(tmp / "ws/p/target", 4096)};
    ASSERT_EQ(open_review(view), std::nullopt);
    const auto* review = std::get_if<ReviewDialog>(&view.dialog);
    ASSERT_NE(review, nullptr);
    ASSERT_EQ(review->review.candidates.size(), 1u);
    EXPECT_EQ(review->review.candidates[0].path, tmp / "ws/p/target");
    EXPECT_EQ(review->method, cli::CleanAction::Trash);
    EXPECT_FALSE(review->acknowledged || review->confirm_pending);
}

TEST(DevView, StopRequestsOnlyWhatRunsAndOnlyOnce) {
    DevView view = searching();
    view.search_cancel = make_cancel_flag();
    EXPECT_TRUE(request_stop(view));
    EXPECT_TRUE(is_cancelled(*view.search_cancel));
    EXPECT_FALSE(request_stop(view));

    std::atomic<bool> release{false};
    auto thread = WorkerThread::start([&] {
        while (!release.load()) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    });
    ASSERT_TRUE(thread);
    view.cleanup_thread = std::move(*thread);
    view.cleanup_stop = make_cancel_flag();
    view.dialog = ProgressDialog{};
    EXPECT_TRUE(request_stop(view));
    EXPECT_TRUE(std::get<ProgressDialog>(view.dialog).stopping);
    EXPECT_FALSE(request_stop(view));
    release = true;
    view.cleanup_thread->join();
}

TEST(DevView, SplitFolderList) {
    struct Case {
        std::string text;
        std::optional<std::string> home;
        std::vector<std::string> folders;
    };
    const std::optional<std::string> home = "/home/u";
    const std::vector<Case> cases = {
        {"~/src,   , /tmp,", home, {"/home/u/src", "/tmp"}},
        {" ~ , ~bob/x", home, {"/home/u", "~bob/x"}},
        {"~/src", std::nullopt, {"~/src"}},
        {" , ", "/h", {}},
        // White space is any Unicode white space: no-break, em and ideographic spaces,
        // next line; inside a name it stays.
        {"\u00A0/tmp/a\u00A0, \u2003~/src\u3000", home, {"/tmp/a", "/home/u/src"}},
        {"\u0085/srv\t\n,\u202F\u205F", home, {"/srv"}},
        {"/tmp/two\u00A0words", home, {"/tmp/two\u00A0words"}},
        // Bytes that are not UTF-8 belong to the name, even the byte of a no-break space.
        {" /tmp/\xA0\xFF ", home, {"/tmp/\xA0\xFF"}},
        {"\xA0/tmp", home, {"\xA0/tmp"}},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(split_folder_list(c.text, c.home), c.folders) << c.text;
    }
}

// The real search on its own thread: its finds arrive under the search's generation and
// an earlier search's cancel flag is set when a new one starts.
TEST(DevSearch, WorkerSendsFindsAndTheSinkStopsWhenNobodyListens) {
    testing::TempDir tmp;
    tmp.write_file("p/Cargo.toml", "[package]\n");
    tmp.make_dir("p/target");
    auto [sender, receiver] = make_channel<UiMessage>();
    DevView view;
    apply_folders_input(view, {tmp.path()}, sender);
    ASSERT_TRUE(view.scanning);
    const CancelFlag first = *view.search_cancel;
    start_dev_search(view, sender);
    EXPECT_TRUE(is_cancelled(first));
    EXPECT_EQ(view.search_generation, 2u);

    std::optional<std::string> status;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    while (view.scanning && std::chrono::steady_clock::now() < deadline) {
        if (auto message = receiver.try_receive()) {
            ASSERT_EQ(message->kind, MessageKind::Development);
            auto s = apply_dev_message(view, message->generation,
                                       std::get<DevUpdate>(std::move(message->update)));
            if (s) status = s;
        } else {
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
    }
    ASSERT_FALSE(view.scanning);
    ASSERT_EQ(view.candidates.size(), 1u) << view.error.value_or("");
    EXPECT_EQ(view.candidates[0].path, tmp / "p/target");
    EXPECT_TRUE(status && status->starts_with("Found 1 · ")) << status.value_or("");

    // A folder that does not resolve leaves the roots and shows its error.
    apply_folders_input(view, {tmp / "missing"}, sender);
    EXPECT_EQ(view.roots, std::vector<std::string>{tmp.path()});
    EXPECT_TRUE(view.error.has_value());

    receiver.close();
    const CancelFlag cancel = make_cancel_flag();
    TuiDevSink sink(sender, 1, cancel);
    sink.on_event({development::DevScanEvent::Progress{}});
    EXPECT_TRUE(is_cancelled(cancel));
}

TEST(DevSearch, AThreadThatCannotStartLeavesTheViewIdleWithTheError) {
    auto [sender, receiver] = make_channel<UiMessage>();
    DevView view;
    view.roots = {"/"};
    start_dev_search(view, sender, [](std::function<void()>) {
        return std::expected<WorkerThread, std::string>(std::unexpected(std::string("no threads")));
    });
    EXPECT_FALSE(view.scanning);
    EXPECT_EQ(view.error, "Could not start the search: no threads");
}

}  // namespace
}  // namespace bramvelt::tui
