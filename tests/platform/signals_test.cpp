#include "platform/signals.hpp"

#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <cerrno>

#include "platform/spawn.hpp"
#include "support/as_user.hpp"

namespace bramvelt::platform {
namespace {

// In a forked child, since dispositions are process-wide: SIGCHLD ignored as a parent
// may leave it, then whether a spawned child can still be waited for.
int wait_for_true(bool reset) {
    struct sigaction ignore {};
    ignore.sa_handler = SIG_IGN;
    if (::sigaction(SIGCHLD, &ignore, nullptr) != 0) return 10;
    if (reset) default_sigchld();
    SpawnOptions options;
    options.program = "/bin/true";
    auto child = spawn(options);
    if (!child) return 11;
    const auto status = child->wait();
    if (!status) return 12;  // the kernel reaped it: ECHILD
    return status->success() ? 0 : 13;
}

TEST(Signals, DefaultSigchldLetsChildrenBeWaitedFor) {
    EXPECT_EQ(testing::run_in_child([] { return wait_for_true(false); }), 12);
    EXPECT_EQ(testing::run_in_child([] { return wait_for_true(true); }), 0);
}

TEST(Signals, IgnoreSigpipeTurnsABrokenPipeIntoAnError) {
    EXPECT_EQ(testing::run_in_child([] {
                  ignore_sigpipe();
                  int fds[2];
                  if (::pipe(fds) != 0) return 10;
                  ::close(fds[0]);
                  const char byte = 'x';
                  return ::write(fds[1], &byte, 1) < 0 && errno == EPIPE ? 0 : 11;
              }),
              0);
}

}  // namespace
}  // namespace bramvelt::platform
