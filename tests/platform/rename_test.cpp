#include "platform/rename.hpp"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <cerrno>
#include <fstream>
#include <sstream>

#include "support/temp_dir.hpp"

namespace bramvelt::platform {
namespace {

std::string contents(const std::string& path) {
    std::ifstream in(path);
    std::stringstream all;
    all << in.rdbuf();
    return all.str();
}

TEST(Rename, MovesButNeverReplaces) {
    testing::TempDir dir;
    dir.write_file("a", "A");
    dir.write_file("b", "B");
    const int fd = ::open(dir.path().c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC);
    ASSERT_GE(fd, 0);
    EXPECT_EQ(rename_no_replace(fd, "a", fd, "b").error(), EEXIST);
    EXPECT_EQ(contents(dir / "b"), "B");
    EXPECT_EQ(contents(dir / "a"), "A");
    ASSERT_TRUE(rename_no_replace(fd, "a", fd, "c").has_value());
    EXPECT_EQ(contents(dir / "c"), "A");
    EXPECT_EQ(::access((dir / "a").c_str(), F_OK), -1);
    EXPECT_EQ(rename_no_replace(fd, "missing", fd, "d").error(), ENOENT);
    ::close(fd);
}

}  // namespace
}  // namespace bramvelt::platform
