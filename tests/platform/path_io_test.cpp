#include "platform/path_io.hpp"

#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <string>

#include "support/temp_dir.hpp"

namespace bramvelt::platform {
namespace {

using testing::TempDir;

ino_t inode_of(const std::string& path) {
    struct stat st {};
    ::stat(path.c_str(), &st);
    return st.st_ino;
}

TEST(OpenDirectoryPath, OpensFoldersAndFollowsAFinalLinkOnlyWhenAsked) {
    TempDir tmp;
    const std::string dir = tmp.make_dir("d");
    const std::string file = tmp.write_file("f", "x");
    const std::string link = tmp / "link";
    ASSERT_EQ(::symlink(dir.c_str(), link.c_str()), 0);

    const auto opened = open_directory_path(dir.c_str(), FollowFinalLink::no);
    ASSERT_TRUE(opened);
    struct stat st {};
    ASSERT_EQ(::fstat(opened->get(), &st), 0);
    EXPECT_EQ(st.st_ino, inode_of(dir));

    const auto through = open_directory_path(link.c_str(), FollowFinalLink::yes);
    ASSERT_TRUE(through);
    ASSERT_EQ(::fstat(through->get(), &st), 0);
    EXPECT_EQ(st.st_ino, inode_of(dir));

    const struct {
        std::string path;
        FollowFinalLink follow;
        int error;
    } failures[] = {
        // A final link not followed is no folder.
        {link, FollowFinalLink::no, ENOTDIR},
        {file, FollowFinalLink::yes, ENOTDIR},
        {tmp / "missing", FollowFinalLink::yes, ENOENT},
    };
    for (const auto& c : failures) {
        const auto result = open_directory_path(c.path.c_str(), c.follow);
        ASSERT_FALSE(result) << c.path;
        EXPECT_EQ(result.error(), c.error) << c.path;
    }
}

TEST(ReadFile, ReadsEveryByteOrReportsTheError) {
    TempDir tmp;
    // Longer than one read, with NUL bytes inside.
    std::string content(200'000, 'a');
    content[70'000] = '\0';
    content.back() = 'z';
    const std::string file = tmp.write_file("big", content);
    EXPECT_EQ(read_file(file.c_str()), content);
    EXPECT_EQ(read_file(tmp.write_file("empty").c_str()), std::string());

    const auto missing = read_file((tmp / "missing").c_str());
    ASSERT_FALSE(missing);
    EXPECT_EQ(missing.error(), ENOENT);
    const auto folder = read_file(tmp.path().c_str());
    ASSERT_FALSE(folder);
    EXPECT_EQ(folder.error(), EISDIR);
}

}  // namespace
}  // namespace bramvelt::platform
