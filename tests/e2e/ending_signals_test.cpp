// Being told to end (SIGTERM, SIGHUP, SIGQUIT) while the development search waits for
// Git: `dev`, `clean` and the interface stop, report it in their status, and leave no Git
// command running; a signal inherited as ignored stays ignored. Git here is a wrapper
// first on PATH that, with a helper of its own in its process group, blocks on a fifo
// until the test opens it, so the signal surely comes while Git runs and only the
// program can end it.

#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <dirent.h>

#include <fstream>
#include <memory>
#include <nlohmann/json.hpp>
#include <optional>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "platform/path_io.hpp"
#include "platform/spawn.hpp"
#include "support/account_home.hpp"
#include "support/eventually.hpp"
#include "support/fixture_git.hpp"
#include "support/lines.hpp"
#include "support/run_process.hpp"
#include "support/temp_dir.hpp"
#include "support/tmux.hpp"

namespace bramvelt::testing {
namespace {

std::string read_text(const std::string& path) {
    std::ifstream in(path);
    return std::string((std::istreambuf_iterator<char>(in)), {});
}

// The process group and state of a process, from /proc; nothing once it is gone.
struct ProcessInfo {
    char state = '?';
    pid_t group = 0;
};

std::optional<ProcessInfo> process_info(pid_t pid) {
    // A process may end while it is read: its file then reads as an error, not a throw.
    const auto read = platform::read_file(("/proc/" + std::to_string(pid) + "/stat").c_str());
    if (!read) return std::nullopt;
    const std::string& stat = *read;
    const std::size_t close = stat.rfind(')');
    if (close == std::string::npos) return std::nullopt;
    ProcessInfo info;
    int parent = 0;
    std::istringstream fields(stat.substr(close + 1));
    if (!(fields >> info.state >> parent >> info.group)) return std::nullopt;
    return info;
}

// Live processes (not zombies) in any of `groups`.
std::vector<pid_t> live_members(const std::set<pid_t>& groups) {
    std::vector<pid_t> live;
    const std::unique_ptr<DIR, int (*)(DIR*)> proc(::opendir("/proc"), ::closedir);
    if (!proc) return live;
    while (const dirent* entry = ::readdir(proc.get())) {
        const pid_t pid = static_cast<pid_t>(std::atoi(entry->d_name));
        if (pid <= 0) continue;
        const auto info = process_info(pid);
        if (info && info->state != 'Z' && groups.contains(info->group)) live.push_back(pid);
    }
    return live;
}

// Whether every process in `groups` has ended. The wrappers block on the gate for good,
// so each one ending proves the program ended it; one killed a moment ago may still be
// finishing its exit on a busy machine, which is what the wait is for.
bool all_ended(const std::set<pid_t>& groups) {
    return eventually([&] { return live_members(groups).empty(); });
}

class EndingSignals : public ::testing::Test {
  protected:
    TempDir tmp;
    std::string ws = tmp.make_dir("ws");
    std::string bin = tmp.make_dir("bin");
    std::string started = tmp / "started";
    std::string gate = tmp / "gate";

