// Finding the filter drivers a repository's configuration defines: the header reading
// checked against the real git's reading of the same files, the files of a real
// repository, and Git's own listing.

#include "core/development/filter_drivers.hpp"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <algorithm>
#include <fstream>
#include <set>

#include "dev_fixture.hpp"

namespace bramvelt::development {
namespace {

using testing::DevTest;
using testing::git;

// The driver names the real git reads from a configuration file.
std::set<std::string> names_git_reads(const testing::TempDir& tmp, const std::string& text) {
    const std::string file = tmp.write_file("probe.cfg", text);
    const auto r = testing::run_process("/usr/bin/git",
                                        {"config", "-z", "--file", file, "--name-only", "--list"});
    std::set<std::string> names;
    std::size_t pos = 0;
    while (pos < r.out.size()) {
        const std::size_t end = r.out.find('\0', pos);
        const std::string key = r.out.substr(pos, end - pos);
        pos = end + 1;
        const std::size_t last = key.rfind('.');
        if (key.starts_with("filter.") && last > 6) {
            names.insert(key.substr(7, last - 7));
        }
    }
    return names;
}

TEST_F(DevTest, HeaderReadingFindsEveryDriverGitReads) {
    struct Case {
        std::string text;
        std::vector<std::string> names;
        bool includes = false;
    } cases[] = {
        {"[filter \"probe\"]\n\tclean = x\n", {"probe"}},
        {"[FiLtEr \"Mixed Case\"]\n\tclean = x\n", {"Mixed Case"}},
        {"[filter.Dotted]\n\tclean = x\n", {"dotted"}},
        {"[filter.a \"b\"]\n\tclean = x\n", {"a.b"}},
        {"[filter \"q\\\"uote\\\\d\"]\n\tclean = x\n", {"q\"uote\\d"}},
        {"[core]\n\tbare = false\n[filter \"second\"]clean = x\n", {"second"}},
        {"[core][filter \"joined\"]\n\tclean = x\n", {"joined"}},
        {"[filter \"crlf\"]\r\n\tclean = x\r\n", {"crlf"}},
        {"[filter \t \"spaced\"]\n\tclean = x\n", {"spaced"}},
        {"[filter \"\"]\n\tclean = x\n", {""}},
        {"[filter \"a=b\"]\n\tclean = x\n", {"a=b"}},
        // Text that only looks like a header adds a name that defines nothing.
        {"[core]\n\tx = [filter \"ghost\"]\n# [filter \"comment\"]\n", {"ghost", "comment"}},
        {"[filter]\n\tclean = x\n", {}},
        {"[filter \"open\"\n\tclean = x\n", {}},
        {"[filter\n\"broken\"]\n\tclean = x\n", {}},
        {"[filter \"new\nline\"]\n\tclean = x\n", {}},
        {"[filter \"unterminated", {}},
        {"[include]\n\tpath = other.cfg\n", {}, true},
        {"[includeIf \"gitdir:/w/\"]\n\tpath = other.cfg\n", {}, true},
    };
    // The comparison below is not vacuous: git reads the plain case as this test does.
    EXPECT_EQ(names_git_reads(tmp, cases[0].text), std::set<std::string>{"probe"});
    for (const auto& c : cases) {
        const ConfigScan scan = scan_config_text(c.text);
        EXPECT_EQ(scan.filter_names, c.names) << c.text;
        EXPECT_EQ(scan.includes, c.includes) << c.text;
        EXPECT_FALSE(scan.unsure) << c.text;
        const std::set<std::string> found(scan.filter_names.begin(), scan.filter_names.end());
        for (const auto& name : names_git_reads(tmp, c.text)) {
            EXPECT_TRUE(found.count(name)) << "git reads driver \"" << name << "\" in " << c.text;
        }
    }
    EXPECT_TRUE(scan_config_text("[filter \"" + std::string(5000, 'x') + "\"]\n").unsure);
}

TEST_F(DevTest, DriversOfARepositoryAndItsWorktrees) {
    const std::string repo = make_repo("repo");
    const std::string common = repo + "/.git";
    git(repo, {"config", "filter.main.clean", "cat"});
    git(repo, {"config", "extensions.worktreeConfig", "true"});
    git(repo, {"worktree", "add", "-q", tmp / "wt", "-b", "wt"});
    git(tmp / "wt", {"config", "--worktree", "filter.linked.process", "cat"});
    const auto drivers = read_filter_drivers(common);
    ASSERT_TRUE(drivers);
    EXPECT_EQ(drivers->names, (std::vector<std::string>{"linked", "main"}));

    // Git's listing in the linked worktree sees both scopes; the user's drivers are theirs.
    const std::string user = tmp.write_file("user.cfg", "[filter \"lfs\"]\n\tclean = x\n");
    testing::ScopedEnv global("GIT_CONFIG_GLOBAL", user.c_str());
    const auto listing = testing::run_process(
        "/usr/bin/git",
        {"-C", tmp / "wt", "config", "-z", "--show-scope", "--name-only", "--list"});
    ASSERT_EQ(listing.status, 0) << listing.err;
    EXPECT_EQ(parse_filter_listing(listing.out).names,
              (std::vector<std::string>{"linked", "main"}));
    EXPECT_EQ(filter_listing_args(),
              (std::vector<std::string>{"config", "-z", "--show-scope", "--name-only", "--list"}));

    // An include leaves the answer to Git, and so does a FIFO, which is never waited on.
    git(repo, {"config", "include.path", "../extra.cfg"});
    EXPECT_FALSE(read_filter_drivers(common));
    git(repo, {"config", "--unset", "include.path"});
    ASSERT_TRUE(read_filter_drivers(common));
    ASSERT_EQ(::mkfifo((common + "/config.worktree").c_str(), 0600), 0);
    EXPECT_FALSE(read_filter_drivers(common));
    ::unlink((common + "/config.worktree").c_str());

    // Nothing to read is no driver at all.
    const auto empty = read_filter_drivers(tmp / "nowhere");
    ASSERT_TRUE(empty);
    EXPECT_TRUE(empty->names.empty());
}

}  // namespace
}  // namespace bramvelt::development
