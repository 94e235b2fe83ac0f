#include "platform/host_name.hpp"

#include <gtest/gtest.h>

namespace bramvelt::platform {
namespace {

TEST(HostName, HasNoZeroByte) {
    const auto name = host_name();
    ASSERT_TRUE(name.has_value());
    EXPECT_EQ(name->find('\0'), std::string::npos);
}

}  // namespace
}  // namespace bramvelt::platform
