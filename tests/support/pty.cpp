#include "support/pty.hpp"

#include <poll.h>
#include <pty.h>
#include <sys/ioctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

namespace bramvelt::testing {

PtyEnding run_on_own_pty(unsigned short rows, unsigned short cols,
                         const std::function<int()>& body) {
    PtyEnding ending;
    int master = -1;
    int slave = -1;
    winsize size{rows, cols, 0, 0};
    EXPECT_EQ(::openpty(&master, &slave, nullptr, nullptr, &size), 0);
    const pid_t pid = ::fork();
    if (pid == 0) {
        ::close(master);
        ::setsid();
        ::ioctl(slave, TIOCSCTTY, 0);
        ::dup2(slave, 0);
        ::dup2(slave, 1);
        ::dup2(slave, 2);
        ::_exit(body());
    }
    ::close(slave);
    char buf[4096];
    while (true) {
        pollfd p{master, POLLIN, 0};
        if (::poll(&p, 1, 30'000) <= 0) break;
        const ssize_t n = ::read(master, buf, sizeof buf);
        if (n <= 0) break;  // EIO once the child's side is closed
        ending.output.append(buf, static_cast<std::size_t>(n));
    }
    ::waitpid(pid, &ending.status, 0);
    ::tcgetattr(master, &ending.after);
    ::close(master);
    return ending;
}

}  // namespace bramvelt::testing
