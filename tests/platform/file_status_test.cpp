#include "platform/file_status.hpp"

#include <gtest/gtest.h>
#include <unistd.h>

#include <cerrno>
#include <string>

#include "support/temp_dir.hpp"

namespace bramvelt::platform {
namespace {

TEST(FileStatus, FollowChoiceAndPathForms) {
    testing::TempDir dir;
    const std::string file = dir.write_file("f", "12345");
    ASSERT_EQ(::symlink(file.c_str(), (dir / "link").c_str()), 0);

    const auto link = status_of_path(dir / "link", FollowFinalLink::no);
    ASSERT_TRUE(link.has_value());
    EXPECT_TRUE(link->is_symlink());
    const auto target = status_of_path(dir / "link", FollowFinalLink::yes);
    ASSERT_TRUE(target.has_value());
    EXPECT_TRUE(target->is_regular());
    EXPECT_EQ(target->size, 5);

    // A path longer than the on-stack copy takes the other road to the same entry.
    std::string long_form = dir.path();
    while (long_form.size() < 2000) long_form += "/.";
    long_form += "/f";
    const auto via_long = status_of_path(long_form, FollowFinalLink::no);
    ASSERT_TRUE(via_long.has_value());
    EXPECT_EQ(via_long->inode, target->inode);

    EXPECT_EQ(status_of_path(std::string("/tmp\0/x", 7), FollowFinalLink::no).error(), EINVAL);
    EXPECT_EQ(status_of_path(dir / "missing", FollowFinalLink::no).error(), ENOENT);
}

}  // namespace
}  // namespace bramvelt::platform
