#pragma once
// The real Git, run as a fixture's author to build the repositories end-to-end tests
// work on.

#include <string>
#include <vector>

namespace bramvelt::testing {

// `/usr/bin/git -C dir args...` as the author "Dev" with "main" as the first branch, in
// `environment` ("NAME=value"); a failure fails the test with Git's error output.
void fixture_git(const std::string& dir, const std::vector<std::string>& args,
                 const std::vector<std::string>& environment);

}  // namespace bramvelt::testing
