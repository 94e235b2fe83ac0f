// Removing a linked worktree: Git decides, nothing deleting; the program removes the
// folder and Git's entry for it through its own guarded removal. Tried the way an attacker
// would break it: a watcher that swaps the worktree, or a folder inside it, for a link to
// a decoy at the first deletion; a link put at the worktree's path once the folder is
// gone; a bind mount inside it. The decoy must come through every round whole.

#include <poll.h>
#include <sched.h>
#include <sys/inotify.h>
#include <sys/mount.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iostream>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "core/cleanup/dev_cleanup_texts.hpp"
#include "core/cleanup/removal_entry.hpp"
#include "core/cleanup/worktree_pairing.hpp"
#include "platform/io.hpp"
#include "platform/pipe.hpp"
#include "support/race.hpp"
#include "worktree_fixture.hpp"

namespace bramvelt::cleanup {
namespace {

namespace fs = std::filesystem;
using testing::git;
using testing::trimmed;

TEST_F(WorktreeTest, GitDecidesAndTheProgramRemovesTheFolderAndGitsEntry) {
    const std::string repo = make_repo();
    const std::string clean = add_worktree(repo, "clean");
    const std::string dirty = add_worktree(repo, "dirty");
    tmp_.write_file("work/dirty/untracked.txt", "mine");

    const auto refused = remove(dirty, repo);
    ASSERT_FALSE(refused);
    EXPECT_EQ(refused.error().message, kWorktreeRemovalUnconfirmed);
    EXPECT_FALSE(refused.error().part_removed);
    EXPECT_EQ(refused.error().removed_bytes, 0u);
    EXPECT_EQ(read_text(dirty + "/untracked.txt"), "mine");

    std::vector<CleanupEvent> events;
    const auto removed = remove(
        clean, repo, [&](CleanupEvent e) { events.push_back(e); }, 777);
    ASSERT_TRUE(removed) << removed.error().message;
    EXPECT_EQ(*removed, 777u);  // what the re-check measured of it
    EXPECT_FALSE(exists_nofollow(clean));
    EXPECT_FALSE(exists_nofollow(repo + "/.git/worktrees/clean"));
    EXPECT_EQ(listed_worktrees(repo).find(clean), std::string::npos);
    EXPECT_NE(git(repo, {"branch", "--list", "clean"}), "");
    EXPECT_TRUE(exists_nofollow(repo + "/.git/worktrees/dirty"));
    // The guarded removal's own progress, on the run's item; the item's end is the run's.
    const auto progress = events_of<Progress>(events);
    ASSERT_FALSE(progress.empty());
    for (const Progress& p : progress) {
        EXPECT_EQ(p.progress.stage, kStageRemoving);
        EXPECT_EQ(p.progress.item_id, "item-0");
    }
    EXPECT_EQ(events_of<ItemFinished>(events).size(), 0u);

    // Git's `worktrees` folder goes with its last entry, as Git leaves it.
    fs::remove(dirty + "/untracked.txt");
    const auto last = remove(dirty, repo);
    ASSERT_TRUE(last) << last.error().message;
    EXPECT_FALSE(exists_nofollow(repo + "/.git/worktrees"));

    const auto odd = remove(std::string("/tmp/\xff"), repo);
    ASSERT_FALSE(odd);
    EXPECT_EQ(odd.error().message, kUnsupportedPath);
}

void write_at(const std::string& path, std::string_view contents) {
    std::ofstream(path, std::ios::binary | std::ios::trunc) << contents;
}

TEST_F(WorktreeTest, AWorktreeThatCannotBePairedOrThatGitWouldKeepIsLeftWhole) {
    const std::string repo = make_repo();
    const std::string admin_root = repo + "/.git/worktrees/";
    struct Case {
        const char* name;
        std::function<void(const std::string& wt, const std::string& admin)> change;
    };
    const Case cases[] = {
        {"its .git a link to a copy",
         [&](const std::string& wt, const std::string&) {
             fs::copy_file(wt + "/.git", tmp_ / "copied-git");
             fs::remove(wt + "/.git");
             fs::create_symlink(tmp_ / "copied-git", wt + "/.git");
         }},
        {"two administrative folders name it",
         [&](const std::string&, const std::string& admin) {
             fs::copy(admin, admin + "-twin", fs::copy_options::recursive);
         }},
        {"its .git names another folder",
         [&](const std::string& wt, const std::string&) {
             tmp_.make_dir("elsewhere");
             write_at(wt + "/.git", "gitdir: " + (tmp_ / "elsewhere") + "\n");
         }},
        {"locked",
         [&](const std::string& wt, const std::string&) {
             git(repo, {"worktree", "lock", wt});
         }},
        {"a modules folder",
         [&](const std::string&, const std::string& admin) {
             fs::create_directory(admin + "/modules");
         }},
        {"a checked-out submodule",
         [&](const std::string& wt, const std::string&) {
             const std::string sub = wt + "/sub";
             fs::create_directory(sub);
             git(sub, {"init", "-q"});
             write_at(sub + "/f", "sub\n");
             git(sub, {"add", "f"});
             git(sub, {"commit", "-q", "-m", "sub"});
             const std::string head = trimmed(git(sub, {"rev-parse", "HEAD"}));
             git(wt, {"update-index", "--add", "--cacheinfo", "160000," + head + ",sub"});
             git(wt, {"commit", "-q", "-m", "submodule"});
         }},
        {"an untracked file",
         [&](const std::string& wt, const std::string&) { write_at(wt + "/notes.txt", "mine"); }},
        {"a modified file",
         [&](const std::string& wt, const std::string&) { write_at(wt + "/README", "edited\n"); }},
    };
    int n = 0;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const std::string name = "wt" + std::to_string(n++);
        const std::string wt = add_worktree(repo, name);
        fs::remove_all(wt + "/dist");
        fs::remove_all(wt + "/node_modules");
        c.change(wt, admin_root + name);
        const auto before = tree_listing(wt);
        const auto admin_before = tree_listing(admin_root + name);
        const auto refused = remove(wt, repo);
        ASSERT_FALSE(refused);
        EXPECT_EQ(refused.error().message, kWorktreeRemovalUnconfirmed);
        EXPECT_FALSE(refused.error().part_removed);
        EXPECT_EQ(tree_listing(wt), before);
        EXPECT_TRUE(exists_nofollow(admin_root + name));
    }

