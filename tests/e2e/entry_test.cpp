// Runs the built program as a user would.

#include <gtest/gtest.h>

#include <fstream>
#include <sstream>

#include "support/run_process.hpp"

namespace bramvelt::testing {
namespace {

TEST(ProgramEntry, VersionHelpAndJsonUsageError) {
    const auto version = run_bramvelt({"--version"});
    EXPECT_EQ(version.status, 0);
    EXPECT_EQ(version.out, "bramvelt 2.0.1\n");

    const auto help = run_bramvelt({"--help"});
    EXPECT_EQ(help.status, 0);
    EXPECT_EQ(help.out.size(), 2920u);
    EXPECT_TRUE(help.out.starts_with("BramVelt \u2014 disk usage maps and development cleanup\n"));
    EXPECT_EQ(help.err, "");

    // Without a terminal, the bare program prints the usage too.
    const auto bare = run_bramvelt({});
    EXPECT_EQ(bare.status, 0);
    EXPECT_EQ(bare.out, help.out);

    const auto json = run_bramvelt({"frob", "--json"});
    EXPECT_EQ(json.status, 2);
    EXPECT_EQ(json.out,
              "{\"schemaVersion\":1,\"error\":{\"code\":\"invalidArguments\",\"message\":\"unknown "
              "command: frob\"}}\n");
    EXPECT_EQ(json.err, "");
}

TEST(ProgramEntry, ClosedStandardOutputIsAFailureNotACrash) {
    // A reader that went away must give exit status 1, not death by SIGPIPE.
    const auto r = run_process(
        "/bin/sh", {"-c", std::string("'") + BRAMVELT_BINARY + "' --help | true; exit 0"});
    EXPECT_EQ(r.status, 0);
    const auto closed = run_process(
        "/bin/sh", {"-c", std::string("'") + BRAMVELT_BINARY + "' --version >&-; echo $?"});
    EXPECT_EQ(closed.out, "1\n");
}

}  // namespace
}  // namespace bramvelt::testing
