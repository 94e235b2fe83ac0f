#include "platform/xattr.hpp"

#include <algorithm>
#include <cerrno>
#include <filesystem>

#include <gtest/gtest.h>

#include "support/temp_dir.hpp"

namespace bramvelt::platform {
namespace {

TEST(Xattr, WritesListsAndReadsOneEntryWithoutFollowingALink) {
    testing::TempDir tmp;
    const std::string file = tmp.write_file("f", "x");
    if (!write_attribute(file, "user.big", std::string(3000, 'v'))) {
        GTEST_SKIP() << "no user attributes on this file system";
    }
    ASSERT_TRUE(write_attribute(file, "user.empty", ""));
    auto names = list_attribute_names(file);
    ASSERT_TRUE(names);
    EXPECT_NE(std::ranges::find(*names, "user.big"), names->end());
    EXPECT_EQ(read_attribute(file, "user.big"), std::string(3000, 'v'));
    EXPECT_EQ(read_attribute(file, "user.empty"), "");
    EXPECT_EQ(read_attribute(file, "user.none").error(), ENODATA);

    std::filesystem::create_symlink("f", tmp / "link");
    auto link_names = list_attribute_names(tmp / "link");
    ASSERT_TRUE(link_names);
    EXPECT_EQ(std::ranges::find(*link_names, "user.big"), link_names->end());
}

}  // namespace
}  // namespace bramvelt::platform