    // Relative contents, as newer Git writes them, resolve against the `.git` file's folder.
    const std::string wt = add_worktree(repo, "relative");
    tmp_.write_file("work/relative/.git", "gitdir: ../repo/.git/worktrees/relative\n");
    const auto removed = remove(wt, repo);
    ASSERT_TRUE(removed) << removed.error().message;
    EXPECT_FALSE(exists_nofollow(wt));
    EXPECT_FALSE(exists_nofollow(admin_root + "relative"));
}

TEST(GitLinkFiles, OnlyOneLineOfAPathCounts) {
    EXPECT_EQ(git_link_target("gitdir: /r/.git/worktrees/a\n", true), "/r/.git/worktrees/a");
    EXPECT_EQ(git_link_target("gitdir: ../r/.git/worktrees/a\r\n", true), "../r/.git/worktrees/a");
    EXPECT_EQ(git_link_target("/w/a/.git\n", false), "/w/a/.git");
    EXPECT_EQ(git_link_target("/w/a/.git\n", true), std::nullopt);
    EXPECT_EQ(git_link_target("gitdir: \n", true), std::nullopt);
    EXPECT_EQ(git_link_target("gitdir: /a\n/b\n", true), std::nullopt);
    EXPECT_EQ(git_link_target(std::string_view("/a\0b", 4), false), std::nullopt);
}

TEST_F(WorktreeTest, AnotherWorktreeWhoseFolderIsAwayKeepsGitsEntry) {
    const std::string repo = make_repo();
    const std::string wt = add_worktree(repo, "wt");
    const std::string away = add_worktree(repo, "away");
    // As on a drive not mounted now.
    fs::rename(away, tmp_ / "unplugged");
    const auto removed = remove(wt, repo);
    ASSERT_TRUE(removed) << removed.error().message;
    EXPECT_FALSE(exists_nofollow(wt));
    EXPECT_TRUE(exists_nofollow(repo + "/.git/worktrees/away/gitdir"));
    EXPECT_NE(listed_worktrees(repo).find(away), std::string::npos);
}

// ---- Attacks, round after round ----

constexpr auto kRaceBudget = std::chrono::seconds(15);
constexpr int kMaxRaceRounds = 12;
constexpr int kBulkFolders = 25;
constexpr int kFilesPerFolder = 120;

// Watches folders for deletions and, on the first deletion the trigger accepts, runs the
// attack once on its own thread. Landed: the attack's own report of having struck while
// the step still ran.
class DeletionWatcher {
  public:
    // `attack` returns nothing for an event that is not its trigger, else whether it landed.
    DeletionWatcher(const std::vector<std::string>& folders,
                    std::function<std::optional<bool>(std::string_view name)> attack)
        : attack_(std::move(attack)) {
        fd_ = ::inotify_init1(IN_CLOEXEC);
        EXPECT_GE(fd_, 0);
        auto stop = platform::open_pipe(platform::PipeBlocking::yes);
        EXPECT_TRUE(stop.has_value());
        if (stop) stop_ = std::move(*stop);
        for (const std::string& folder : folders) {
            EXPECT_GE(::inotify_add_watch(fd_, folder.c_str(), IN_DELETE), 0) << folder;
        }
        thread_ = std::thread([this] { watch(); });
    }
    ~DeletionWatcher() {
        finish();
        ::close(fd_);
    }
    // Stops waiting (the step is over) and returns whether the attack landed.
    bool finish() {
        if (thread_.joinable()) {
            EXPECT_TRUE(platform::write_all(stop_.write_end.get(), std::string_view("\0", 1)));
            thread_.join();
        }
        return landed_.load();
    }

