// The Git runner against the real git and against a fake `git` first on PATH that
// reports its arguments and environment, hangs, floods its outputs or leaves a process
// behind.

#include "core/development/git_runner.hpp"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>

#include "dev_fixture.hpp"
#include "support/eventually.hpp"

namespace bramvelt::development {
namespace {

using namespace std::string_literals;
using testing::DevTest;
using testing::git;

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
    void SetUp() override { path_ = git_first_on_path(kFakeGit); }
    std::expected<std::string, std::string> run(const char* mode, std::uint64_t timeout = 5,
                                                std::vector<std::string> args = {"rev-parse"}) {
        testing::ScopedEnv m("FAKE_GIT_MODE", mode);
        return run_git(tmp.path(), args, cancel, timeout);
    }
    // The process whose pid the fake wrote has ended (gone or a zombie awaiting init).
    bool ended(const std::string& pidfile) {
        std::ifstream in(pidfile);
        int pid = 0;
        in >> pid;
        EXPECT_GT(pid, 0);
        return testing::eventually([pid] {
            std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
            std::string line;
            if (!std::getline(stat, line)) return true;
            const auto close = line.rfind(')');
            return close != std::string::npos && line.substr(close + 2, 1) == "Z";
        });
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
    // Then the options that keep the repository's configuration from starting programs.
    expected.insert(expected.end(),
                    {"-c", "log.showSignature=false", "-c", "protocol.https.allow=never", "-c",
                     "protocol.http.allow=never", "-c", "protocol.ssh.allow=never", "-c",
                     "protocol.git.allow=never", "-c", "protocol.file.allow=never"});
    expected.insert(expected.end(), {"-C", tmp.path(), "check-ignore", "--quiet", "--", "-dash"});
    EXPECT_EQ(split_nul(*out), expected);

    // A folder that begins with "-" is still the value of -C.
    testing::ScopedEnv m("FAKE_GIT_MODE", "args");
    const auto dashed = run_git("-weird", std::vector<std::string>{"rev-parse"}, cancel, 5);
    ASSERT_TRUE(dashed);
    const auto parts = split_nul(*dashed);
    ASSERT_GE(parts.size(), 3u);
    EXPECT_EQ(parts[parts.size() - 3], "-C");
    EXPECT_EQ(parts[parts.size() - 2], "-weird");
}

// Only ls-remote may reach a remote; every filter driver handed over is emptied.
TEST_F(DevFakeGitTest, RemoteAccessAndFilterDriversInTheOptions) {
    const auto count = [](const std::vector<std::string>& v, const std::string& s) {
        return std::count(v.begin(), v.end(), s);
    };
    const auto remote = run("args", 5, {"ls-remote", "--heads", "--", "origin"});
    ASSERT_TRUE(remote) << remote.error();
    const auto remote_args = split_nul(*remote);
    EXPECT_EQ(count(remote_args, "log.showSignature=false"), 1);
    EXPECT_EQ(count(remote_args, "protocol.file.allow=never"), 0);
    EXPECT_EQ(count(remote_args, "protocol.file.allow=always"), 1);

    testing::ScopedEnv m("FAKE_GIT_MODE", "args");
    const FilterDrivers drivers{{"lfs", "probe.v2"}};
    const std::vector<std::string> status{"status", "--porcelain=v1", "--ignore-submodules=dirty"};
    const auto out = run_git(tmp.path(), status, cancel, 5, &drivers);
    ASSERT_TRUE(out) << out.error();
    const auto parts = split_nul(*out);
    for (const char* option : {"filter.lfs.clean=", "filter.lfs.smudge=", "filter.lfs.process=",
                               "filter.lfs.required=false", "filter.probe.v2.clean=",
                               "filter.probe.v2.smudge=", "filter.probe.v2.process=",
                               "filter.probe.v2.required=false", "protocol.ssh.allow=never"}) {
        const auto at = std::find(parts.begin(), parts.end(), option);
        ASSERT_NE(at, parts.end()) << option;
        EXPECT_EQ(*(at - 1), "-c");
        EXPECT_LT(at, std::find(parts.begin(), parts.end(), "-C")) << option;
    }
}

// A command that may hash working-tree files never starts without the repository's
// filter drivers, a status never enters submodules, and a driver whose name would be
// read as another key is not written out.
TEST_F(DevFakeGitTest, CommandsThatCouldRunAFilterNeedTheDrivers) {
    const FilterDrivers none;
    const FilterDrivers odd{{"a=b"}};
    using Args = std::vector<std::string>;
    struct Case {
        Args args;
        const FilterDrivers* drivers;
        bool starts;
    } cases[] = {
        {{"status", "--ignore-submodules=dirty"}, nullptr, false},
        {{"status", "--porcelain=v1"}, &none, false},
        {{"status", "--ignore-submodules=dirty"}, &none, true},
        {{"status", "--ignore-submodules=all"}, &odd, false},
        {{"worktree", "remove", "--", "/w"}, nullptr, false},
        {{"worktree", "remove", "--", "/w"}, &none, true},
        {{"worktree", "list", "--porcelain", "-z"}, nullptr, true},
        {{"diff"}, nullptr, false},
        {{"ls-files", "-z"}, nullptr, true},
        {{"check-ignore", "--quiet", "--", "x"}, nullptr, true},
        {{"show", "-s", "--format=%ct", "HEAD"}, nullptr, true},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(git_command_may_start(c.args, c.drivers), c.starts) << c.args.front();
    }
    // Refused before anything is started.
    testing::ScopedEnv pidfile("FAKE_GIT_PIDFILE", (tmp / "never").c_str());
    testing::ScopedEnv m("FAKE_GIT_MODE", "hang");
    EXPECT_EQ(run_git(tmp.path(), Args{"status", "--ignore-submodules=dirty"}, cancel, 5).error(),
              kGitUnavailable);
    EXPECT_FALSE(std::filesystem::exists(tmp / "never"));
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
        {"GIT_PROXY_COMMAND", "/bin/evil"},
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
          "GIT_PROXY_COMMAND=", "KEEP_ME=yes"}) {
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

// Git's children run inside the repository, where a relative search folder would reach
// programs the repository carries.
TEST(GitChildEnvironment, SearchPathsKeepOnlyAbsoluteFolders) {
    struct Case {
        std::string in;
        std::string out;  // empty: the variable is gone
    } cases[] = {
        {"PATH=/usr/local/bin:.:/usr/bin::bin:/bin", "PATH=/usr/local/bin:/usr/bin:/bin"},
        {"PATH=/opt/x/bin", "PATH=/opt/x/bin"},
        {"PATH=.:", "PATH=/usr/bin:/bin:/usr/sbin:/sbin"},
        {"PATH=", "PATH=/usr/bin:/bin:/usr/sbin:/sbin"},
        {"GIT_EXEC_PATH=/usr/lib/git-core", "GIT_EXEC_PATH=/usr/lib/git-core"},
        {"GIT_EXEC_PATH=libexec", ""},
        {"GIT_EXEC_PATH=", ""},
    };
    for (const auto& c : cases) {
        const auto env = git_child_environment(std::vector<std::string>{c.in});
        const std::string name = c.in.substr(0, c.in.find('='));
        const auto found = std::find_if(env.begin(), env.end(), [&](const std::string& e) {
            return e.starts_with(name + "=");
        });
        EXPECT_EQ(found == env.end() ? "" : *found, c.out) << c.in;
    }
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
    // Killed at the limit, not left to end its half a minute.
    EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::seconds(20));
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
    // Cancelled once git hangs, however long it took to start.
    // The shell makes the file before it writes the pid and its line end into it.
    std::thread setter([flag = cancel, pid = tmp / "pid"] {
        testing::eventually([&] {
            std::ifstream in(pid);
            const std::string text((std::istreambuf_iterator<char>(in)), {});
            return text.ends_with('\n');
        });
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

// A program that notes each start in a marker file and passes its input through, as a
// filter, an upload-pack or a signature program a hostile repository names would run.
std::string write_probe(const testing::TempDir& tmp) {
    const std::string probe = tmp.write_file(
        "probe.sh", "#!/bin/sh\necho \"$0 $*\" >> \"$(dirname \"$0\")/marker\"\ncat\n");
    ::chmod(probe.c_str(), 0755);
    return probe;
}

// The future cleanup's `worktree remove` checks the worktree's status, where a clean filter
// of the repository would run on every file that looks changed.
TEST_F(DevTest, WorktreeRemoveRunsNoFilterOfTheRepository) {
    const std::string probe = write_probe(tmp);
    const std::string repo = make_repo("repo");
    tmp.write_file("repo/.gitattributes", "* filter=probe\n");
    git(repo, {"add", ".gitattributes"});
    git(repo, {"commit", "-q", "-m", "attributes"});
    const std::string wt = tmp / "wt";
    git(repo, {"worktree", "add", "-q", wt, "-b", "wt"});
    git(repo, {"config", "filter.probe.clean", probe});
    const struct timespec old_times[2] = {{1'000'000'000, 0}, {1'000'000'000, 0}};
    ASSERT_EQ(::utimensat(AT_FDCWD, (wt + "/README").c_str(), old_times, 0), 0);

    const std::vector<std::string> args{"worktree", "remove", "--", wt};
    EXPECT_EQ(run_git(repo, args, make_cancel_flag(), 120).error(), kGitUnavailable);
    EXPECT_TRUE(std::filesystem::exists(wt));

    const auto drivers = read_filter_drivers(repo + "/.git");
    ASSERT_TRUE(drivers);
    EXPECT_EQ(drivers->names, std::vector<std::string>{"probe"});
    const auto removed = run_git(repo, args, make_cancel_flag(), 120, &*drivers);
    ASSERT_TRUE(removed) << removed.error();
    EXPECT_FALSE(std::filesystem::exists(wt));
    EXPECT_FALSE(std::filesystem::exists(tmp / "marker"));
}

// Only ls-remote may reach a remote. A lazy fetch inside a local query (Git before 2.39.4
// ignores GIT_NO_LAZY_FETCH) would otherwise start the upload-pack the repository names.
TEST_F(DevTest, LocalCommandsReachNoRemote) {
    const std::string probe = write_probe(tmp);
    const std::string source = make_repo("source");
    const std::string repo = make_repo("repo");
    git(repo, {"remote", "add", "origin", source});
    git(repo, {"config", "remote.origin.uploadpack", probe});
    const FilterDrivers none;
    const std::vector<std::string> fetch{"fetch", "origin"};
    EXPECT_EQ(run_git(repo, fetch, make_cancel_flag(), 5, &none).error(), kGitUnavailable);
    EXPECT_FALSE(std::filesystem::exists(tmp / "marker"));
    // ls-remote still reaches it, through the upload-pack it is given.
    const std::vector<std::string> heads{"ls-remote", "--heads", "--upload-pack=git-upload-pack",
                                         "--", "origin"};
    const auto listed = run_git(repo, heads, make_cancel_flag(), 10);
    ASSERT_TRUE(listed) << listed.error();
    EXPECT_NE(listed->find("refs/heads/main"), std::string::npos);
    EXPECT_FALSE(std::filesystem::exists(tmp / "marker"));
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

// A project carrying its own git, as the current folder, with relative folders first on
// PATH: neither the lookup nor the start may reach the project's program.
TEST_F(DevTest, GitIsLookedUpInAbsoluteSearchFoldersOnly) {
    const std::string marker = tmp / "marker";
    const std::string probe = "#!/bin/sh\necho \"$0\" >> " + marker + "\nexit 0\n";
    const std::string project = tmp.make_dir("project");
    git(project, {"init", "-q"});
    tmp.write_file("project/git", probe);
    tmp.write_file("project/node_modules/.bin/git", probe);
    ::chmod((project + "/git").c_str(), 0755);
    ::chmod((project + "/node_modules/.bin/git").c_str(), 0755);
    const std::string dev = tmp.write_file("dev/git", "#!/bin/sh\n");
    ::chmod(dev.c_str(), 0755);
    const std::string_view devs[] = {dev};

    const std::string cwd = std::filesystem::current_path();
    ASSERT_EQ(::chdir(project.c_str()), 0);
    struct Back {
        std::string to;
        ~Back() { (void)::chdir(to.c_str()); }
    } back{cwd};
    const std::string system_git =
        std::filesystem::canonical(std::filesystem::path("/usr/bin/git")).string();
    {
        testing::ScopedEnv path("PATH", ".::node_modules/.bin:/usr/bin:/bin");
        // The project's git comes first, yet the lookup sees /usr/bin/git.
        EXPECT_EQ(locate_git(".:/usr/bin", devs), dev);
        EXPECT_EQ(locate_git("::/usr/bin", devs), dev);
        EXPECT_EQ(locate_git("node_modules/.bin:/usr/bin", devs), dev);
        for (const auto lookup : {ProgramLookup::AtEachStart, ProgramLookup::Once}) {
            const GitLaunch launch = current_git_launch(lookup);
            EXPECT_EQ(std::filesystem::canonical(launch.program).string(), system_git);
            EXPECT_EQ(run_git_with(launch, project, {{"rev-parse", "--is-inside-work-tree"}},
                                   make_cancel_flag(), 5, nullptr),
                      "true\n");
        }
        EXPECT_EQ(run_git(project, {{"rev-parse", "--is-inside-work-tree"}}, make_cancel_flag(), 5),
                  "true\n");
    }
    {
        // No absolute folder holds git: the start fails rather than search the others.
        testing::ScopedEnv path("PATH", ".:/nonexistent-bin:node_modules/.bin");
        EXPECT_EQ(current_git_launch(ProgramLookup::AtEachStart).program, "/nonexistent-bin/git");
        EXPECT_FALSE(run_git(project, {{"rev-parse"}}, make_cancel_flag(), 5));
    }
    EXPECT_FALSE(std::filesystem::exists(marker));
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
