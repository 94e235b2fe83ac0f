// The Git checkout inspection and its recommendation against real repositories and
// worktrees in every state, with the exact reasons in order.

#include "core/development/git_inspect.hpp"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <filesystem>
#include <fstream>

#include "core/development/artifact_candidate.hpp"
#include "core/development/git_recommendation.hpp"
#include "core/development/state.hpp"
#include "dev_fixture.hpp"
#include "support/as_user.hpp"

namespace bramvelt::development {
namespace {

using testing::git;
using testing::trimmed;
using Reasons = std::vector<std::string>;

Reasons reasons(std::initializer_list<std::string_view> texts) {
    return Reasons(texts.begin(), texts.end());
}

class DevInspectTest : public testing::DevTest {
  protected:
    void SetUp() override {
        ws = tmp.make_dir("ws");
        repo = make_repo("ws/repo");
    }
    // A linked worktree of `repo` at ws/<name> on a new branch from main.
    std::string add_worktree(const std::string& name, std::vector<std::string> extra = {}) {
        std::vector<std::string> args{"worktree", "add", "-q"};
        if (extra.empty()) extra = {"-b", name};
        args.insert(args.end(), extra.begin(), extra.end());
        args.push_back(ws + "/" + name);
        git(repo, args);
        return ws + "/" + name;
    }
    std::string git_dir(const std::string& checkout) {
        return trimmed(git(checkout, {"rev-parse", "--absolute-git-dir"}));
    }
    // Inspects `folder` in a fresh search over ws; the Git candidate is the last one.
    DevCandidate inspect(const std::string& folder, bool verify = false,
                         std::uint64_t timeout = kGitTimeoutSeconds) {
        fixture = std::make_unique<testing::StateFixture>(
            std::vector<std::string>{ws}, development::SearchClock{}, 2'000'000, verify);
        fixture->state.git_timeout_seconds = timeout;
        inspect_git_checkout(fixture->state, folder);
        EXPECT_FALSE(fixture->sink.candidates().empty());
        return fixture->sink.candidates().empty() ? DevCandidate{}
                                                  : fixture->sink.candidates().back();
    }
    std::string ws;
    std::string repo;
    std::unique_ptr<testing::StateFixture> fixture;
};

TEST_F(DevInspectTest, CleanWorktreeMergedIntoAnotherBranchIsOfferedForReview) {
    const std::string wt = add_worktree("feature");
    const auto c = inspect(wt);
    EXPECT_EQ(c.kind, CandidateKind::Worktree);
    EXPECT_EQ(c.tool, "Git");
    EXPECT_EQ(c.recommendation, Recommendation::ReviewRemoval);
    EXPECT_EQ(c.reasons, reasons({kReasonEligible, kReasonSquash}));
    ASSERT_TRUE(c.git);
    const GitDetail& d = *c.git;
    EXPECT_EQ(d.repository, repo);
    EXPECT_EQ(d.branch, "feature");
    EXPECT_EQ(d.head, trimmed(git(repo, {"rev-parse", "HEAD"})));
    EXPECT_EQ(d.dirty, DirtyState::No);
    EXPECT_EQ(d.merged_into, std::vector<std::string>{"main"});  // never its own branch
    EXPECT_TRUE(d.cached_remote_refs.empty());
    EXPECT_FALSE(d.shallow);
    EXPECT_TRUE(d.last_commit);
    EXPECT_TRUE(d.last_git_activity);
    EXPECT_FALSE(d.remote_checked_at);
    EXPECT_TRUE(c.measurement_complete);
    EXPECT_GT(c.files, 0u);
    EXPECT_FALSE(c.last_access_estimate);
    EXPECT_GE(*c.last_modified, *d.last_commit);
}

TEST_F(DevInspectTest, MainCheckoutIsKept) {
    add_worktree("feature");
    const auto c = inspect(repo);
    EXPECT_EQ(c.kind, CandidateKind::Repository);
    EXPECT_EQ(c.recommendation, Recommendation::Keep);
    EXPECT_EQ(c.reasons, reasons({kReasonPrimary, kReasonMeasurementIncomplete, kReasonSquash}));
    EXPECT_EQ(c.git->merged_into, std::vector<std::string>{"feature"});
    EXPECT_EQ(c.git->branch, "main");
}

TEST_F(DevInspectTest, WorktreeStatesThatBlockRemoval) {
    struct Case {
        std::string name;
        std::function<void(const std::string& wt)> setup;
        Reasons expected;
    };
    const std::vector<Case> cases = {
        {"modified", [](const std::string& wt) { std::ofstream(wt + "/README") << "changed\n"; },
         reasons({kReasonDirty, kReasonSquash})},
        {"staged",
         [](const std::string& wt) {
             std::ofstream(wt + "/new.txt") << "n\n";
             git(wt, {"add", "new.txt"});
         },
         reasons({kReasonDirty, kReasonSquash})},
        {"untracked", [](const std::string& wt) { std::ofstream(wt + "/notes.txt") << "n\n"; },
         reasons({kReasonDirty, kReasonSquash})},
        {"locked",
         [this](const std::string& wt) {
             git(repo, {"worktree", "lock", wt});
         },
         reasons({kReasonLockedOrBusy, kReasonSquash})},
        {"locked-merging",
         [this](const std::string& wt) {
             git(repo, {"worktree", "lock", "--reason", "busy", wt});
             std::ofstream(git_dir(wt) + "/MERGE_HEAD") << "0\n";
         },
         reasons({kReasonLockedOrBusy, kReasonSquash})},
        {"rebasing",
         [this](const std::string& wt) { ::mkdir((git_dir(wt) + "/rebase-merge").c_str(), 0755); },
         reasons({kReasonLockedOrBusy, kReasonSquash})},
        {"ahead", [this](const std::string& wt) { commit_file(wt, "only-here.txt", "x"); },
         reasons({kReasonNoContainingBranch, kReasonSquash})},
    };
    for (const auto& c : cases) {
        const std::string wt = add_worktree(c.name);
        c.setup(wt);
        const auto cand = inspect(wt);
        EXPECT_EQ(cand.recommendation, Recommendation::Keep) << c.name;
        EXPECT_EQ(cand.reasons, c.expected) << c.name;
    }
}

// Edits no status shows: a tracked file marked skip-worktree or assume-unchanged. Its file
// present counts as modified; absent, as a sparse checkout leaves what lies outside its
// cone, it changes nothing.
TEST_F(DevInspectTest, EditsTheStatusLooksPastCountWhenTheirFileIsThere) {
    commit_file(repo, "settings.conf", "db=prod\n");
    tmp.make_dir("ws/repo/docs");
    commit_file(repo, "docs/guide.txt", "guide\n");
    const auto mark = [](const std::string& wt, const char* flag, const std::string& file) {
        git(wt, {"update-index", flag, file});
        std::ofstream(wt + "/" + file) << "db=local-password\n";
    };
    struct Case {
        std::string name;
        std::function<void(const std::string& wt)> setup;
        std::uint64_t modified;
    };
    const std::vector<Case> cases = {
        {"skip-worktree",
         [&](const std::string& wt) { mark(wt, "--skip-worktree", "settings.conf"); }, 1},
        {"assume-unchanged",
         [&](const std::string& wt) { mark(wt, "--assume-unchanged", "settings.conf"); }, 1},
        {"both-beside-a-plain-edit",
         [&](const std::string& wt) {
             mark(wt, "--skip-worktree", "settings.conf");
             mark(wt, "--assume-unchanged", "docs/guide.txt");
             std::ofstream(wt + "/README") << "changed\n";
         },
         3},
        {"sparse",
         [](const std::string& wt) {
             git(wt, {"sparse-checkout", "set", "--cone", "src"});
             ASSERT_FALSE(std::filesystem::exists(wt + "/docs/guide.txt"));
             ASSERT_EQ(git(wt, {"ls-files", "-v", "docs"}), "S docs/guide.txt\n");
         },
         0},
        {"skip-worktree-deleted",
         [](const std::string& wt) {
             git(wt, {"update-index", "--skip-worktree", "settings.conf"});
             std::filesystem::remove(wt + "/settings.conf");
         },
         0},
    };
    for (const auto& c : cases) {
        const std::string wt = add_worktree(c.name);
        c.setup(wt);
        const auto cand = inspect(wt);
        ASSERT_TRUE(cand.git) << c.name;
        EXPECT_EQ(cand.git->modified, c.modified) << c.name;
        if (c.modified == 0) {
            EXPECT_EQ(cand.git->dirty, DirtyState::No) << c.name;
            EXPECT_EQ(cand.recommendation, Recommendation::ReviewRemoval) << c.name;
        } else {
            EXPECT_EQ(cand.git->dirty, DirtyState::Yes) << c.name;
            EXPECT_EQ(cand.recommendation, Recommendation::Keep) << c.name;
            EXPECT_EQ(cand.reasons, reasons({kReasonDirty, kReasonSquash})) << c.name;
        }
    }
}

TEST_F(DevInspectTest, MergeHeadMarksOnlyItsOwnWorktree) {
    const std::string a = add_worktree("a");
    const std::string b = add_worktree("b");
    std::ofstream(git_dir(a) + "/MERGE_HEAD") << "0\n";
    EXPECT_TRUE(inspect(a).git->operation_in_progress);
    EXPECT_FALSE(inspect(b).git->operation_in_progress);
    EXPECT_EQ(inspect(b).recommendation, Recommendation::ReviewRemoval);
}

TEST_F(DevInspectTest, DetachedWorktreeHasNoBranch) {
    const std::string wt = add_worktree("det", {"--detach"});
    const auto c = inspect(wt);
    EXPECT_EQ(c.git->branch, std::nullopt);
    EXPECT_EQ(c.git->merged_into, std::vector<std::string>{"main"});
    EXPECT_EQ(c.recommendation, Recommendation::ReviewRemoval);
}

TEST_F(DevInspectTest, IgnoredDataCoveredOnlyByRegenerableArtifacts) {
    tmp.write_file("ws/repo/.gitignore", "target/\n*.log\n");
    tmp.write_file("ws/repo/Cargo.toml", "[package]\n");
    git(repo, {"add", ".gitignore", "Cargo.toml"});
    git(repo, {"commit", "-q", "-m", "rust"});
    const std::string wt = add_worktree("rust");
    tmp.write_file("ws/rust/target/debug/app", "binary");
    tmp.write_file("ws/rust/target/.rustc_info.json", "{}");

    auto c = inspect(wt);
    const auto& all = fixture->sink.candidates();
    ASSERT_EQ(all.size(), 2u);
    EXPECT_EQ(all[0].path, wt + "/target");  // the artifact comes before its checkout
    EXPECT_EQ(all[0].recommendation, Recommendation::Regenerable);
    EXPECT_EQ(c.git->ignored_unknown, 0u);
    EXPECT_EQ(c.git->dirty, DirtyState::No);
    EXPECT_EQ(c.recommendation, Recommendation::ReviewRemoval);
    EXPECT_GE(c.allocated_bytes, all[0].allocated_bytes);

    tmp.write_file("ws/rust/debug.log", "log");
    c = inspect(wt);
    EXPECT_EQ(c.git->ignored_unknown, 1u);
    EXPECT_EQ(c.git->dirty, DirtyState::No);
    EXPECT_EQ(c.recommendation, Recommendation::Keep);
    EXPECT_EQ(c.reasons, reasons({kReasonIgnoredUnknown, kReasonSquash}));
}

TEST_F(DevInspectTest, NestedCheckoutGoesBackToTheSearch) {
    const std::string wt = add_worktree("outer");
    make_repo("ws/outer/vendor/inner");
    const auto c = inspect(wt);
    EXPECT_FALSE(c.measurement_complete);
    ASSERT_FALSE(fixture->state.folder_queue.empty());
    EXPECT_EQ(fixture->state.folder_queue.front().first, wt + "/vendor/inner");
    EXPECT_EQ(c.recommendation, Recommendation::Keep);
}

TEST_F(DevInspectTest, RepositoryWithoutCommitsAndFolderWithoutGit) {
    const std::string empty = tmp.make_dir("ws/empty");
    git(empty, {"init", "-q"});
    auto c = inspect(empty);
    EXPECT_EQ(c.kind, CandidateKind::Repository);
    EXPECT_EQ(c.git->head, std::nullopt);
    EXPECT_TRUE(c.git->merged_into.empty());
    EXPECT_EQ(c.git->last_commit, std::nullopt);
    EXPECT_EQ(c.recommendation, Recommendation::Keep);

    const std::string plain = tmp.make_dir("plain");
    c = inspect(plain);
    EXPECT_EQ(c.git->repository, plain);
    EXPECT_TRUE(c.git->shallow);
    EXPECT_EQ(c.git->dirty, DirtyState::NotEstablished);
    EXPECT_EQ(c.reasons, reasons({kReasonPrimary, kReasonDirty, kReasonShallow,
                                  kReasonNoContainingBranch, kReasonSquash}));
}

TEST_F(DevInspectTest, ShallowAndPartialClones) {
    git(repo, {"config", "uploadpack.allowfilter", "true"});
    const std::string shallow = ws + "/shallow";
    git(ws, {"clone", "-q", "--depth", "1", "file://" + repo, shallow});
    git(shallow, {"worktree", "add", "-q", "-b", "side", ws + "/shallow-wt"});
    auto c = inspect(ws + "/shallow-wt");
    EXPECT_TRUE(c.git->shallow);
    EXPECT_EQ(c.recommendation, Recommendation::Keep);
    EXPECT_EQ(c.git->merged_into, std::vector<std::string>{"main"});
    EXPECT_EQ(c.reasons, reasons({kReasonShallow, kReasonCachedRefs, kReasonSquash}));

    const std::string partial = ws + "/partial";
    git(ws, {"clone", "-q", "--filter=blob:none", "file://" + repo, partial});
    git(partial, {"worktree", "add", "-q", "-b", "side", ws + "/partial-wt"});
    c = inspect(ws + "/partial-wt");
    EXPECT_TRUE(c.git->partial_history);
    EXPECT_EQ(c.git->dirty, DirtyState::NotEstablished);
    EXPECT_TRUE(c.git->merged_into.empty());
    EXPECT_EQ(c.recommendation, Recommendation::Keep);
    EXPECT_EQ(c.reasons,
              reasons({kReasonDirty, kReasonPartial, kReasonNoContainingBranch, kReasonSquash}));
    // rev-parse ×3, worktree list, remote, config: no ls-files, status, for-each-ref or show.
    EXPECT_EQ(fixture->state.summary.git_commands, 6u);

    // A promisor setting that is off is no partial clone; the extension alone makes one.
    for (const char* off : {"false", "0", " off ", "\xC2\xA0no\xE3\x80\x80"}) {
        git(partial, {"config", "remote.origin.promisor", off});
        EXPECT_FALSE(inspect(ws + "/partial-wt").git->partial_history) << off;
    }
    git(partial, {"config", "extensions.partialclone", "origin"});
    EXPECT_TRUE(inspect(ws + "/partial-wt").git->partial_history);
}

// Activity is dated by HEAD, the index and the HEAD reflog of the checkout's own Git
// directory, not by the directory itself.
TEST_F(DevInspectTest, ActivityTimeComesFromHeadIndexAndReflog) {
    const std::string wt = add_worktree("dated");
    const std::string gd = git_dir(wt);
    const auto set_mtime = [](const std::string& path, time_t when) {
        const timespec times[2] = {{when, 0}, {when, 0}};
        ASSERT_EQ(::utimensat(AT_FDCWD, path.c_str(), times, AT_SYMLINK_NOFOLLOW), 0) << path;
    };
    set_mtime(gd + "/HEAD", 1'000'000);
    set_mtime(gd + "/index", 3'000'000);
    set_mtime(gd + "/logs/HEAD", 2'000'000);
    set_mtime(gd, 4'000'000'000);
    const auto c = inspect(wt);
    EXPECT_EQ(c.git->last_git_activity, 3'000'000u);
    EXPECT_LT(*c.last_modified, 4'000'000'000u);
}

// A bare repository as the remote, over the file protocol.
class DevRemoteTest : public DevInspectTest {
  protected:
    void SetUp() override {
        DevInspectTest::SetUp();
        bare = ws + "/remote.git";
        git(ws, {"init", "-q", "--bare", bare});
        git(repo, {"remote", "add", "origin", "file://" + bare});
        git(repo, {"push", "-q", "origin", "main"});
        wt = add_worktree("pushed");
        commit_file(wt, "work.txt", "w");
        git(wt, {"push", "-q", "origin", "pushed"});  // creates refs/remotes/origin/pushed
    }
    std::string bare;
    std::string wt;
};

TEST_F(DevRemoteTest, CachedRefsAloneAreNotEnough) {
    const auto c = inspect(wt, false);
    EXPECT_EQ(c.git->cached_remote_refs, std::vector<std::string>{"origin/pushed"});
    EXPECT_TRUE(c.git->verified_remote_refs.empty());
    EXPECT_FALSE(c.git->remote_checked_at);
    EXPECT_EQ(c.recommendation, Recommendation::Keep);
    EXPECT_EQ(c.reasons, reasons({kReasonNoContainingBranch, kReasonCachedRefs, kReasonSquash}));
}

TEST_F(DevRemoteTest, LiveRemoteConfirmsTheBranch) {
    const auto c = inspect(wt, true);
    EXPECT_EQ(c.git->verified_remote_refs, std::vector<std::string>{"origin/pushed"});
    EXPECT_TRUE(c.git->remote_checked_at);
    EXPECT_EQ(c.recommendation, Recommendation::ReviewRemoval);
    EXPECT_EQ(c.reasons, reasons({kReasonEligible, kReasonSquash}));
    EXPECT_TRUE(fixture->state.summary.warnings.empty());
}

TEST_F(DevRemoteTest, RemoteThatMovedIsNotConfirmation) {
    const std::string other = ws + "/other";
    git(ws, {"clone", "-q", "file://" + bare, other});
    git(other, {"checkout", "-q", "pushed"});
    commit_file(other, "later.txt", "l");
    git(other, {"push", "-q", "origin", "pushed"});
    const auto c = inspect(wt, true);
    EXPECT_EQ(c.git->cached_remote_refs, std::vector<std::string>{"origin/pushed"});
    EXPECT_TRUE(c.git->verified_remote_refs.empty());
    EXPECT_EQ(c.recommendation, Recommendation::Keep);
}

TEST_F(DevRemoteTest, LocalBranchSufficesBesideCachedRefs) {
    git(repo, {"branch", "copy", "pushed"});
    const auto c = inspect(wt, false);
    EXPECT_EQ(c.git->merged_into, std::vector<std::string>{"copy"});
    EXPECT_EQ(c.recommendation, Recommendation::ReviewRemoval);
    EXPECT_EQ(c.reasons, reasons({kReasonCachedRefs, kReasonEligible, kReasonSquash}));
}

// A remote that answers with no branches at all was still checked.
TEST_F(DevRemoteTest, EmptyRemoteAnswerIsACheckWithoutConfirmation) {
    git(ws, {"init", "-q", "--bare", ws + "/empty.git"});
    git(repo, {"remote", "set-url", "origin", "file://" + ws + "/empty.git"});
    const auto c = inspect(wt, true);
    EXPECT_TRUE(c.git->remote_checked_at);
    EXPECT_TRUE(c.git->verified_remote_refs.empty());
    EXPECT_EQ(c.recommendation, Recommendation::Keep);
    EXPECT_TRUE(fixture->state.summary.warnings.empty());
}

TEST_F(DevRemoteTest, UnreachableRemoteWarnsAndKeeps) {
    git(repo, {"remote", "set-url", "origin", "file://" + ws + "/gone.git"});
    const auto c = inspect(wt, true);
    EXPECT_EQ(c.recommendation, Recommendation::Keep);
    EXPECT_FALSE(c.git->remote_checked_at);
    EXPECT_EQ(fixture->state.summary.warnings,
              std::vector<std::string>{std::string(kWarningRemoteUnverified)});
}

TEST_F(DevInspectTest, SecondWorktreeReusesRepositoryFacts) {
    const std::string a = add_worktree("a");
    const std::string b = add_worktree("b");
    testing::StateFixture f({ws});
    inspect_git_checkout(f.state, a);
    const auto after_first = f.state.summary.git_commands;
    EXPECT_EQ(after_first, 10u);  // 1 to 5 and 7 to 11, no remote check
    inspect_git_checkout(f.state, b);
    EXPECT_EQ(f.state.summary.git_commands - after_first, 7u);  // 1, 2, 7 to 11
    EXPECT_EQ(f.state.repo_facts.size(), 1u);
    ASSERT_EQ(f.sink.candidates().size(), 2u);
    EXPECT_EQ(f.sink.candidates()[1].recommendation, Recommendation::ReviewRemoval);
}

TEST_F(DevInspectTest, UnreadableGitDataIsKeptWithoutEvidence) {
    const std::string wt = add_worktree("private");
    ::chmod(tmp.path().c_str(), 0755);  // the checkout itself stays reachable
    ::chmod((repo + "/.git").c_str(), 0700);
    const std::string path = tmp.path();
    const int code = testing::run_in_child_as(testing::kNobody, testing::kNobody, [&] {
        testing::StateFixture f({path});
        inspect_git_checkout(f.state, wt);
        const auto& c = f.sink.candidates().back();
        if (c.recommendation != Recommendation::Keep) return 3;
        if (c.git->dirty != DirtyState::NotEstablished) return 4;
        if (c.files == 0) return 5;  // the worktree's own files were measured
        return 0;
    });
    EXPECT_EQ(code, 0);
}

// A git that hangs on status or floods ls-files: the evidence stays at the value that
// blocks removal.
TEST_F(DevInspectTest, HangingStatusAndFloodedListing) {
    const std::string wt = add_worktree("slow");
    const auto path = git_first_on_path(R"SH(#!/bin/sh
for a in "$@"; do
  case "$a" in
  status) [ "$FAKE_GIT_MODE" = hang ] && exec sleep 30 ;;
  ls-files) [ "$FAKE_GIT_MODE" = flood ] && exec head -c 5000000 /dev/zero ;;
  esac
done
exec /usr/bin/git "$@"
)SH");
    {
        testing::ScopedEnv mode("FAKE_GIT_MODE", "hang");
        const auto c = inspect(wt, false, 1);
        EXPECT_EQ(c.git->dirty, DirtyState::NotEstablished);
        EXPECT_EQ(c.recommendation, Recommendation::Keep);
        EXPECT_EQ(c.reasons, reasons({kReasonDirty, kReasonSquash}));
    }
    {
        testing::ScopedEnv mode("FAKE_GIT_MODE", "flood");
        const auto c = inspect(wt);
        EXPECT_EQ(c.git->dirty, DirtyState::No);
        EXPECT_EQ(c.recommendation, Recommendation::Keep);
        EXPECT_EQ(c.reasons, reasons({kReasonSquash}));  // no sentence of its own
    }
}

TEST(DevGitRecommendation, LastModifiedIsTheNewestTime) {
    FolderMeasurement m;
    m.complete = true;
    m.last_modified = 10;
    m.last_access = 99;
    GitDetail d;
    d.last_commit = 30;
    d.last_git_activity = 20;
    const auto c =
        build_git_candidate("/w", CheckoutRole::LinkedWorktree, TrackedList::Known, m, d);
    EXPECT_EQ(c.last_modified, 30u);
    EXPECT_EQ(c.last_access_estimate, std::nullopt);
    const auto none = build_git_candidate("/w", CheckoutRole::LinkedWorktree, TrackedList::Known,
                                          FolderMeasurement{}, GitDetail{});
    EXPECT_EQ(none.last_modified, std::nullopt);
}

}  // namespace
}  // namespace bramvelt::development
