#include "platform/immediate_exit.hpp"

#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>

namespace bramvelt::platform {
namespace {

void exit_handler_writes() {
    (void)::write(STDOUT_FILENO, "handler", 7);
}

TEST(ImmediateExit, EndsWithTheStatusAndRunsNoExitHandler) {
    int fds[2];
    ASSERT_EQ(::pipe(fds), 0);
    const pid_t pid = ::fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
        ::dup2(fds[1], STDOUT_FILENO);
        std::atexit(exit_handler_writes);
        immediate_exit(7);
    }
    ::close(fds[1]);
    char buf[16];
    const ssize_t n = ::read(fds[0], buf, sizeof buf);
    ::close(fds[0]);
    int status = 0;
    ASSERT_EQ(::waitpid(pid, &status, 0), pid);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 7);
    EXPECT_EQ(n, 0);  // the exit handler did not run
}

}  // namespace
}  // namespace bramvelt::platform
