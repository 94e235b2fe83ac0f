// The Git runner against the real git and against a fake `git` first on PATH that
// reports its arguments and environment, hangs, floods its outputs or leaves a process
// behind.

#include "core/development/git_runner.hpp"

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>

#include "dev_fixture.hpp"

namespace bramvelt::development {
namespace {

using namespace std::string_literals;
using testing::DevTest;

constexpr const char* kFakeGit = R"SH(#!/bin/sh
case "$FAKE_GIT_MODE" in
args) printf '%s\0' "$@" ;;
env) env -0 ;;
proc)
  read -r _ _ _ _ pgid _ < /proc/$$/stat
  printf '%s %s %s' "$(readlink /proc/$$/fd/0)" "$pgid" "$$" ;;
hang) sleep 30 & echo $! > "$FAKE_GIT_PIDFILE"; wait ;;
orphan) sleep 30 & echo $! > "$FAKE_GIT_PIDFILE"; exit 0 ;;
out) head -c "$FAKE_GIT_BYTES" /dev/zero ;;
err) while :; do head -c 1048576 /dev/zero >&2; done ;;
fail) exit 1 ;;
signal) kill -9 $$ ;;
esac
)SH";

// A fake git first on PATH; its behaviour is chosen through FAKE_GIT_MODE.
class DevFakeGitTest : public DevTest {
  protected:
    void SetUp() override {
        const std::string bin = tmp.make_dir("bin");
        tmp.write_file("bin/git", kFakeGit);
        ::chmod((bin + "/git").c_str(), 0755);
        path_ = std::make_unique<testing::ScopedEnv>("PATH", (bin + ":/usr/bin:/bin").c_str());
    }
    std::expected<std::string, std::string> run(const char* mode, std::uint64_t timeout = 5,
                                                std::vector<std::string> args = {"status"}) {
        testing::ScopedEnv m("FAKE_GIT_MODE", mode);
        return run_git(tmp.path(), args, cancel, timeout);
    }
    // The process whose pid the fake wrote has ended (gone or a zombie awaiting init).
    bool ended(const std::string& pidfile) {
        std::ifstream in(pidfile);
        int pid = 0;
        in >> pid;
        EXPECT_GT(pid, 0);
        for (int i = 0; i < 200; ++i) {
            std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
            std::string line;
            if (!std::getline(stat, line)) return true;
            const auto close = line.rfind(')');
            if (close != std::string::npos && line.substr(close + 2, 1) == "Z") return true;
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        return false;
    }
    CancelFlag cancel = make_cancel_flag();
    std::unique_ptr<testing::ScopedEnv> path_;
};

std::vector<std::string> split_nul(const std::string& s) {
    std::vector<std::string> out;
    std::size_t pos = 0;
    while (pos < s.size()) {
        const auto end = s.find('\0', pos);
        out.push_back(s.substr(pos, end - pos));
        pos = end + 1;
    }
    return out;
}

TEST_F(DevFakeGitTest, HardeningArgumentsThenFolderThenCallerArguments) {
    const auto out = run("args", 5, {"check-ignore", "--quiet", "--", "-dash"});
    ASSERT_TRUE(out) << out.error();
    std::vector<std::string> expected = git_hardening_options();
    ASSERT_EQ(expected.size(), 21u);
    EXPECT_EQ(expected.front(), "--no-optional-locks");
    EXPECT_EQ(expected[18], "credential.helper=");
    expected.insert(expected.end(), {"-C", tmp.path(), "check-ignore", "--quiet", "--", "-dash"});
    EXPECT_EQ(split_nul(*out), expected);

    // A folder that begins with "-" is still the value of -C.
    testing::ScopedEnv m("FAKE_GIT_MODE", "args");
    const auto dashed = run_git("-weird", std::vector<std::string>{"x"}, cancel, 5);
    ASSERT_TRUE(dashed);
    const auto parts = split_nul(*dashed);
    EXPECT_EQ(parts[21], "-C");
    EXPECT_EQ(parts[22], "-weird");
}

TEST_F(DevFakeGitTest, EnvironmentIsHardenedAndRedirectionsRemoved) {
    testing::ScopedEnv vars[] = {
        {"GIT_DIR", "/elsewhere"},
        {"GIT_WORK_TREE", "/w"},
        {"GIT_INDEX_FILE", "/i"},
        {"GIT_COMMON_DIR", "/c"},
        {"GIT_OBJECT_DIRECTORY", "/o"},
        {"GIT_ALTERNATE_OBJECT_DIRECTORIES", "/alt"},
        {"GIT_NAMESPACE", "ns"},
        {"GIT_CONFIG_PARAMETERS", "'core.bare'='true'"},
        {"GIT_CONFIG_COUNT", "1"},
        {"GIT_CONFIG_KEY_0", "core.fsmonitor"},
        {"GIT_CONFIG_VALUE_0", "/bin/evil"},
        {"GIT_TERMINAL_PROMPT", "1"},
        {"KEEP_ME", "yes"},
    };
    const auto out = run("env");
    ASSERT_TRUE(out) << out.error();
    const auto env = split_nul(*out);
    const auto has = [&](const std::string& entry) {
        return std::find(env.begin(), env.end(), entry) != env.end();
    };
    for (const char* e :
         {"GIT_TERMINAL_PROMPT=0", "GIT_NO_LAZY_FETCH=1", "GIT_ASKPASS=true",
          "SSH_ASKPASS_REQUIRE=never", "GIT_SSH_COMMAND=ssh -o BatchMode=yes -o ConnectTimeout=5",
          "KEEP_ME=yes"}) {
        EXPECT_TRUE(has(e)) << e;
    }
    for (const auto& entry : env) {
        const std::string name = entry.substr(0, entry.find('='));
        for (const char* removed : {"GIT_DIR", "GIT_WORK_TREE", "GIT_INDEX_FILE", "GIT_COMMON_DIR",
                                    "GIT_OBJECT_DIRECTORY", "GIT_ALTERNATE_OBJECT_DIRECTORIES",
                                    "GIT_NAMESPACE", "GIT_CONFIG_PARAMETERS", "GIT_CONFIG_COUNT",
                                    "GIT_CONFIG_KEY_0", "GIT_CONFIG_VALUE_0"}) {
            EXPECT_NE(name, removed);
        }
    }
    EXPECT_EQ(
        std::count_if(env.begin(), env.end(),
                      [](const std::string& e) { return e.starts_with("GIT_TERMINAL_PROMPT="); }),
        1);
}

TEST_F(DevFakeGitTest, NullStdinAndOwnProcessGroup) {
    const auto out = run("proc");
    ASSERT_TRUE(out) << out.error();
    std::istringstream in(*out);
    std::string stdin_target, pgid, pid;
    in >> stdin_target >> pgid >> pid;
    EXPECT_EQ(stdin_target, "/dev/null");
    EXPECT_EQ(pgid, pid);
}

TEST_F(DevFakeGitTest, FailuresAndOutputLimits) {
    EXPECT_EQ(run("fail").error(), kGitUnavailable);
    EXPECT_EQ(run("signal").error(), kGitUnavailable);
    {
        testing::ScopedEnv bytes("FAKE_GIT_BYTES", std::to_string(kGitOutputLimit).c_str());
        const auto whole = run("out");
        ASSERT_TRUE(whole) << whole.error();
        EXPECT_EQ(whole->size(), kGitOutputLimit);
    }
    {
        testing::ScopedEnv bytes("FAKE_GIT_BYTES", std::to_string(kGitOutputLimit + 1).c_str());
        const auto over = run("out");
        ASSERT_FALSE(over);
        EXPECT_TRUE(over.error() == kGitOutputTooLarge || over.error() == kGitKilled)
            << over.error();
    }
    const auto flood = run("err");
    EXPECT_EQ(flood.error(), kGitKilled);
}

TEST_F(DevFakeGitTest, TimeoutKillsTheWholeGroup) {
    testing::ScopedEnv pidfile("FAKE_GIT_PIDFILE", (tmp / "pid").c_str());
    const auto started = std::chrono::steady_clock::now();
    EXPECT_EQ(run("hang", 1).error(), kGitKilled);
    EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::seconds(5));
    EXPECT_TRUE(ended(tmp / "pid"));
}

