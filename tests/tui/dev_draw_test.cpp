#include "src/tui/dev_draw.hpp"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "src/tui/frame.hpp"

namespace bramvelt::tui {
namespace {

using development::CandidateKind;
using development::DevCandidate;
using development::Recommendation;
using kit::Buffer;
using kit::Rect;

constexpr std::int64_t kNow = 1'700'000'000;

DrawClock fixed_clock() {
    DrawClock c;
    c.unix_seconds = kNow;
    return c;
}

std::string screen(const Buffer& buf) {
    std::string out;
    for (std::uint16_t y = 0; y < buf.area().height; ++y) out += buf.row_text(y) + "\n";
    return out;
}

DevCandidate target(std::string path, std::uint64_t bytes) {
    DevCandidate c;
    c.path = std::move(path);
    c.kind = CandidateKind::Build;
    c.tool = "Cargo";
    c.allocated_bytes = bytes;
    c.files = 3;
    c.measurement_complete = true;
    c.last_modified = kNow - 86'400 * 40;
    c.recommendation = Recommendation::Regenerable;
    return c;
}

DevCandidate dirty_worktree(std::string path) {
    DevCandidate c;
    c.path = std::move(path);
    c.kind = CandidateKind::Worktree;
    c.tool = "Git";
    c.allocated_bytes = 8192;
    c.measurement_complete = true;
    c.recommendation = Recommendation::Keep;
    development::GitDetail g;
    g.repository = "/home/u/ws/repo";
    g.branch = "feature";
    g.head = "0123456789abcdef";
    g.dirty = development::DirtyState::Yes;
    g.modified = 2;
    c.git = g;
    return c;
}

struct Screen {
    std::pair<UiSender, UiReceiver> channel = make_channel<UiMessage>();
    App app{channel.first};

    Screen() {
        app.view = ActiveView::Development;
        app.home = "/home/u";
        DevView& dev = app.dev;
        dev.searched = true;
        dev.roots = {"/home/u/ws"};
        dev.candidates = {target("/home/u/ws/a/target", 2'000'000),
                          target("/home/u/ws/b/target", 1'000'000),
                          dirty_worktree("/home/u/ws/wt")};
        dev.summary = development::DevScanSummary{};
        dev.summary->entries_examined = 1234;
        dev.summary->elapsed_ms = 2500;
        dev.selected_paths = {"/home/u/ws/a/target"};
    }
    std::string draw(std::uint16_t height) {
        Buffer buf(Rect{0, 0, 120, height});
        draw_frame(app, buf, buf.area(), fixed_clock());
        return screen(buf);
    }
};

bool has(const std::string& text, std::string_view part) {
    return text.find(part) != std::string::npos;
}

TEST(DevDraw, ListBoxesAndDetailsAt120By30) {
    Screen s;
    const std::string out = s.draw(30);
    for (std::string_view part :
         {"✓ ~/ws  1,234 entries · 0 folders · 0 git checks · 2.5s", "remotes: cached",
          " Can be rebuilt ", " Worktrees to review ", " Keep for now ", " Space to review ",
          "Builds, caches & downloa…", "2 items", " Can be rebuilt · 2 shown · largest first ",
          "[✓]", "[ ]", "~/ws/a/target", "Cargo build output", " 1 selected · ", "Enter to review ",
          "Cargo can recreate these generated files from your source.", "↑↓ move"}) {
        EXPECT_TRUE(has(out, part)) << part << "\n" << out;
    }
    EXPECT_EQ(s.app.dev.page, 28u - 1 - 4 - 7 - 3);

    // The Keep category with the cursor on the dirty worktree.
    s.app.dev.filter.category = cli::DevCategory::Keep;
    const std::string keep = s.draw(30);
    for (std::string_view part :
         {" Keep for now · 1 shown · largest first ", " · ", "~/ws/wt  ⎇ feature",
          "This worktree has uncommitted changes or new files.",
          "⎇ feature @ 012345678 · 0 staged, 2 modified, 0 untracked"}) {
        EXPECT_TRUE(has(keep, part)) << part << "\n" << keep;
    }
}

TEST(DevDraw, NoDetailsAt120By23AndTheMessagesOfAnEmptyList) {
    Screen s;
    const std::string out = s.draw(23);
    EXPECT_TRUE(has(out, "~/ws/a/target")) << out;
    EXPECT_FALSE(has(out, "can recreate these generated files")) << out;

    s.app.dev.candidates.clear();
    s.app.dev.selected_paths.clear();
    s.app.dev.cursor = 5;
    EXPECT_TRUE(has(s.draw(23), "No development clutter found here"));
    EXPECT_EQ(s.app.dev.cursor, 0u);
    s.app.dev.scanning = true;
    s.app.dev.error = "An absolute path is required";
    const std::string scanning = s.draw(23);
    EXPECT_TRUE(has(scanning, "Searching… items appear here as they are found")) << scanning;
    EXPECT_TRUE(has(scanning, " ✗ An absolute path is required ~/ws")) << scanning;
    Buffer buf(Rect{0, 0, 120, 21});
    const KeyHints hints = draw_dev_view(s.app.dev, buf, buf.area(), s.app.home, 0, fixed_clock());
    EXPECT_EQ(hints.back(), (KeyHint{"Esc", "stop"}));
}

TEST(DevDraw, FilterTitleSearchLineAndFoldersPopup) {
    Screen s;
    s.app.dev.filter.min_size = 500'000'000;
    s.app.dev.filter.older_than_days = 30;
    s.app.dev.filter.search = "Tar";
    s.app.dev.search_input = "Tar";
    const std::string out = s.draw(30);
    EXPECT_TRUE(has(out, "largest first · unchanged 30+ days · ≥ 100 MB · “Tar” ")) << out;
    EXPECT_TRUE(has(out, "Nothing matches — Tab changes category, / searches")) << out;
    EXPECT_TRUE(has(out, " Search: Tar▏")) << out;
    EXPECT_TRUE(has(out, "Enter keep search")) << out;

    s.app.dev.search_input.reset();
    s.app.dev.folders_input = "~/src";
    const std::string popup = s.draw(30);
    EXPECT_TRUE(has(popup, " Scan folders ")) << popup;
    EXPECT_TRUE(has(popup, "Comma-separated. Leave empty for the usual development locations."));
    EXPECT_TRUE(has(popup, "Enter scan")) << popup;
}

}  // namespace
}  // namespace bramvelt::tui
