#include "support/fixture_git.hpp"

#include <gtest/gtest.h>

#include "support/run_process.hpp"

namespace bramvelt::testing {

void fixture_git(const std::string& dir, const std::vector<std::string>& args,
                 const std::vector<std::string>& environment) {
    std::vector<std::string> full{
        "-c", "user.name=Dev",           "-c", "user.email=dev@example.com",
        "-c", "init.defaultBranch=main", "-C", dir};
    full.insert(full.end(), args.begin(), args.end());
    RunOptions options;
    options.environment = environment;
    const auto r = run_process("/usr/bin/git", full, options);
    ASSERT_EQ(r.status, 0) << r.err;
}

}  // namespace bramvelt::testing
