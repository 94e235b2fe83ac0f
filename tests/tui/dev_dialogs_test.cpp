#include "src/tui/dev_dialogs.hpp"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "src/tui/widgets.hpp"

namespace bramvelt::tui {
namespace {

using cli::CleanAction;
using development::CandidateKind;
using development::DevCandidate;
using kit::Buffer;
using kit::Rect;

std::string screen(const Buffer& buf) {
    std::string out;
    for (std::uint16_t y = 0; y < buf.area().height; ++y) out += buf.row_text(y) + "\n";
    return out;
}

bool has(const std::string& text, std::string_view part) {
    return text.find(part) != std::string::npos;
}

DevCandidate target(std::string path) {
    DevCandidate c;
    c.path = std::move(path);
    c.kind = CandidateKind::Build;
    c.tool = "Cargo";
    c.allocated_bytes = 4096;
    c.measurement_complete = true;
    c.recommendation = development::Recommendation::Regenerable;
    return c;
}

// Rows of the buffer whose text shows a border corner of the dialog.
std::size_t dialog_height(const Buffer& buf) {
    std::size_t top = 0, bottom = 0;
    for (std::uint16_t y = 0; y < buf.area().height; ++y) {
        const std::string row = buf.row_text(y);
        if (has(row, "╭")) top = y;
        if (has(row, "╰")) bottom = y;
    }
    return bottom - top + 1;
}

TEST(DevDialogs, ReviewSizeWarningsAndConfirmation) {
    DevView view;
    ReviewDialog review;
    review.review.candidates = {target("/w/a/target")};
    review.review.total_bytes = 4096;
    view.dialog = review;
    Buffer buf(Rect{0, 0, 120, 40});
    const KeyHints hints = draw_review_dialog(view, buf, buf.area(), std::nullopt);
    EXPECT_EQ(dialog_height(buf), 18u);
    const std::string out = screen(buf);
    for (std::string_view part :
         {" Review cleanup · this computer", " 1 selected · 4.0 KiB on disk", "/w/a/target",
          " ● Move to Trash ", " ○ Delete permanently ", "Esc cancel    Enter  Move 1 item to Trash",
          "Stop builds and tools using these folders first."}) {
        EXPECT_TRUE(has(out, part)) << part << "\n" << out;
    }
    EXPECT_EQ(hints.back(), (KeyHint{"Esc", "cancel"}));

    for (const auto& [count, ack] : {std::pair{6, true}, std::pair{7, false}}) {
        ReviewDialog warned = review;
        warned.review.candidates = {target("/w/a"), target("/w/b"), target("/w/c")};
        for (int i = 0; i < count; ++i) warned.review.warnings.push_back("warning " + std::to_string(i));
        warned.confirm_pending = true;
        view.dialog = warned;
        Buffer big(Rect{0, 0, 120, 40});
        const KeyHints confirm = draw_review_dialog(view, big, big.area(), std::nullopt);
        const std::string text = screen(big);
        EXPECT_TRUE(has(text, "⚠ warning 5")) << text;
        EXPECT_FALSE(has(text, "⚠ warning 6")) << text;
        EXPECT_EQ(has(text, "I reviewed these location warnings (a)"), ack) << text;
        EXPECT_EQ(has(text, "+1 more — select fewer items to review every warning"), !ack) << text;
        EXPECT_TRUE(has(text, " Are you sure? Press y to move 3 items to trash.")) << text;
        EXPECT_EQ(confirm.front(), (KeyHint{"y", "confirm"}));
    }
}

TEST(DevDialogs, HostLabel) {
    EXPECT_EQ(host_label_of(std::nullopt), "this computer");
    EXPECT_EQ(host_label_of(std::string()), "this computer");
    EXPECT_EQ(host_label_of(std::string("box.local.local")), "this computer (box)");
    EXPECT_EQ(host_label_of(std::string(".local")), "this computer ()");
}

cleanup::CleanupItemResult result(std::string path, cleanup::CleanupStatus status,
                                  std::optional<std::string> error = std::nullopt) {
    cleanup::CleanupItemResult r;
    r.path = std::move(path);
    r.status = status;
    r.error = std::move(error);
    r.processed_bytes = error ? 0 : 1024;
    return r;
}

TEST(DevDialogs, ProgressKeepsTheNewestResultInViewAndEndsWithTheOutcome) {
    DevView view;
    ProgressDialog progress;
    for (int i = 0; i < 12; ++i) progress.review.candidates.push_back(target("/w/" + std::to_string(i)));
    view.dialog = progress;
    Buffer start(Rect{0, 0, 100, 24});
    EXPECT_EQ(draw_progress_dialog(view, start, start.area(), std::nullopt, 0).front(),
              (KeyHint{"Esc", "stop after the current item"}));
    EXPECT_TRUE(has(screen(start), " starting: ")) << screen(start);
    EXPECT_TRUE(has(screen(start), "Moving to Trash · this computer")) << screen(start);

    // A long error wraps over several rows; the newest result still shows.
    for (int i = 0; i < 10; ++i) {
        progress.results.push_back(result("/w/" + std::to_string(i), cleanup::CleanupStatus::Failed,
                                          std::string(300, 'e') + " end"));
    }
    progress.results.push_back(result("/w/newest", cleanup::CleanupStatus::Trashed));
    progress.stopping = true;
    view.dialog = progress;
    Buffer running(Rect{0, 0, 100, 24});
    draw_progress_dialog(view, running, running.area(), std::nullopt, 0);
    const std::string out = screen(running);
    EXPECT_TRUE(has(out, "✓ trashed    1.0 KiB  /w/newest")) << out;
    EXPECT_TRUE(has(out, "Stopping after the current item…")) << out;
    EXPECT_TRUE(has(out, "11/12 items")) << out;

    progress.finished = true;
    progress.error = "refused";
    cleanup::CleanupSummary summary;
    summary.completed_items = 1;
    summary.failed_items = 10;
    progress.outcome = summary;
    view.dialog = progress;
    Buffer done(Rect{0, 0, 100, 24});
    EXPECT_EQ(draw_progress_dialog(view, done, done.area(), std::nullopt, 0).front(),
              (KeyHint{"Enter", "close and rescan"}));
    const std::string end = screen(done);
    for (std::string_view part : {" Cleanup finished ", " ✗ refused", " 0 B moved to Trash · 1 done · 10 kept · 0 stopped"}) {
        EXPECT_TRUE(has(end, part)) << part << "\n" << end;
    }
    EXPECT_FALSE(has(end, "Empty the Trash")) << end;
    EXPECT_FALSE(has(end, "Stopping")) << end;
}

// The colour of the first cell on the row showing `text` that holds `symbol`.
std::optional<kit::Color> colour_of(const Buffer& buf, std::string_view text,
                                    std::string_view symbol) {
    for (std::uint16_t y = 0; y < buf.area().height; ++y) {
        if (!has(buf.row_text(y), text)) continue;
        for (std::uint16_t x = 0; x < buf.area().width; ++x) {
            if (buf.cell(x, y)->symbol == symbol) return buf.cell(x, y)->fg;
        }
    }
    return std::nullopt;
}

// An item cut short after part of it went reads "partial", keeping its mark and colour;
// the finished summary names what went to the Trash and what was freed for good.
TEST(DevDialogs, FinishedRunSaysWhatReallyHappened) {
    DevView view;
    ProgressDialog progress;
    progress.review.candidates = {target("/w/a"), target("/w/b"), target("/w/c")};
    auto stopped = result("/w/stopped-part", cleanup::CleanupStatus::Cancelled, "Cleanup stopped.");
    stopped.error_code = "development_partial";
    stopped.processed_bytes = 2048;
    auto failed = result("/w/failed-part", cleanup::CleanupStatus::Failed, "Permission denied");
    failed.error_code = "development_partial";
    progress.results = {
        stopped, failed,
        result("/w/stopped-whole", cleanup::CleanupStatus::Cancelled, "Cleanup stopped.")};
    progress.finished = true;

    struct Case {
        CleanAction method;
        std::uint64_t processed;
        std::uint64_t trashed;
        std::string line;
        bool reminder;
    } cases[] = {
        {CleanAction::Trash, 3072, 3072, " 3.0 KiB moved to Trash · 1 done · 1 kept · 1 stopped",
         true},
        {CleanAction::Trash, 5120, 3072,
         " 3.0 KiB moved to Trash · 2.0 KiB freed · 1 done · 1 kept · 1 stopped", true},
        {CleanAction::Trash, 2048, 0, " 2.0 KiB freed · 1 done · 1 kept · 1 stopped", false},
        {CleanAction::Delete, 2048, 0, " 2.0 KiB freed · 1 done · 1 kept · 1 stopped", false},
    };
    for (const auto& c : cases) {
        progress.method = c.method;
        cleanup::CleanupSummary summary;
        summary.completed_items = 1;
        summary.failed_items = 1;
        summary.cancelled_items = 1;
        summary.processed_bytes = c.processed;
        summary.trashed_bytes = c.trashed;
        progress.outcome = summary;
        view.dialog = progress;
        Buffer buf(Rect{0, 0, 100, 24});
        draw_progress_dialog(view, buf, buf.area(), std::nullopt, 0);
        const std::string out = screen(buf);
        EXPECT_TRUE(has(out, c.line)) << c.line << "\n" << out;
        EXPECT_EQ(has(out, " Empty the Trash to reclaim the space."), c.reminder) << out;

        EXPECT_TRUE(has(out, "■ partial    2.0 KiB  /w/stopped-part")) << out;
        EXPECT_TRUE(has(out, "✗ partial        0 B  /w/failed-part")) << out;
        EXPECT_TRUE(has(out, "■ stopped        0 B  /w/stopped-whole")) << out;
        EXPECT_EQ(colour_of(buf, "/w/stopped-part", "■"), palette::kWarning);
        EXPECT_EQ(colour_of(buf, "/w/failed-part", "✗"), palette::kError);
    }
}

// A terminal shrunk while a dialog is open: both still draw within the area.
TEST(DevDialogs, TinyAreas) {
    DevView view;
    ReviewDialog review;
    review.review.candidates = {target("/w/a/target")};
    review.review.warnings = {"w"};
    review.review.worktree_count = 1;
    for (const Rect area : {Rect{0, 0, 1, 1}, Rect{0, 0, 6, 3}, Rect{0, 0, 30, 8}}) {
        view.dialog = review;
        Buffer buf(area);
        EXPECT_FALSE(draw_review_dialog(view, buf, area, std::nullopt).empty());
        view.dialog = ProgressDialog{};
        EXPECT_FALSE(draw_progress_dialog(view, buf, area, std::nullopt, 3).empty());
    }
}

}  // namespace
}  // namespace bramvelt::tui
