#include "src/tui/keys.hpp"

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "src/cli/open_in_app.hpp"

#include "src/tui/launcher.hpp"
#include "src/tui/main_loop.hpp"
#include "tests/support/eventually.hpp"
#include "tests/support/temp_dir.hpp"
#include "tests/tui/key_events.hpp"
#include "tests/tui/tree_fixture.hpp"

namespace bramvelt::tui {
namespace {

using kit::KeyCode;
using kit::KeyEvent;

using test_keys::ch;
using test_keys::code;

KeyEvent f1() {
    KeyEvent k;
    k.code = KeyCode::F;
    k.function = 1;
    return k;
}

const KeyEvent kCtrlC = ch(U'c', kit::key_modifiers::Control);

// An App whose scans never start a real thread and whose opener is recorded.
struct Harness {
    std::pair<UiSender, UiReceiver> channel = make_channel<UiMessage>();
    App app{channel.first};
    KeyServices services;
    std::vector<std::string> opened;
    std::vector<std::string> started;  // folders whose scan started

    Harness() {
        app.launcher = build_launcher_entries("/work", "/home/u", {});
        services.open_in_app = [this](std::string_view folder) -> std::expected<void, std::string> {
            opened.emplace_back(folder);
            if (folder == "/fail") return std::unexpected(std::string("cannot open BramVelt: no"));
            return {};
        };
        services.start_thread = [this](std::function<void()>) {
            started.push_back(app.disk.root.value_or(""));
            return WorkerThread::start([] {});
        };
    }
    Repaint press(const KeyEvent& key) { return handle_key(app, key, services); }
    void type(std::string_view text) {
        for (char c : text) press(ch(static_cast<unsigned char>(c)));
    }
    // The disk view showing `tree` as the scan of /r.
    void show(DiskNode tree) {
        const ScanTicket t = begin_disk_scan(app.disk, "/r");
        apply_disk_message(app.disk, t.generation, DiskSnapshot{std::move(tree)});
    }
};

TEST(Keys, CtrlCStopsTheScanThenQuitsAndKeepsHelpOpen) {
    Harness h;
    h.show(testing::folder("/r", {testing::file("/r/a", 1)}));
    h.app.help_open = true;
    h.press(kCtrlC);
    EXPECT_TRUE(h.app.disk.cancel->load());
    EXPECT_EQ(h.app.status, "Stopping… press Ctrl-C again to quit");
    EXPECT_TRUE(h.app.help_open);
    EXPECT_FALSE(h.app.quit);
    h.press(kCtrlC);  // the flag is already set: nothing left to stop
    EXPECT_TRUE(h.app.quit);

    Harness idle;
    idle.app.path_input = "typing";
    idle.press(kCtrlC);
    EXPECT_TRUE(idle.app.quit);
}

TEST(Keys, HelpConsumesTheNextKeyAndReleaseIsIgnored) {
    Harness h;
    h.press(ch(U'?'));
    EXPECT_TRUE(h.app.help_open);
    h.press(ch(U'q'));
    EXPECT_FALSE(h.app.help_open);
    EXPECT_FALSE(h.app.quit);
    h.press(f1());
    EXPECT_TRUE(h.app.help_open);
    h.press(code(KeyCode::Down));  // closes, does not move
    EXPECT_EQ(h.app.launcher_selected, 0u);
    KeyEvent release = ch(U'q');
    release.kind = kit::KeyEventKind::Release;
    h.press(release);
    EXPECT_FALSE(h.app.quit);
    h.press(ch(U'2'));
    EXPECT_EQ(h.app.view, ActiveView::Development);
    EXPECT_TRUE(h.app.dev.searched);
    EXPECT_EQ(h.app.dev.roots, std::vector<std::string>{"/"});
    h.press(ch(U'q'));
    EXPECT_TRUE(h.app.quit);
}

TEST(Keys, PathLineTakesGlobalKeysAsText) {
    Harness h;
    h.press(ch(U'/'));
    ASSERT_EQ(h.app.path_input, "");
    h.type("q12?");
    EXPECT_EQ(h.app.path_input, "q12?");
    EXPECT_FALSE(h.app.quit);
    EXPECT_FALSE(h.app.help_open);
    h.press(ch(U'w', kit::key_modifiers::Control));
    EXPECT_EQ(h.app.path_input, "");
    h.type("/a/b");
    h.press(ch(U'u', kit::key_modifiers::Control));
    EXPECT_EQ(h.app.path_input, "");
    h.press(code(KeyCode::Esc));
    EXPECT_FALSE(h.app.path_input);
}

TEST(Keys, PasteGoesIntoThePathLineOrTheFilterOnly) {
    Harness h;
    EXPECT_FALSE(handle_paste(h.app, "q"));  // the launcher list: nothing
    EXPECT_FALSE(h.app.quit);
    h.press(ch(U'/'));
    EXPECT_TRUE(handle_paste(h.app, "/srv/my data\r\n"));
    EXPECT_EQ(h.app.path_input, "/srv/my data");
    EXPECT_FALSE(h.app.disk.root);  // the line's Enter, not the paste's, opens it
    h.app.help_open = true;
    EXPECT_FALSE(handle_paste(h.app, "x"));
    EXPECT_EQ(h.app.path_input, "/srv/my data");
    h.app.help_open = false;
    h.press(code(KeyCode::Esc));

    h.show(testing::folder("/r", {testing::file("/r/alpha", 2), testing::file("/r/beta", 1)}));
    EXPECT_FALSE(handle_paste(h.app, "s"));
    EXPECT_EQ(h.app.disk.sort, DiskSort::Size);
    h.press(ch(U'/'));
    h.app.disk.selected = 1;
    EXPECT_TRUE(handle_paste(h.app, "bet\n"));
    EXPECT_EQ(h.app.disk.filter, "bet");
    EXPECT_EQ(h.app.disk.selected, 0u);
}

TEST(Keys, TypedFolderIsResolvedOrReported) {
    bramvelt::testing::TempDir dir;
    dir.make_dir("home/sub");
    dir.write_file("file");
    // A link to a folder whose name is not UTF-8: its real path is scanned as bytes.
    const std::string bad = dir.make_dir("bad\xff");
    ASSERT_EQ(::symlink(bad.c_str(), (dir / "link").c_str()), 0);
    bramvelt::testing::ScopedEnv home("HOME", (dir / "home").c_str());
    struct Case {
        std::string typed;
        std::optional<std::string> scanned;
        std::optional<std::string> status;
    };
    const std::vector<Case> cases = {
        {"  ~  ", dir / "home", std::nullopt},
        {"~/sub", dir / "home/sub", std::nullopt},
        {dir / "home/sub/../sub/", dir / "home/sub", std::nullopt},
        {dir / "link", bad, std::nullopt},
        {"~nobody", std::nullopt, "Not a folder: ~nobody"},
        {dir / "file", std::nullopt, "Not a folder: " + (dir / "file")},
        {dir / "missing\x1b", std::nullopt, "Not a folder: " + (dir / "missing\\u{1b}")},
        {"   ", std::nullopt, "Not a folder: "},
    };
    for (const Case& c : cases) {
        Harness h;
        h.press(ch(U'/'));
        h.type(c.typed);
        h.press(code(KeyCode::Enter));
        EXPECT_FALSE(h.app.path_input) << c.typed;
        EXPECT_EQ(h.app.disk.root, c.scanned) << c.typed;
        EXPECT_EQ(h.app.status, c.status) << c.typed;
    }
}

TEST(Keys, LauncherMovesAndChooses) {
    Harness h;
    h.press(code(KeyCode::Up));
    EXPECT_EQ(h.app.launcher_selected, 0u);
    for (int i = 0; i < 10; ++i) h.press(ch(U'j'));
    EXPECT_EQ(h.app.launcher_selected, 3u);  // Another folder…
    h.press(code(KeyCode::Enter));
    EXPECT_EQ(h.app.path_input, "");
    h.press(code(KeyCode::Esc));
    h.press(ch(U'k'));  // Development cleanup
    h.press(ch(U'l'));
    EXPECT_EQ(h.app.view, ActiveView::Development);
    EXPECT_EQ(h.app.dev.roots, std::vector<std::string>{"/"});
    h.press(ch(U'1'));
    h.press(ch(U'k'));
    h.press(ch(U'k'));
    h.press(code(KeyCode::Right));  // This folder
    EXPECT_EQ(h.app.disk.root, "/work");
    // The development search started first, with no disk scan shown.
    EXPECT_EQ(h.started, (std::vector<std::string>{"", "/work"}));
}

TEST(Keys, WheelMovesLauncherByOneAndTableByThree) {
    Harness h;
    kit::MouseEvent up{kit::MouseKind::ScrollUp};
    kit::MouseEvent down{kit::MouseKind::ScrollDown};
    apply_wheel(h.app, up);
    EXPECT_EQ(h.app.launcher_selected, 0u);
    for (int i = 0; i < 6; ++i) apply_wheel(h.app, down);
    EXPECT_EQ(h.app.launcher_selected, 3u);
    apply_wheel(h.app, kit::MouseEvent{kit::MouseKind::Down, 1});  // clicks do nothing
    EXPECT_EQ(h.app.launcher_selected, 3u);

    std::vector<DiskNode> files;
    for (int i = 0; i < 10; ++i)
        files.push_back(testing::file("/r/f" + std::to_string(i), 100 - i));
    h.show(testing::folder("/r", files));
    h.app.help_open = true;
    apply_wheel(h.app, down);
    EXPECT_EQ(h.app.disk.selected, 3u);
    EXPECT_TRUE(h.app.help_open);  // the wheel does not close help
}

TEST(Keys, DiskViewKeys) {
    Harness h;
    std::vector<DiskNode> files;
    for (int i = 0; i < 10; ++i)
        files.push_back(testing::file("/r/f" + std::to_string(i), 100 - i));
    files.push_back(testing::folder("/r/dir", {testing::file("/r/dir/x", 1)}));
    h.show(testing::folder("/r", files));
    h.app.disk.page = 4;
    h.press(code(KeyCode::PageDown));
    EXPECT_EQ(h.app.disk.selected, 4u);
    h.press(ch(U'G'));  // a shifted letter arrives as the letter
    EXPECT_EQ(h.app.disk.selected, 10u);
    h.press(code(KeyCode::Home));
    EXPECT_EQ(h.app.disk.selected, 0u);
    h.app.disk.page = 0;
    h.press(code(KeyCode::PageDown));  // a page of no rows still moves one
    EXPECT_EQ(h.app.disk.selected, 1u);
    h.press(ch(U's'));
    EXPECT_EQ(h.app.status, "Sorted by name");
    h.press(ch(U't'));
    EXPECT_TRUE(h.app.disk.treemap_hidden);

    // The filter line takes every key, the global ones too.
    h.press(ch(U'/'));
    h.type("q1");
    EXPECT_EQ(h.app.disk.filter, "q1");
    EXPECT_FALSE(h.app.quit);
    h.press(code(KeyCode::Esc));
    EXPECT_FALSE(h.app.disk.filter_input);

    // o: the current folder for a file, the folder itself when one is selected.
    h.press(ch(U'g'));  // by name: "dir" first
    EXPECT_EQ(h.press(ch(U'o')), Repaint::Full);
    EXPECT_EQ(h.opened.back(), "/r/dir");
    EXPECT_EQ(h.app.status, "Opened in BramVelt");
    h.press(code(KeyCode::End));  // a file
    const DiskNode* last = selected_node(h.app.disk);
    ASSERT_NE(last, nullptr);
    h.app.disk.breadcrumb = {"/fail"};  // the opener's error becomes the status
    h.app.disk.visible_key.reset();
    h.press(ch(U'o'));
    EXPECT_EQ(h.opened.back(), "/fail");
    EXPECT_EQ(h.app.status, "cannot open BramVelt: no");
    h.app.disk.breadcrumb = {"/r"};
    h.app.disk.visible_key.reset();

    // c searches the current folder, which does not exist here.
    h.press(ch(U'c'));
    EXPECT_EQ(h.app.view, ActiveView::Development);
    EXPECT_TRUE(h.app.dev.error.has_value());
    EXPECT_TRUE(h.app.dev.roots.empty());
    h.press(ch(U'1'));

    // r rescans the same folder under a new generation; Esc stops, then leaves.
    const std::uint64_t before = h.app.disk.generation;
    h.press(ch(U'r'));
    EXPECT_EQ(h.started.back(), "/r");
    EXPECT_GT(h.app.disk.generation, before);
    h.press(code(KeyCode::Esc));
    EXPECT_EQ(h.app.status, "Scan stopped; showing what was measured");
    h.press(code(KeyCode::Esc));
    EXPECT_FALSE(h.app.disk.root);
}

// A stub opener on PATH, as the desktop's would be, reporting its process id.
struct StubOpener {
    bramvelt::testing::TempDir dir;
    std::string pid_file = dir / "pid";
    std::optional<bramvelt::testing::ScopedEnv> path;

