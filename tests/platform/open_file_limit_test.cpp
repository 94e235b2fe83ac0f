#include "platform/open_file_limit.hpp"

#include <gtest/gtest.h>

#include "support/as_user.hpp"

namespace bramvelt::platform {
namespace {

// In a child, since the limit is the whole process's.
TEST(RaiseOpenFileLimit, SoftLimitRisesToTheHardLimit) {
    const int code = testing::run_in_child([] {
        struct rlimit limit {};
        if (::getrlimit(RLIMIT_NOFILE, &limit) != 0) return 2;
        const rlim_t hard = limit.rlim_max;
        if (hard < 64) return 77;
        limit.rlim_cur = 32;
        if (::setrlimit(RLIMIT_NOFILE, &limit) != 0) return 3;
        const auto raised = raise_open_file_limit();
        if (!raised || *raised != hard) return 4;
        if (::getrlimit(RLIMIT_NOFILE, &limit) != 0 || limit.rlim_cur != hard) return 5;
        const auto again = raise_open_file_limit();
        return again && *again == hard ? 0 : 6;
    });
    if (code == 77) GTEST_SKIP() << "the hard limit is too low to lower the soft one";
    EXPECT_EQ(code, 0);
}

TEST(OpenFileLimit, ReportsTheSoftLimit) {
    const int code = testing::run_in_child([] {
        struct rlimit limit {};
        if (::getrlimit(RLIMIT_NOFILE, &limit) != 0) return 2;
        limit.rlim_cur = 100;
        if (::setrlimit(RLIMIT_NOFILE, &limit) != 0) return 3;
        const auto reported = open_file_limit();
        return reported && *reported == 100 ? 0 : 1;
    });
    EXPECT_EQ(code, 0);
}

}  // namespace
}  // namespace bramvelt::platform
