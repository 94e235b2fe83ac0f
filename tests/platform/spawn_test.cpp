#include "platform/spawn.hpp"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <chrono>
#include <string>

#include "platform/os_error.hpp"
#include "support/eventually.hpp"

namespace bramvelt::platform {
namespace {

using namespace std::chrono_literals;

std::string read_all(Fd& fd) {
    std::string out;
    char buffer[4096];
    ssize_t n;
    while ((n = ::read(fd.get(), buffer, sizeof buffer)) > 0)
        out.append(buffer, static_cast<size_t>(n));
    return out;
}

TEST(Spawn, PipesEnvironmentAndExitStatus) {
    SpawnOptions options;
    options.program = "/bin/sh";
    options.args = {"-c", "read line; echo \"$line $GREETING\"; echo oops >&2; exit 3"};
    options.environment = std::vector<std::string>{"GREETING=hi", "PATH=/usr/bin:/bin"};
    options.in = Stdio::pipe();
    options.out = Stdio::pipe();
    options.err = Stdio::pipe();
    auto child = spawn(options);
    ASSERT_TRUE(child) << os_error_text(child.error());
    ASSERT_EQ(::write(child->stdin_pipe().get(), "hello\n", 6), 6);
    child->stdin_pipe().reset();
    EXPECT_EQ(read_all(child->stdout_pipe()), "hello hi\n");
    EXPECT_EQ(read_all(child->stderr_pipe()), "oops\n");
    auto status = child->wait();
    ASSERT_TRUE(status);
    EXPECT_FALSE(status->success());
    EXPECT_EQ(status->code(), 3);
    EXPECT_EQ(status->describe(), "exit status: 3");
}

TEST(Spawn, ChildSeesTheNameItIsGiven) {
    SpawnOptions options;
    options.program = "/bin/sh";
    options.argv0 = "sh-by-another-name";
    options.args = {"-c", "printf '%s' \"$0\""};
    options.out = Stdio::pipe();
    auto child = spawn(options);
    ASSERT_TRUE(child);
    EXPECT_EQ(read_all(child->stdout_pipe()), "sh-by-another-name");
    ASSERT_TRUE(child->wait());
}

TEST(Spawn, DescriptorsAboveTwoAreClosedInTheChild) {
    const int leaked = ::open("/dev/null", O_RDONLY);  // deliberately without O_CLOEXEC
    ASSERT_GE(leaked, 3);
    SpawnOptions options;
    options.program = "/bin/sh";
    options.args = {"-c", "[ -e /proc/self/fd/" + std::to_string(leaked) + " ] && exit 1; exit 0"};
    auto child = spawn(options);
    ASSERT_TRUE(child);
    auto status = child->wait();
    ::close(leaked);
    ASSERT_TRUE(status);
    EXPECT_TRUE(status->success());
}

TEST(Spawn, TimeoutThenKillOfTheWholeGroup) {
    SpawnOptions options;
    options.program = "/bin/sh";
    // The grandchild would outlive a kill of the shell alone.
    options.args = {"-c", "sleep 30 & echo $!; wait"};
    options.out = Stdio::pipe();
    options.new_process_group = true;
    auto child = spawn(options);
    ASSERT_TRUE(child);
    char buffer[32] = {};
    ASSERT_GT(::read(child->stdout_pipe().get(), buffer, sizeof buffer - 1), 0);
    const pid_t grandchild = std::stoi(buffer);
    auto waited = child->wait_for(50ms, 10ms);
    ASSERT_TRUE(waited);
    EXPECT_FALSE(waited->has_value());
    child->kill_and_reap();
    EXPECT_FALSE(child->running());
    // The grandchild was in the group and got the kill too (it may linger as a zombie
    // of init for a moment, so poll).
    EXPECT_TRUE(testing::eventually([grandchild] {
        char state = 0;
        FILE* f = std::fopen(("/proc/" + std::to_string(grandchild) + "/stat").c_str(), "r");
        if (f == nullptr) return true;
        if (std::fscanf(f, "%*d %*s %c", &state) != 1) state = 0;
        std::fclose(f);
        return state == 'Z' || state == 'X';
    }));
}

TEST(Spawn, DroppedChildIsKilledAndReaped) {
    pid_t pid;
    {
        SpawnOptions options;
        options.program = "sleep";  // found through PATH
        options.args = {"30"};
        auto child = spawn(options);
        ASSERT_TRUE(child);
        pid = child->pid();
    }
    // Reaped: the pid is no longer our child.
    EXPECT_EQ(::waitpid(pid, nullptr, WNOHANG), -1);
    EXPECT_EQ(errno, ECHILD);
}

TEST(Spawn, MissingProgramIsAnError) {
    SpawnOptions options;
    options.program = "/nonexistent/program";
    auto child = spawn(options);
    ASSERT_FALSE(child);
    EXPECT_EQ(child.error(), ENOENT);
    EXPECT_EQ(os_error_text(ENOENT), "No such file or directory (os error 2)");
}

}  // namespace
}  // namespace bramvelt::platform

namespace bramvelt::platform {
namespace {

TEST(Spawn, SleepEndsWhenTheChildExits) {
    SpawnOptions options;
    options.program = "/bin/true";
    auto child = spawn(options);
    ASSERT_TRUE(child);
    // A child that has long ended must not cost a full 60-second sleep.
    child->sleep_unless_exited(std::chrono::seconds(60));
    auto status = child->wait();
    ASSERT_TRUE(status);
    EXPECT_TRUE(status->success());
}

}  // namespace
}  // namespace bramvelt::platform
