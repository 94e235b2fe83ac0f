#include "core/filesystem/mount.hpp"

#include <sched.h>
#include <sys/mount.h>

#include <gtest/gtest.h>

#include <cerrno>
#include <filesystem>

#include "support/as_user.hpp"
#include "support/temp_dir.hpp"

namespace bramvelt::filesystem {
namespace {

using testing::TempDir;
namespace fs = std::filesystem;

TEST(IsMountPoint, RootsOfOtherFileSystemsOnly) {
    TempDir tmp;
    tmp.make_dir("d");
    tmp.write_file("f");
    fs::create_directory_symlink("/proc", tmp / "to-proc");

    EXPECT_TRUE(is_mount_point("/"));
    EXPECT_TRUE(is_mount_point("/proc"));
    EXPECT_FALSE(is_mount_point(tmp / "d"));
    EXPECT_FALSE(is_mount_point(tmp / "f"));
    EXPECT_FALSE(is_mount_point(tmp / "to-proc"));
    EXPECT_FALSE(is_mount_point(tmp / "missing"));
    EXPECT_FALSE(is_mount_point("/proc/self"));
}

// A bind mount of a folder of the same file system shares its parent's device; the
// kernel's mount-root attribute still tells it apart. Runs in a private mount namespace.
TEST(IsMountPoint, BindMountOnTheSameDevice) {
    TempDir tmp;
    const std::string source = tmp.make_dir("source");
    const std::string target = tmp.make_dir("target");
    const int code = testing::run_in_child([&] {
        if (::unshare(CLONE_NEWNS) != 0) return errno == EPERM ? 77 : 2;
        if (::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0) return 77;
        if (::mount(source.c_str(), target.c_str(), nullptr, MS_BIND, nullptr) != 0) return 77;
        if (!is_mount_point(target)) return 3;
        if (is_mount_point(source)) return 4;
        return 0;
    });
    if (code == 77) GTEST_SKIP() << "mount namespaces are not available here";
    EXPECT_EQ(code, 0);
}

}  // namespace
}  // namespace bramvelt::filesystem
