// Path relations, link detection and the admission of listed worktrees into the roots.

#include "core/development/paths.hpp"

#include <gtest/gtest.h>

#include "core/filesystem/byte_path.hpp"

#include "dev_fixture.hpp"

namespace bramvelt::development {
namespace {

using testing::DevTest;

TEST(DevPathRelations, ComponentWise) {
    EXPECT_TRUE(path_inside("/a/b", "/a"));
    EXPECT_TRUE(path_inside("/a", "/a/"));
    EXPECT_TRUE(path_inside("/a//b/./c", "/a/b"));
    EXPECT_FALSE(path_inside("/ab", "/a"));
    EXPECT_FALSE(path_inside("/a", "/a/b"));
    EXPECT_TRUE(path_inside("/anything", "/"));
    EXPECT_TRUE(filesystem::paths_equal("/a/", "/a"));
    EXPECT_FALSE(filesystem::paths_equal("/a/..", "/"));
    EXPECT_EQ(final_name("/a/b/"), "b");
    EXPECT_EQ(final_name("/"), std::nullopt);
    EXPECT_EQ(final_name("/a/.."), std::nullopt);
    EXPECT_EQ(filesystem::path_parent("/a/b"), "/a");
    EXPECT_EQ(filesystem::path_parent("/a"), "/");
    EXPECT_EQ(filesystem::path_parent("/"), std::nullopt);
    EXPECT_EQ(filesystem::path_join("/", "tmp"), "/tmp");
    EXPECT_EQ(filesystem::path_join("/a", "b"), "/a/b");
}

TEST_F(DevTest, SymlinkComponents) {
    tmp.make_dir("real/sub");
    testing::symlink_to(tmp / "real", tmp / "link");
    EXPECT_FALSE(has_symlink_component(tmp / "real/sub"));
    EXPECT_TRUE(has_symlink_component(tmp / "link"));
    EXPECT_TRUE(has_symlink_component(tmp / "link/sub"));
    EXPECT_TRUE(has_symlink_component(tmp / "real/missing"));
    EXPECT_FALSE(has_symlink_component(""));
}

TEST_F(DevTest, PathInRootsAdmitsCanonicalPathsInsideTheRoots) {
    const std::string root = tmp.make_dir("root");
    tmp.make_dir("root/wt");
    tmp.make_dir("outside/wt");
    testing::symlink_to(tmp / "root/wt", tmp / "alias");
    const std::vector<std::string> roots{root};
    EXPECT_EQ(path_in_roots(roots, tmp / "root/wt"), tmp / "root/wt");
    EXPECT_EQ(path_in_roots(roots, tmp / "alias"), tmp / "root/wt");  // canonicalised
    EXPECT_EQ(path_in_roots(roots, tmp / "outside/wt"), std::nullopt);
    EXPECT_EQ(path_in_roots(roots, tmp / "root/gone"), std::nullopt);  // has no real path
    EXPECT_EQ(path_in_roots(roots, "relative/wt"), std::nullopt);
}

}  // namespace
}  // namespace bramvelt::development
