#include "platform/bound_children.hpp"

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <string>

#include "platform/path_io.hpp"
#include "platform/spawn.hpp"
#include "support/eventually.hpp"
#include "support/temp_dir.hpp"

namespace bramvelt::platform {
namespace {

// Whether the process is gone or a zombie, without reaping it.
bool ended(pid_t pid) {
    const auto read = read_file(("/proc/" + std::to_string(pid) + "/stat").c_str());
    if (!read) return true;
    const std::string& stat = *read;
    const std::size_t close = stat.rfind(')');
    return close == std::string::npos || stat.substr(close + 2, 1) == "Z";
}

// A fifo that no one opens for writing: a reader blocks on it until it is killed.
std::string never_written_fifo(const testing::TempDir& tmp) {
    const std::string fifo = tmp / "never-written";
    EXPECT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    return fifo;
}

// A shell that blocks reading its pipe, with a helper of its own in its process group
// that blocks on `fifo`; its first line names the helper.
struct Blocked {
    Child child;
    pid_t helper = 0;
};

Blocked start_blocked(EndWithProgram bound, const std::string& fifo) {
    SpawnOptions options;
    options.program = "/bin/sh";
    options.args = {"-c", "(read held < \"$0\") & echo $!; read line", fifo};
    options.in = Stdio::pipe();
    options.out = Stdio::pipe();
    options.new_process_group = true;
    options.end_with_program = bound;
    auto child = spawn(options);
    if (!child) return {};
    std::string line;
    char c = 0;
    while (::read(child->stdout_pipe().get(), &c, 1) == 1 && c != '\n') line += c;
    return {std::move(*child), static_cast<pid_t>(std::atoi(line.c_str()))};
}

// Ending the bound children is for good, so it runs in a child process of the test,
// which reports by its exit status: 0 when the bound child and its group ended, the
// unbound child runs on, and no bound child starts any more.
TEST(BoundChildren, FatalEndKillsBoundGroupsOnly) {
    const testing::TempDir tmp;
    const std::string fifo = never_written_fifo(tmp);
    const pid_t tester = ::fork();
    ASSERT_GE(tester, 0);
    if (tester == 0) {
        Blocked bound = start_blocked(EndWithProgram::yes, fifo);
        Blocked free = start_blocked(EndWithProgram::no, fifo);
        if (bound.helper <= 0 || free.helper <= 0) ::_exit(10);
        end_bound_children();
        // The shell was waited for; its helper was killed with it and ends in its time.
        if (!ended(bound.child.pid())) ::_exit(11);
        if (!testing::eventually([&] { return ended(bound.helper); })) ::_exit(15);
        if (ended(free.child.pid()) || ended(free.helper)) ::_exit(12);
        // The owner still reaps the one that was ended.
        auto status = bound.child.wait();
        if (!status || status->signal() != SIGKILL) ::_exit(13);
        SpawnOptions later;
        later.program = "/bin/true";
        later.end_with_program = EndWithProgram::yes;
        auto refused = spawn(later);
        if (refused || refused.error() != ECANCELED) ::_exit(14);
        free.child.kill_and_reap();
        ::_exit(0);
    }
    int status = 0;
    ASSERT_EQ(::waitpid(tester, &status, 0), tester);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0);
}

// A reaped child leaves the list: ending the children later touches nothing of it.
TEST(BoundChildren, ReapedChildIsNoLongerListed) {
    const testing::TempDir tmp;
    const std::string fifo = never_written_fifo(tmp);
    const pid_t tester = ::fork();
    ASSERT_GE(tester, 0);
    if (tester == 0) {
        Blocked done = start_blocked(EndWithProgram::yes, fifo);
        if (done.helper <= 0) ::_exit(10);
        done.child.stdin_pipe().reset();  // the shell's read ends and so does the shell
        if (!done.child.wait()) ::_exit(11);
        const pid_t helper = done.helper;  // still in the group, still blocked
        end_bound_children();
        if (ended(helper)) ::_exit(12);
        ::kill(helper, SIGKILL);
        ::_exit(0);
    }
    int status = 0;
    ASSERT_EQ(::waitpid(tester, &status, 0), tester);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0);
}

}  // namespace
}  // namespace bramvelt::platform