    explicit StubOpener(const std::string& body) {
        const std::string script = dir.make_dir("bin") + "/xdg-open";
        std::ofstream(script) << "#!/bin/sh\necho $$ > " << pid_file << ".tmp\nmv " << pid_file
                              << ".tmp " << pid_file << "\n"
                              << body << "\n";
        ::chmod(script.c_str(), 0755);
        path.emplace("PATH", (dir / "bin:/usr/bin:/bin").c_str());
    }
    pid_t pid() const {
        pid_t pid = 0;
        bramvelt::testing::eventually([&] {
            std::ifstream in(pid_file);
            return static_cast<bool>(in >> pid);
        });
        return pid;
    }
};

// The process's state letter from /proc ('Z' for a zombie), or nothing once it is gone.
std::optional<char> process_state(pid_t pid) {
    std::ifstream in("/proc/" + std::to_string(pid) + "/stat");
    std::string text;
    if (!std::getline(in, text)) return std::nullopt;
    const auto paren = text.rfind(')');
    if (paren == std::string::npos || paren + 2 >= text.size()) return std::nullopt;
    return text[paren + 2];
}

// The opener is waited for `limit`: short where it never ends, long where it ends at once,
// so a busy machine cannot turn its end into a wait that ran out.
struct OpenKeyHarness : Harness {
    std::string folder;
    explicit OpenKeyHarness(const StubOpener& opener,
                            std::chrono::milliseconds limit = std::chrono::seconds(60)) {
        folder = opener.dir.make_dir("project");
        services.open_in_app = [limit](std::string_view f) {
            return cli::open_in_app_within(f, limit);
        };
        show(testing::folder("/r", {testing::folder(folder)}));
    }
};

TEST(OpenKey, AnOpenerStillRunningAfterTheWaitCountsAsOpenedAndIsReapedLater) {
    StubOpener opener("exec sleep 600");
    OpenKeyHarness h(opener, std::chrono::milliseconds(300));
    const auto started = std::chrono::steady_clock::now();
    EXPECT_EQ(h.press(ch(U'o')), Repaint::Full);
    EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::seconds(30));
    EXPECT_EQ(h.app.status, "Opened in BramVelt");