  private:
    void watch() {
        alignas(inotify_event) char buffer[64 * 1024];
        pollfd fds[2] = {{fd_, POLLIN, 0}, {stop_.read_end.get(), POLLIN, 0}};
        while (::poll(fds, 2, -1) >= 0 || errno == EINTR) {
            if ((fds[1].revents & POLLIN) != 0) return;
            if ((fds[0].revents & POLLIN) == 0) continue;
            const ssize_t got = ::read(fd_, buffer, sizeof buffer);
            for (ssize_t at = 0; at < got;) {
                const auto* event = reinterpret_cast<const inotify_event*>(buffer + at);
                at += static_cast<ssize_t>(sizeof(inotify_event) + event->len);
                const std::string_view name = event->len > 0 ? event->name : "";
                if (auto landed = attack_(name)) {
                    landed_.store(*landed);
                    return;
                }
            }
        }
    }

    int fd_ = -1;
    platform::Pipe stop_;
    std::function<std::optional<bool>(std::string_view)> attack_;
    std::atomic<bool> landed_{false};
    std::thread thread_;
};

// Renames `path` aside and puts a link to `target` in its place; false when `path` was
// already gone (the attack came too late).
bool swap_for_link(const std::string& path, const std::string& target) {
    if (::rename(path.c_str(), (path + ".aside").c_str()) != 0) return false;
    EXPECT_EQ(::symlink(target.c_str(), path.c_str()), 0);
    return true;
}

class WorktreeRaceTest : public WorktreeTest {
  protected:
    void SetUp() override {
        // Tracked files named like the decoy's, and enough of them that removal takes a while.
        repo_ = tmp_.make_dir("work/repo");
        git(repo_, {"init", "-q"});
        for (const char* key : {"id_rsa", "known_hosts", "keys/id_rsa", "keys/known_hosts"}) {
            tmp_.write_file(std::string("work/repo/") + key, std::string("KEY ") + key + "\n");
            tmp_.write_file(std::string("decoy/") + key, std::string("KEY ") + key + "\n");
        }
        for (int d = 0; d < kBulkFolders; ++d) {
            for (int f = 0; f < kFilesPerFolder; ++f) {
                tmp_.write_file("work/repo/bulk/d" + std::to_string(d) + "/f" + std::to_string(f),
                                "x");
            }
        }
        tmp_.write_file("decoy/bulk/d0/f0", "decoy");
        git(repo_, {"add", "-A"});
        git(repo_, {"commit", "-q", "-m", "keys"});
        decoy_ = tmp_ / "decoy";
        decoy_before_ = tree_listing(decoy_);
    }

