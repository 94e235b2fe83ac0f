#include "platform/file_system_type.hpp"

#include <linux/magic.h>
#include <sched.h>
#include <sys/mount.h>

#include <gtest/gtest.h>

#include <cerrno>
#include <string>

#include "support/as_user.hpp"
#include "support/temp_dir.hpp"

namespace bramvelt::platform {
namespace {

TEST(FileSystemType, MemoryAndKernelTypesAreTold) {
    const struct {
        std::uint32_t magic;
        bool memory;
    } cases[] = {
        {TMPFS_MAGIC, true},  // devtmpfs reports it too
        {RAMFS_MAGIC, true},
        {HUGETLBFS_MAGIC, true},
        {PROC_SUPER_MAGIC, true},
        {SYSFS_MAGIC, true},
        {CGROUP_SUPER_MAGIC, true},
        {CGROUP2_SUPER_MAGIC, true},
        {DEVPTS_SUPER_MAGIC, true},
        {EFIVARFS_MAGIC, true},  // above 2^31
        {EXT4_SUPER_MAGIC, false},
        {BTRFS_SUPER_MAGIC, false},
        {XFS_SUPER_MAGIC, false},
        {OVERLAYFS_SUPER_MAGIC, false},
        {NFS_SUPER_MAGIC, false},
        {FUSE_SUPER_MAGIC, false},
        {MSDOS_SUPER_MAGIC, false},
        {EXFAT_SUPER_MAGIC, false},
        {SQUASHFS_MAGIC, false},
        // An automount point stands for a volume not mounted yet.
        {AUTOFS_SUPER_MAGIC, false},
        {0, false},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(is_memory_file_system(FileSystemType{c.magic}), c.memory) << std::hex << c.magic;
    }
}

TEST(FileSystemType, ReadsTheMountedType) {
    const auto proc = file_system_type("/proc/self");
    ASSERT_TRUE(proc) << proc.error();
    EXPECT_EQ(proc->magic, PROC_SUPER_MAGIC);
    testing::TempDir tmp;
    EXPECT_EQ(file_system_type(tmp / "missing").error(), ENOENT);
    EXPECT_EQ(file_system_type(std::string("/\0x", 3)).error(), EINVAL);
}

// The fault this guards against: a tmpfs whose source names something else entirely.
TEST(FileSystemType, ATmpfsMountedUnderAnotherNameIsStillTmpfs) {
    testing::TempDir tmp;
    const std::string mount_point = tmp.make_dir("m");
    const int code = testing::run_in_child([&] {
        if (::unshare(CLONE_NEWNS) != 0) return 77;
        if (::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0) return 77;
        if (::mount("othersrc", mount_point.c_str(), "tmpfs", 0, "size=64k") != 0) return 77;
        const auto type = file_system_type(mount_point);
        if (!type) return 2;
        if (type->magic != TMPFS_MAGIC || !is_memory_file_system(*type)) return 3;
        return 0;
    });
    if (code == 77) GTEST_SKIP() << "mounting in a mount namespace is not permitted here";
    EXPECT_EQ(code, 0);
}

}  // namespace
}  // namespace bramvelt::platform
