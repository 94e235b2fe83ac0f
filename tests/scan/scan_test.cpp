// Scans of real folder trees made by the tests, compared with what du and stat say.

#include <fcntl.h>
#include <sched.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <nlohmann/json.hpp>
#include <string>
#include <thread>
#include <vector>

#include "platform/file_flags.hpp"
#include "platform/listing.hpp"
#include "scan/scan.hpp"
#include "scan/session.hpp"
#include "scan/tree_json.hpp"
#include "scan/worker.hpp"
#include "support/as_user.hpp"
#include "support/race.hpp"
#include "support/run_process.hpp"
#include "support/temp_dir.hpp"

namespace bramvelt::scan {
namespace {

using testing::TempDir;

// Everything a scan delivered, in order, with the trees copied.
struct Recorded {
    std::string kind;  // progress, snapshot, complete, error:<code>
    std::string path;  // progress path
    std::optional<TreeNode> tree;
    std::string message;
};

struct ScanRun {
    std::shared_ptr<ScanSession> session;
    std::vector<Recorded> events;
    std::expected<ScanOutcome, std::string> result;
};

ScanOptions test_options(unsigned jobs = 4) {
    ScanOptions options;
    options.jobs = jobs;
    options.snapshot_interval = {0, 0};
    return options;
}

ScanRun run(std::string_view folder, ScanOptions options = test_options(),
            std::function<void(ScanRun&, const ScanEvent&)> also = {}) {
    ScanRun r;
    r.session = std::make_shared<ScanSession>(options, std::make_unique<platform::NullWriter>(),
                                              make_cancel_flag());
    set_event_callback(*r.session, [&r, also](ScanEvent event) -> std::expected<void, std::string> {
        Recorded rec;
        std::visit(
            [&](const auto& e) {
                using T = std::decay_t<decltype(e)>;
                if constexpr (std::is_same_v<T, ProgressEvent>) {
                    rec.kind = "progress";
                    rec.path = e.current_path;
                } else if constexpr (std::is_same_v<T, SnapshotEvent>) {
                    rec.kind = "snapshot";
                    rec.tree = *e.tree;
                } else if constexpr (std::is_same_v<T, CompleteEvent>) {
                    rec.kind = "complete";
                    rec.tree = *e.tree;
                } else {
                    rec.kind = "error:" + std::string(e.code);
                    rec.message = e.message;
                    if (e.partial_tree != nullptr) rec.tree = *e.partial_tree;
                }
            },
            event);
        r.events.push_back(std::move(rec));
        if (also) also(r, event);
        return {};
    });
    r.result = run_scan(r.session, folder);
    return r;
}

std::int64_t du_bytes(const std::string& path, bool count_links_separately = false) {
    std::vector<std::string> args = {"-s", "-x", "-B1"};
    if (count_links_separately) args.push_back("-l");
    args.push_back(path);
    const auto result = testing::run_process("du", args);
    EXPECT_EQ(result.status, 0) << result.err;
    return std::stoll(result.out);
}

const TreeNode* find(const TreeNode& node, std::string_view path) {
    if (node.path == path) return &node;
    for (const auto& child : node.children) {
        if (const TreeNode* hit = find(child, path)) return hit;
    }
    return nullptr;
}

std::string tree_json(const TreeNode& node) {
    platform::StringWriter out;
    write_tree_json(out, node);
    return out.text();
}

void write_bytes(const std::string& path, std::size_t size) {
    std::string data(size, 'x');
    const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    ASSERT_GE(fd, 0) << path;
    ASSERT_EQ(::write(fd, data.data(), data.size()), static_cast<ssize_t>(data.size()));
    ::close(fd);
}

struct stat lstat_of(const std::string& path) {
    struct stat st {};
    EXPECT_EQ(::lstat(path.c_str(), &st), 0) << path;
    return st;
}

TEST(Scan, RealTreeMatchesDuAndStat) {
    TempDir dir;
    const std::string root = dir.make_dir("root");
    write_bytes(root + "/big", 200'000);
    dir.make_dir("root/sub/deeper");
    write_bytes(root + "/sub/deeper/small", 10);
    // A file with three links counts once.
    write_bytes(root + "/sub/linked", 50'000);
    ASSERT_EQ(::link((root + "/sub/linked").c_str(), (root + "/linked2").c_str()), 0);
    ASSERT_EQ(::link((root + "/sub/linked").c_str(), (root + "/sub/deeper/linked3").c_str()), 0);
    // A sparse file counts what it allocates, not its length.
    {
        const int fd = ::open((root + "/sparse").c_str(), O_WRONLY | O_CREAT, 0644);
        ASSERT_GE(fd, 0);
        ASSERT_EQ(::ftruncate(fd, 1LL << 30), 0);
        ASSERT_EQ(::pwrite(fd, "x", 1, 0), 1);
        ::close(fd);
    }
    // Links are never followed; skipped by default.
    ASSERT_EQ(::symlink("/", (root + "/to-root").c_str()), 0);
    ASSERT_EQ(::symlink("sub", (root + "/to-sub").c_str()), 0);
    // A bundle folder is one package item with its full size.
    write_bytes(dir.make_dir("root/Tool.app/Contents") + "/binary", 30'000);
    dir.make_dir("root/Caps.APP");
    // Dates before the epoch have no time.
    write_bytes(root + "/old", 1);
    const timespec times[2] = {{-86'400 * 400, 0}, {-86'400 * 400, 0}};
    ASSERT_EQ(::utimensat(AT_FDCWD, (root + "/old").c_str(), times, AT_SYMLINK_NOFOLLOW), 0);
    // Names with control bytes and invalid UTF-8.
    write_bytes(root + "/line\nfeed\x01", 5);
    write_bytes(root + "/bad\xFFname", 5);

    for (const unsigned jobs : {1u, 64u}) {
        auto r = run(root, test_options(jobs));
        ASSERT_TRUE(r.result) << r.result.error();
        const ScanOutcome& out = *r.result;
        const TreeNode& tree = out.tree;
        EXPECT_EQ(tree.size, du_bytes(root));
        EXPECT_EQ(out.bytes_scanned, tree.size);
        EXPECT_EQ(tree.file_count, 10);  // three links count as three files
        EXPECT_EQ(out.files_scanned, 10u);
        const std::int64_t linked_size = lstat_of(root + "/sub/linked").st_blocks * 512;
        EXPECT_EQ(out.hard_link_bytes_saved, static_cast<std::uint64_t>(2 * linked_size));
        EXPECT_EQ(tree.state, NodeState::Normal);
        EXPECT_FALSE(out.cancelled);

        const TreeNode* sparse = find(tree, root + "/sparse");
        ASSERT_NE(sparse, nullptr);
        EXPECT_EQ(sparse->size, lstat_of(root + "/sparse").st_blocks * 512);
        EXPECT_LT(sparse->size, 1 << 20);
        EXPECT_EQ(find(tree, root + "/to-root"), nullptr);
        EXPECT_EQ(find(tree, root + "/to-sub"), nullptr);

        const TreeNode* app = find(tree, root + "/Tool.app");
        ASSERT_NE(app, nullptr);
        EXPECT_EQ(app->kind, NodeKind::Package);
        EXPECT_TRUE(app->children.empty());
        EXPECT_EQ(app->size, du_bytes(root + "/Tool.app"));
        EXPECT_EQ(app->file_count, 1);
        EXPECT_EQ(find(tree, root + "/Caps.APP")->kind, NodeKind::Directory);

        EXPECT_EQ(find(tree, root + "/old")->modification_time, std::nullopt);
        EXPECT_EQ(find(tree, root + "/big")->modification_time,
                  lstat_of(root + "/big").st_mtim.tv_sec);
        EXPECT_NE(find(tree, root + "/line\nfeed\x01"), nullptr);
        EXPECT_NE(find(tree, root + "/bad\xEF\xBF\xBDname"), nullptr);

        // Children are sorted by size, largest first, everywhere.
        std::function<void(const TreeNode&)> check_order = [&](const TreeNode& n) {
            for (std::size_t i = 1; i < n.children.size(); ++i) {
                EXPECT_GE(n.children[i - 1].size, n.children[i].size) << n.path;
            }
            for (const auto& c : n.children) check_order(c);
        };
        check_order(tree);
    }
}

TEST(Scan, FoldersWalkedInsideAJobKeepTheirTextAndStatus) {
    // Below the frontier's reach, folders are opened relative to their parent with the
    // status its listing took; their paths are made from the parent's text.
    TempDir dir;
    const std::string root = dir.make_dir("root");
    const std::string odd = dir.make_dir(
        "root/a/b/c/d/bad\xFF"
        "dir/next\x80");
    write_bytes(odd + "/inside", 4096);
    write_bytes(root +
                    "/a/b/c/d/bad\xFF"
                    "dir/beside",
                10);
    for (const unsigned jobs : {1u, 4u}) {
        auto r = run(root, test_options(jobs));
        ASSERT_TRUE(r.result);
        const std::string text = root +
                                 "/a/b/c/d/bad\xEF\xBF\xBD"
                                 "dir";
        const TreeNode* bad = find(r.result->tree, text);
        ASSERT_NE(bad, nullptr);
        EXPECT_EQ(bad->modification_time, lstat_of(root + "/a/b/c/d/bad\xFF"
                                                          "dir")
                                              .st_mtim.tv_sec);
        EXPECT_EQ(bad->size, du_bytes(root + "/a/b/c/d/bad\xFF"
                                             "dir"));
        EXPECT_EQ(bad->file_count, 2);
        EXPECT_EQ(bad->state, NodeState::Normal);
        const TreeNode* next = find(r.result->tree, text + "/next\xEF\xBF\xBD");
        ASSERT_NE(next, nullptr);
        ASSERT_EQ(next->children.size(), 1u);
        EXPECT_EQ(std::string_view(next->children[0].path), text + "/next\xEF\xBF\xBD/inside");
        EXPECT_EQ(r.result->tree.size, du_bytes(root));
        EXPECT_EQ(r.result->directories_scanned, 7u);  // root, a, b, c, d and the two
    }
}

TEST(Scan, JobCountsGiveIdenticalTrees) {
    TempDir dir;
    const std::string root = dir.make_dir("root");
    for (int a = 0; a < 6; ++a) {
        for (int b = 0; b < 5; ++b) {
            const std::string d =
                dir.make_dir("root/a" + std::to_string(a) + "/b" + std::to_string(b));
            for (int f = 0; f < 4; ++f)
                write_bytes(d + "/f" + std::to_string(f), 100 * (a + b + f));
        }
    }
    // The same file linked from two subtrees is counted once whichever worker meets it.
    ASSERT_EQ(::link((root + "/a0/b0/f3").c_str(), (root + "/a5/b4/again").c_str()), 0);
    auto one = run(root, test_options(1));
    auto many = run(root, test_options(64));
    ASSERT_TRUE(one.result && many.result);
    EXPECT_EQ(tree_json(one.result->tree), tree_json(many.result->tree));
    EXPECT_EQ(one.result->tree.size, du_bytes(root));
    EXPECT_EQ(many.result->hard_link_bytes_saved, one.result->hard_link_bytes_saved);
}

TEST(Scan, HardLinksInsideOneJobCountWhereItsWalkMeetsThemFirst) {
    // Below the frontier's reach one job holds everything, walked by one worker in
    // order: the tree, and so which link holds the bytes, is the same whatever the
    // number of idle workers.
    TempDir dir;
    const std::string root = dir.make_dir("root");
    for (int k = 0; k < 7; ++k) dir.make_dir("root/a/b/c/small" + std::to_string(k));
    for (int e = 0; e < 24; ++e) {
        for (int f = 0; f < 3; ++f) {
            const std::string d = dir.make_dir("root/a/b/c/d/e" + std::to_string(e) + "/f" +
                                               std::to_string(f) + "/g");
            write_bytes(d + "/file", 100 * (e + f + 1));
            write_bytes(d + "/../same", 4096);
        }
    }
    const std::string d = root + "/a/b/c/d/e";
    for (int e = 1; e < 24; e += 2) {
        const std::string from = d + std::to_string(e - 1) + "/f0/g/file";
        const std::string to = d + std::to_string(e) + "/f2/g/link";
        ASSERT_EQ(::link(from.c_str(), to.c_str()), 0);
    }
    // A link inside a package: its bytes stay with the package, whose children are gone.
    dir.make_dir("root/a/b/c/d/e7/f1/Tool.app/Contents");
    ASSERT_EQ(::link((d + "6/f0/g/file").c_str(), (d + "7/f1/Tool.app/Contents/bin").c_str()), 0);
    ASSERT_EQ(::link((d + "9/f1/g/file").c_str(), (d + "8/f1/Tool.app").c_str()), 0);
    // The plain walk: no job is shared when the scan may cross file systems.
    ScanOptions alone = test_options(1);
    alone.one_filesystem = false;
    const auto expected = run(root, alone);
    ASSERT_TRUE(expected.result);
    for (int round = 0; round < 5; ++round) {
        auto shared = run(root, test_options(8));
        ASSERT_TRUE(shared.result);
        EXPECT_EQ(tree_json(shared.result->tree), tree_json(expected.result->tree));
        EXPECT_EQ(shared.result->directories_scanned, expected.result->directories_scanned);
        EXPECT_EQ(shared.result->bytes_scanned, expected.result->bytes_scanned);
        EXPECT_EQ(shared.result->hard_link_bytes_saved, expected.result->hard_link_bytes_saved);
    }
    EXPECT_EQ(expected.result->tree.size, du_bytes(root));
    EXPECT_EQ(expected.result->bytes_scanned, expected.result->tree.size);
}

TEST(Scan, AFolderSwappedForALinkWhileItsParentIsListedIsNeverFollowed) {
    // A thread swaps a folder deep in the tree with a link to a folder outside it, over
    // and over, while the tree is scanned: whatever the walk finds at that name, it lists
    // nothing of the outside folder.
    TempDir dir;
    const std::string outside = dir.make_dir("outside");
    for (int f = 0; f < 20; ++f) write_bytes(outside + "/marker" + std::to_string(f), 10);
    // Below the frontier's reach, so one job's walk lists the parent and opens the folder.
    const std::string parent = dir.make_dir("root/a/b/c/d/e");
    for (int f = 0; f < 300; ++f) write_bytes(parent + "/f" + std::to_string(f), 1);
    write_bytes(dir.make_dir("root/a/b/c/d/e/sub") + "/inside", 1);
    ASSERT_EQ(::symlink(outside.c_str(), (parent + "/other").c_str()), 0);
    std::atomic<bool> stop{false};
    std::atomic<long> swaps{0};
    std::thread swapper([&] {
        while (!stop.load()) {
            if (::renameat2(AT_FDCWD, (parent + "/sub").c_str(), AT_FDCWD,
                            (parent + "/other").c_str(), RENAME_EXCHANGE) == 0) {
                swaps.fetch_add(1);
            }
        }
    });
    // A contest: the names were swapped while the tree was scanned.
    testing::RaceRounds race(100, 400, std::chrono::seconds(30));
    bool followed = false;
    while (race.more()) {
        const int scans = race.rounds();
        ScanOptions options = test_options(scans % 2 == 0 ? 1 : 4);
        options.skip_links = scans % 3 != 0;
        const long swaps_before = swaps.load();
        auto r = run(dir / "root", options);
        ASSERT_TRUE(r.result);
        race.count(swaps.load() != swaps_before);
        std::function<void(const TreeNode&)> check = [&](const TreeNode& node) {
            if (node.path.find("marker") != std::string::npos) followed = true;
            for (const auto& child : node.children) check(child);
        };
        check(r.result->tree);
        if (followed) break;
    }
    stop.store(true);
    swapper.join();
    EXPECT_FALSE(followed) << "after " << race.rounds() << " scans";
    testing::conclude(race);
}

TEST(Scan, IncludedLinksCountAsFilesAndAreNeverFollowed) {
    TempDir dir;
    const std::string root = dir.make_dir("root");
    dir.make_dir("root/sub");
    ASSERT_EQ(::symlink("/", (root + "/sub/to-root").c_str()), 0);
    ASSERT_EQ(::symlink(std::string(300, 'x').c_str(), (root + "/sub/long").c_str()), 0);
    ScanOptions options = test_options();
    options.skip_links = false;
    auto r = run(root, options);
    ASSERT_TRUE(r.result);
    const TreeNode* link = find(r.result->tree, root + "/sub/to-root");
    ASSERT_NE(link, nullptr);
    EXPECT_EQ(link->kind, NodeKind::File);
    EXPECT_TRUE(link->children.empty());
    EXPECT_EQ(find(r.result->tree, root + "/sub/long")->size,
              lstat_of(root + "/sub/long").st_blocks * 512);
    EXPECT_EQ(r.result->tree.file_count, 2);
    EXPECT_EQ(r.result->tree.size, du_bytes(root));
}

TEST(Scan, DeepChainStopsAtTheDepthCap) {
    TempDir dir;
    const std::string root = dir.make_dir("root");
    int fd = ::open(root.c_str(), O_RDONLY | O_DIRECTORY);
    for (int i = 0; i < 520; ++i) {
        ASSERT_EQ(::mkdirat(fd, "d", 0755), 0);
        const int next = ::openat(fd, "d", O_RDONLY | O_DIRECTORY);
        ::close(fd);
        fd = next;
    }
    ::close(fd);
    auto r = run(root);
    ASSERT_TRUE(r.result) << r.result.error();
    const TreeNode* node = &r.result->tree;
    for (int depth = 0; depth < 512; ++depth) {
        EXPECT_EQ(node->state, NodeState::Incomplete) << depth;
        ASSERT_EQ(node->children.size(), 1u) << depth;
        node = &node->children[0];
    }
    EXPECT_EQ(node->state, NodeState::Incomplete);
    EXPECT_TRUE(node->is_readable);
    EXPECT_EQ(node->size, 0);
    EXPECT_TRUE(node->children.empty());
    EXPECT_EQ(r.result->directories_scanned, 512u);
    EXPECT_EQ(r.events.back().kind, "complete");
}

TEST(Scan, CompleteScanEventsEndWithRootProgressThenComplete) {
    TempDir dir;
    const std::string flat = dir.make_dir("flat");
    write_bytes(flat + "/f", 10);
    auto r = run(flat);
    ASSERT_TRUE(r.result);
    ASSERT_EQ(r.events.size(), 2u);  // no subdirectory: no snapshot at all
    EXPECT_EQ(r.events[0].kind, "progress");
    EXPECT_EQ(std::string_view(r.events[0].path), flat);
    EXPECT_EQ(r.events[1].kind, "complete");

    const std::string nested = dir.make_dir("nested/a/b");
    dir.make_dir("nested/c");
    write_bytes(nested + "/f", 10);
    auto n = run(dir / "nested");
    ASSERT_TRUE(n.result);
    ASSERT_GE(n.events.size(), 3u);
    EXPECT_EQ(n.events[0].kind, "snapshot");
    // The first snapshot shows every queued folder as a Scanning placeholder.
    for (const auto& child : n.events[0].tree->children) {
        EXPECT_EQ(child.state, NodeState::Scanning) << child.path;
    }
    EXPECT_EQ(n.events[n.events.size() - 2].kind, "progress");
    EXPECT_EQ(n.events[n.events.size() - 2].path, dir / "nested");
    EXPECT_EQ(n.events.back().kind, "complete");
    EXPECT_EQ(tree_json(*n.events.back().tree), tree_json(n.result->tree));
}

TEST(Scan, CancelledScanEndsWithThePartialTree) {
    TempDir dir;
    for (int i = 0; i < 20; ++i) {
        write_bytes(dir.make_dir("root/d" + std::to_string(i) + "/x") + "/f", 100);
    }
    auto r = run(dir / "root", test_options(), [](ScanRun& self, const ScanEvent& event) {
        if (std::holds_alternative<SnapshotEvent>(event)) self.session->cancel->store(true);
    });
    ASSERT_TRUE(r.result) << r.result.error();
    EXPECT_TRUE(r.result->cancelled);
    EXPECT_EQ(r.result->tree.state, NodeState::Incomplete);
    EXPECT_EQ(r.result->tree.children.size(), 20u);  // every top-level folder is still there
    ASSERT_EQ(r.events.front().kind, "snapshot");
    EXPECT_EQ(r.events.back().kind, "error:cancelled");
    EXPECT_EQ(r.events.back().message, "scan cancelled");
    ASSERT_TRUE(r.events.back().tree);
    for (std::size_t i = 1; i < r.events.size(); ++i) {
        EXPECT_NE(r.events[i].kind, "snapshot") << "no snapshot after the cancel";
    }
    EXPECT_NE(r.events[r.events.size() - 2].path, dir / "root") << "no final root progress";
}

TEST(Scan, AFolderRemovedMidScanIsUnreadable) {
    TempDir dir;
    write_bytes(dir.make_dir("root/stays") + "/f", 10);
    dir.make_dir("root/goes");
    // The first snapshot comes after the root listing queued both folders.
    auto r = run(dir / "root", test_options(1), [&](ScanRun&, const ScanEvent& event) {
        if (std::holds_alternative<SnapshotEvent>(event)) ::rmdir((dir / "root/goes").c_str());
    });
    ASSERT_TRUE(r.result);
    const TreeNode* gone = find(r.result->tree, dir / "root/goes");
    ASSERT_NE(gone, nullptr);
    EXPECT_FALSE(gone->is_readable);
    EXPECT_EQ(gone->state, NodeState::Incomplete);
    EXPECT_EQ(r.result->unreadable_items, 1u);
    EXPECT_EQ(r.result->tree.state, NodeState::Incomplete);
    EXPECT_EQ(find(r.result->tree, dir / "root/stays")->file_count, 1);
}

TEST(Scan, FailuresGiveOneScanFailedEvent) {
    TempDir dir;
    write_bytes(dir / "file", 3);
    ASSERT_EQ(::symlink("missing", (dir / "dangling").c_str()), 0);
    for (const std::string& folder : {dir / "missing", dir / "file", dir / "dangling"}) {
        auto r = run(folder);
        ASSERT_FALSE(r.result);
        EXPECT_EQ(r.result.error(), "not a directory: " + folder);
        ASSERT_EQ(r.events.size(), 1u);
        EXPECT_EQ(r.events[0].kind, "error:scanFailed");
        EXPECT_EQ(r.events[0].message, r.result.error());
        EXPECT_FALSE(r.events[0].tree);
    }
}

TEST(Scan, FolderTextIsNormalised) {
    TempDir dir;
    write_bytes(dir.make_dir("home/src") + "/f", 10);
    testing::ScopedEnv home("HOME", (dir / "home/").c_str());
    EXPECT_EQ(run("~").result->root_path, dir / "home");
    EXPECT_EQ(run("~/src").result->root_path, dir / "home/src");
    EXPECT_EQ(run((dir / "home/src") + "///").result->root_path, dir / "home/src");
    {
        testing::ScopedEnv no_home("HOME", nullptr);
        EXPECT_EQ(run("~/src").result.error(), "not a directory: ~/src");
    }
    char old_cwd[4096];
    ASSERT_NE(::getcwd(old_cwd, sizeof old_cwd), nullptr);
    ASSERT_EQ(::chdir((dir / "home").c_str()), 0);
    auto relative = run("src//");
    ASSERT_EQ(::chdir(old_cwd), 0);
    ASSERT_TRUE(relative.result);
    EXPECT_EQ(relative.result->root_path, dir / "home/src");
    EXPECT_EQ(normalize_scan_root(""), "/");
    EXPECT_EQ(normalize_scan_root("///"), "/");
}

TEST(Scan, SymbolicLinkRootIsListedThroughTheLink) {
    TempDir dir;
    write_bytes(dir.make_dir("real") + "/f", 4096);
    ASSERT_EQ(::symlink("real", (dir / "link").c_str()), 0);
    auto r = run(dir / "link");
    ASSERT_TRUE(r.result);
    EXPECT_EQ(r.result->root_path, dir / "link");
    EXPECT_EQ(r.result->tree.file_count, 1);
    EXPECT_EQ(r.result->standard_fallbacks, 1u);
    EXPECT_EQ(std::string_view(r.result->tree.children[0].path), dir / "link/f");
}

TEST(Scan, MountPointsAreLeavesOnOneFileSystem) {
    struct stat dev {
    }, shm{};
    if (::stat("/dev", &dev) != 0 || ::stat("/dev/shm", &shm) != 0 || dev.st_dev == shm.st_dev) {
        GTEST_SKIP() << "/dev/shm is not a separate mount here";
    }
    auto r = run("/dev");
    ASSERT_TRUE(r.result);
    const TreeNode* node = find(r.result->tree, "/dev/shm");
    ASSERT_NE(node, nullptr);
    EXPECT_EQ(node->state, NodeState::MountPoint);
    EXPECT_EQ(node->size, 0);
    EXPECT_TRUE(node->children.empty());
}

TEST(Scan, PseudoFileSystemsAreExcluded) {
    auto r = run("/", [] {
        ScanOptions options = test_options();
        options.max_depth = 1;  // only the top level matters here
        return options;
    }());
    ASSERT_TRUE(r.result);
    // /proc is a mount too, but the exclusion test comes first.
    const TreeNode* proc = find(r.result->tree, "/proc");
    ASSERT_NE(proc, nullptr);
    EXPECT_EQ(proc->state, NodeState::PolicyExcluded);
    EXPECT_TRUE(proc->children.empty());
    EXPECT_EQ(proc->size, 0);
}

TEST(Scan, MountsInAPrivateNamespace) {
    // A pseudo file system is excluded, not a mount point; another file system and a
    // bind mount (same device) are mount points; with one_filesystem off both are walked.
    TempDir dir;
    const std::string root = dir.make_dir("root");
    write_bytes(dir.make_dir("root/src") + "/f", 8192);
    write_bytes(dir.make_dir("outside") + "/g", 8192);
    dir.make_dir("root/bind");
    dir.make_dir("root/tmp");
    dir.make_dir("root/pseudo");
    const std::string table = "proc " + root + "/pseudo proc rw 0 0\n";
    const int code = testing::run_in_child([&] {
        if (::unshare(CLONE_NEWNS) != 0) return errno == EPERM ? 77 : 2;
        if (::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0) return 77;
        if (::mount((dir / "outside").c_str(), (root + "/bind").c_str(), nullptr, MS_BIND,
                    nullptr) != 0 ||
            ::mount("tmpfs", (root + "/tmp").c_str(), "tmpfs", 0, nullptr) != 0 ||
            ::mount("tmpfs", (root + "/pseudo").c_str(), "tmpfs", 0, nullptr) != 0) {
            return 77;
        }
        for (const bool one_filesystem : {true, false}) {
            ScanOptions options = test_options();
            options.one_filesystem = one_filesystem;
            auto session = std::make_shared<ScanSession>(
                options, std::make_unique<platform::NullWriter>(), make_cancel_flag(), table);
            set_event_callback(*session, ignore_scan_event);
            auto result = run_scan(session, root);
            if (!result) return 3;
            const auto state = [&](const char* name) {
                const TreeNode* node = find(result->tree, root + name);
                return node == nullptr ? NodeState::SmallFilesAggregate : node->state;
            };
            const NodeState mount = one_filesystem ? NodeState::MountPoint : NodeState::Normal;
            if (state("/pseudo") != NodeState::PolicyExcluded) return 4;
            if (state("/tmp") != mount) return 5;
            if (state("/bind") != mount) return 6;
            if (state("/src") != NodeState::Normal) return 7;
            if (result->tree.file_count != (one_filesystem ? 1 : 2)) return 8;
        }
        return 0;
    });
    if (code == 77) GTEST_SKIP() << "mount namespaces are not available here";
    EXPECT_EQ(code, 0);
}

TEST(Scan, DatalessEntriesAreZeroSizedPlaceholders) {
    TempDir dir;
    const std::string root = dir.make_dir("root");
    write_bytes(root + "/online", 100'000);
    write_bytes(dir.make_dir("root/cloud") + "/inside", 100'000);
    write_bytes(root + "/local", 10);
    const struct stat file = lstat_of(root + "/online");
    const struct stat folder = lstat_of(root + "/cloud");
    platform::mark_dataless_for_testing(file.st_dev, file.st_ino);
    platform::mark_dataless_for_testing(folder.st_dev, folder.st_ino);
    auto r = run(root);
    platform::clear_dataless_marks_for_testing();
    ASSERT_TRUE(r.result);
    const TreeNode* online = find(r.result->tree, root + "/online");
    EXPECT_EQ(online->state, NodeState::CloudPlaceholder);
    EXPECT_EQ(online->size, 0);
    EXPECT_EQ(online->file_count, 1);
    const TreeNode* cloud = find(r.result->tree, root + "/cloud");
    EXPECT_EQ(cloud->state, NodeState::CloudPlaceholder);
    EXPECT_TRUE(cloud->children.empty());
    EXPECT_EQ(r.result->tree.file_count, 2);
}

TEST(Scan, ARepeatedReadFailureEndsTheListingOnce) {
    TempDir dir;
    const std::string root = dir.make_dir("root");
    write_bytes(dir.make_dir("root/sub") + "/a", 10);
    write_bytes(root + "/b", 10);
    platform::fail_later_directory_reads_for_testing(EIO);
    auto r = run(root);
    platform::fail_later_directory_reads_for_testing(0);
    ASSERT_TRUE(r.result);
    // Each of the two folders lists its first batch, then fails once and stops.
    EXPECT_EQ(r.result->unreadable_items, 2u);
    EXPECT_EQ(r.result->tree.file_count, 2);
    EXPECT_EQ(r.result->tree.state, NodeState::Incomplete);
    EXPECT_TRUE(r.result->tree.is_readable);
}

// The workers that started take every job, so only a scan that could start none fails.
TEST(Scan, WorkersThatCannotStartLeaveTheJobsToTheOthersAndNoneFailsTheScan) {
    TempDir dir;
    for (int i = 0; i < 8; ++i) {
        write_bytes(dir.make_dir("root/d" + std::to_string(i) + "/x/y/z/w") + "/f", 5000);
    }
    const auto whole = run(dir / "root");
    ASSERT_TRUE(whole.result);
    for (const int first_failing : {1, 3}) {
        SCOPED_TRACE(first_failing);
        fail_worker_start_for_testing(first_failing);
        auto r = run(dir / "root");
        fail_worker_start_for_testing(-1);
        ASSERT_TRUE(r.result) << r.result.error();
        EXPECT_EQ(tree_json(r.result->tree), tree_json(whole.result->tree));
    }
    fail_worker_start_for_testing(0);
    auto r = run(dir / "root");
    fail_worker_start_for_testing(-1);
    ASSERT_FALSE(r.result);
    EXPECT_EQ(r.result.error(),
              "scan worker failed: out of memory or system resources (a thread could not start)");
    EXPECT_EQ(r.events.back().kind, "error:scanFailed");
}

TEST(Scan, AWorkerFailureBecomesScanWorkerFailedSayingWhyWhenMemoryRanOut) {
    const struct {
        ThrowInWalk failure;
        std::string_view error;
    } cases[] = {
        {ThrowInWalk::yes, "scan worker failed"},
        {ThrowInWalk::out_of_memory, "scan worker failed: out of memory"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.error);
        TempDir dir;
        for (int i = 0; i < 3; ++i) dir.make_dir("root/d" + std::to_string(i) + "/x/y/z/w");
        throw_in_worker_walk_for_testing(c.failure);
        auto r = run(dir / "root");
        throw_in_worker_walk_for_testing(ThrowInWalk::no);
        ASSERT_FALSE(r.result);
        EXPECT_EQ(r.result.error(), c.error);
        EXPECT_EQ(r.events.back().kind, "error:scanFailed");
    }
}

// Memory that runs out on the scan's own thread, at each point where it hands out an
// event (before, between and after the workers' results): the scan fails with the text
// and every worker thread is joined first (a thread left joinable would end the process).
TEST(Scan, MemoryRunningOutOnTheDriversThreadFailsTheScanWithItsText) {
    TempDir dir;
    for (int i = 0; i < 6; ++i) {
        write_bytes(dir.make_dir("root/d" + std::to_string(i) + "/x/y") + "/f", 4096);
    }
    for (int failing = 1;; ++failing) {
        SCOPED_TRACE(failing);
        auto session = std::make_shared<ScanSession>(
            test_options(), std::make_unique<platform::NullWriter>(), make_cancel_flag());
        int calls = 0;
        set_event_callback(*session, [&](ScanEvent) -> std::expected<void, std::string> {
            if (++calls == failing) throw std::bad_alloc();
            return {};
        });
        auto result = run_scan(session, dir / "root");
        if (calls < failing) {
            ASSERT_TRUE(result);  // every event was handed out; the scan ended well
            EXPECT_GT(failing, 3);
            break;
        }
        ASSERT_FALSE(result);
        EXPECT_EQ(result.error(), "out of memory");
    }
}

TEST(Scan, AFailingCallbackClosesTheOutput) {
    TempDir dir;
    for (int i = 0; i < 4; ++i) dir.make_dir("root/d" + std::to_string(i) + "/x");
    auto session = std::make_shared<ScanSession>(
        test_options(), std::make_unique<platform::NullWriter>(), make_cancel_flag());
    int calls = 0;
    set_event_callback(*session, [&](ScanEvent) -> std::expected<void, std::string> {
        ++calls;
        return std::unexpected(std::string("closed"));
    });
    auto result = run_scan(session, dir / "root");
    ASSERT_FALSE(result);
    EXPECT_EQ(result.error(), "scan output closed");
    EXPECT_TRUE(session->cancelled());
    EXPECT_GE(calls, 1);
}

TEST(Scan, EventStreamWithoutCallbackIsJsonLines) {
    TempDir dir;
    for (int i = 0; i < 5; ++i) {
        write_bytes(dir.make_dir("root/d" + std::to_string(i) + "/a/b/c") + "/f", 100);
    }
    write_bytes(dir / "root/top", 10);
    platform::StringWriter* sink = nullptr;
    auto writer = std::make_unique<platform::StringWriter>();
    sink = writer.get();
    auto session =
        std::make_shared<ScanSession>(test_options(), std::move(writer), make_cancel_flag());
    auto result = run_scan(session, dir / "root");
    ASSERT_TRUE(result);
    std::vector<nlohmann::json> lines;
    std::size_t start = 0;
    const std::string& text = sink->text();
    while (start < text.size()) {
        const std::size_t end = text.find('\n', start);
        ASSERT_NE(end, std::string::npos);
        lines.push_back(nlohmann::json::parse(text.substr(start, end - start)));
        start = end + 1;
    }
    ASSERT_GE(lines.size(), 3u);
    EXPECT_EQ(lines.front()["type"], "snapshot");
    const auto& first_tree = lines.front()["tree"];
    EXPECT_EQ(first_tree["kind"], "directory");
    EXPECT_EQ(first_tree["isScanning"], false);
    EXPECT_EQ(first_tree["children"].size(), 6u);
    EXPECT_EQ(lines[lines.size() - 2]["type"], "progress");
    EXPECT_EQ(lines.back()["type"], "complete");
    EXPECT_EQ(lines.back()["tree"]["size"], result->tree.size);
    // Every streamed snapshot is a whole tree with the root's totals so far.
    for (const auto& line : lines) {
        if (line["type"] == "snapshot") {
            EXPECT_EQ(line["tree"]["path"], dir / "root");
            EXPECT_LE(line["tree"]["size"].get<std::int64_t>(), result->tree.size);
        }
    }
}

}  // namespace
}  // namespace bramvelt::scan
