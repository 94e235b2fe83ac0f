// The pool that asks Git ahead: an answer taken from it is the very answer the command
// gives when run where it is asked, and whatever is not wanted (forgotten, left at the
// end, cancelled) is killed and reaped.

#include "core/development/git_prefetch.hpp"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <filesystem>
#include <fstream>
#include <thread>

#include "dev_fixture.hpp"
#include "support/eventually.hpp"

namespace bramvelt::development {
namespace {

using namespace std::chrono_literals;

// Reports its arguments and environment, or hangs with a child of its own, as chosen by
// the last argument.
constexpr const char* kFakeGit = R"SH(#!/bin/sh
for last in "$@"; do :; done
case "$last" in
hang) sleep 30 & echo $! >> "$FAKE_GIT_PIDS"; echo $$ >> "$FAKE_GIT_PIDS"; wait ;;
fail) exit 1 ;;
*) printf '%s\0' "$0" "$@"; env -0 | sort -z ;;
esac
)SH";

class GitPrefetchTest : public testing::DevTest {
  protected:
    void SetUp() override {
        path_ = git_first_on_path(kFakeGit);
        pids_ = std::make_unique<testing::ScopedEnv>("FAKE_GIT_PIDS", (tmp / "pids").c_str());
        launch = current_git_launch(ProgramLookup::Once);
    }
    // Every process a hanging fake git noted has ended (gone, or a zombie of init's).
    bool all_ended() {
        std::ifstream in(tmp / "pids");
        int pid = 0;
        int seen = 0;
        while (in >> pid) {
            ++seen;
            const bool ended = testing::eventually([pid] {
                std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
                std::string line;
                const auto close = std::getline(stat, line) ? line.rfind(')') : std::string::npos;
                return close == std::string::npos || line.substr(close + 2, 1) == "Z";
            });
            if (!ended) return false;
        }
        return seen > 0;
    }
    // Waits until `n` hanging fakes have started.
    void wait_for_hangs(int n) {
        const bool started = testing::eventually([&] {
            std::ifstream in(tmp / "pids");
            int count = 0;
            int pid;
            while (in >> pid) ++count;
            return count >= 2 * n;
        });
        if (!started) FAIL() << "the fake git did not start";
    }
    using Args = std::vector<std::string>;
    GitLaunch launch;
    CancelFlag cancel = make_cancel_flag();
    std::unique_ptr<testing::ScopedEnv> path_;
    std::unique_ptr<testing::ScopedEnv> pids_;
};

// Same program, name, options, filter drivers, folder and environment as the command run
// in place; the looked-up program is the one a start through PATH would have run.
TEST_F(GitPrefetchTest, AnswerIsTheCommandRunInPlace) {
    EXPECT_EQ(launch.program, tmp / "bin/git");
    EXPECT_EQ(launch.argv0, "git");
    const FilterDrivers drivers{{"lfs"}};
    const Args status{"status", "--ignore-submodules=dirty", "report"};
    const Args remote{"ls-remote", "--", "origin"};
    GitPrefetch pool(launch, cancel, 5, 2);
    pool.ask({tmp.path(), status, &drivers}, Urgency::Later);
    pool.ask({tmp.path(), remote, nullptr, GitQuery::Remote}, Urgency::Now);

    const auto in_place = run_git(tmp.path(), status, cancel, 5, &drivers);
    ASSERT_TRUE(in_place) << in_place.error();
    EXPECT_NE(in_place->find("filter.lfs.clean="), std::string::npos);
    // Other drivers, kind or folder make another command.
    const FilterDrivers other{{"other"}};
    EXPECT_FALSE(pool.take({tmp.path(), status, &other}));
    EXPECT_FALSE(pool.take({tmp.path(), status, nullptr}));
    EXPECT_FALSE(pool.take({tmp.path(), remote, nullptr, GitQuery::Local}));
    EXPECT_FALSE(pool.take({tmp / "bin", status, &drivers}));

    const auto taken = pool.take({tmp.path(), status, &drivers});
    ASSERT_TRUE(taken);
    EXPECT_EQ(*taken, in_place);
    EXPECT_EQ(pool.take({tmp.path(), remote, nullptr, GitQuery::Remote}),
              run_git(tmp.path(), remote, cancel, 10));
    // Each answer is taken once.
    EXPECT_FALSE(pool.take({tmp.path(), status, &drivers}));
    EXPECT_EQ(pool.counts().taken, 2u);
}

// A command still waiting for a thread is run by its taker, so nothing ever waits on the
// pool; answers waiting to be taken beyond the limit hold back only the later commands.
TEST_F(GitPrefetchTest, HeldAnswersHoldBackLaterCommandsOnly) {
    GitPrefetch pool(launch, cancel, 5, 1, 1);
    pool.ask({tmp.path(), Args{"rev-parse", "first"}}, Urgency::Later);
    testing::eventually([&] { return pool.counts().held_bytes > 0; });
    ASSERT_GT(pool.counts().held_bytes, 0u);
    pool.ask({tmp.path(), Args{"rev-parse", "later"}}, Urgency::Later);
    pool.ask({tmp.path(), Args{"rev-parse", "now"}}, Urgency::Now);
    ASSERT_TRUE(pool.take({tmp.path(), Args{"rev-parse", "now"}}));
    const auto before = pool.counts();
    EXPECT_EQ(before.started + before.run_by_taker, 2u);  // "later" has not started
    const auto later = pool.take({tmp.path(), Args{"rev-parse", "later"}});
    ASSERT_TRUE(later);
    EXPECT_EQ(pool.counts().run_by_taker, before.run_by_taker + 1);
    EXPECT_EQ(*later, run_git(tmp.path(), Args{"rev-parse", "later"}, cancel, 5));
}

