#include "platform/working_directory.hpp"

#include <unistd.h>

#include <gtest/gtest.h>

#include <string>

#include "support/as_user.hpp"
#include "support/temp_dir.hpp"

namespace bramvelt::platform {
namespace {

using testing::TempDir;

TEST(WorkingDirectory, IsTheRealPathOfTheFolderEntered) {
    TempDir tmp;
    // Deep enough that the path is longer than a small first buffer would hold.
    std::string relative;
    for (int i = 0; i < 40; ++i) relative += "a-rather-long-folder-name-" + std::to_string(i) + "/";
    const std::string deep = tmp.make_dir(relative);
    const std::string link = tmp / "link";
    ASSERT_EQ(::symlink(deep.c_str(), link.c_str()), 0);

    // In a child, so the test process keeps its own working folder.
    const int code = bramvelt::testing::run_in_child([&] {
        if (::chdir(link.c_str()) != 0) return 10;
        const auto cwd = working_directory();
        if (!cwd || *cwd + "/" != deep) return 11;
        return 0;
    });
    EXPECT_EQ(code, 0);
}

TEST(WorkingDirectory, FailsOnceTheFolderIsRemoved) {
    TempDir tmp;
    const std::string gone = tmp.make_dir("gone");
    const int code = bramvelt::testing::run_in_child([&] {
        if (::chdir(gone.c_str()) != 0 || ::rmdir(gone.c_str()) != 0) return 10;
        const auto cwd = working_directory();
        return !cwd && cwd.error() == ENOENT ? 0 : 11;
    });
    EXPECT_EQ(code, 0);
}

}  // namespace
}  // namespace bramvelt::platform
