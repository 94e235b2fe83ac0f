#include "src/cli/dev_view_model.hpp"

#include <gtest/gtest.h>
#include <unistd.h>

#include <limits>
#include <string>
#include <vector>

#include "support/temp_dir.hpp"

namespace bramvelt::cli {
namespace {

using development::CandidateKind;
using development::DirtyState;
using development::GitDetail;
using development::Recommendation;

DevCandidate artifact(std::string path, CandidateKind kind, std::string tool,
                      Recommendation recommendation = Recommendation::Regenerable,
                      std::uint64_t bytes = 0) {
    DevCandidate c;
    c.path = std::move(path);
    c.kind = kind;
    c.tool = std::move(tool);
    c.recommendation = recommendation;
    c.allocated_bytes = bytes;
    c.measurement_complete = true;
    return c;
}

// A worktree that meets every condition of the Worktree category.
DevCandidate clean_worktree(std::string path = "/w/feature") {
    DevCandidate c =
        artifact(std::move(path), CandidateKind::Worktree, "Git", Recommendation::ReviewRemoval);
    GitDetail g;
    g.repository = "/w/main";
    g.branch = "feature";
    g.head = "0123abcd";
    g.dirty = DirtyState::No;
    g.merged_into = {"main"};
    c.git = g;
    return c;
}

TEST(DevViewModel, CategoryAndBadge) {
    struct Case {
        std::string name;
        DevCandidate candidate;
        DevCategory category;
        std::string badge;
    };
    const auto worktree_with = [](auto change) {
        DevCandidate c = clean_worktree();
        change(c, *c.git);
        return c;
    };
    auto incomplete_cache = artifact("/p/.cache", CandidateKind::Cache, "Compiler/package cache");
    incomplete_cache.measurement_complete = false;
    auto build_with_git = artifact("/p/target", CandidateKind::Build, "Cargo");
    build_with_git.git = GitDetail{};
    auto repository = artifact("/r", CandidateKind::Repository, "Git", Recommendation::Keep);
    repository.git = GitDetail{};

    const std::vector<Case> cases = {
        {"node deps", artifact("/p/node_modules", CandidateKind::Dependencies, "Node packages"),
         DevCategory::Rebuildable, "Downloadable again"},
        {"cargo build", artifact("/p/target", CandidateKind::Build, "Cargo"),
         DevCategory::Rebuildable, "Rebuildable"},
        {"build with git", build_with_git, DevCategory::Keep, "Checks incomplete"},
        {"temporary is never rebuildable",
         artifact("/tmp/x.log", CandidateKind::Temporary, "Agent scratch file"), DevCategory::Keep,
         "Needs investigation"},
        {"incomplete cache", incomplete_cache, DevCategory::Keep, "Partial scan"},
        {"review cache",
         artifact("/p/.cache", CandidateKind::Cache, "Gradle", Recommendation::Review),
         DevCategory::Keep, "Needs investigation"},
        {"clean worktree", clean_worktree(), DevCategory::Worktree, "Commits preserved"},
        {"verified remote alone", worktree_with([](DevCandidate&, GitDetail& g) {
             g.merged_into.clear();
             g.verified_remote_refs = {"origin/feature"};
             g.branch.reset();
         }),
         DevCategory::Worktree, "Commits preserved"},
        {"repository", repository, DevCategory::Keep, "Keep repository"},
        {"dirty", worktree_with([](DevCandidate&, GitDetail& g) { g.dirty = DirtyState::Yes; }),
         DevCategory::Keep, "Local changes"},
        {"untracked", worktree_with([](DevCandidate&, GitDetail& g) { g.untracked = 1; }),
         DevCategory::Keep, "Local changes"},
        {"locked", worktree_with([](DevCandidate&, GitDetail& g) { g.locked = true; }),
         DevCategory::Keep, "Locked worktree"},
        {"operation",
         worktree_with([](DevCandidate&, GitDetail& g) { g.operation_in_progress = true; }),
         DevCategory::Keep, "Git operation running"},
        {"ignored", worktree_with([](DevCandidate&, GitDetail& g) { g.ignored_unknown = 2; }),
         DevCategory::Keep, "Unrecognized files"},
        {"status failed",
         worktree_with([](DevCandidate&, GitDetail& g) { g.dirty = DirtyState::NotEstablished; }),
         DevCategory::Keep, "Checks incomplete"},
        {"nowhere preserved",
         worktree_with([](DevCandidate&, GitDetail& g) { g.merged_into.clear(); }),
         DevCategory::Keep, "History not verified"},
        {"nowhere preserved, partial", worktree_with([](DevCandidate& c, GitDetail& g) {
             g.merged_into.clear();
             c.measurement_complete = false;
         }),
         DevCategory::Keep, "Partial scan"},
        {"shallow", worktree_with([](DevCandidate&, GitDetail& g) { g.shallow = true; }),
         DevCategory::Keep, "History incomplete"},
        {"empty head", worktree_with([](DevCandidate&, GitDetail& g) { g.head = ""; }),
         DevCategory::Keep, "History not verified"},
        {"wrong recommendation", worktree_with([](DevCandidate& c, GitDetail&) {
             c.recommendation = Recommendation::Keep;
         }),
         DevCategory::Keep, "History not verified"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(item_category(c.candidate), c.category) << c.name;
        EXPECT_EQ(item_badge(c.candidate), c.badge) << c.name;
    }
}

TEST(DevViewModel, Labels) {
    struct Case {
        CandidateKind kind;
        std::string tool;
        std::string label;
    };
    const std::vector<Case> cases = {
        {CandidateKind::Build, "Xcode", "Xcode build output"},
        {CandidateKind::Build, "CMake build", "CMake build output"},
        {CandidateKind::Build, "Gradle Build",
         "Gradle Build build output"},  // endings are case-sensitive
        {CandidateKind::Cache, "Gradle", "Gradle cache"},
        {CandidateKind::Cache, "Compiler/package cache", "Compiler/package cache"},
        {CandidateKind::Dependencies, "Node packages", "Node packages"},
        {CandidateKind::Dependencies, "Bun package cache", "Bun package cache"},
        {CandidateKind::Dependencies, "Cargo", "Cargo packages"},
        {CandidateKind::Worktree, "Git", "Git worktree"},
        {CandidateKind::Repository, "Git", "Git repository"},
        {CandidateKind::Temporary, "Agent scratch file", "Temporary files"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(item_label(artifact("/x", c.kind, c.tool)), c.label)
            << development::kind_word(c.kind) << c.tool;
    }
}

std::vector<std::string> paths_of(const std::vector<const DevCandidate*>& items) {
    std::vector<std::string> out;
    for (const auto* c : items) out.push_back(c->path);
    return out;
}

TEST(DevViewModel, FilterTests) {
    constexpr std::uint64_t now = 1'000 * 86'400;
    auto old_build =
        artifact("/p/Old/target", CandidateKind::Build, "Cargo", Recommendation::Regenerable, 500);
    old_build.last_modified = now - 40 * 86'400;
    auto new_deps = artifact("/p/new/node_modules", CandidateKind::Dependencies, "Node packages",
                             Recommendation::Regenerable, 2'000);
    new_deps.last_modified = now - 86'400;
    auto no_time =
        artifact("/p/none/.cache", CandidateKind::Cache, "Gradle", Recommendation::Review, 9'000);
    auto branch = clean_worktree("/w/x");
    branch.git->branch = "main";
    const std::vector<DevCandidate> all{old_build, new_deps, no_time, branch};

    struct Case {
        std::string name;
        DevItemFilter filter;
        std::vector<std::string> paths;  // largest first
    };
    const auto f = [](auto change) {
        DevItemFilter filter;
        change(filter);
        return filter;
    };
    const std::vector<Case> cases = {
        {"everything", {}, {"/p/none/.cache", "/p/new/node_modules", "/p/Old/target", "/w/x"}},
        {"min size",
         f([](DevItemFilter& x) { x.min_size = 2'000; }),
         {"/p/none/.cache", "/p/new/node_modules"}},
        {"kinds",
         f([](DevItemFilter& x) {
             x.kinds = {CandidateKind::Build, CandidateKind::Worktree};
         }),
         {"/p/Old/target", "/w/x"}},
        {"category",
         f([](DevItemFilter& x) { x.category = DevCategory::Keep; }),
         {"/p/none/.cache"}},
        {"older than 30 days drops those without a time",
         f([](DevItemFilter& x) { x.older_than_days = 30; }),
         {"/p/Old/target"}},
        {"cutoff saturates at zero",
         f([](DevItemFilter& x) { x.older_than_days = UINT64_MAX; }),
         {}},
        {"search path, any case",
         f([](DevItemFilter& x) { x.search = " OLD "; }),
         {"/p/Old/target"}},
        {"search tool", f([](DevItemFilter& x) { x.search = "gradle"; }), {"/p/none/.cache"}},
        {"search branch", f([](DevItemFilter& x) { x.search = "Main"; }), {"/w/x"}},
        {"white space only",
         f([](DevItemFilter& x) { x.search = " \t\u3000"; }),
         {"/p/none/.cache", "/p/new/node_modules", "/p/Old/target", "/w/x"}},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(paths_of(filter_and_sort_items(c.filter, all, now)), c.paths) << c.name;
    }
}

TEST(DevViewModel, SortOrdersBreakTiesByPath) {
    auto a = artifact("/b", CandidateKind::Build, "Cargo", Recommendation::Regenerable, 10);
    a.last_modified = 100;
    a.last_access_estimate = 900;
    auto b = artifact("/a", CandidateKind::Build, "Cargo", Recommendation::Regenerable, 10);
    b.last_modified = 100;
    b.last_access_estimate = 50;
    auto c = artifact("/c", CandidateKind::Build, "Cargo", Recommendation::Regenerable, 30);
    c.last_access_estimate = 10;
    auto w = clean_worktree("/d");  // sorts by its modification time when by access
    w.last_modified = 60;
    w.last_access_estimate = 1;
    auto none = artifact("/0", CandidateKind::Cache, "Gradle", Recommendation::Regenerable, 10);
    const std::vector<DevCandidate> items{a, b, c, w, none};

    const auto order = [&](DevSortOrder sort) {
        DevItemFilter filter;
        filter.sort = sort;
        return paths_of(filter_and_sort_items(filter, items, 1'000));
    };
    EXPECT_EQ(order(DevSortOrder::Largest),
              (std::vector<std::string>{"/c", "/0", "/a", "/b", "/d"}));
    EXPECT_EQ(order(DevSortOrder::Oldest),
              (std::vector<std::string>{"/d", "/a", "/b", "/0", "/c"}));
    EXPECT_EQ(order(DevSortOrder::Access),
              (std::vector<std::string>{"/c", "/a", "/d", "/b", "/0"}));
}

TEST(DevViewModel, NestedFindsCountOnce) {
    const auto big = std::numeric_limits<std::uint64_t>::max() - 5;
    const std::vector<DevCandidate> items{
        artifact("/a/b", CandidateKind::Build, "Cargo", Recommendation::Regenerable, 7),
        artifact("/a-b", CandidateKind::Build, "Cargo", Recommendation::Regenerable, 3),
        artifact("/a", CandidateKind::Dependencies, "Node packages", Recommendation::Regenerable,
                 100),
        artifact("/a/", CandidateKind::Cache, "Gradle", Recommendation::Regenerable,
                 1),  // the same folder once more
        artifact("/k", CandidateKind::Cache, "Gradle", Recommendation::Review,
                 1'000),  // Keep: never reclaimable
        artifact("/ab", CandidateKind::Build, "Cargo", Recommendation::Regenerable, 5),
    };
    std::vector<const DevCandidate*> refs;
    for (const auto& c : items) refs.push_back(&c);
    EXPECT_EQ(paths_of(reclaimable_items(refs)), (std::vector<std::string>{"/a", "/a-b", "/ab"}));
    EXPECT_EQ(reclaimable_total(refs), 108u);
    EXPECT_EQ(reclaimable_total_of_items(items), 108u);

    const std::vector<DevCandidate> huge{
        artifact("/x", CandidateKind::Build, "Cargo", Recommendation::Regenerable, big),
        artifact("/y", CandidateKind::Build, "Cargo", Recommendation::Regenerable, 10)};
    EXPECT_EQ(reclaimable_total_of_items(huge), std::numeric_limits<std::uint64_t>::max());
}

TEST(DevViewModel, ContainsLowercase) {
    EXPECT_TRUE(contains_lowercase("straße", "STRAßE"));
    EXPECT_TRUE(contains_lowercase("äbc", "xÄBC"));
    EXPECT_TRUE(contains_lowercase("", "x"));
}

TEST(DevViewModel, ResolveAndDescribeTargets) {
    testing::TempDir dir;
    testing::ScopedEnv home("HOME", dir.make_dir("home").c_str());
    dir.make_dir("proj/sub");
    dir.write_file("proj/file.txt", "x");
    ASSERT_EQ(::symlink((dir / "proj").c_str(), (dir / "link").c_str()), 0);

    EXPECT_EQ(resolve_targets({}), (std::vector<std::string>{"/"}));
    EXPECT_EQ(resolve_target("sub", dir / "proj"), dir / "proj/sub");
    EXPECT_EQ(resolve_target("", dir / "proj"), dir / "proj");
    EXPECT_EQ(resolve_target(dir / "link/sub/..", "/nowhere"), dir / "proj");
    EXPECT_EQ(resolve_target("link", dir.path()), dir / "proj");

    const auto file = resolve_target("proj/file.txt", dir.path());
    ASSERT_FALSE(file.has_value());
    EXPECT_EQ(file.error(), "not a directory: " + (dir / "proj/file.txt"));

    const auto missing = resolve_target("gone\x1b", dir.path());
    ASSERT_FALSE(missing.has_value());
    EXPECT_EQ(missing.error(), dir / "gone\\u{1b}: No such file or directory (os error 2)");

    // A folder whose real path is not UTF-8 is refused: with its bytes replaced it would
    // name another folder, which may exist. Error texts show such bytes as U+FFFD.
    dir.make_dir("bad\xff");
    dir.make_dir("bad\uFFFD");
    dir.write_file("bad\xff/plain", "x");
    ASSERT_EQ(::symlink((dir / "bad\xff").c_str(), (dir / "to-bad").c_str()), 0);
    EXPECT_EQ(resolve_target("to-bad", dir.path()).error(),
              dir / "to-bad: Invalid or incomplete multibyte or wide character (os error 84)");
    EXPECT_EQ(resolve_target("bad\uFFFD", dir.path()), dir / "bad\uFFFD");
    EXPECT_EQ(resolve_target("to-bad/plain", dir.path()).error(),
              "not a directory: " + (dir / "bad\uFFFD/plain"));
    EXPECT_EQ(resolve_target("gone", dir / "bad\xff").error(),
              dir / "bad\uFFFD/gone: No such file or directory (os error 2)");

    const std::vector<std::string> folders{dir / "proj", dir / "nope"};
    const auto first_error = resolve_targets(folders);
    ASSERT_FALSE(first_error.has_value());
    EXPECT_TRUE(first_error.error().starts_with(dir / "nope: ")) << first_error.error();

    const std::vector<std::string> targets{"/home/me/src", "/opt/x"};
    EXPECT_EQ(describe_targets(targets, std::string("/home/me")), "~/src, /opt/x");
    EXPECT_EQ(describe_targets(targets, std::nullopt), "/home/me/src, /opt/x");
    const std::vector<std::string> usual{"/"};
    EXPECT_EQ(describe_targets(usual, std::string("/home/me")), "usual development locations");
}

}  // namespace
}  // namespace bramvelt::cli