// Follow-up commands are asked from the answers they depend on, and not for a folder
// that was forgotten meanwhile.
TEST_F(GitPrefetchTest, FollowUpsAndForgottenFolders) {
    GitPrefetch pool(launch, cancel, 5, 2);
    pool.ask({tmp.path(), Args{"rev-parse", "one"}}, Urgency::Now, [&](const GitAnswer& answer) {
        if (answer) pool.ask({tmp.path(), Args{"rev-parse", "two"}}, Urgency::Now);
    });
    ASSERT_TRUE(pool.take({tmp.path(), Args{"rev-parse", "one"}}));
    ASSERT_TRUE(pool.take({tmp.path(), Args{"rev-parse", "two"}}));

    const std::uint64_t generation = pool.folder_generation(tmp.path());
    pool.forget(tmp.path());
    EXPECT_FALSE(pool.holds(tmp.path()));
    pool.ask_for(generation, {tmp.path(), Args{"rev-parse", "three"}}, Urgency::Now);
    EXPECT_FALSE(pool.holds(tmp.path()));
    EXPECT_FALSE(pool.take({tmp.path(), Args{"rev-parse", "three"}}));
}

// A guess that lost the race to the walk: the search found nothing asked for a command in
// a folder the pool holds and ran it itself, so that command asked afterwards never runs
// again; another command still does.
TEST_F(GitPrefetchTest, ACommandTheSearchRanItselfIsNeverAskedAfter) {
    GitPrefetch pool(launch, cancel, 5, 2);
    const std::uint64_t generation = pool.folder_generation(tmp.path());
    EXPECT_FALSE(pool.take({tmp.path(), Args{"rev-parse", "one"}}));
    pool.ask_for(generation, {tmp.path(), Args{"rev-parse", "one"}}, Urgency::Now);
    pool.ask({tmp.path(), Args{"rev-parse", "one"}}, Urgency::Now);
    pool.ask({tmp.path(), Args{"rev-parse", "two"}}, Urgency::Now);
    ASSERT_TRUE(pool.take({tmp.path(), Args{"rev-parse", "two"}}));
    EXPECT_FALSE(pool.take({tmp.path(), Args{"rev-parse", "one"}}));
    const auto counts = pool.counts();
    EXPECT_EQ(counts.started + counts.run_by_taker, 1u);
}

TEST_F(GitPrefetchTest, ForgottenCommandsAreKilledAndReaped) {
    GitPrefetch pool(launch, cancel, 30, 2);
    pool.ask({tmp.path(), Args{"rev-parse", "hang"}}, Urgency::Now);
    pool.ask({tmp.path(), Args{"rev-parse", "fail"}}, Urgency::Now);
    wait_for_hangs(1);
    const auto started = std::chrono::steady_clock::now();
    pool.forget(tmp.path());
    EXPECT_TRUE(all_ended());
    // Killed, not left to their half a minute's limit.
    EXPECT_LT(std::chrono::steady_clock::now() - started, 20s);
    EXPECT_EQ(pool.counts().dropped, 2u);
    EXPECT_EQ(pool.counts().held_bytes, 0u);
}

TEST_F(GitPrefetchTest, EndAndCancellationKillAndReapEveryChild) {
    auto ended = std::chrono::steady_clock::now();
    {
        GitPrefetch pool(launch, cancel, 30, 3);
        for (const char* folder : {"/", "/tmp", "/usr"}) {
            pool.ask({folder, Args{"rev-parse", "hang"}}, Urgency::Later);
        }
        wait_for_hangs(3);
        ended = std::chrono::steady_clock::now();
    }
    EXPECT_TRUE(all_ended());
    EXPECT_LT(std::chrono::steady_clock::now() - ended, 20s);
    std::filesystem::remove(tmp / "pids");

    GitPrefetch pool(launch, cancel, 30, 1);
    pool.ask({tmp.path(), Args{"rev-parse", "hang"}}, Urgency::Now);
    pool.ask({tmp.path(), Args{"rev-parse", "after"}}, Urgency::Later);
    wait_for_hangs(1);
    const auto started = std::chrono::steady_clock::now();
    cancel->store(true);
    // The running command ends as a cancelled one does; the waiting one never starts.
    EXPECT_EQ(pool.take({tmp.path(), Args{"rev-parse", "hang"}}),
              std::unexpected(std::string(kGitKilled)));
    EXPECT_EQ(pool.take({tmp.path(), Args{"rev-parse", "after"}}),
              std::unexpected(std::string(kGitCancelled)));
    EXPECT_TRUE(all_ended());
    // Killed, not left to their half a minute's limit.
    EXPECT_LT(std::chrono::steady_clock::now() - started, 20s);
}

}  // namespace
}  // namespace bramvelt::development
