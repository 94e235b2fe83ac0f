#include "core/filesystem/byte_path.hpp"

#include <gtest/gtest.h>

namespace bramvelt::filesystem {
namespace {

TEST(BytePath, ParentAndFileName) {
    struct Case {
        std::string path;
        std::optional<std::string> parent;
        std::optional<std::string> name;
    };
    const std::vector<Case> cases = {
        {"/", std::nullopt, std::nullopt},
        {"", std::nullopt, std::nullopt},
        {"/a", "/", "a"},
        {"/a/b/", "/a", "b"},
        {"//a//b", "/a", "b"},
        {"/a/b/.", "/a", "b"},
        {"/a/..", "/a", std::nullopt},
        {"a", "", "a"},
        {"./a", ".", "a"},
        {"/a/b:c\\d", "/a", "b:c\\d"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.path);
        EXPECT_EQ(path_parent(c.path), c.parent);
        EXPECT_EQ(path_file_name(c.path), c.name);
    }
}

TEST(BytePath, PrefixAndEqualityAreByComponent) {
    EXPECT_TRUE(paths_equal("/a/b/", "/a//b"));
    EXPECT_TRUE(paths_equal("/a/./b", "/a/b"));
    EXPECT_FALSE(paths_equal("/a/b", "/a/b/c"));
    EXPECT_FALSE(paths_equal("/a/../b", "/b"));  // lexical only; ".." is kept

    EXPECT_FALSE(strip_path_prefix("/b/rx/f", "/b/r"));
    EXPECT_FALSE(strip_path_prefix("/b", "/b/r"));
    EXPECT_FALSE(strip_path_prefix("b/r/x", "/b/r"));
    const auto rest = strip_path_prefix("/b/r//x/./y", "/b/r/");
    ASSERT_TRUE(rest);
    ASSERT_EQ(rest->size(), 2u);
    EXPECT_EQ((*rest)[0].text, "x");
    EXPECT_EQ((*rest)[1].text, "y");
    EXPECT_TRUE(strip_path_prefix("/b/r", "/b/r")->empty());
    EXPECT_EQ(strip_path_prefix("/b/r/../x", "/b/r")->front().kind, ComponentKind::ParentDir);

    EXPECT_EQ(path_join("/", "a"), "/a");
    EXPECT_EQ(path_join("/x", "a"), "/x/a");
}

}  // namespace
}  // namespace bramvelt::filesystem
