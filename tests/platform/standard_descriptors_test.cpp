#include "platform/standard_descriptors.hpp"

#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cerrno>

namespace bramvelt::platform {
namespace {

// In a forked child, since the test's own standard streams must stay as they are.
int in_child(int (*body)()) {
    const pid_t pid = ::fork();
    if (pid == 0) ::_exit(body());
    int status = 0;
    if (pid < 0 || ::waitpid(pid, &status, 0) != pid || !WIFEXITED(status)) return -1;
    return WEXITSTATUS(status);
}

TEST(StandardDescriptors, ClosedOnesAreHeldSoTheNextOpenGetsAnotherNumber) {
    EXPECT_EQ(in_child([] {
                  ::close(1);
                  ::close(2);
                  reserve_standard_descriptors();
                  if (::fcntl(1, F_GETFD) == -1 || ::fcntl(2, F_GETFD) == -1) return 1;
                  // Writing still fails, as on the closed descriptor.
                  if (::write(1, "x", 1) != -1 || errno != EBADF) return 2;
                  const int next = ::open("/dev/null", O_RDONLY);
                  return next > 2 ? 0 : 3;
              }),
              0);
}

TEST(StandardDescriptors, OpenOnesAreLeftAlone) {
    EXPECT_EQ(in_child([] {
                  int fds[2];
                  if (::pipe(fds) != 0 || ::dup2(fds[1], 1) != 1) return 1;
                  reserve_standard_descriptors();
                  if (::write(1, "ok", 2) != 2) return 2;
                  char buf[2];
                  return ::read(fds[0], buf, 2) == 2 && buf[0] == 'o' ? 0 : 3;
              }),
              0);
}

}  // namespace
}  // namespace bramvelt::platform
