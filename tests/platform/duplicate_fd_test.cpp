#include "platform/duplicate_fd.hpp"

#include <fcntl.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cerrno>

#include "support/temp_dir.hpp"

namespace bramvelt::platform {
namespace {

TEST(DuplicateFd, SharesTheOpenFileAboveTheStandardStreams) {
    testing::TempDir tmp;
    const std::string path = tmp.write_file("f", "abcdef");
    Fd original(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
    ASSERT_TRUE(original);
    auto copy = duplicate_fd(original.get());
    ASSERT_TRUE(copy);
    EXPECT_GT(copy->get(), 2);
    EXPECT_NE(copy->get(), original.get());
    EXPECT_NE(::fcntl(copy->get(), F_GETFD) & FD_CLOEXEC, 0);
    // One open file: a read through one descriptor moves the offset of the other.
    char byte = 0;
    ASSERT_EQ(::read(original.get(), &byte, 1), 1);
    ASSERT_EQ(::read(copy->get(), &byte, 1), 1);
    EXPECT_EQ(byte, 'b');
    // The copy outlives the original.
    original.reset();
    ASSERT_EQ(::read(copy->get(), &byte, 1), 1);
    EXPECT_EQ(byte, 'c');
}

TEST(DuplicateFd, ReportsABadDescriptor) {
    EXPECT_EQ(duplicate_fd(-1).error(), EBADF);
}

}  // namespace
}  // namespace bramvelt::platform
