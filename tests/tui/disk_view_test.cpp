#include "src/tui/disk_view.hpp"

#include <gtest/gtest.h>

#include <string>
#include <thread>
#include <vector>

#include "src/tui/disk_scan.hpp"
#include "tests/support/temp_dir.hpp"
#include "tests/tui/tree_fixture.hpp"

namespace bramvelt::tui {
namespace {

using testing::file;
using testing::folder;

std::vector<std::string> visible_names(DiskView& view) {
    refresh_visible(view);
    std::vector<std::string> out;
    const DiskNode* dir = current_folder(view);
    if (dir == nullptr) return out;
    for (std::size_t i : view.visible) out.emplace_back(node_name(node_children(*dir)[i]));
    return out;
}

DiskNode sample_tree() {
    return folder("/r", {
                            folder("/r/src", {file("/r/src/main.c", 290), file("/r/src/a.h", 10)}),
                            file("/r/Big", 300, 100),
                            file("/r/big", 50, 200),
                            folder("/r/node_modules", {file("/r/node_modules/x", 40, 300)}),
                            folder("/r/empty"),
                        });
}

// A view scanning /r that received `tree` as its first snapshot.
DiskView scanning_view(DiskNode tree) {
    DiskView view;
    const ScanTicket ticket = begin_disk_scan(view, "/r");
    apply_disk_message(view, ticket.generation, DiskSnapshot{std::move(tree)});
    return view;
}

TEST(DiskViewState, SortOrders) {
    DiskView view = scanning_view(sample_tree());
    // Equal sizes by path in byte order: "/r/Big" before "/r/src".
    EXPECT_EQ(visible_names(view),
              (std::vector<std::string>{"Big", "src", "big", "node_modules", "empty"}));
    EXPECT_EQ(cycle_sort(view), "Sorted by name");
    // Names differing only in case compare equal and keep the folder's order.
    EXPECT_EQ(visible_names(view),
              (std::vector<std::string>{"Big", "big", "empty", "node_modules", "src"}));
    EXPECT_EQ(cycle_sort(view), "Sorted by files");
    EXPECT_EQ(visible_names(view),
              (std::vector<std::string>{"src", "Big", "big", "node_modules", "empty"}));
    EXPECT_EQ(cycle_sort(view), "Sorted by modified");
    // Newest first; children without a time last, by size.
    EXPECT_EQ(visible_names(view),
              (std::vector<std::string>{"big", "Big", "src", "node_modules", "empty"}));
    EXPECT_EQ(cycle_sort(view), "Sorted by size");
    EXPECT_EQ(view.sort, DiskSort::Size);
}

TEST(DiskViewState, FilterMatchesNamesOnlyIgnoringCase) {
    DiskNode tree = folder(
        "/r", {folder("/r/odu_stuff", {file("/r/odu_stuff/x", 5)}),
               folder("/r/node_modules", {file("/r/node_modules/y", 7)}), file("/r/other", 3)});
    DiskView view = scanning_view(std::move(tree));
    view.filter = "ODU";
    EXPECT_EQ(visible_names(view), (std::vector<std::string>{"node_modules", "odu_stuff"}));
    enter_selected(view);  // the filter is emptied on the way in
    ASSERT_EQ(view.breadcrumb.size(), 2u);
    view.filter = "odu";  // the folder above bears the text; its children do not
    EXPECT_TRUE(visible_names(view).empty());
    EXPECT_TRUE(name_matches_filter("", folder("/x")));
    EXPECT_TRUE(name_matches_filter("i̇", file("/a/İx", 1)));  // full lower-case mapping
}

TEST(DiskViewState, SelectionFollowsPathAfterAMoveAndClamps) {
    DiskView view = scanning_view(sample_tree());
    // Before any move the selection is a row position.
    cycle_sort(view);
    EXPECT_EQ(view.selected, 0u);
    move_selection(view, 2);  // name order: Big, big, empty
    ASSERT_NE(selected_node(view), nullptr);
    EXPECT_EQ(node_path(*selected_node(view)), "/r/empty");
    cycle_sort(view);  // by files: empty is last
    refresh_visible(view);
    EXPECT_EQ(view.selected, 4u);
    EXPECT_EQ(node_path(*selected_node(view)), "/r/empty");
    move_selection(view, -1000);
    EXPECT_EQ(view.selected, 0u);
    move_selection(view, INT64_MAX);
    EXPECT_EQ(view.selected, 4u);
    move_selection(view, INT64_MIN);
    EXPECT_EQ(view.selected, 0u);

    // A smaller tree moves the selection to the last row.
    move_selection(view, 4);
    view.selected_path = "/r/gone";
    install_tree(view, folder("/r", {file("/r/a", 1), file("/r/b", 2)}));
    refresh_visible(view);
    EXPECT_EQ(view.selected, 1u);
}

TEST(DiskViewState, EnterAndGoUp) {
    DiskView view = scanning_view(sample_tree());
    go_up(view);  // at the scan folder: nothing
    EXPECT_EQ(view.breadcrumb, (std::vector<std::string>{"/r"}));
    move_selection(view, 1);  // src
    enter_selected(view);
    EXPECT_EQ(view.breadcrumb, (std::vector<std::string>{"/r", "/r/src"}));
    EXPECT_EQ(view.selected, 0u);
    EXPECT_FALSE(view.selected_path);
    enter_selected(view);  // main.c is a file
    EXPECT_EQ(view.breadcrumb.size(), 2u);
    go_up(view);
    EXPECT_EQ(view.breadcrumb, (std::vector<std::string>{"/r"}));
    EXPECT_EQ(node_path(*selected_node(view)), "/r/src");  // lands on the folder just left
    move_selection(view, 3);                               // empty folder
    EXPECT_EQ(node_path(*selected_node(view)), "/r/empty");
    enter_selected(view);
    EXPECT_EQ(view.breadcrumb.size(), 1u);
}

TEST(DiskViewState, BreadcrumbCutToWhatTheNewTreeHolds) {
    DiskNode deep = folder("/r", {folder("/r/a", {folder("/r/a/b", {file("/r/a/b/f", 4)})})});
    DiskView view = scanning_view(deep);
    enter_selected(view);
    enter_selected(view);
    ASSERT_EQ(view.breadcrumb.size(), 3u);
    // /r/a/b vanished: the crumb goes back to /r/a.
    install_tree(view, folder("/r", {folder("/r/a", {file("/r/a/other", 4)})}));
    EXPECT_EQ(view.breadcrumb, (std::vector<std::string>{"/r", "/r/a"}));
    EXPECT_EQ(visible_names(view), (std::vector<std::string>{"other"}));
    EXPECT_EQ(view.tree_version, 2u);
}

TEST(DiskViewState, GenerationsDropOldMessages) {
    DiskView view;
    const ScanTicket first = begin_disk_scan(view, "/r");
    apply_disk_message(view, first.generation, DiskProgress{"/r/x", 10, 1, 1, 0});
    ASSERT_TRUE(view.progress);

    const ScanTicket second = begin_disk_scan(view, "/r");
    EXPECT_TRUE(first.cancel->load());  // the replaced scan is asked to stop
    EXPECT_NE(first.generation, second.generation);
    EXPECT_FALSE(view.progress);
    apply_disk_message(view, first.generation, DiskSnapshot{sample_tree()});
    apply_disk_message(view, first.generation, DiskProgress{"/r/y", 1, 1, 1, 0});
    EXPECT_FALSE(view.tree);
    EXPECT_FALSE(view.progress);

    scan::ScanOutcome outcome;
    outcome.tree = folder("/r", {file("/r/final", 9)});
    outcome.files_scanned = 1;
    outcome.directories_scanned = 1;
    outcome.elapsed_seconds = 1.5;
    apply_disk_message(view, second.generation, DiskFinished{std::move(outcome)});
    EXPECT_FALSE(view.scanning);
    EXPECT_EQ(view.stopped, false);
    // A snapshot after the result changes nothing.
    apply_disk_message(view, second.generation, DiskSnapshot{sample_tree()});
    EXPECT_EQ(visible_names(view), (std::vector<std::string>{"final"}));

    // A failed scan keeps its last tree and shows the error.
    const ScanTicket third = begin_disk_scan(view, "/r");
    apply_disk_message(view, third.generation, DiskSnapshot{sample_tree()});
    apply_disk_message(view, third.generation, DiskFinished{std::unexpected(std::string("boom"))});
    EXPECT_EQ(view.error, "boom");
    EXPECT_TRUE(view.tree);
    EXPECT_FALSE(view.scanning);
}

TEST(DiskViewState, EscClearsFilterThenStopsThenLeaves) {
    DiskView view;
    const ScanTicket ticket = begin_disk_scan(view, "/r");
    apply_disk_message(view, ticket.generation, DiskSnapshot{sample_tree()});
    view.filter = "src";
    view.sort = DiskSort::Name;
    view.treemap_hidden = true;
    EXPECT_EQ(stop_or_leave(view), std::nullopt);
    EXPECT_TRUE(view.filter.empty());
    EXPECT_FALSE(ticket.cancel->load());
    EXPECT_EQ(stop_or_leave(view), "Scan stopped; showing what was measured");
    EXPECT_TRUE(ticket.cancel->load());
    EXPECT_TRUE(view.tree);
    EXPECT_TRUE(view.scanning);
    EXPECT_EQ(stop_or_leave(view), std::nullopt);
    EXPECT_FALSE(view.root);  // the launcher
    EXPECT_EQ(view.sort, DiskSort::Size);
    EXPECT_FALSE(view.treemap_hidden);
    // The stopped scan's final tree must not come back behind the launcher.
    scan::ScanOutcome outcome;
    outcome.tree = sample_tree();
    outcome.cancelled = true;
    apply_disk_message(view, ticket.generation, DiskFinished{std::move(outcome)});
    EXPECT_FALSE(view.tree);
    EXPECT_FALSE(view.stopped);
}

TEST(DiskViewState, FilterLineKeys) {
    DiskView view = scanning_view(sample_tree());
    move_selection(view, 2);
    open_filter_input(view);
    kit::KeyEvent key;
    key.code = kit::KeyCode::Char;
    key.ch = U'b';
    edit_filter(view, key);
    EXPECT_EQ(view.filter, "b");
    EXPECT_EQ(view.selected, 0u);
    EXPECT_FALSE(view.selected_path);
    EXPECT_EQ(visible_names(view), (std::vector<std::string>{"Big", "big"}));
    key.code = kit::KeyCode::Enter;
    edit_filter(view, key);
    EXPECT_FALSE(view.filter_input);
    EXPECT_EQ(view.filter, "b");
    open_filter_input(view);
    EXPECT_EQ(view.filter_input, "b");
    key.code = kit::KeyCode::Esc;
    edit_filter(view, key);
    EXPECT_FALSE(view.filter_input);
    EXPECT_TRUE(view.filter.empty());
}

TEST(DiskViewState, OpenTargetAndColorRanks) {
    DiskView view = scanning_view(sample_tree());
    refresh_visible(view);
    // Folders ranked by size among folders only: src 300, node_modules 40, empty 0.
    ASSERT_EQ(view.color_ranks.size(), 5u);
    EXPECT_EQ(view.color_ranks[0], 0u);
    EXPECT_EQ(view.color_ranks[1], std::nullopt);
    EXPECT_EQ(view.color_ranks[3], 1u);
    EXPECT_EQ(view.color_ranks[4], 2u);
    EXPECT_EQ(open_target(view), "/r");  // "Big" is a file
    move_selection(view, 1);
    EXPECT_EQ(open_target(view), "/r/src");
}

TEST(PruneTree, KeepsLargestChildrenAndDepth) {
    std::vector<DiskNode> many;
    for (int i = 0; i < 1000; ++i)
        many.push_back(file("/r/f" + std::to_string(i), i < 500 ? 1 : 2));
    const DiskNode pruned = prune_tree(folder("/r", many), 6, 400);
    ASSERT_EQ(pruned.children.size(), 400u);
    EXPECT_EQ(pruned.children.front().path, "/r/f500");  // largest first
    EXPECT_EQ(pruned.children.back().path, "/r/f899");   // equal sizes keep their order
    EXPECT_EQ(pruned.size, 1500);                        // totals still count what was left out

    DiskNode chain = file("/r/1/2/3/4/5/6/7/f", 1);
    for (int depth = 7; depth >= 1; --depth) {
        std::string path = "/r";
        for (int i = 1; i <= depth; ++i) path += "/" + std::to_string(i);
        chain = folder(path, {chain});
    }
    DiskNode level = prune_tree(folder("/r", {chain}), 6, 400);
    for (int i = 0; i < 6; ++i) {
        ASSERT_EQ(level.children.size(), 1u) << i;
        DiskNode next = level.children[0];
        level = next;
    }
    EXPECT_TRUE(level.children.empty());  // six levels below the root, no children
    EXPECT_EQ(level.size, 1);
}

TEST(ScanSink, ThrottlesProgressAndFailsOnceTheUiIsGone) {
    auto [sender, receiver] = make_channel<UiMessage>();
    TuiScanSink sink(sender, 7);
    const auto t0 = std::chrono::steady_clock::now();
    const auto progress = [](std::string path) {
        return scan::ScanEvent{scan::ProgressEvent{std::move(path), 1, 1, 1, 0}};
    };
    ASSERT_TRUE(sink.deliver(progress("a"), t0));
    ASSERT_TRUE(sink.deliver(progress("b"), t0 + std::chrono::milliseconds(79)));
    ASSERT_TRUE(sink.deliver(progress("c"), t0 + std::chrono::milliseconds(80)));
    ASSERT_TRUE(sink.deliver(progress("d"), t0 - std::chrono::milliseconds(5)));  // clock went back
    const DiskNode tree = sample_tree();
    ASSERT_TRUE(sink.deliver(scan::SnapshotEvent{&tree}, t0));
    ASSERT_TRUE(sink.deliver(scan::CompleteEvent{&tree}, t0));

    std::vector<std::string> paths;
    int snapshots = 0;
    while (auto m = receiver.try_receive()) {
        EXPECT_EQ(m->generation, 7u);
        const auto& update = std::get<DiskUpdate>(m->update);
        if (const auto* p = std::get_if<DiskProgress>(&update)) paths.push_back(p->path);
        if (std::holds_alternative<DiskSnapshot>(update)) ++snapshots;
    }
    EXPECT_EQ(paths, (std::vector<std::string>{"a", "c"}));
    EXPECT_EQ(snapshots, 1);

    receiver.close();
    const auto failed = sink.deliver(progress("e"), t0 + std::chrono::seconds(5));
    ASSERT_FALSE(failed);
    EXPECT_EQ(failed.error(), "ui closed");
}

TEST(StartDiskScan, RealScanReportsItsTreeAndAThreadThatCannotStartIsAStatus) {
    auto [sender, receiver] = make_channel<UiMessage>();
    DiskView view;
    const auto failed = start_disk_scan(view, "/nowhere", sender, [](std::function<void()>) {
        return std::expected<WorkerThread, std::string>(std::unexpected(std::string("no threads")));
    });
    EXPECT_EQ(failed, "Could not start the scan: no threads");
    EXPECT_FALSE(view.scanning);
    EXPECT_EQ(view.error, "Could not start the scan: no threads");

    const auto run_to_end = [&receiver](DiskView& v) {
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
        while (v.scanning && std::chrono::steady_clock::now() < deadline) {
            if (auto m = receiver.try_receive()) {
                apply_disk_message(v, m->generation, std::get<DiskUpdate>(std::move(m->update)));
            } else {
                std::this_thread::sleep_for(std::chrono::milliseconds(5));
            }
        }
    };
    bramvelt::testing::TempDir dir;
    dir.write_file("a/one", std::string(5000, 'x'));
    dir.write_file("b", "y");
    ASSERT_EQ(start_disk_scan(view, dir.path(), sender), std::nullopt);
    ASSERT_TRUE(view.scanning);
    run_to_end(view);
    EXPECT_FALSE(view.scanning);
    EXPECT_EQ(view.stopped, false);
    EXPECT_FALSE(view.error);
    EXPECT_EQ(view.files, 2u);
    ASSERT_TRUE(view.tree);
    EXPECT_EQ(node_children(*view.tree).size(), 2u);

    // A folder that does not exist: the worker reports the engine's error text.
    ASSERT_EQ(start_disk_scan(view, "/nonexistent/bramvelt-test", sender), std::nullopt);
    run_to_end(view);
    EXPECT_FALSE(view.scanning);
    EXPECT_TRUE(view.error);
}

}  // namespace
}  // namespace bramvelt::tui