    void SetUp() override {
        // The program inherits what the test ignores (a runner started with `&` or under
        // `nohup`); the signals sent here must reach it with their default action.
        for (const int signal : {SIGTERM, SIGHUP, SIGQUIT}) ::signal(signal, SIG_DFL);
        ASSERT_EQ(::mkfifo(gate.c_str(), 0600), 0);
        tmp.write_file("bin/git",
                       "#!/bin/sh\n"
                       "(read held < '" +
                           gate +
                           "') &\n"
                           "echo $$ >> '" +
                           started +
                           "'\n"
                           "read held < '" +
                           gate +
                           "'\n"
                           "exec /usr/bin/git \"$@\"\n");
        ASSERT_EQ(::chmod((bin + "/git").c_str(), 0755), 0);
        for (const std::string name : {"alpha", "beta", "gamma"}) {
            const std::string repo = tmp.make_dir("ws/" + name);
            git(repo, {"init", "-q"});
            tmp.write_file("ws/" + name + "/README", name + "\n");
            git(repo, {"add", "README"});
            git(repo, {"commit", "-q", "-m", "first"});
            git(repo, {"worktree", "add", "-q", ws + "/" + name + "-wt", "-b", name + "-feature"});
        }
        tmp.write_file("ws/rust/Cargo.toml", "[package]\nname = \"r\"\n");
        tmp.write_file("ws/rust/target/debug/app", std::string(20'000, 'x'));
    }

    void TearDown() override {
        // Whatever a failed run left behind must not outlive the test.
        for (pid_t pid : live_members(started_groups())) ::kill(pid, SIGKILL);
    }

    std::vector<std::string> environment(bool wrapped) const {
        const char* path = std::getenv("PATH");
        return {"HOME=" + account_home(),
                "XDG_DATA_HOME=" + (tmp / "data"),
                "PATH=" + (wrapped ? bin + ":" : "") + (path ? path : "/usr/bin:/bin"),
                "GIT_CONFIG_NOSYSTEM=1",
                "GIT_CONFIG_GLOBAL=/dev/null",
                "LC_ALL=C"};
    }

    void git(const std::string& dir, const std::vector<std::string>& args) const {
        fixture_git(dir, args, environment(false));
    }

    // Each wrapper that started leads a process group of its own.
    std::set<pid_t> started_groups() const {
        std::set<pid_t> groups;
        for (const auto& line : lines_of(read_text(started)))
            groups.insert(std::atoi(line.c_str()));
        return groups;
    }

    bool git_started() const { return !read_text(started).empty(); }
};

struct Case {
    std::string name;
    std::vector<std::string> args;
    int signal;
    int status;
    std::string out;  // a line the standard output ends with, or the whole JSON document
    std::string err;
};

TEST_F(EndingSignals, CommandsStopTheSearchAndEndItsGit) {
    const std::string stopped =
        R"({"error":{"code":"interrupted","message":"Scan stopped; nothing was removed."},)"
        R"("schemaVersion":1})";
    const std::vector<Case> cases = {
        {"dev", {"dev", ws}, SIGTERM, 143, " · stopped", ""},
        {"dev json", {"dev", "--json", ws}, SIGHUP, 129, "cancelled", ""},
        {"clean dry run",
         {"clean", ws},
         SIGHUP,
         129,
         "",
         "bramvelt: Scan stopped; nothing was removed.\n"},
        {"clean --yes",
         {"clean", "--yes", ws},
         SIGTERM,
         143,
         "",
         "bramvelt: Scan stopped; nothing was removed.\n"},
        {"clean --yes json", {"clean", "--yes", "--json", ws}, SIGHUP, 129, stopped, ""},
        {"dev quit", {"dev", ws}, SIGQUIT, 131, " · stopped", ""},
        {"clean --yes quit",
         {"clean", "--yes", ws},
         SIGQUIT,
         131,
         "",
         "bramvelt: Scan stopped; nothing was removed.\n"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        ::unlink(started.c_str());
        const std::string out_path = tmp / "out";
        const std::string err_path = tmp / "err";
        platform::Fd out_fd(::open(out_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600));
        platform::Fd err_fd(::open(err_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600));
        platform::SpawnOptions options;
        options.program = BRAMVELT_BINARY;
        options.args = c.args;
        options.environment = environment(true);
        options.in = platform::Stdio::null();
        options.out = platform::Stdio::from_fd(out_fd.get());
        options.err = platform::Stdio::from_fd(err_fd.get());
        auto program = platform::spawn(options);
        ASSERT_TRUE(program);
        ASSERT_TRUE(eventually([&] { return git_started(); }));
        ASSERT_EQ(::kill(program->pid(), c.signal), 0);
        const auto status = program->wait();
        ASSERT_TRUE(status);
        EXPECT_EQ(status->code(), c.status) << status->describe();

        const std::string out = read_text(out_path);
        if (c.out.starts_with("{")) {
            EXPECT_EQ(out, c.out + "\n");
        } else if (c.out == "cancelled") {
            const auto document = nlohmann::json::parse(out);
            EXPECT_EQ(document["summary"]["cancelled"], true);
        } else if (!c.out.empty()) {
            const auto lines = lines_of(out);
            ASSERT_FALSE(lines.empty());
            EXPECT_TRUE(lines.back().ends_with(c.out)) << out;
        } else {
            EXPECT_EQ(out, "");
        }
        EXPECT_EQ(read_text(err_path), c.err);
        EXPECT_TRUE(all_ended(started_groups()))
            << ::testing::PrintToString(live_members(started_groups()));
    }
}

// A signal the program inherited as ignored stays ignored (a job a script started with
// `&` ignores Ctrl-C, `nohup` the hang-up): the search goes on once Git is let go, and
// the command ends as if nothing had come.
TEST_F(EndingSignals, InheritedIgnoreStaysIgnored) {
    struct Ignored {
        std::string trap;  // the shell's name of the signal
        int signal;
        std::string command;
        std::string last_line;  // what the standard output ends with
    };
    const std::vector<Ignored> cases = {
        {"HUP", SIGHUP, "dev", ""},
        {"INT", SIGINT, "dev", ""},
        {"INT", SIGINT, "clean", "Dry run: nothing was changed. Re-run with --yes to proceed."},
        {"QUIT", SIGQUIT, "clean", "Dry run: nothing was changed. Re-run with --yes to proceed."},
    };
    for (const Ignored& c : cases) {
        SCOPED_TRACE(c.trap + " " + c.command);
        ::unlink(started.c_str());
        const std::string out_path = tmp / "out";
        platform::Fd out_fd(::open(out_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600));
        platform::SpawnOptions options;
        options.program = "/bin/sh";
        options.args = {"-c", "trap '' " + c.trap + "; exec \"$0\" " + c.command + " \"$1\"",
                        BRAMVELT_BINARY, ws};
        options.environment = environment(true);
        options.in = platform::Stdio::null();
        options.out = platform::Stdio::from_fd(out_fd.get());
        options.err = platform::Stdio::null();
        auto program = platform::spawn(options);
        ASSERT_TRUE(program);
        ASSERT_TRUE(eventually([&] { return git_started(); }));
        ASSERT_EQ(::kill(program->pid(), c.signal), 0);
        // Every wrapper, now and later, reads a line of its own from the gate (each Git
        // command takes two), far more than the search runs. Once the gate is closed the
        // lines left in it are dropped, and the next case's wrappers block again.
        platform::Fd gate_fd(::open(gate.c_str(), O_RDWR));
        ASSERT_TRUE(gate_fd);
        const std::string newlines(4096, '\n');
        ASSERT_EQ(::write(gate_fd.get(), newlines.data(), newlines.size()),
                  static_cast<ssize_t>(newlines.size()));
        const auto status = program->wait();
        ASSERT_TRUE(status);
        EXPECT_EQ(status->code(), 0) << status->describe();
        const std::string out = read_text(out_path);
        EXPECT_EQ(out.find(" · stopped"), std::string::npos) << out;
        const auto lines = lines_of(out);
        ASSERT_FALSE(lines.empty());
        if (!c.last_line.empty()) {
            EXPECT_EQ(lines.back(), c.last_line);
        }
        // Wrappers still reading their line hold the gate open, which would keep the
        // lines in it for the next case.
        ASSERT_TRUE(all_ended(started_groups()));
    }
}

// The interface ends on either signal with the terminal given back, and ends the Git
// commands of its search first.
TEST_F(EndingSignals, InterfaceEndsItsSearchesGit) {
    if (!tmux_available()) GTEST_SKIP() << "tmux is not installed";
    for (const int signal : {SIGTERM, SIGHUP}) {
        SCOPED_TRACE(signal);
        ::unlink(started.c_str());
        const std::string pid_file = tmp / "pid";
        ::unlink(pid_file.c_str());
        std::string exports;
        for (const auto& e : environment(true)) exports += "export " + shell_quoted(e) + "; ";
        const std::string program =
            exports + "sh -c " +
            shell_quoted("echo $$ > " + shell_quoted(pid_file) + ".new && mv " +
                         shell_quoted(pid_file) + ".new " + shell_quoted(pid_file) + " && exec " +
                         shell_quoted(BRAMVELT_BINARY) + " dev -i " + shell_quoted(ws));
        Tmux t("ending-" + std::to_string(signal), pane_command(program), 100, 30);
        ASSERT_TRUE(eventually([&] { return git_started() && !read_text(pid_file).empty(); }));
        const pid_t pid = std::atoi(read_text(pid_file).c_str());
        ASSERT_EQ(::kill(pid, signal), 0);
        ASSERT_TRUE(t.wait_for_text("EXIT=" + std::to_string(128 + signal)));
        expect_modes_restored(t);
        EXPECT_TRUE(all_ended(started_groups()))
            << ::testing::PrintToString(live_members(started_groups()));
    }
}

}  // namespace
}  // namespace bramvelt::testing