    // A fresh clean worktree for one round.
    std::string add_round_worktree(int round) {
        const std::string name = "r" + std::to_string(round);
        git(repo_, {"worktree", "add", "-q", "--detach", "../" + name});
        return at(name);
    }

    // Whatever a round left: links, folders put aside, Git's entry (never `prune`, which
    // would also drop the entry of the worktree that is away).
    void clear_round(const std::string& wt) {
        const std::string name = fs::path(wt).filename().string();
        fs::remove_all(wt);
        fs::remove_all(wt + ".aside");
        fs::remove_all(repo_ + "/.git/worktrees/" + name);
    }

    std::vector<std::string> folders_of(const std::string& wt) const {
        std::vector<std::string> folders{wt, wt + "/keys", wt + "/bulk"};
        for (int d = 0; d < kBulkFolders; ++d)
            folders.push_back(wt + "/bulk/d" + std::to_string(d));
        return folders;
    }

    // Rounds under the budget: each removes a fresh worktree while `attack` (made for that
    // worktree) lies in wait, then checks the decoy and what the outcome says.
    template <class MakeWatcher, class Check>
    void rounds(const char* test, MakeWatcher make_watcher, Check check) {
        testing::RaceRounds race(kMaxRaceRounds, kMaxRaceRounds, kRaceBudget);
        while (race.more()) {
            const int round = race.rounds() + 1;
            const std::string wt = add_round_worktree(race.rounds());
            bool landed = false;
            std::expected<std::uint64_t, WorktreeRemovalFailure> outcome;
            {
                auto watcher = make_watcher(wt);
                outcome = remove(wt, repo_);
                landed = watcher->finish();
            }
            race.count(landed);
            ASSERT_EQ(tree_listing(decoy_), decoy_before_) << "round " << round;
            ASSERT_EQ(read_text(repo_ + "/keys/id_rsa"), "KEY keys/id_rsa\n");
            ASSERT_TRUE(exists_nofollow(repo_ + "/.git/worktrees/away/gitdir"));
            check(wt, outcome, landed);
            clear_round(wt);
        }
        std::cout << test << ": ";
        testing::conclude(race);
    }

    void make_away_worktree() {
        git(repo_, {"worktree", "add", "-q", "--detach", "../away"});
        fs::rename(at("away"), tmp_ / "unplugged");
    }

