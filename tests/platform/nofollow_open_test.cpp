#include "platform/nofollow_open.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <filesystem>
#include <functional>

#include "support/as_user.hpp"
#include "support/temp_dir.hpp"

namespace bramvelt::platform {
namespace {

using testing::TempDir;
namespace fs = std::filesystem;

using Opener = std::function<std::expected<Fd, int>(std::string_view, int)>;

// Both the openat2 path and the component walk must behave the same.
const std::vector<std::pair<const char*, Opener>> kOpeners = {
    {"openat2", [](std::string_view p, int f) { return open_nofollow_any(p, f); }},
    {"walk", [](std::string_view p, int f) { return open_nofollow_walk(p, f); }},
};

ino_t inode_of_fd(const Fd& fd) {
    struct stat st {};
    ::fstat(fd.get(), &st);
    return st.st_ino;
}

ino_t inode_of(const std::string& path) {
    struct stat st {};
    ::lstat(path.c_str(), &st);
    return st.st_ino;
}

TEST(OpenNofollow, OpensPlainPathsAndRefusesAnyLink) {
    TempDir tmp;
    tmp.write_file("real/dir/file", "x");
    fs::create_directory_symlink(tmp / "real", tmp / "via");
    fs::create_symlink(tmp / "real/dir/file", tmp / "real/dir/flink");
    for (const auto& [name, open] : kOpeners) {
        SCOPED_TRACE(name);
        auto dir = open(tmp / "real/dir", O_RDONLY | O_DIRECTORY);
        ASSERT_TRUE(dir);
        EXPECT_EQ(inode_of_fd(*dir), inode_of(tmp / "real/dir"));
        EXPECT_NE(::fcntl(dir->get(), F_GETFD) & FD_CLOEXEC, 0);

        auto file = open(tmp / "real//./dir/file", O_RDONLY);
        ASSERT_TRUE(file);
        EXPECT_EQ(inode_of_fd(*file), inode_of(tmp / "real/dir/file"));

        auto root = open("/", O_RDONLY | O_DIRECTORY);
        ASSERT_TRUE(root);
        EXPECT_EQ(inode_of_fd(*root), inode_of("/"));

        EXPECT_EQ(open(tmp / "via/dir", O_RDONLY | O_DIRECTORY).error(), ELOOP);
        EXPECT_EQ(open(tmp / "via/dir/file", O_RDONLY).error(), ELOOP);
        EXPECT_EQ(open(tmp / "real/dir/flink", O_RDONLY).error(), ELOOP);
        EXPECT_EQ(open(tmp / "real/missing/x", O_RDONLY).error(), ENOENT);
        EXPECT_EQ(open("relative/path", O_RDONLY).error(), EINVAL);
        EXPECT_EQ(open(std::string("/tm\0p", 5), O_RDONLY).error(), EINVAL);
    }
}

TEST(OpenNofollow, NeedsOnlySearchPermissionOnTheWay) {
    TempDir tmp;
    const std::string file = tmp.write_file("a/b/file", "x");
    ::chmod(tmp.path().c_str(), 0711);
    ::chmod((tmp / "a").c_str(), 0711);
    ::chmod((tmp / "a/b").c_str(), 0711);
    ::chmod(file.c_str(), 0644);
    const int code = testing::run_in_child_as(testing::kNobody, testing::kNobody, [&] {
        if (!open_nofollow_walk(file, O_RDONLY)) return 1;
        if (!open_nofollow_any(file, O_RDONLY)) return 2;
        // The final folder itself is not readable by others.
        auto listing = open_nofollow_walk(tmp / "a/b", O_RDONLY | O_DIRECTORY);
        if (listing || listing.error() != EACCES) return 3;
        return 0;
    });
    EXPECT_EQ(code, 0);
}

}  // namespace
}  // namespace bramvelt::platform
