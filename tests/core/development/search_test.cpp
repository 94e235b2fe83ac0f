// The development search over real folder trees and repositories: request checks, root
// merging, seeds, the walk, Git ordering, budgets, cancellation and the summary.

#include "core/development/search.hpp"

#include <gtest/gtest.h>
#include <sched.h>
#include <sys/mount.h>

#include <filesystem>
#include <fstream>
#include <functional>

#include "dev_fixture.hpp"
#include "support/as_user.hpp"

namespace bramvelt::development {
namespace {

using testing::git;

// Keeps every event; an optional hook runs on each candidate.
struct RecordingSink final : DevScanSink {
    std::vector<DevScanEvent> events;
    std::function<void(const DevCandidate&)> on_candidate;
    void on_event(DevScanEvent e) override {
        if (auto* c = std::get_if<DevScanEvent::Candidate>(&e.value); c && on_candidate) {
            on_candidate(c->candidate);
        }
        events.push_back(std::move(e));
    }
    std::vector<DevCandidate> candidates() const {
        std::vector<DevCandidate> out;
        for (const auto& e : events) {
            if (auto* c = std::get_if<DevScanEvent::Candidate>(&e.value))
                out.push_back(c->candidate);
        }
        return out;
    }
    const DevCandidate* find(const std::string& path) const {
        for (const auto& e : events) {
            if (auto* c = std::get_if<DevScanEvent::Candidate>(&e.value);
                c && c->candidate.path == path)
                return &c->candidate;
        }
        return nullptr;
    }
    DevScanSummary finished() const {
        EXPECT_FALSE(events.empty());
        EXPECT_TRUE(std::holds_alternative<DevScanEvent::Finished>(events.back().value));
        return std::get<DevScanEvent::Finished>(events.back().value).summary;
    }
};

class DevSearchTest : public testing::DevTest {
  protected:
    std::expected<void, std::string> search(std::vector<std::string> roots, std::uint64_t depth = 8,
                                            std::uint64_t entries = 2'000'000) {
        return scan_development(DevScanRequest{std::move(roots), depth, entries, false}, cancel,
                                sink, options);
    }
    RecordingSink sink;
    CancelFlag cancel = make_cancel_flag();
    SearchOptions options;
};

TEST_F(DevSearchTest, RequestLimitsAreChecked) {
    const std::vector<std::string> many(33, tmp.path());
    const std::vector<DevScanRequest> bad = {
        {{}, 8, 100, false},           {many, 8, 100, false},
        {{tmp.path()}, 0, 100, false}, {{tmp.path()}, 17, 100, false},
        {{tmp.path()}, 8, 0, false},   {{tmp.path()}, 8, 10'000'001, false},
    };
    for (const auto& r : bad) {
        EXPECT_EQ(scan_development(r, cancel, sink, options).error(), kBadSearchRequest);
    }
    EXPECT_TRUE(sink.events.empty());
    const std::vector<std::string> most(32, tmp.path());
    for (const auto& r :
         std::vector<DevScanRequest>{{most, 16, 10'000'000, false}, {{tmp.path()}, 1, 1, false}}) {
        EXPECT_TRUE(scan_development(r, cancel, sink, options));
    }
    EXPECT_EQ(scan_development({{"relative/dir"}, 8, 100, false}, cancel, sink, options).error(),
              "An absolute path is required");
}

TEST_F(DevSearchTest, RootsAreMergedInOrder) {
    const std::string a = tmp / "a";
    const std::string ab = tmp / "a/b";
    const std::string c = tmp / "c";
    const std::string a2 = tmp / "ab";
    EXPECT_EQ(resolve_search_roots({ab, a}).value(), std::vector<std::string>{a});
    EXPECT_EQ(resolve_search_roots({a, ab}).value(), std::vector<std::string>{a});
    EXPECT_EQ(resolve_search_roots({ab, c, a}).value(), (std::vector<std::string>{c, a}));
    EXPECT_EQ(resolve_search_roots({a, a2}).value(), (std::vector<std::string>{a, a2}));
    EXPECT_EQ(resolve_search_roots({a, a + "/"}).value(), std::vector<std::string>{a});
    EXPECT_EQ(resolve_search_roots({"/", a}).value(), std::vector<std::string>{"/"});
    tmp.make_dir("real");
    testing::symlink_to(tmp / "real", tmp / "alias");
    EXPECT_EQ(resolve_search_roots({tmp / "alias"}).value(),
              std::vector<std::string>{tmp / "real"});
}

TEST_F(DevSearchTest, MissingRootIsSkippedWithAWarning) {
    ASSERT_TRUE(search({tmp / "missing"}));
    const auto s = sink.finished();
    EXPECT_EQ(s.skipped_paths, 1u);
    EXPECT_EQ(s.warnings, std::vector<std::string>{std::string(kWarningSkipped)});
    EXPECT_FALSE(s.limited);
    EXPECT_EQ(sink.events.size(), 1u);
}

// A real workspace: Cargo, CMake, Node and Python projects with their outputs.
TEST_F(DevSearchTest, WorkspaceFindsWithTheirRecommendations) {
    tmp.write_file("ws/rust/Cargo.toml", "[package]\n");
    tmp.write_file("ws/rust/target/debug/app", "bin");
    tmp.write_file("ws/cpp/CMakeLists.txt", "");
    tmp.write_file("ws/cpp/out/CMakeCache.txt", "");
    tmp.write_file("ws/node/package.json", "{}");
    tmp.write_file("ws/node/node_modules/x/index.js", "");
    tmp.write_file("ws/node/dist/app.js", "");
    tmp.write_file("ws/py/pyproject.toml", "");
    tmp.write_file("ws/py/pkg/__pycache__/m.cpython-311.pyc", "");
    tmp.write_file("ws/py/.pytest_cache/v/cache", "");
    tmp.write_file("ws/loose/node_modules/x/index.js", "");       // no manifest: not a find
    tmp.write_file("ws/loose/proc/target/.rustc_info.json", "");  // "proc" is not entered
    tmp.write_file("elsewhere/Cargo.toml", "");
    tmp.write_file("elsewhere/target/x", "");
    testing::symlink_to(tmp / "elsewhere", tmp / "ws/link");  // links are not entered

    ASSERT_TRUE(search({tmp / "ws"}));
    struct Expect {
        std::string rel;
        CandidateKind kind;
        std::string tool;
        Recommendation recommendation;
    };
    const std::vector<Expect> expected = {
        {"rust/target", CandidateKind::Build, "Cargo", Recommendation::Regenerable},
        {"cpp/out", CandidateKind::Build, "CMake/Ninja", Recommendation::Regenerable},
        {"node/node_modules", CandidateKind::Dependencies, "Node packages", Recommendation::Review},
        {"node/dist", CandidateKind::Build, "JavaScript build", Recommendation::Review},
        {"py/pkg/__pycache__", CandidateKind::Cache, "Python bytecode",
         Recommendation::Regenerable},
        {"py/.pytest_cache", CandidateKind::Cache, "Python tools", Recommendation::Regenerable},
    };
    const auto found = sink.candidates();
    EXPECT_EQ(found.size(), expected.size());
    for (const auto& e : expected) {
        const DevCandidate* c = sink.find(tmp / ("ws/" + e.rel));
        ASSERT_NE(c, nullptr) << e.rel;
        EXPECT_EQ(c->kind, e.kind) << e.rel;
        EXPECT_EQ(c->tool, e.tool) << e.rel;
        EXPECT_EQ(c->recommendation, e.recommendation) << e.rel;
    }
    const auto s = sink.finished();
    EXPECT_EQ(s.candidates, found.size());
    EXPECT_EQ(s.roots, std::vector<std::string>{tmp / "ws"});
    EXPECT_EQ(s.skipped_paths, 0u);
    EXPECT_FALSE(s.limited);
    EXPECT_FALSE(s.cancelled);
    EXPECT_TRUE(s.warnings.empty());
    std::uint64_t regenerable = 0;
    for (const auto& c : found) {
        if (c.recommendation == Recommendation::Regenerable) regenerable += c.allocated_bytes;
    }
    EXPECT_EQ(s.candidate_bytes, regenerable);
    EXPECT_GT(s.entries_examined, 0u);
    EXPECT_GT(s.directories_listed, 0u);
}

TEST_F(DevSearchTest, WorktreesInsideTheRootsComeFirstAndTheMainCheckoutLast) {
    const std::string repo = make_repo("ws/repo");
    tmp.make_dir("ws/aaa");
    tmp.write_file("ws/repo/.gitignore", "target/\n");
    tmp.write_file("ws/repo/Cargo.toml", "");
    git(repo, {"add", ".gitignore", "Cargo.toml"});
    git(repo, {"commit", "-q", "-m", "rust"});
    git(repo, {"worktree", "add", "-q", "-b", "inside", tmp / "ws/zz-inside"});
    git(repo, {"worktree", "add", "-q", "-b", "outside", tmp / "away/outside"});
    tmp.write_file("ws/zz-inside/target/.rustc_info.json", "{}");

    ASSERT_TRUE(search({tmp / "ws"}));
    const auto found = sink.candidates();
    std::vector<std::string> paths;
    for (const auto& c : found) paths.push_back(c.path);
    EXPECT_EQ(paths,
              (std::vector<std::string>{tmp / "ws/zz-inside/target", tmp / "ws/zz-inside", repo}));
    EXPECT_EQ(found[1].kind, CandidateKind::Worktree);
    EXPECT_EQ(found[2].kind, CandidateKind::Repository);
    const auto s = sink.finished();
    EXPECT_EQ(found[0].recommendation, Recommendation::Regenerable);
    EXPECT_EQ(found[1].recommendation, Recommendation::ReviewRemoval);
    // The worktree counts once, with the build output inside it.
    EXPECT_EQ(s.candidate_bytes, found[1].allocated_bytes);
}

TEST_F(DevSearchTest, ScratchFilesInTemporaryFolders) {
    ASSERT_TRUE(tmp.path().starts_with("/tmp/"));
    testing::write_sized(tmp, "agent-run.log", 1 << 20);
    testing::write_sized(tmp, "claude-small.log", (1 << 20) - 8192);
    testing::write_sized(tmp, "notes.log", 1 << 20);
    testing::write_sized(tmp, "agent-\xFF.log", 1 << 20);
    ASSERT_TRUE(search({tmp.path()}));
    const auto found = sink.candidates();
    ASSERT_EQ(found.size(), 1u);
    EXPECT_EQ(found[0].path, tmp / "agent-run.log");
    EXPECT_EQ(found[0].kind, CandidateKind::Temporary);
    EXPECT_EQ(found[0].tool, "Agent scratch file");
    EXPECT_EQ(found[0].recommendation, Recommendation::Review);
    EXPECT_EQ(found[0].files, 1u);
    EXPECT_GE(found[0].allocated_bytes, 1u << 20);
    // The name that is not UTF-8 is skipped rather than reported under a lossy path.
    EXPECT_EQ(sink.finished().skipped_paths, 1u);
}

TEST_F(DevSearchTest, DepthLimitExaminesButDoesNotList) {
    tmp.write_file("ws/proj/Cargo.toml", "");
    tmp.make_dir("ws/proj/target");
    tmp.make_dir("ws/plain/deeper");
    ASSERT_TRUE(search({tmp / "ws"}, 1));
    EXPECT_TRUE(sink.candidates().empty());  // proj is at depth 1 and not listed
    EXPECT_TRUE(sink.finished().limited);
    EXPECT_EQ(sink.finished().warnings.front(), kWarningLimit);

    RecordingSink deep;
    ASSERT_TRUE(scan_development({{tmp / "ws"}, 2, 1000, false}, cancel, deep, options));
    EXPECT_EQ(deep.candidates().size(), 1u);
}

TEST_F(DevSearchTest, NonUtf8FolderAndVanishingFolderAreSkipped) {
    tmp.make_dir("ws/\xFF\xFE");
    tmp.write_file("ws/Cargo.toml", "");
    tmp.make_dir("ws/target");
    tmp.make_dir("ws/zzz");
    sink.on_candidate = [&](const DevCandidate&) { std::filesystem::remove(tmp / "ws/zzz"); };
    ASSERT_TRUE(search({tmp / "ws"}));
    EXPECT_EQ(sink.candidates().size(), 1u);
    EXPECT_EQ(sink.finished().skipped_paths, 2u);
}

TEST_F(DevSearchTest, TwoThousandFindsAtMost) {
    for (int i = 0; i < 2001; ++i) tmp.make_dir("ws/p" + std::to_string(i) + "/__pycache__");
    ASSERT_TRUE(search({tmp / "ws"}));
    const auto s = sink.finished();
    EXPECT_EQ(s.candidates, 2000u);
    EXPECT_EQ(sink.candidates().size(), 2000u);
    EXPECT_TRUE(s.limited);
    EXPECT_EQ(s.warnings, std::vector<std::string>{std::string(kWarningLimit)});
}

TEST_F(DevSearchTest, EntryBudgetEndsTheSearch) {
    for (int i = 0; i < 20; ++i) tmp.make_dir("ws/d" + std::to_string(i) + "/x");
    ASSERT_TRUE(search({tmp / "ws"}, 8, 10));
    const auto s = sink.finished();
    EXPECT_TRUE(s.limited);
    EXPECT_EQ(s.entries_examined, 10u);
}

TEST_F(DevSearchTest, TimeLimitAndCancellation) {
    tmp.write_file("ws/a/Cargo.toml", "");
    tmp.make_dir("ws/a/target");
    tmp.write_file("ws/b/Cargo.toml", "");
    tmp.make_dir("ws/b/target");
    options.clock = clock.fn();
    sink.on_candidate = [&](const DevCandidate&) { clock.advance(std::chrono::seconds(120)); };
    ASSERT_TRUE(search({tmp / "ws"}));
    auto s = sink.finished();
    EXPECT_TRUE(s.limited);
    EXPECT_FALSE(s.cancelled);
    EXPECT_EQ(s.candidates, 1u);
    EXPECT_GE(s.elapsed_ms, 120'000u);

    RecordingSink stopping;
    stopping.on_candidate = [&](const DevCandidate&) { cancel->store(true); };
    options.clock = {};
    ASSERT_TRUE(scan_development({{tmp / "ws"}, 8, 1000, false}, cancel, stopping, options));
    s = stopping.finished();
    EXPECT_TRUE(s.cancelled);
    EXPECT_FALSE(s.limited);
    EXPECT_EQ(s.candidates, 1u);
    EXPECT_TRUE(s.warnings.empty());
}

TEST_F(DevSearchTest, ProgressIsThrottledAndFinishedComesLast) {
    for (int i = 0; i < 30; ++i) tmp.make_dir("ws/d" + std::to_string(i) + "/__pycache__");
    // Every reading of the clock moves it 50 ms.
    auto now =
        std::make_shared<std::chrono::steady_clock::time_point>(std::chrono::steady_clock::now());
    options.clock = [now] { return *now += std::chrono::milliseconds(50); };
    ASSERT_TRUE(search({tmp / "ws"}));
    std::size_t progress = 0;
    for (std::size_t i = 0; i + 1 < sink.events.size(); ++i) {
        if (auto* p = std::get_if<DevScanEvent::Progress>(&sink.events[i].value)) {
            ++progress;
            EXPECT_EQ(p->summary.candidate_bytes, 0u);
            EXPECT_FALSE(p->summary.cancelled);
        }
        EXPECT_FALSE(std::holds_alternative<DevScanEvent::Finished>(sink.events[i].value));
    }
    EXPECT_GT(progress, 0u);
    EXPECT_EQ(sink.finished().candidates, sink.candidates().size());
}

TEST_F(DevSearchTest, WholeDiskRootSearchesTheDevelopmentLocations) {
    const std::string temp = tmp.make_dir("disk/tmp");
    testing::symlink_to(temp, tmp / "disk/tmp-link");
    tmp.write_file("disk/tmp/proj/Cargo.toml", "");
    tmp.make_dir("disk/tmp/proj/target");
    tmp.write_file("disk/home/alice/src/a/Cargo.toml", "");
    tmp.make_dir("disk/home/alice/src/a/target");
    tmp.write_file("disk/home/alice/other/Cargo.toml", "");  // not a developer folder
    tmp.make_dir("disk/home/alice/other/target");
    tmp.make_dir("disk/home/alice/.cache/pip");
    tmp.write_file("disk/elsewhere/Cargo.toml", "");
    tmp.make_dir("disk/elsewhere/target");
    testing::symlink_to(tmp / "disk/elsewhere", tmp / "disk/home/alice/projects");  // link: no
    testing::symlink_to(tmp / "disk/home/alice", tmp / "disk/home/bob");            // link home
    tmp.make_dir("disk/home/carol");
    testing::symlink_to(tmp / "disk/elsewhere", tmp / "disk/home/carol/src");

    options.locations.temp_folders = {tmp / "disk/tmp-link", tmp / "disk/none"};
    options.locations.home_bases = {tmp / "disk/home", tmp / "disk/Users"};
    ASSERT_TRUE(search({"/", tmp / "disk/elsewhere"}));
    std::vector<std::string> paths;
    for (const auto& c : sink.candidates()) paths.push_back(c.path);
    std::sort(paths.begin(), paths.end());
    EXPECT_EQ(paths, (std::vector<std::string>{tmp / "disk/home/alice/.cache/pip",
                                               tmp / "disk/home/alice/src/a/target",
                                               tmp / "disk/tmp/proj/target"}));
    EXPECT_EQ(sink.finished().roots, std::vector<std::string>{"/"});

    // Homes past the entry limit are not looked at.
    RecordingSink limited;
    options.locations.max_home_entries = 0;
    ASSERT_TRUE(scan_development({{"/"}, 8, 1000, false}, cancel, limited, options));
    EXPECT_EQ(limited.candidates().size(), 1u);
}

TEST_F(DevSearchTest, MountBelowARootIsNotEntered) {
    const std::string mnt = tmp.make_dir("ws/mnt");
    const std::string ws = tmp / "ws";
    const int code = testing::run_in_child([&] {
        if (::unshare(CLONE_NEWNS) != 0) return 77;
        if (::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0) return 77;
        if (::mount("none", mnt.c_str(), "tmpfs", 0, nullptr) != 0) return 77;
        tmp.write_file("ws/mnt/p/Cargo.toml", "");
        tmp.make_dir("ws/mnt/p/target");
        RecordingSink s;
        if (!scan_development({{ws}, 8, 1000, false}, make_cancel_flag(), s, SearchOptions{}))
            return 2;
        if (!s.candidates().empty()) return 3;
        if (s.finished().skipped_paths != 1) return 4;
        return 0;
    });
    if (code == 77) GTEST_SKIP() << "mount namespaces are not available here";
    EXPECT_EQ(code, 0);
}

TEST(DevCandidateBytes, NestedFindsCountOnce) {
    const auto make = [](std::string path, Recommendation rec, std::uint64_t bytes) {
        DevCandidate c;
        c.path = std::move(path);
        c.recommendation = rec;
        c.allocated_bytes = bytes;
        return c;
    };
    const std::vector<DevCandidate> found = {
        make("/w/wt/target", Recommendation::Regenerable, 10),
        make("/w/wt", Recommendation::ReviewRemoval, 100),
        make("/w/wt/inner-wt", Recommendation::ReviewRemoval, 30),
        make("/w/repo/target", Recommendation::Regenerable, 5),
        make("/w/repo", Recommendation::Keep, 1000),
        make("/w/node_modules", Recommendation::Review, 50),
        make("/w/wtx/target", Recommendation::Regenerable, 7),  // beside, not inside, /w/wt
    };
    EXPECT_EQ(compute_candidate_bytes(found), 112u);
    EXPECT_EQ(compute_candidate_bytes({make("/a", Recommendation::Regenerable, UINT64_MAX),
                                       make("/b", Recommendation::Regenerable, 1)}),
              UINT64_MAX);
}

}  // namespace
}  // namespace bramvelt::development
