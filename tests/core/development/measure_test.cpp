// Folder measurement and the prioritised listing against real folder trees.

#include "core/development/measure.hpp"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <sched.h>
#include <sys/mount.h>

#include "core/development/state.hpp"
#include "dev_fixture.hpp"
#include "platform/listing.hpp"
#include "support/as_user.hpp"

namespace bramvelt::development {
namespace {

using testing::DevTest;

class DevMeasureTest : public DevTest {
  protected:
    FolderMeasurement measure(testing::StateFixture& f, const std::string& path) {
        struct stat st {};
        ::lstat(path.c_str(), &st);
        HardLinkSet links;
        return measure_candidate(f.state, path, st.st_dev, nullptr, links);
    }
};

TEST_F(DevMeasureTest, HardLinksOncePerFindAndLinksNotFollowed) {
    const std::string big = testing::write_sized(tmp, "a/target/big.bin", 10 << 20);
    ASSERT_EQ(::link(big.c_str(), (tmp / "a/target/again.bin").c_str()), 0);
    tmp.make_dir("huge");
    testing::write_sized(tmp, "huge/data", 4 << 20);
    testing::symlink_to(tmp / "huge", tmp / "a/target/link");

    testing::StateFixture f({tmp.path()});
    const auto m = measure(f, tmp / "a/target");
    EXPECT_TRUE(m.complete);
    EXPECT_EQ(m.files, 2u);
    EXPECT_GE(m.allocated_bytes, 10u << 20);
    EXPECT_LT(m.allocated_bytes, 11u << 20);  // the link target's 4 MiB is not counted
    EXPECT_TRUE(m.last_modified);
    EXPECT_TRUE(m.last_access);

    // The same inode in another find counts again.
    ASSERT_EQ(::link(big.c_str(), (tmp / "b.bin").c_str()), 0);
    tmp.make_dir("other");
    ASSERT_EQ(::link(big.c_str(), (tmp / "other/c.bin").c_str()), 0);
    const auto m2 = measure(f, tmp / "other");
    EXPECT_GE(m2.allocated_bytes, 10u << 20);
}

TEST_F(DevMeasureTest, IncompleteForNonUtf8NamesGitEntriesAndPycacheStrays) {
    testing::StateFixture f({tmp.path()});
    tmp.write_file("clean/a.o", "x");
    EXPECT_TRUE(measure(f, tmp / "clean").complete);

    tmp.write_file("bad/ok", "x");
    tmp.write_file("bad/\xFF\xFE", "yy");
    const auto bad = measure(f, tmp / "bad");
    EXPECT_FALSE(bad.complete);
    EXPECT_EQ(bad.files, 2u);  // still counted

    tmp.write_file("withgit/.git", "gitdir: /elsewhere\n");
    EXPECT_FALSE(measure(f, tmp / "withgit").complete);

    tmp.write_file("p1/__pycache__/m.cpython-311.pyc", "x");
    tmp.write_file("p1/__pycache__/n.pyo", "x");
    EXPECT_TRUE(measure(f, tmp / "p1/__pycache__").complete);
    tmp.write_file("p2/__pycache__/README", "x");
    EXPECT_FALSE(measure(f, tmp / "p2/__pycache__").complete);
    tmp.make_dir("p3/__pycache__/sub");
    EXPECT_FALSE(measure(f, tmp / "p3/__pycache__").complete);
    EXPECT_EQ(f.state.summary.skipped_paths, 0u);
}

TEST_F(DevMeasureTest, MissingFolderAndUnreadableFolder) {
    testing::StateFixture f({tmp.path()});
    const auto missing = measure(f, tmp / "nope");
    EXPECT_FALSE(missing.complete);
    EXPECT_EQ(missing.allocated_bytes, 0u);
    EXPECT_EQ(f.state.summary.skipped_paths, 1u);
}

TEST_F(DevMeasureTest, EntryLimitStopsEveryFurtherMeasurement) {
    for (int i = 0; i < 5; ++i) tmp.write_file("t/f" + std::to_string(i), "x");
    testing::StateFixture f({tmp.path()}, {}, 3);
    const auto m = measure(f, tmp / "t");
    EXPECT_FALSE(m.complete);
    EXPECT_TRUE(f.state.summary.limited);
    EXPECT_EQ(f.state.summary.entries_examined, 3u);  // the entry that reached it is kept
    EXPECT_EQ(m.files, 0u);  // the spent budget is noticed before the first child

    tmp.write_file("u/f", "x");
    const auto later = measure(f, tmp / "u");
    EXPECT_FALSE(later.complete);
    EXPECT_EQ(later.files, 0u);  // only the folder's own blocks
    EXPECT_EQ(f.state.summary.directories_listed, 1u);
}

TEST_F(DevMeasureTest, DeadlineAndCancelStopMeasurement) {
    tmp.write_file("t/f", "x");
    {
        testing::StateFixture f({tmp.path()}, clock.fn());
        clock.advance(std::chrono::seconds(120));
        EXPECT_FALSE(measure(f, tmp / "t").complete);
        EXPECT_TRUE(f.state.summary.limited);
    }
    {
        testing::StateFixture f({tmp.path()});
        f.cancel->store(true);
        EXPECT_FALSE(measure(f, tmp / "t").complete);
        EXPECT_FALSE(f.state.summary.limited);
    }
}

// A measured folder that is itself a Git directory: refs and objects are left out and
// the find is incomplete; a folder with only some of the layout is measured whole.
TEST_F(DevMeasureTest, GitDirectoryLeavesRefsAndObjectsOut) {
    tmp.write_file("g/HEAD", "ref: refs/heads/main\n");
    tmp.write_file("g/config", "[core]\n");
    testing::write_sized(tmp, "g/objects/ab/big", 1 << 20);
    tmp.write_file("g/refs/heads/main", "0\n");
    tmp.write_file("g/info/exclude", "x");
    testing::StateFixture f({tmp.path()});
    const auto m = measure(f, tmp / "g");
    EXPECT_FALSE(m.complete);
    EXPECT_EQ(m.files, 3u);  // HEAD, config, info/exclude
    EXPECT_LT(m.allocated_bytes, 1u << 20);

    // HEAD as a folder: no Git directory, everything counts.
    tmp.make_dir("h/HEAD");
    tmp.write_file("h/config", "[core]\n");
    testing::write_sized(tmp, "h/objects/big", 1 << 20);
    const auto whole = measure(f, tmp / "h");
    EXPECT_TRUE(whole.complete);
    EXPECT_EQ(whole.files, 2u);
    EXPECT_GE(whole.allocated_bytes, 1u << 20);
}

TEST_F(DevMeasureTest, ChildrenInPriorityOrder) {
    for (const char* name : {"zeta", "Library", "src", "tmp", "alpha", ".cache", "worktrees"}) {
        tmp.make_dir(std::string("o/") + name);
    }
    testing::StateFixture f({tmp.path()});
    const auto list = list_children_by_priority(f.state, tmp / "o");
    ASSERT_TRUE(list);
    std::vector<std::string> names;
    for (const auto& p : *list) names.push_back(p.substr(p.rfind('/') + 1));
    EXPECT_EQ(names, (std::vector<std::string>{"tmp", "worktrees", "src", ".cache", "Library",
                                               "alpha", "zeta"}));
    EXPECT_EQ(f.state.summary.entries_examined, 7u);
    EXPECT_FALSE(list_children_by_priority(f.state, tmp / "missing"));
    EXPECT_EQ(f.state.summary.skipped_paths, 1u);
}

TEST_F(DevMeasureTest, DeepPathsAreNotListed) {
    std::string rel = "d";
    for (int i = 0; i < 70; ++i) rel += "/n";
    tmp.write_file(rel + "/leaf", "x");
    testing::StateFixture f({tmp.path()});
    const auto m = measure(f, tmp / "d");
    EXPECT_FALSE(m.complete);
    EXPECT_FALSE(f.state.summary.limited);
}

// A listing that ends early never counts as having seen everything: a read that fails
// part-way, or a deadline that passes before its first entry is taken.
TEST_F(DevMeasureTest, ShortListingsLeaveTheFindIncomplete) {
    // Enough long names to need more than one read of the folder.
    const std::string pad(120, 'n');
    for (int i = 0; i < 600; ++i) tmp.write_file("a/target/" + pad + std::to_string(i), "x");
    {
        testing::StateFixture f({tmp.path()});
        platform::fail_later_directory_reads_for_testing(EIO);
        const auto m = measure(f, tmp / "a/target");
        platform::fail_later_directory_reads_for_testing(0);
        EXPECT_FALSE(m.complete);
        EXPECT_GT(m.files, 0u);
        EXPECT_LT(m.files, 600u);
        EXPECT_EQ(f.state.summary.skipped_paths, 1u);
        EXPECT_FALSE(f.state.summary.limited);
    }
    {
        tmp.write_file("b/target/only", "x");
        // Every reading of the clock moves it 40 s: the state's start and the check
        // before the listing stay inside the limit, the check after the listing's first
        // entry finds it passed.
        auto now = std::make_shared<std::chrono::steady_clock::time_point>();
        testing::StateFixture f({tmp.path()}, [now] { return *now += std::chrono::seconds(40); });
        const auto m = measure(f, tmp / "b/target");
        EXPECT_FALSE(m.complete);
        EXPECT_EQ(m.files, 0u);
        EXPECT_TRUE(f.state.summary.limited);
    }
}

// A find reached through a linked folder is not listed through the link.
TEST_F(DevMeasureTest, ListingNeverFollowsALinkOnTheWay) {
    tmp.write_file("real/target/f", "x");
    testing::symlink_to(tmp / "real", tmp / "alias");
    testing::StateFixture f({tmp.path()});
    EXPECT_FALSE(list_children_by_priority(f.state, tmp / "alias/target"));
    EXPECT_EQ(f.state.summary.skipped_paths, 1u);
    const auto m = measure(f, tmp / "alias/target");
    EXPECT_FALSE(m.complete);
    EXPECT_EQ(m.files, 0u);
    EXPECT_TRUE(measure(f, tmp / "real/target").complete);
}

// A folder swapped for a link while its repository is being measured (here by the sink,
// when the nested artifact before it is reported) is not followed: only the link counts.
TEST_F(DevMeasureTest, FolderSwappedForALinkMidMeasurementIsNotFollowed) {
    tmp.write_file("repo/package.json", "{}");
    tmp.write_file("repo/node_modules/p/index.js", "x");
    tmp.write_file("repo/zz/small", "x");
    testing::write_sized(tmp, "elsewhere/big", 4 << 20);

    struct SwappingSink final : DevScanSink {
        std::string repo;
        std::string elsewhere;
        int candidates = 0;
        void on_event(DevScanEvent event) override {
            if (std::holds_alternative<DevScanEvent::Candidate>(event.value) && candidates++ == 0) {
                ASSERT_EQ(::rename((repo + "/zz").c_str(), (repo + "/zz.old").c_str()), 0);
                ASSERT_EQ(::symlink(elsewhere.c_str(), (repo + "/zz").c_str()), 0);
            }
        }
    } sink;
    sink.repo = tmp / "repo";
    sink.elsewhere = tmp / "elsewhere";
    CancelFlag cancel = make_cancel_flag();
    DevScanState state(DevScanRequest{{tmp.path()}, 8, 2'000'000, false}, {tmp.path()}, cancel,
                       sink);
    const auto st = platform::status_of_path(sink.repo, platform::FollowFinalLink::no);
    ASSERT_TRUE(st);
    HardLinkSet links;
    RepoContext repo{sink.repo, std::nullopt};
    const auto m = measure_folder(state, sink.repo, *st, st->device, &repo, links, GitMode::On);
    EXPECT_EQ(sink.candidates, 1);
    EXPECT_LT(m.allocated_bytes, 1u << 20);
    EXPECT_EQ(m.files, 2u);  // package.json and node_modules/p/index.js
}

// Another file system (tmpfs) and a bind mount of the same one inside a find: neither is
// measured, each counts as skipped and the find is incomplete. Private mount namespace.
TEST_F(DevMeasureTest, MountsInsideAFindAreNotEntered) {
    testing::write_sized(tmp, "a/target/own", 8192);
    const std::string tmpfs = tmp.make_dir("a/target/tmpfs");
    const std::string bind = tmp.make_dir("a/target/bind");
    const std::string source = tmp.make_dir("source");
    testing::write_sized(tmp, "source/big", 1 << 20);
    const int code = testing::run_in_child([&] {
        if (::unshare(CLONE_NEWNS) != 0) return 77;
        if (::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0) return 77;
        if (::mount("none", tmpfs.c_str(), "tmpfs", 0, nullptr) != 0) return 77;
        if (::mount(source.c_str(), bind.c_str(), nullptr, MS_BIND, nullptr) != 0) return 77;
        testing::write_sized(tmp, "a/target/tmpfs/inside", 1 << 20);
        testing::StateFixture f({tmp.path()});
        const auto m = measure(f, tmp / "a/target");
        if (m.complete) return 3;
        if (f.state.summary.skipped_paths != 2) return 4;
        if (m.allocated_bytes >= (1u << 20)) return 5;
        if (m.files != 1) return 6;
        return 0;
    });
    if (code == 77) GTEST_SKIP() << "mount namespaces are not available here";
    EXPECT_EQ(code, 0);
}

}  // namespace
}  // namespace bramvelt::development
