#include "platform/io.hpp"

#include <gtest/gtest.h>

#include "platform/temp_file.hpp"

namespace bramvelt::platform {
namespace {

TEST(Io, RewindReadsTheFileAgainFromItsStart) {
    auto file = UnnamedTempFile::create("io-test");
    ASSERT_TRUE(file.has_value());
    ASSERT_TRUE(write_all(file->fd(), "written once").has_value());
    EXPECT_EQ(read_all(file->fd()).value(), "");
    ASSERT_TRUE(rewind(file->fd()).has_value());
    EXPECT_EQ(read_all(file->fd()).value(), "written once");
    EXPECT_FALSE(rewind(-1).has_value());
}

}  // namespace
}  // namespace bramvelt::platform