    // Left running, not killed: still there a while after the key returned.
    const pid_t pid = opener.pid();
    ASSERT_GT(pid, 0);
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    EXPECT_NE(process_state(pid).value_or('Z'), 'Z');

    // The interface answers the next key at once.
    h.press(ch(U't'));
    EXPECT_TRUE(h.app.disk.treemap_hidden);

    // When the application ends, something of ours reaps it: no zombie stays behind.
    ASSERT_EQ(::kill(pid, SIGTERM), 0);
    std::optional<char> state = 'S';
    bramvelt::testing::eventually([&] { return !(state = process_state(pid)); });
    EXPECT_EQ(state, std::nullopt) << "state " << state.value_or('?');
}

TEST(OpenKey, AnOpenerThatEndsWithinTheWaitReportsAsBefore) {
    {
        StubOpener opener("exit 3");
        OpenKeyHarness h(opener);
        h.press(ch(U'o'));
        EXPECT_EQ(h.app.status, "opening BramVelt failed: exit status: 3");
    }
    {
        StubOpener opener("sleep 0.05; exit 0");
        OpenKeyHarness h(opener);
        h.press(ch(U'o'));
        EXPECT_EQ(h.app.status, "Opened in BramVelt");
    }
    {
        StubOpener opener("exit 0");
        OpenKeyHarness h(opener);
        bramvelt::testing::ScopedEnv no_opener("PATH", "/nonexistent");
        h.press(ch(U'o'));
        EXPECT_EQ(h.app.status, "cannot open BramVelt: xdg-open was not found");
    }
}

TEST(MainLoop, DrainStopsAtTheDeadlineAndDropsOldGenerations) {
    auto [sender, receiver] = make_channel<UiMessage>();
    App app(sender);
    const ScanTicket t = begin_disk_scan(app.disk, "/r");
    for (int i = 0; i < 5; ++i) {
        sender.send(UiMessage{MessageKind::Disk, t.generation,
                              DiskProgress{"/r/" + std::to_string(i), 1, 1, 1, 0}});
    }
    // The first message is always applied; the clock then reads past the deadline.
    const auto deadline = Clock::now();
    int calls = 0;
    EXPECT_EQ(
        drain_messages(app, receiver, deadline,
                       [&] { return deadline + std::chrono::milliseconds(++calls > 2 ? 20 : 0); }),
        3u);
    EXPECT_EQ(app.disk.progress->path, "/r/2");
    EXPECT_EQ(drain_messages(app, receiver, deadline, [&] { return deadline; }), 2u);
    EXPECT_EQ(drain_messages(app, receiver, deadline, [&] { return deadline; }), 0u);

    sender.send(UiMessage{MessageKind::Disk, t.generation + 7, DiskProgress{"/old", 1, 1, 1, 0}});
    drain_messages(app, receiver, deadline, [&] { return deadline; });
    EXPECT_EQ(app.disk.progress->path, "/r/4");

    const auto now = Clock::now();
    EXPECT_TRUE(idle_redraw_due(true, now, now));
    EXPECT_FALSE(idle_redraw_due(false, now - std::chrono::milliseconds(119), now));
    EXPECT_TRUE(idle_redraw_due(false, now - kIdleRedraw, now));
    EXPECT_FALSE(idle_redraw_due(false, now + std::chrono::seconds(5), now));  // clock went back

    receiver.close();
    EXPECT_FALSE(sender.send(UiMessage{}));
}

}  // namespace
}  // namespace bramvelt::tui
