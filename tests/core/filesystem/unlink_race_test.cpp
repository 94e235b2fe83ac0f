// A file renamed over the item's name while it is being removed (editors and build tools
// save this way) must never be the file removed.

#include <fcntl.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>
#include <type_traits>

#include "core/filesystem/identity.hpp"
#include "core/filesystem/parent_handle.hpp"
#include "support/race.hpp"
#include "support/temp_dir.hpp"

namespace bramvelt::filesystem {
namespace {

using testing::TempDir;
namespace fs = std::filesystem;

std::string contents(const std::string& path) {
    std::ifstream in(path);
    std::stringstream all;
    all << in.rdbuf();
    return all.str();
}

// Files of the folder whose name marks them as ours, left over by a removal.
int leftovers(const std::string& dir) {
    int count = 0;
    for (const auto& entry : fs::directory_iterator(dir)) {
        if (entry.path().filename().string().starts_with(kRemovingPrefix)) ++count;
    }
    return count;
}

// Where the window between the check and the removal is hit by a test hook.
std::string g_hook_dir;
void rename_fresh_over_item() {
    ::rename((g_hook_dir + "/fresh").c_str(), (g_hook_dir + "/item").c_str());
}

TEST(UnlinkVerified, AFileRenamedOverTheNameAfterTheCheckIsPutBack) {
    TempDir tmp;
    const std::string item = tmp.write_file("item", "authorized");
    tmp.write_file("fresh", "saved by an editor");
    const FileIdentity authorized = read_identity(item).value();
    auto handle = open_parent_dir(item).value();
    g_hook_dir = tmp.path();
    set_before_unlink_hook_for_testing(&rename_fresh_over_item);
    const auto removed = unlink_verified(handle, UnlinkAs::NonDirectory, authorized);
    set_before_unlink_hook_for_testing(nullptr);

    ASSERT_FALSE(removed);
    EXPECT_EQ(removed.error().message, kItemChanged);
    EXPECT_EQ(contents(item), "saved by an editor");
    EXPECT_EQ(leftovers(tmp.path()), 0);
}

TEST(UnlinkVerified, RacingRenamesNeverLoseTheNewFile) {
    TempDir tmp;
    const std::string dir = tmp.path();
    const std::string item = dir + "/item";
    const std::string fresh = dir + "/fresh";
    // The saver renames `fresh` over the item once per round, at a varying moment while
    // the removal runs.
    std::atomic<int> requested{0};
    std::atomic<int> finished{0};
    std::atomic<bool> done{false};
    std::atomic<int> delay_ns{0};
    std::thread saver([&] {
        while (!done.load()) {
            const int round = requested.load();
            if (round == finished.load()) {
                std::this_thread::yield();
                continue;
            }
            const auto until =
                std::chrono::steady_clock::now() + std::chrono::nanoseconds(delay_ns.load());
            while (std::chrono::steady_clock::now() < until) {
            }
            ::rename(fresh.c_str(), item.c_str());
            finished.store(round);
        }
    });

    // A contest: the rename landed before the removal returned.
    testing::RaceRounds race(1000, 4000, std::chrono::seconds(30));
    int removed = 0;
    int wrong = 0;
    while (race.more()) {
        const int rounds = race.rounds();
        {
            std::ofstream(item, std::ios::trunc) << "old " << rounds;
            std::ofstream(fresh, std::ios::trunc) << "new " << rounds;
        }
        const FileIdentity authorized = read_identity(item).value();
        auto handle = open_parent_dir(item).value();
        delay_ns.store((rounds * 7919) % 60000);
        requested.store(rounds + 1);
        const auto result = unlink_verified(handle, UnlinkAs::NonDirectory, authorized);
        const bool contested = finished.load() == rounds + 1;
        while (finished.load() != rounds + 1) std::this_thread::yield();
        if (result) ++removed;
        if (contents(item) != "new " + std::to_string(rounds)) ++wrong;
        race.count(contested);
    }
    done.store(true);
    saver.join();
    std::printf("unlink race: %d rounds, %d removals, %d wrong removals\n", race.rounds(), removed,
                wrong);
    EXPECT_EQ(wrong, 0);
    EXPECT_EQ(leftovers(dir), 0);
    testing::conclude(race);
}

TEST(ParentHandle, MadeOnlyByItsOpenersWhichRefuseNamesThatLeaveTheParent) {
    static_assert(!std::is_constructible_v<ParentHandle, std::string, std::string, platform::Fd>);
    static_assert(!std::is_default_constructible_v<ParentHandle>);
    TempDir tmp;
    tmp.make_dir("a/b");
    for (const std::string& path : {tmp / "a/b/..", tmp / "a/..", std::string("/")}) {
        SCOPED_TRACE(path);
        const auto opened = open_parent_dir(path);
        ASSERT_FALSE(opened);
        const auto real = open_real_parent(path);
        ASSERT_FALSE(real);
        EXPECT_EQ(real.error().message, opened.error().message);
    }
    const auto handle = open_real_parent(tmp / "a/b").value();
    EXPECT_EQ(handle.name(), "b");
    EXPECT_EQ(handle.path(), tmp / "a/b");
}

TEST(OpenRealParent, ALinkAnywhereOnTheWayFailsTheOpen) {
    TempDir tmp;
    tmp.write_file("real/sub/item", "x");
    fs::create_directory_symlink(tmp / "real", tmp / "via");
    EXPECT_EQ(open_real_parent(tmp / "via/sub/item").error().error_number, ELOOP);
    // The link as the parent itself: opened as what it is, which is no folder.
    const auto last = open_real_parent(tmp / "via/item");
    ASSERT_FALSE(last);
    EXPECT_TRUE(last.error().error_number == ELOOP || last.error().error_number == ENOTDIR);
    EXPECT_TRUE(open_parent_dir(tmp / "via/sub/item").has_value());
}

}  // namespace
}  // namespace bramvelt::filesystem
