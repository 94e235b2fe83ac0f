#include "platform/processor_count.hpp"

#include <sched.h>

#include <gtest/gtest.h>

namespace bramvelt::platform {
namespace {

TEST(OnlineProcessors, CountsAtLeastTheProcessorsThisProcessMayRunOn) {
    const auto online = online_processors();
    ASSERT_TRUE(online);
    cpu_set_t allowed;
    CPU_ZERO(&allowed);
    ASSERT_EQ(::sched_getaffinity(0, sizeof allowed, &allowed), 0);
    EXPECT_GE(*online, static_cast<unsigned long>(CPU_COUNT(&allowed)));
    EXPECT_GE(*online, 1u);
}

}  // namespace
}  // namespace bramvelt::platform
