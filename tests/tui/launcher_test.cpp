#include "src/tui/launcher.hpp"

#include <gtest/gtest.h>
#include <linux/magic.h>
#include <sched.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

#include <fstream>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "src/tui/volumes.hpp"
#include "tests/support/as_user.hpp"
#include "tests/support/run_process.hpp"
#include "tests/support/temp_dir.hpp"

namespace bramvelt::tui {
namespace {

std::vector<std::string> titles(const std::vector<LauncherEntry>& entries) {
    std::vector<std::string> out;
    for (const auto& e : entries) out.push_back(e.title);
    return out;
}

TEST(LauncherEntries, FolderAndHomeRules) {
    const auto both = build_launcher_entries("/work/x", "/home/u", {});
    EXPECT_EQ(titles(both), (std::vector<std::string>{"This folder", "Home", "Development cleanup",
                                                      "Another folder…"}));
    EXPECT_EQ(both[0].detail, "/work/x");
    EXPECT_EQ(both[0].target, LauncherTarget(ScanFolder{"/work/x"}));
    EXPECT_EQ(both[1].detail, "/home/u");
    EXPECT_EQ(both[2].detail, "Builds, caches, packages and finished Git worktrees");
    EXPECT_EQ(both[2].target, LauncherTarget(OpenDevCleanup{}));
    EXPECT_EQ(both[3].detail, "Type a path");
    EXPECT_EQ(both[3].target, LauncherTarget(OpenPathInput{}));

    // A working folder that is not UTF-8 is scanned by its bytes and shown replaced.
    const auto bad = build_launcher_entries("/work/bad\xff", "/home/u", {});
    EXPECT_EQ(bad[0].detail, "/work/bad\ufffd");
    EXPECT_EQ(bad[0].target, LauncherTarget(ScanFolder{"/work/bad\xff"}));
    // The working folder below home is shown with "~".
    EXPECT_EQ(build_launcher_entries("/home/u/src", "/home/u", {})[0].detail, "~/src");
    // At home there is no "This folder"; without HOME there is no "Home".
    EXPECT_EQ(titles(build_launcher_entries("/home/u", "/home/u", {})),
              (std::vector<std::string>{"Home", "Development cleanup", "Another folder…"}));
    EXPECT_EQ(titles(build_launcher_entries("/", std::nullopt, {})),
              (std::vector<std::string>{"This folder", "Development cleanup", "Another folder…"}));
    EXPECT_EQ(titles(build_launcher_entries(std::nullopt, std::nullopt, {})),
              (std::vector<std::string>{"Development cleanup", "Another folder…"}));
    // Volumes sit between the folders and the two fixed entries.
    auto volumes = parse_df_output("h\n/dev/x 100 10 90 10% /media/u/Backup\n",
                                   [](const std::string&) { return true; });
    EXPECT_EQ(
        titles(build_launcher_entries(std::nullopt, "/h", std::move(volumes))),
        (std::vector<std::string>{"Home", "Backup", "Development cleanup", "Another folder…"}));
}

TEST(DfOutput, VolumesByMountPoint) {
    const std::string output =
        "Filesystem 1024-blocks Used Available Capacity Mounted on\r\n"
        "/dev/sda1 1000 800 200 80% /\r\n"
        "/dev/sda2 2000 500 1500 25% /home\n"
        "tmpfs 3000 0 3000 0% /run\n"
        "/dev/sdb1 3000 2850 150 95% /media/u/My Disk  Two\n"
        "/dev/sdc1 0 0 0 0% /mnt/empty\n"
        "/dev/sdd1 10 x 10 0% /mnt/bad\n"
        "short line\n"
        "/dev/sde1 5000 1 4999 1% /media/u/My Disk  Two\n"
        "none 5000 1 4999 1% /mnt/wsl\n"
        "tmpfs 5000 1 4999 1% /mnt/ramdisk\n"
        "devtmpfs 5000 1 4999 1% /mnt/dev\n"
        "ramfs 5000 1 4999 1% /media/ram\n"
        "/dev/sdf1 5000 1 4999 1% /run/media/u/STICK\n"
        "C:\\ 5000 1 4999 1% /mnt/c\n"
        "/dev/sdg1 5000 1 4999 1% /mnt/file\n"
        "/dev/sdh1 5000 1 4999 1% /System/Volumes/Data\n"
        "/dev/sdi1 5000 1 4999 1% /Volumes/Mac\n"
        "/dev/sdj1 5000 1 4999 1% /boot/efi\n"
        "/dev/sdk1 5000 1 4999 1% /mnt\n"
        "/dev/sdl1 5000 1 4999 1% /homework\n"
        "/dev/sdm1 5000\u00a01 4999 1% /media/Nbsp\n"
        "othersrc 5000 1 4999 1% /mnt/scratch\n"
        "udev 5000 1 4999 1% /media/devices\n"
        "memory 5000 1 4999 1% /run/media/u/Ram\n"
        "/dev/sdn1 5000 1 4999 1% /mnt/unread\n";
    // The mounted type decides whatever the source says; one that cannot be read leaves the
    // mount to its place and source.
    const std::map<std::string, platform::FileSystemType> types = {
        {"/mnt/scratch", {TMPFS_MAGIC}},     {"/media/devices", {TMPFS_MAGIC}},  // devtmpfs
        {"/run/media/u/Ram", {RAMFS_MAGIC}}, {"/mnt/ramdisk", {EXT4_SUPER_MAGIC}},
        {"/mnt/wsl", {EXT4_SUPER_MAGIC}},
    };
    const auto type_of = [&](const std::string& path) -> std::optional<platform::FileSystemType> {
        if (path == "/mnt/unread") return std::nullopt;
        const auto found = types.find(path);
        return found == types.end() ? platform::FileSystemType{EXT4_SUPER_MAGIC} : found->second;
    };
    const auto volumes = parse_df_output(
        output, [](const std::string& path) { return path != "/mnt/file"; }, type_of);
    // "/" and "/home"; removable and other mounts under /media/, /run/media/ and /mnt/,
    // titled by their last component; never a file system in memory (by its type or its
    // source) nor a file.
    EXPECT_EQ(titles(volumes), (std::vector<std::string>{"File System", "home", "My Disk Two",
                                                         "STICK", "c", "Nbsp", "unread"}));
    ASSERT_EQ(volumes.size(), 7u);
    EXPECT_EQ(volumes[0].detail, "/");
    EXPECT_EQ(volumes[0].target, LauncherTarget(ScanFolder{"/"}));
    EXPECT_EQ(volumes[0].space, (std::pair<std::uint64_t, std::uint64_t>{800 * 1024, 1000 * 1024}));
    EXPECT_EQ(volumes[1].detail, "/home");
    // Runs of white space count as one; the mount point is rejoined with single spaces,
    // and the first line of a repeated mount point wins.
    EXPECT_EQ(volumes[2].detail, "/media/u/My Disk Two");
    EXPECT_EQ(volumes[2].target, LauncherTarget(ScanFolder{"/media/u/My Disk Two"}));
    EXPECT_EQ(volumes[2].space,
              (std::pair<std::uint64_t, std::uint64_t>{2850 * 1024, 3000 * 1024}));
    EXPECT_EQ(volumes[3].detail, "/run/media/u/STICK");
    EXPECT_EQ(volumes[5].detail, "/media/Nbsp");  // any Unicode white space separates
    EXPECT_TRUE(parse_df_output("").empty());
    EXPECT_TRUE(parse_df_output("only a header\n").empty());
}

TEST(DfOutput, MountPointsThatAreNotFoldersAreLeftOut) {
    bramvelt::testing::TempDir dir;
    const std::string folder = dir.make_dir("folder");
    EXPECT_TRUE(is_folder(folder));
    EXPECT_FALSE(is_folder(dir.write_file("file")));
    EXPECT_FALSE(is_folder(dir / "missing"));
    ASSERT_EQ(::symlink(folder.c_str(), (dir / "link").c_str()), 0);
    EXPECT_TRUE(is_folder(dir / "link"));
    EXPECT_EQ(titles(parse_df_output("h\n/dev/x 100 50 50 50% /\n")),
              std::vector<std::string>{"File System"});
}

// Puts a `df` of our own first in PATH for the life of the object.
class FakeDf {
  public:
    explicit FakeDf(const std::string& script) : env_("PATH", install(dir_, script).c_str()) {}

