// Readers of Git's answers: one-line answers, worktree lists, status records, ls-remote
// lines, tracked-file listings and NUL-separated lists.

#include <gtest/gtest.h>

#include "core/development/artifact_candidate.hpp"
#include "core/development/git_inspect.hpp"
#include "core/development/repo_facts.hpp"
#include "core/development/tracked_files.hpp"
#include "core/development/worktree_list.hpp"
#include "dev_fixture.hpp"

namespace bramvelt::development {
namespace {

using namespace std::string_literals;
using testing::DevTest;

TEST(DevParseSingleLine, Cases) {
    EXPECT_EQ(parse_single_line("/repo/.git\n"), "/repo/.git");
    EXPECT_EQ(parse_single_line("text\n\n\n"), "text");
    EXPECT_EQ(parse_single_line("/path\r\n"), "/path\r");
    EXPECT_EQ(parse_single_line("\n"), std::nullopt);
    EXPECT_EQ(parse_single_line(""), std::nullopt);
    EXPECT_EQ(parse_single_line("a\nb\n"), std::nullopt);
    EXPECT_EQ(parse_single_line("\xFF\n"), std::nullopt);
}

TEST_F(DevTest, WorktreeListRecordsAndIdentities) {
    EXPECT_TRUE(parse_worktree_list("").empty());

    const std::string dir = tmp.make_dir("wt");
    testing::symlink_to(dir, tmp / "link");
    tmp.write_file("file");
    const std::string out = "worktree /a\0HEAD 0123\0branch refs/heads/main\0\0"s + "worktree " +
                            tmp / "link" + "\0detached\0locked\0\0"s + "worktree " + dir +
                            "\0branch refs/remotes/origin/x\0locked why\0\0"s + "worktree " +
                            tmp / "file" + "\0branch refs/heads/\0lockedx\0\0"s +
                            "worktree /b\xFF\0\0"s + "worktree /cut\0HEAD 1";
    const auto list = parse_worktree_list(out);
    ASSERT_EQ(list.size(), 5u);
    EXPECT_EQ(list[0].path, "/a");
    EXPECT_EQ(list[0].branch, "main");
    EXPECT_FALSE(list[0].locked);
    EXPECT_FALSE(list[0].identity);

    struct stat st {};
    ASSERT_EQ(::stat(dir.c_str(), &st), 0);
    const auto id = std::make_pair(st.st_dev, st.st_ino);
    EXPECT_EQ(list[1].identity, id);  // a link to a folder: the folder's identity
    EXPECT_EQ(list[1].branch, std::nullopt);
    EXPECT_TRUE(list[1].locked);
    EXPECT_EQ(list[2].identity, id);
    EXPECT_EQ(list[2].branch, std::nullopt);
    EXPECT_TRUE(list[2].locked);
    EXPECT_FALSE(list[3].identity);  // a file
    EXPECT_EQ(list[3].branch, "");
    EXPECT_FALSE(list[3].locked);  // "lockedx" is no locked line
    EXPECT_EQ(list[4].path, "/b\xEF\xBF\xBD");
    EXPECT_FALSE(list[4].identity);
}

TEST(DevGitStatus, CountsAndRenames) {
    const auto c = parse_git_status(
        "M  staged.txt\0 M changed.txt\0MM both\0?? new\0!! target/\0"
        "R  new-name\0old-name\0 D gone\0"s);
    EXPECT_EQ(c.staged, 3u);    // M, MM, R
    EXPECT_EQ(c.modified, 3u);  // " M", "MM", " D"
    EXPECT_EQ(c.untracked, 1u);
    EXPECT_EQ(c.dirty, DirtyState::Yes);
    ASSERT_EQ(c.ignored.size(), 1u);
    EXPECT_EQ(c.ignored[0], "target/");

    const auto ignored_only = parse_git_status("!! build/\0"s);
    EXPECT_EQ(ignored_only.dirty, DirtyState::No);

    const auto empty = parse_git_status("");
    EXPECT_EQ(empty.dirty, DirtyState::No);

    const auto short_record = parse_git_status("?? a\0M\0"s);
    EXPECT_EQ(short_record.dirty, DirtyState::NotEstablished);
    EXPECT_EQ(short_record.untracked, 1u);
}

// Tags as `ls-files -v` writes them: "H" plain, "M" unmerged, "S" skip-worktree, lower
// case assume-unchanged. The hidden paths keep their bytes, to be found on disk.
TEST(DevTrackedFiles, TagsStrippedAndHiddenEntriesKept) {
    const auto files = parse_tracked_files(
        "H plain\0S skip\0h assumed\0M merge\0s both\0\0"
        "S dir/\xFF\0"s);
    EXPECT_EQ(files.paths, (std::vector<std::string>{"plain", "skip", "assumed", "merge", "both",
                                                     "dir/\uFFFD"}));
    EXPECT_EQ(files.hidden_from_status,
              (std::vector<std::string>{"skip", "assumed", "both", "dir/\xFF"}));
    EXPECT_TRUE(parse_tracked_files("").paths.empty());
}

TEST(DevLsRemoteLine, ExactlyTwoFields) {
    EXPECT_EQ(parse_ls_remote_line("abc123\trefs/heads/main"), std::make_pair("main"s, "abc123"s));
    EXPECT_EQ(parse_ls_remote_line("abc123\trefs/heads/feature/x"),
              std::make_pair("feature/x"s, "abc123"s));
    EXPECT_EQ(parse_ls_remote_line("abc123 refs/heads/main"), std::nullopt);
    EXPECT_EQ(parse_ls_remote_line("abc\trefs/heads/main\textra"), std::nullopt);
    EXPECT_EQ(parse_ls_remote_line("abc\trefs/tags/v1"), std::nullopt);
    EXPECT_EQ(parse_ls_remote_line("\trefs/heads/main"), std::nullopt);
    EXPECT_EQ(parse_ls_remote_line(""), std::nullopt);
}

}  // namespace
}  // namespace bramvelt::development
