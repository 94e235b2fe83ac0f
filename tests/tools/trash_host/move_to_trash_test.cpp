#include "tools/trash_host/move_to_trash.hpp"

#include <fcntl.h>
#include <linux/fs.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <ctime>
#include <filesystem>
#include <regex>
#include <thread>

#include "support/race.hpp"
#include "support/temp_dir.hpp"
#include "tests/tools/trash_host/host_fixture.hpp"
#include "tools/trash_host/texts.hpp"
#include "tools/trash_host/top_directory.hpp"

namespace bramvelt::trash_host {
namespace {

using bramvelt::testing::TempDir;
using testing::listing;
using testing::mode_of;
using testing::read_text;
using testing::request_for;
namespace fs = std::filesystem;

// A home of the test's own: the home trash lands in it, never in the real one.
struct HostTest : ::testing::Test {
    TempDir tmp;
    TrashEnvironment environment{tmp.make_dir("home"), "", ::getuid()};
    std::string trash = tmp / "home/.local/share/Trash";

    std::expected<void, std::string_view> trash_path(const std::string& path) {
        return move_to_trash(request_for(path), environment);
    }
};

TEST_F(HostTest, FileFolderAndLinkLandInTheHomeTrashWithTheirRecords) {
    const std::string file = tmp.write_file("work/notes.txt", "keep me");
    tmp.write_file("work/build/out/a.o", "obj");
    const std::string folder = tmp / "work/build";
    const std::string target = tmp.write_file("work/target.txt", "target");
    const std::string link = tmp / "work/link";
    fs::create_symlink(target, link);
    const std::string folder_inode = request_for(folder).inode;

    ASSERT_TRUE(trash_path(file));
    ASSERT_TRUE(trash_path(folder));
    ASSERT_TRUE(trash_path(link));

    EXPECT_FALSE(fs::exists(fs::symlink_status(file)));
    EXPECT_FALSE(fs::exists(fs::symlink_status(folder)));
    EXPECT_FALSE(fs::exists(fs::symlink_status(link)));
    EXPECT_EQ(read_text(target), "target");  // the link's target is never touched
    EXPECT_EQ(listing(trash),
              "files/\n"
              "files/build/\n"
              "files/build/out/\n"
              "files/build/out/a.o\n"
              "files/link@\n"
              "files/notes.txt\n"
              "info/\n"
              "info/build.trashinfo\n  [Trash Info]\n  Path=" +
                  tmp.path() +
                  "/work/build\n"
                  "info/link.trashinfo\n  [Trash Info]\n  Path=" +
                  tmp.path() +
                  "/work/link\n"
                  "info/notes.txt.trashinfo\n  [Trash Info]\n  Path=" +
                  tmp.path() + "/work/notes.txt\n");
    EXPECT_EQ(read_text(trash + "/files/notes.txt"), "keep me");
    EXPECT_EQ(request_for(trash + "/files/build").inode, folder_inode);
    EXPECT_EQ(fs::read_symlink(trash + "/files/link"), target);

    // Made private when missing; the record itself is the user's alone.
    EXPECT_EQ(mode_of(tmp / "home/.local"), "0700");
    EXPECT_EQ(mode_of(trash), "0700");
    EXPECT_EQ(mode_of(trash + "/files"), "0700");
    EXPECT_EQ(mode_of(trash + "/info"), "0700");
    EXPECT_EQ(mode_of(trash + "/info/notes.txt.trashinfo"), "0600");
}

TEST_F(HostTest, DeletionDateIsNowInLocalTime) {
    const std::string file = tmp.write_file("f");
    const std::time_t before = std::time(nullptr);
    ASSERT_TRUE(trash_path(file));
    const std::string info = read_text(trash + "/info/f.trashinfo");
    std::smatch m;
    ASSERT_TRUE(std::regex_search(
        info, m, std::regex("\nDeletionDate=(\\d{4}-\\d\\d-\\d\\dT\\d\\d:\\d\\d:\\d\\d)\n$")))
        << info;
    std::tm parsed{};
    ASSERT_NE(::strptime(m[1].str().c_str(), "%Y-%m-%dT%H:%M:%S", &parsed), nullptr);
    parsed.tm_isdst = -1;
    const std::time_t recorded = std::mktime(&parsed);
    EXPECT_GE(recorded, before - 1);
    EXPECT_LE(recorded, std::time(nullptr) + 1);
}

TEST_F(HostTest, NamesWithSpacesPercentAndNewlineAreEncodedInThePath) {
    const std::string odd = "a b%c\nd\xe2\x80\x94";
    const std::string file = tmp.write_file("src/" + odd, "x");
    ASSERT_TRUE(trash_path(file));
    EXPECT_EQ(read_text(trash + "/files/" + odd), "x");
    const std::string info = read_text(trash + "/info/" + odd + ".trashinfo");
    EXPECT_EQ(info.substr(0, info.find("DeletionDate=")),
              "[Trash Info]\nPath=" + tmp.path() + "/src/a%20b%25c%0Ad%E2%80%94\n");
}

TEST_F(HostTest, CollisionsTakeTheNextFreeNameForRecordAndEntry) {
    // A record left without its entry, and an entry without its record: both names are
    // taken, and neither is replaced.
    tmp.write_file("home/.local/share/Trash/info/target.2.trashinfo", "orphan record");
    tmp.write_file("home/.local/share/Trash/files/target.3", "orphan entry");
    for (int i = 0; i < 3; ++i) {
        tmp.write_file("p" + std::to_string(i) + "/target/x", std::to_string(i));
        ASSERT_TRUE(trash_path(tmp / ("p" + std::to_string(i) + "/target")));
    }
    EXPECT_EQ(read_text(trash + "/files/target/x"), "0");
    EXPECT_EQ(read_text(trash + "/files/target.4/x"), "1");
    EXPECT_EQ(read_text(trash + "/files/target.5/x"), "2");
    EXPECT_EQ(read_text(trash + "/info/target.2.trashinfo"), "orphan record");
    EXPECT_EQ(read_text(trash + "/files/target.3"), "orphan entry");
    EXPECT_FALSE(fs::exists(trash + "/info/target.3.trashinfo"));  // taken back after EEXIST
    EXPECT_NE(read_text(trash + "/info/target.5.trashinfo").find("/p2/target\n"),
              std::string::npos);
}

TEST_F(HostTest, XdgDataHomeWinsOverHomeWhenAbsolute) {
    const std::string file = tmp.write_file("a");
    environment.xdg_data_home = tmp / "data/";
    ASSERT_TRUE(trash_path(file));
    EXPECT_TRUE(fs::exists(tmp / "data/Trash/files/a"));
    EXPECT_FALSE(fs::exists(trash));

    // A relative value is not a base folder at all.
    const std::string second = tmp.write_file("b");
    environment.xdg_data_home = "relative/data";
    ASSERT_TRUE(trash_path(second));
    EXPECT_TRUE(fs::exists(trash + "/files/b"));
}

// Only a home trash known to be on another file system sends an entry to the trash at
// its file system's top; one that cannot be examined keeps the entry in place.
TEST_F(HostTest, AHomeTrashThatCannotBeExaminedKeepsTheEntry) {
    // Named after the test's own folder: the top trash is shared with everything else.
    const std::string name = "kept-" + fs::path(tmp.path()).filename().string();
    const std::string file = tmp.write_file("w/" + name, "data");
    const auto top = find_top_directory(tmp / "w", std::stoull(request_for(file).device));
    ASSERT_TRUE(top);
    const std::string top_trash =
        (*top == "/" ? std::string() : *top) + "/.Trash-" + std::to_string(::getuid());
    const std::string plain = tmp.write_file("plain", "not a folder");

    std::vector<TrashEnvironment> unusable;
    unusable.push_back({environment.home, plain + "/data", ::getuid()});  // ENOTDIR
    unusable.push_back({plain + "/home", "", ::getuid()});
    unusable.push_back({"relative/home", "relative/data", ::getuid()});  // no home trash at all
    for (const auto& broken : unusable) {
        EXPECT_EQ(move_to_trash(request_for(file), broken).error(), kTrashFailed)
            << broken.home << " " << broken.xdg_data_home;
    }
    EXPECT_EQ(read_text(file), "data");
    EXPECT_FALSE(fs::remove(top_trash + "/files/" + name));
    EXPECT_FALSE(fs::remove(top_trash + "/info/" + name + ".trashinfo"));
    EXPECT_FALSE(fs::exists(trash));
}

TEST_F(HostTest, MismatchesAndMissingEntriesAreRefusedWithNothingMoved) {
    const std::string file = tmp.write_file("w/f", "data");
    const std::string folder = tmp.make_dir("w/d");
    ::mkfifo((tmp / "w/fifo").c_str(), 0600);

    TrashRequest wrong_inode = request_for(file);
    wrong_inode.inode = std::to_string(std::stoull(wrong_inode.inode) + 1);
    TrashRequest wrong_device = request_for(file);
    wrong_device.device = "0" + wrong_device.device;  // same number, other text
    TrashRequest wrong_kind = request_for(folder);
    wrong_kind.kind = "file";
    TrashRequest no_kind = request_for(file);
    no_kind.kind.reset();
    TrashRequest odd_kind = request_for(file);
    odd_kind.kind = "File";
    TrashRequest fifo = request_for(tmp / "w/fifo");
    fifo.kind = "file";
    for (const TrashRequest& request :
         {wrong_inode, wrong_device, wrong_kind, no_kind, odd_kind, fifo}) {
        EXPECT_EQ(move_to_trash(request, environment).error(), kItemChanged) << request.path;
    }

    // Gone, or behind a link on the way: the parent is opened with no link followed.
    fs::create_directory_symlink(tmp / "w", tmp / "via");
    TrashRequest through_link = request_for(file);
    through_link.path = tmp / "via/f";
    TrashRequest missing = request_for(file);
    missing.path = tmp / "w/missing";
    TrashRequest missing_parent = request_for(file);
    missing_parent.path = tmp / "nowhere/f";
    for (const TrashRequest& request : {through_link, missing, missing_parent}) {
        EXPECT_EQ(move_to_trash(request, environment).error(), kItemUnavailable) << request.path;
    }

    EXPECT_EQ(read_text(file), "data");
    EXPECT_TRUE(fs::is_directory(folder));
    EXPECT_FALSE(fs::exists(trash));  // refused before any trash was looked for
}

TEST_F(HostTest, ATrashThatCannotBeUsedFailsWithNothingMoved) {
    const std::string file = tmp.write_file("w/f", "data");
    // files/ is a link: never followed, so nothing lands where it points.
    tmp.make_dir("elsewhere");
    fs::create_directories(trash);
    fs::create_directory_symlink(tmp / "elsewhere", trash + "/files");
    EXPECT_EQ(trash_path(file).error(), kTrashFailed);
    EXPECT_EQ(read_text(file), "data");
    EXPECT_TRUE(fs::is_empty(tmp / "elsewhere"));
    EXPECT_FALSE(fs::exists(trash + "/info/f.trashinfo"));
}

TEST_F(HostTest, AFolderCannotGoIntoTheTrashInsideIt) {
    // The home itself holds the trash: the rename fails (EINVAL) and the record goes.
    const std::string home = environment.home;
    tmp.write_file("home/doc", "d");
    ASSERT_TRUE(trash_path(tmp / "home/doc"));  // makes the trash
    EXPECT_EQ(trash_path(home).error(), kTrashFailed);
    EXPECT_TRUE(fs::is_directory(trash + "/files"));
    EXPECT_EQ(listing(trash + "/info"),
              "doc.trashinfo\n  [Trash Info]\n  Path=" + tmp.path() + "/home/doc\n");
}

std::string g_swap_a;
std::string g_swap_b;

// The other file takes the item's name in the last moment before the rename: it is the
// one renamed into the trash, found out there, and put back under the same name.
TEST_F(HostTest, AnEntrySwappedInBeforeTheRenameIsPutBack) {
    g_swap_a = tmp.write_file("w/x", "item");
    g_swap_b = tmp.write_file("w/y", "other");
    const TrashRequest request = request_for(g_swap_a);
    set_before_rename_hook_for_testing([] {
        ::syscall(SYS_renameat2, AT_FDCWD, g_swap_a.c_str(), AT_FDCWD, g_swap_b.c_str(),
                  RENAME_EXCHANGE);
    });
    const auto result = move_to_trash(request, environment);
    set_before_rename_hook_for_testing(nullptr);
    EXPECT_EQ(result.error(), kItemChanged);
    EXPECT_EQ(read_text(g_swap_a), "other");
    EXPECT_EQ(read_text(g_swap_b), "item");
    EXPECT_TRUE(fs::is_empty(trash + "/files"));
    EXPECT_TRUE(fs::is_empty(trash + "/info"));
}

// An attacker swaps another file with the item, atomically and over and over, while the
// host runs. Whatever the timing, the host reports success only for the requested entry,
// no file is lost, and the other file never stays in the trash: when it was the one
// renamed, it is put back.
TEST_F(HostTest, SwapRaceNeverTrashesTheOtherFileSilently) {
    const std::string dir = tmp.make_dir("race");
    fs::create_directories(trash + "/files");
    fs::create_directories(trash + "/info");
    // A contest: the two files traded names while the host ran.
    bramvelt::testing::RaceRounds race(500, 3000, std::chrono::seconds(30));
    int successes = 0;
    while (race.more()) {
        const int rounds = race.rounds();
        const std::string item = tmp.write_file("race/x", "item");
        const std::string decoy = tmp.write_file("race/y", "decoy");
        const TrashRequest request = request_for(item);
        std::atomic<bool> stop = false;
        std::atomic<int> swaps = 0;
        std::thread swapper([&] {
            while (!stop.load()) {
                if (::syscall(SYS_renameat2, AT_FDCWD, item.c_str(), AT_FDCWD, decoy.c_str(),
                              RENAME_EXCHANGE) == 0) {
                    swaps.fetch_add(1);
                }
            }
        });
        // The host starts once the swapper is under way.
        while (swaps.load() == 0) std::this_thread::yield();
        const int swaps_before = swaps.load();
        const auto result = move_to_trash(request, environment);
        const bool contested = swaps.load() != swaps_before;
        stop = true;
        swapper.join();

        int item_in_trash = 0;
        int decoy_in_trash = 0;
        for (const auto& entry : fs::directory_iterator(trash + "/files")) {
            const std::string text = read_text(entry.path().string());
            const std::string record =
                trash + "/info/" + entry.path().filename().string() + ".trashinfo";
            ASSERT_TRUE(fs::exists(record)) << entry.path();
            (text == "item" ? item_in_trash : decoy_in_trash) += 1;
            fs::remove(entry.path());
            fs::remove(record);
        }
        int item_here = 0;
        int decoy_here = 0;
        for (const auto& entry : fs::directory_iterator(dir)) {
            (read_text(entry.path().string()) == "item" ? item_here : decoy_here) += 1;
            fs::remove(entry.path());
        }
        ASSERT_EQ(item_in_trash + item_here, 1) << "round " << rounds;
        ASSERT_EQ(decoy_in_trash + decoy_here, 1) << "round " << rounds;
        ASSERT_EQ(decoy_in_trash, 0) << "round " << rounds;
        if (result) {
            ++successes;
            ASSERT_EQ(item_in_trash, 1) << "round " << rounds;
            ASSERT_EQ(decoy_in_trash, 0) << "round " << rounds;
        }
        ASSERT_TRUE(fs::is_empty(trash + "/info")) << "round " << rounds;
        race.count(contested);
    }
    RecordProperty("successes", successes);
    bramvelt::testing::conclude(race);
}

}  // namespace
}  // namespace bramvelt::trash_host