  private:
    static std::string install(const bramvelt::testing::TempDir& dir, const std::string& script) {
        ::chmod(dir.write_file("df", "#!/bin/sh\n" + script).c_str(), 0755);
        return dir.path() + ":/usr/bin:/bin";
    }
    bramvelt::testing::TempDir dir_;
    bramvelt::testing::ScopedEnv env_;
};

TEST(DfOutput, RunsDfWithAnEmptyInputAndGivesUpOnAHungOne) {
    {
        // Standard input is /dev/null: `cat` ends at once instead of reading the terminal.
        FakeDf df(
            "cat\necho 'Filesystem 1024-blocks Used Available Capacity Mounted on'\n"
            "echo '/dev/x 100 50 50 50% /'\n");
        const auto volumes = read_volumes();
        ASSERT_EQ(volumes.size(), 1u);
        EXPECT_EQ(volumes[0].title, "File System");
    }
    {
        FakeDf df("echo 'h'; echo '/dev/x 100 50 50 50% /'; exit 1\n");
        EXPECT_TRUE(read_volumes().empty());
    }
    {
        // A df that never ends (a hung network mount) gives no volumes after the limit.
        FakeDf df("exec sleep 60\n");
        const auto start = std::chrono::steady_clock::now();
        EXPECT_TRUE(read_volumes(std::chrono::milliseconds(200)).empty());
        EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(30));
    }
}

// The real `df` and the real type lookup, in a mount namespace of the test's own: a tmpfs
// mounted under another name below a scratch /media. (`df` shows a bind mount or a
// second devtmpfs only once per device, so neither can stand beside it.)
TEST(DfOutput, ATmpfsUnderAnotherNameIsNoVolume) {
    bramvelt::testing::TempDir tmp;
    const std::string result = tmp / "result";
    const int code = bramvelt::testing::run_in_child([&] {
        if (::unshare(CLONE_NEWNS) != 0) return 77;
        if (::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0) return 77;
        if (::mount("scratch", "/media", "tmpfs", 0, "size=64k") != 0) return 77;
        if (::mkdir("/media/Memory", 0755) != 0) return 2;
        if (::mount("othersrc", "/media/Memory", "tmpfs", 0, "size=64k") != 0) return 77;
        const auto df = bramvelt::testing::run_process("df", {"-kP"});
        const auto unknown = [](const std::string&) -> std::optional<platform::FileSystemType> {
            return std::nullopt;
        };
        std::ofstream out(result);
        // By its place and source alone it would pass; its type keeps it out.
        for (const LauncherEntry& v : parse_df_output(df.out, is_folder, unknown)) {
            if (v.detail.starts_with("/media/")) out << "source: " << v.title << "\n";
        }
        for (const LauncherEntry& v : read_volumes()) {
            if (v.detail.starts_with("/media/")) out << "type: " << v.title << "\n";
        }
        return out.flush() ? 0 : 3;
    });
    if (code == 77) GTEST_SKIP() << "mounting in a mount namespace is not permitted here";
    ASSERT_EQ(code, 0);
    std::ifstream in(result);
    const std::string listed((std::istreambuf_iterator<char>(in)),
                             std::istreambuf_iterator<char>());
    EXPECT_EQ(listed, "source: Memory\n");
}

}  // namespace
}  // namespace bramvelt::tui
