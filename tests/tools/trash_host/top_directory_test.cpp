// Trashes on a second file system: a tmpfs mounted in a mount namespace of the test's
// own, with the home (and so the home trash) on another file system.

#include "tools/trash_host/top_directory.hpp"

#include <sched.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <functional>
#include <optional>

#include "support/as_user.hpp"
#include "support/temp_dir.hpp"
#include "tests/tools/trash_host/host_fixture.hpp"
#include "tools/trash_host/move_to_trash.hpp"
#include "tools/trash_host/texts.hpp"

namespace bramvelt::trash_host {
namespace {

using bramvelt::testing::TempDir;
using testing::listing;
using testing::mode_of;
using testing::read_text;
using testing::request_for;
namespace fs = std::filesystem;

constexpr uid_t kNobody = bramvelt::testing::kNobody;

// Runs `act` in a forked child that has a fresh tmpfs at tmp/mnt in a mount namespace of
// its own, and returns what `act` answered followed by a listing of the tmpfs as the
// child left it; nothing when mount namespaces are not available here.
std::optional<std::string> on_second_file_system(
    const TempDir& tmp, const std::function<std::string(const std::string& mnt)>& act) {
    const std::string mnt = tmp.make_dir("mnt");
    const std::string result = tmp / "result";
    const int code = bramvelt::testing::run_in_child([&] {
        if (::unshare(CLONE_NEWNS) != 0) return 77;
        if (::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0) return 77;
        if (::mount("tmpfs", mnt.c_str(), "tmpfs", 0, "mode=0755") != 0) return 77;
        const std::string answer = act(mnt);
        std::ofstream(result) << answer << "--\n" << listing(mnt);
        return 0;
    });
    if (code == 77) return std::nullopt;
    if (code != 0) return "child failed with " + std::to_string(code);
    return read_text(result);
}

std::string outcome(const std::expected<void, std::string_view>& moved) {
    return moved ? "moved\n" : std::string(moved.error()) + "\n";
}

struct SecondFileSystem : ::testing::Test {
    TempDir tmp;
    TrashEnvironment environment{tmp.make_dir("home"), "", 0};