TEST_F(DevFakeGitTest, CancelBeforeAndDuring) {
    cancel->store(true);
    {
        testing::ScopedEnv pidfile("FAKE_GIT_PIDFILE", (tmp / "never").c_str());
        EXPECT_EQ(run("hang").error(), kGitCancelled);
    }
    EXPECT_FALSE(std::filesystem::exists(tmp / "never"));

    cancel = make_cancel_flag();
    testing::ScopedEnv pidfile("FAKE_GIT_PIDFILE", (tmp / "pid").c_str());
    std::thread setter([flag = cancel] {
        std::this_thread::sleep_for(std::chrono::milliseconds(150));
        flag->store(true);
    });
    EXPECT_EQ(run("hang", 30).error(), kGitKilled);
    setter.join();
    EXPECT_TRUE(ended(tmp / "pid"));
}

// With SIGCHLD ignored the kernel reaps git itself and the status query fails: the
// runner must still end what git left running in its group before reporting.
TEST_F(DevFakeGitTest, FailedStatusQueryStillKillsTheGroup) {
    struct sigaction ignore {
    }, old{};
    ignore.sa_handler = SIG_IGN;
    ASSERT_EQ(::sigaction(SIGCHLD, &ignore, &old), 0);
    testing::ScopedEnv pidfile("FAKE_GIT_PIDFILE", (tmp / "pid").c_str());
    const auto out = run("orphan");
    ::sigaction(SIGCHLD, &old, nullptr);
    ASSERT_FALSE(out);
    EXPECT_NE(out.error().find("os error"), std::string::npos) << out.error();
    EXPECT_TRUE(ended(tmp / "pid"));
}

