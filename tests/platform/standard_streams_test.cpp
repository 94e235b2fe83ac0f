#include "platform/standard_streams.hpp"

#include <pty.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "platform/fd.hpp"

namespace bramvelt::platform {
namespace {

TEST(IsTerminal, TellsATerminalFromAPipeAndAClosedDescriptor) {
    int master = -1;
    int slave = -1;
    ASSERT_EQ(::openpty(&master, &slave, nullptr, nullptr, nullptr), 0);
    const Fd master_end(master);
    const Fd slave_end(slave);
    EXPECT_TRUE(is_terminal(slave_end.get()));

    int fds[2];
    ASSERT_EQ(::pipe(fds), 0);
    const Fd read_end(fds[0]);
    const Fd write_end(fds[1]);
    EXPECT_FALSE(is_terminal(read_end.get()));
    EXPECT_FALSE(is_terminal(-1));
}

}  // namespace
}  // namespace bramvelt::platform