    void SetUp() override {
        if (::geteuid() != 0) GTEST_SKIP() << "mounting a tmpfs needs root";
    }
};

#define SKIP_WITHOUT_NAMESPACES(out) \
    if (!(out)) GTEST_SKIP() << "mount namespaces are not available here"

TEST_F(SecondFileSystem, PrivateTrashUnderTheMountPointWithRelativePaths) {
    const auto out = on_second_file_system(tmp, [&](const std::string& mnt) {
        fs::create_directories(mnt + "/src/a b");
        std::ofstream(mnt + "/src/a b/item%") << "x";
        fs::create_directories(mnt + "/top-level");
        std::string answer =
            outcome(move_to_trash(request_for(mnt + "/src/a b/item%"), environment));
        answer += outcome(move_to_trash(request_for(mnt + "/top-level"), environment));
        answer += mode_of(mnt + "/.Trash-0") + "\n";
        return answer;
    });
    SKIP_WITHOUT_NAMESPACES(out);
    EXPECT_EQ(*out,
              "moved\nmoved\n0700\n--\n"
              ".Trash-0/\n"
              ".Trash-0/files/\n"
              ".Trash-0/files/item%\n"
              ".Trash-0/files/top-level/\n"
              ".Trash-0/info/\n"
              ".Trash-0/info/item%.trashinfo\n  [Trash Info]\n  Path=src/a%20b/item%25\n"
              ".Trash-0/info/top-level.trashinfo\n  [Trash Info]\n  Path=top-level\n"
              "src/\n"
              "src/a b/\n");
    EXPECT_FALSE(fs::exists(tmp / "home/.local"));  // the home trash was not even made
}

TEST_F(SecondFileSystem, SharedTrashOnlyWhenARealStickyFolder) {
    struct Case {
        const char* name;
        std::function<void(const std::string& mnt)> prepare;
        const char* trash;  // where the item lands, relative to the mount point
    };
    const Case cases[] = {
        {"sticky",
         [](const std::string& mnt) {
             fs::create_directory(mnt + "/.Trash");
             ::chmod((mnt + "/.Trash").c_str(), 01777);
         },
         ".Trash/0"},
        {"not sticky",
         [](const std::string& mnt) {
             fs::create_directory(mnt + "/.Trash");
             ::chmod((mnt + "/.Trash").c_str(), 0777);
         },
         ".Trash-0"},
        {"a link to a sticky folder",
         [](const std::string& mnt) {
             fs::create_directory(mnt + "/real");
             ::chmod((mnt + "/real").c_str(), 01777);
             fs::create_directory_symlink(mnt + "/real", mnt + "/.Trash");
         },
         ".Trash-0"},
        {"user folder of another user",
         [](const std::string& mnt) {
             fs::create_directories(mnt + "/.Trash/0");
             ::chmod((mnt + "/.Trash").c_str(), 01777);
             ::chown((mnt + "/.Trash/0").c_str(), kNobody, kNobody);
         },
         ".Trash-0"},
        {"user folder is a link",
         [](const std::string& mnt) {
             fs::create_directories(mnt + "/.Trash");
             fs::create_directories(mnt + "/mine");
             ::chmod((mnt + "/.Trash").c_str(), 01777);
             fs::create_directory_symlink(mnt + "/mine", mnt + "/.Trash/0");
         },
         ".Trash-0"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        TempDir each;
        const auto out = on_second_file_system(each, [&](const std::string& mnt) {
            c.prepare(mnt);
            std::ofstream(mnt + "/item") << "x";
            std::string answer = outcome(move_to_trash(request_for(mnt + "/item"), environment));
            answer += read_text(mnt + "/" + c.trash + "/files/item") + "\n";
            const std::string info = read_text(mnt + "/" + c.trash + "/info/item.trashinfo");
            answer += info.substr(0, info.find("DeletionDate=")) + "\n";
            if (fs::exists(mnt + "/mine"))
                answer += "mine: " +
                          std::to_string(std::distance(fs::directory_iterator(mnt + "/mine"), {})) +
                          "\n";
            return answer;
        });
        SKIP_WITHOUT_NAMESPACES(out);
        EXPECT_EQ(out->substr(0, out->find("--")),
                  std::string("moved\nx\n[Trash Info]\nPath=item\n\n") +
                      (std::string(c.name) == "user folder is a link" ? "mine: 0\n" : ""));
    }
}

TEST_F(SecondFileSystem, NoUsableTrashMovesNothing) {
    // .Trash-0 is a link: never followed, so nothing lands where it points.
    const auto linked = on_second_file_system(tmp, [&](const std::string& mnt) {
        fs::create_directory(mnt + "/decoy");
        fs::create_directory_symlink(mnt + "/decoy", mnt + "/.Trash-0");
        std::ofstream(mnt + "/item") << "x";
        return outcome(move_to_trash(request_for(mnt + "/item"), environment));
    });
    SKIP_WITHOUT_NAMESPACES(linked);
    EXPECT_EQ(*linked, std::string(kTrashFailed) + "\n--\n.Trash-0@\ndecoy/\nitem\n");

    // A user who may not write in the top directory has no trash there.
    TempDir second;
    ::chmod(second.path().c_str(), 0755);
    const auto unprivileged = on_second_file_system(second, [&](const std::string& mnt) {
        fs::create_directory(mnt + "/open");
        ::chmod((mnt + "/open").c_str(), 0777);
        std::ofstream(mnt + "/open/item") << "x";
        const TrashRequest request = request_for(mnt + "/open/item");
        const int code = bramvelt::testing::run_in_child_as(kNobody, kNobody, [&] {
            const auto moved =
                move_to_trash(request, TrashEnvironment{"/nonexistent", "", kNobody});
            return moved ? 0 : moved.error() == kTrashFailed ? 10 : 11;
        });
        return std::to_string(code) + "\n";
    });
    SKIP_WITHOUT_NAMESPACES(unprivileged);
    EXPECT_EQ(*unprivileged, "10\n--\nopen/\nopen/item\n");
}

TEST_F(SecondFileSystem, AnotherUserGetsAFolderOfTheirOwnInTheSharedTrash) {
    ::chmod(tmp.path().c_str(), 0755);
    const auto out = on_second_file_system(tmp, [&](const std::string& mnt) {
        fs::create_directory(mnt + "/.Trash");
        ::chmod((mnt + "/.Trash").c_str(), 01777);
        fs::create_directory(mnt + "/open");
        ::chmod((mnt + "/open").c_str(), 0777);
        std::ofstream(mnt + "/open/item") << "x";
        const TrashRequest request = request_for(mnt + "/open/item");
        const int code = bramvelt::testing::run_in_child_as(kNobody, kNobody, [&] {
            return move_to_trash(request, TrashEnvironment{"/nonexistent", "", kNobody}) ? 0 : 1;
        });
        return std::to_string(code) + "\n" + mode_of(mnt + "/.Trash/65534") + "\n";
    });
    SKIP_WITHOUT_NAMESPACES(out);
    EXPECT_EQ(*out,
              "0\n0700\n--\n"
              ".Trash/\n"
              ".Trash/65534/\n"
              ".Trash/65534/files/\n"
              ".Trash/65534/files/item\n"
              ".Trash/65534/info/\n"
              ".Trash/65534/info/item.trashinfo\n  [Trash Info]\n  Path=open/item\n"
              "open/\n");
}

TEST_F(SecondFileSystem, AHomeOnThatFileSystemKeepsItsOwnTrash) {
    const auto out = on_second_file_system(tmp, [&](const std::string& mnt) {
        fs::create_directories(mnt + "/home");
        std::ofstream(mnt + "/item") << "x";
        return outcome(
            move_to_trash(request_for(mnt + "/item"), TrashEnvironment{mnt + "/home", "", 0}));
    });
    SKIP_WITHOUT_NAMESPACES(out);
    EXPECT_EQ(*out,
              "moved\n--\n"
              "home/\n"
              "home/.local/\n"
              "home/.local/share/\n"
              "home/.local/share/Trash/\n"
              "home/.local/share/Trash/files/\n"
              "home/.local/share/Trash/files/item\n"
              "home/.local/share/Trash/info/\n"
              "home/.local/share/Trash/info/item.trashinfo\n  [Trash Info]\n  Path=" +
                  tmp.path() + "/mnt/item\n");
}

TEST_F(SecondFileSystem, TopDirectoryIsTheMountPointBindMountsIncluded) {
    const auto out = on_second_file_system(tmp, [&](const std::string& mnt) {
        fs::create_directories(mnt + "/a/b/c");
        fs::create_directories(mnt + "/bound");
        std::string answer;
        struct stat st {};
        ::stat(mnt.c_str(), &st);
        answer += find_top_directory(mnt + "/a/b/c", st.st_dev).value_or("error") + "\n";
        answer += find_top_directory(mnt, st.st_dev).value_or("error") + "\n";
        answer +=
            std::to_string(find_top_directory(mnt + "/a", st.st_dev + 1).error() == EXDEV) + "\n";
        // A bind mount of the same file system shares its device but is its own mount.
        if (::mount((mnt + "/a").c_str(), (mnt + "/bound").c_str(), nullptr, MS_BIND, nullptr) ==
            0) {
            answer += find_top_directory(mnt + "/bound/b/c", st.st_dev).value_or("error") + "\n";
        }
        ::stat("/", &st);
        answer += find_top_directory("/", st.st_dev).value_or("error") + "\n";
        return answer;
    });
    SKIP_WITHOUT_NAMESPACES(out);
    const std::string mnt = tmp / "mnt";
    EXPECT_EQ(out->substr(0, out->find("--")), mnt + "\n" + mnt + "\n1\n" + mnt + "/bound\n/\n");
}

}  // namespace
}  // namespace bramvelt::trash_host