TEST_F(DevTest, RealGitAnswersInItsFolder) {
    const std::string repo = make_repo("repo");
    const auto out = run_git(repo, std::vector<std::string>{"rev-parse", "--absolute-git-dir"},
                             make_cancel_flag(), 5);
    ASSERT_TRUE(out) << out.error();
    EXPECT_EQ(*out, repo + "/.git\n");
    // Not ignored: check-ignore exits 1.
    EXPECT_EQ(run_git(repo, std::vector<std::string>{"check-ignore", "--quiet", "--", "README"},
                      make_cancel_flag(), 5)
                  .error(),
              kGitUnavailable);
}

TEST_F(DevTest, BudgetedRunnerRefusesWhenSpent) {
    const std::string repo = make_repo("repo");
    const std::vector<std::string> args{"rev-parse", "HEAD"};
    {
        testing::StateFixture f({repo});
        f.cancel->store(true);
        EXPECT_EQ(run_git_budgeted(f.state, repo, args, GitQuery::Local).error(), kGitBudgetSpent);
        EXPECT_EQ(f.state.summary.git_commands, 0u);
        EXPECT_FALSE(f.state.summary.limited);
    }
    {
        testing::StateFixture f({repo}, {}, 10);
        f.state.summary.entries_examined = 10;
        EXPECT_EQ(run_git_budgeted(f.state, repo, args, GitQuery::Local).error(), kGitBudgetSpent);
        EXPECT_TRUE(f.state.summary.limited);
    }
    {
        testing::StateFixture f({repo});
        f.state.summary.candidates = 1999;
        EXPECT_TRUE(run_git_budgeted(f.state, repo, args, GitQuery::Local));
        EXPECT_EQ(f.state.summary.git_commands, 1u);
        f.state.summary.candidates = 2000;
        EXPECT_FALSE(run_git_budgeted(f.state, repo, args, GitQuery::Local));
        EXPECT_TRUE(f.state.summary.limited);
    }
    {
        testing::StateFixture f({repo}, clock.fn());
        clock.advance(std::chrono::seconds(120));
        EXPECT_EQ(run_git_budgeted(f.state, repo, args, GitQuery::Local).error(), kGitBudgetSpent);
        EXPECT_TRUE(f.state.summary.limited);
        EXPECT_EQ(f.state.summary.git_commands, 0u);
    }
}

TEST_F(DevTest, LocateGitPrefersDeveloperCopiesOnlyBehindUsrBinGit) {
    const std::string a = tmp.make_dir("a");
    tmp.write_file("a/git", "#!/bin/sh\n");
    ::chmod((a + "/git").c_str(), 0755);
    tmp.write_file("noexec/git", "");
    const std::string dev = tmp.write_file("dev/git", "#!/bin/sh\n");
    ::chmod(dev.c_str(), 0755);
    testing::symlink_to("/usr/bin/git", tmp / "launcher");

    const std::string_view none[] = {"/nonexistent/git"};
    const std::string_view devs[] = {"/nonexistent/git", dev};
    const std::string launcher = tmp / "launcher";
    const std::string_view launcher_only[] = {launcher};

    EXPECT_EQ(locate_git(tmp / "noexec:" + a, devs), "git");  // another git first
    EXPECT_EQ(locate_git("/usr/bin", devs), dev);
    EXPECT_EQ(locate_git("/usr//bin/", devs), dev);
    EXPECT_EQ(locate_git("/usr/bin", none), "git");
    EXPECT_EQ(locate_git("/usr/bin", launcher_only), "git");  // resolves to /usr/bin/git
    EXPECT_EQ(locate_git(std::nullopt, devs), dev);           // default search path
    EXPECT_EQ(locate_git(a + ":/\xFF", devs), dev);           // not text: the default too
    EXPECT_EQ(locate_git("/nonexistent", devs), "git");
    EXPECT_EQ(git_path(), "git");  // this machine has no developer-tool copies
}

}  // namespace
}  // namespace bramvelt::development
