#include "platform/open_file_limit.hpp"

#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

namespace bramvelt::platform {
namespace {

TEST(OpenFileLimit, ReportsTheSoftLimit) {
    // In a child, so the lowered limit stays there.
    const pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        struct rlimit limit {};
        ::getrlimit(RLIMIT_NOFILE, &limit);
        limit.rlim_cur = 100;
        if (::setrlimit(RLIMIT_NOFILE, &limit) != 0) ::_exit(2);
        const auto reported = open_file_limit();
        ::_exit(reported && *reported == 100 ? 0 : 1);
    }
    int status = 0;
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0);
}

}  // namespace
}  // namespace bramvelt::platform
