#include "platform/pipe.hpp"

#include <fcntl.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cerrno>

namespace bramvelt::platform {
namespace {

TEST(OpenPipe, CarriesBytesWithBothEndsCloseOnExec) {
    for (const PipeBlocking blocking : {PipeBlocking::yes, PipeBlocking::no}) {
        auto pipe = open_pipe(blocking);
        ASSERT_TRUE(pipe);
        for (const Fd* end : {&pipe->read_end, &pipe->write_end}) {
            EXPECT_NE(::fcntl(end->get(), F_GETFD) & FD_CLOEXEC, 0);
            const bool nonblocking = (::fcntl(end->get(), F_GETFL) & O_NONBLOCK) != 0;
            EXPECT_EQ(nonblocking, blocking == PipeBlocking::no);
        }
        ASSERT_EQ(::write(pipe->write_end.get(), "hi", 2), 2);
        char bytes[4] = {};
        ASSERT_EQ(::read(pipe->read_end.get(), bytes, sizeof bytes), 2);
        EXPECT_EQ(std::string(bytes, 2), "hi");
    }
}

TEST(OpenPipe, AnEmptyNonBlockingPipeDoesNotWait) {
    auto pipe = open_pipe(PipeBlocking::no);
    ASSERT_TRUE(pipe);
    char byte = 0;
    EXPECT_EQ(::read(pipe->read_end.get(), &byte, 1), -1);
    EXPECT_EQ(errno, EAGAIN);
}

}  // namespace
}  // namespace bramvelt::platform
