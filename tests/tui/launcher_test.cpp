#include "src/tui/launcher.hpp"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <string>
#include <vector>

#include "src/tui/volumes.hpp"
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
    auto volumes = parse_df_output("h\n/dev/x 100 10 90 10% /Volumes/Backup\n");
    EXPECT_EQ(
        titles(build_launcher_entries(std::nullopt, "/h", std::move(volumes))),
        (std::vector<std::string>{"Home", "Backup", "Development cleanup", "Another folder…"}));
}

TEST(DfOutput, VolumesByMountPoint) {
    const std::string output =
        "Filesystem 1024-blocks Used Available Capacity Mounted on\r\n"
        "/dev/disk1s1 1000 800 200 80% /\r\n"
        "/dev/disk1s2 2000 500 1500 25% /System/Volumes/Data\n"
        "/dev/disk2s1 3000 2850 150 95% /Volumes/My Disk  Two\n"
        "/dev/disk3 0 0 0 0% /Volumes/Empty\n"
        "/dev/disk4 10 x 10 0% /Volumes/Bad\n"
        "short line\n"
        "/dev/disk5 5000 1 4999 1% /Volumes/My Disk  Two\n"
        "/dev/disk6 5000 1 4999 1% /mnt/other\n"
        "/dev/disk7 5000\u00a01 4999 1% /Volumes/Nbsp\n";
    const auto volumes = parse_df_output(output);
    ASSERT_EQ(volumes.size(), 3u);
    EXPECT_EQ(volumes[0].title, "Macintosh HD");
    EXPECT_EQ(volumes[0].detail, "/System/Volumes/Data");
    EXPECT_EQ(volumes[0].space, (std::pair<std::uint64_t, std::uint64_t>{500 * 1024, 2000 * 1024}));
    // Runs of white space count as one; the mount point is rejoined with single spaces.
    EXPECT_EQ(volumes[1].title, "My Disk Two");
    EXPECT_EQ(volumes[1].detail, "/Volumes/My Disk Two");
    EXPECT_EQ(volumes[1].target, LauncherTarget(ScanFolder{"/Volumes/My Disk Two"}));
    EXPECT_EQ(volumes[2].title, "Nbsp");  // any Unicode white space separates
    EXPECT_TRUE(parse_df_output("").empty());
    EXPECT_TRUE(parse_df_output("only a header\n").empty());
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
            "echo '/dev/x 100 50 50 50% /Volumes/Stick'\n");
        const auto volumes = read_volumes();
        ASSERT_EQ(volumes.size(), 1u);
        EXPECT_EQ(volumes[0].title, "Stick");
    }
    {
        FakeDf df("echo 'h'; echo '/dev/x 100 50 50 50% /Volumes/Stick'; exit 1\n");
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

}  // namespace
}  // namespace bramvelt::tui