    std::string repo_;
    std::string decoy_;
    std::vector<std::string> decoy_before_;
};

TEST_F(WorktreeRaceTest, TheWorktreeSwappedForALinkAtTheFirstDeletion) {
    make_away_worktree();
    rounds(
        "worktree swapped",
        [&](const std::string& wt) {
            return std::make_unique<DeletionWatcher>(folders_of(wt), [wt, this](std::string_view) {
                return std::optional(swap_for_link(wt, decoy_));
            });
        },
        [&](const std::string& wt, const auto& outcome, bool landed) {
            if (!landed) return;
            // The folder it was emptying was no longer at its name: it stopped there, and
            // Git keeps its entry.
            ASSERT_FALSE(outcome);
            EXPECT_TRUE(outcome.error().part_removed);
            EXPECT_TRUE(fs::is_symlink(wt));
            EXPECT_NE(listed_worktrees(repo_).find(wt), std::string::npos);
        });
}

TEST_F(WorktreeRaceTest, AFolderInsideSwappedForALinkAtTheFirstDeletion) {
    make_away_worktree();
    rounds(
        "folder inside swapped",
        [&](const std::string& wt) {
            return std::make_unique<DeletionWatcher>(folders_of(wt), [wt, this](std::string_view) {
                return std::optional(swap_for_link(wt + "/keys", decoy_ + "/keys"));
            });
        },
        [&](const std::string& wt, const auto& outcome, bool landed) {
            if (!landed) return;
            // What was put aside inside keeps the folder, and with it Git's entry.
            ASSERT_FALSE(outcome);
            EXPECT_TRUE(exists_nofollow(wt));
            EXPECT_NE(listed_worktrees(repo_).find(wt), std::string::npos);
        });
}

TEST_F(WorktreeRaceTest, ALinkAtTheWorktreesPathOnceTheFolderIsGone) {
    make_away_worktree();
    rounds(
        "link after the folder",
        [&](const std::string& wt) {
            const std::string name = fs::path(wt).filename().string();
            const std::string admin = repo_ + "/.git/worktrees/" + name;
            return std::make_unique<DeletionWatcher>(
                std::vector<std::string>{root_},
                [wt, name, admin, this](std::string_view deleted) -> std::optional<bool> {
                    if (deleted != name) return std::nullopt;
                    const bool linked = ::symlink(decoy_.c_str(), wt.c_str()) == 0;
                    // Landed when Git's entry was still there with the link in place.
                    return linked && exists_nofollow(admin);
                });
        },
        [&](const std::string& wt, const auto& outcome, bool landed) {
            // The folder went whole, and Git's entry after it; the link is not the
            // worktree's and stays.
            ASSERT_TRUE(outcome) << outcome.error().message;
            if (landed) {
                EXPECT_TRUE(fs::is_symlink(wt));
            }
            EXPECT_EQ(listed_worktrees(repo_).find(wt), std::string::npos);
        });
}

// In a mount namespace of its own, a child process bind-mounts the decoy's keys over the
// worktree's keys (before the step, or as its removal starts) and removes the worktree.
// Its answer: "skip <reason>", or the outcome's text and whether part was removed.
using Removal =
    std::function<std::expected<std::uint64_t, WorktreeRemovalFailure>(const CleanupEventSink&)>;

std::string remove_across_a_bind_mount(const std::string& wt, const std::string& decoy_keys,
                                       bool during, const Removal& remove) {
    auto out = platform::open_pipe(platform::PipeBlocking::yes);
    if (!out) return "skip no pipe";
    const pid_t pid = ::fork();
    if (pid == 0) {
        out->read_end.reset();
        const auto answer = [&](const std::string& text) {
            (void)platform::write_all(out->write_end.get(), text);
            ::_exit(0);
        };
        if (::unshare(CLONE_NEWNS) != 0) answer("skip unshare(CLONE_NEWNS) is not permitted here");
        if (::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0) {
            answer("skip making / private is not permitted here");
        }
        const std::string keys = wt + "/keys";
        bool mounted = false;
        const auto bind = [&] {
            mounted = ::mount(decoy_keys.c_str(), keys.c_str(), nullptr, MS_BIND, nullptr) == 0;
        };
        if (!during) {
            bind();
            if (!mounted) answer("skip bind mounts are not permitted here");
        }
        const auto outcome = remove([&](CleanupEvent event) {
            const auto* p = std::get_if<Progress>(&event);
            if (during && !mounted && p && p->progress.detail == wt) bind();
        });
        if (!mounted) answer("skip the bind mount was not made");
        answer(outcome
                   ? std::string("removed")
                   : outcome.error().message + (outcome.error().part_removed ? " (partial)" : ""));
    }
    out->write_end.reset();
    const std::string text = platform::read_all(out->read_end.get()).value_or("");
    int status = 0;
    ::waitpid(pid, &status, 0);
    return text;
}

TEST_F(WorktreeRaceTest, ABindMountInsideIsNeverCrossed) {
    testing::RaceRounds race(4, 4);
    for (const bool during : {false, true, false, true}) {
        SCOPED_TRACE(during ? "mounted as the removal starts" : "mounted before the step");
        const std::string wt = add_round_worktree(race.rounds());
        const std::string text = remove_across_a_bind_mount(
            wt, decoy_ + "/keys", during,
            [&](const CleanupEventSink& sink) { return remove(wt, repo_, sink); });
        ASSERT_FALSE(text.empty());
        if (text.starts_with("skip ")) GTEST_SKIP() << text.substr(5);
        race.count(true);  // the mount stood while the step ran
        ASSERT_EQ(tree_listing(decoy_), decoy_before_);
        EXPECT_TRUE(text.starts_with(kCrossesFilesystem)) << text;
        if (!during) {
            // The authorization walk met it: the worktree stays whole.
            EXPECT_EQ(text, kCrossesFilesystem);
            EXPECT_TRUE(exists_nofollow(wt + "/id_rsa"));
        }
        EXPECT_TRUE(exists_nofollow(wt + "/keys"));
        EXPECT_NE(listed_worktrees(repo_).find(wt), std::string::npos);
        clear_round(wt);
    }
    testing::conclude(race);
}

}  // namespace
}  // namespace bramvelt::cleanup
