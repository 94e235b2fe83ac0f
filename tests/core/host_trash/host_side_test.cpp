#include "core/host_trash/host_side.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>

#include "core/host_trash/trash_texts.hpp"
#include "core/policy/context.hpp"
#include "tests/core/host_trash/trash_fixture.hpp"

namespace bramvelt::host_trash {
namespace {

using namespace std::chrono_literals;
using testing::read_text;
using testing::TrashTest;
namespace fs = std::filesystem;

std::string recheck(const TrashAuthorization& authorization) {
    const auto result = recheck_trash_authorization(authorization);
    return result ? "ok" : result.error();
}

std::string execution(TrashAuthorization& authorization, const TrashHostSettings& settings) {
    const auto result = execute_reserved_trash(authorization, settings);
    return result ? "ok" : result.error();
}

void touch_later(const std::string& path) {
    const timespec times[2] = {{0, UTIME_OMIT}, {2'000'000'000, 0}};
    ASSERT_EQ(::utimensat(AT_FDCWD, path.c_str(), times, AT_SYMLINK_NOFOLLOW), 0);
}

using Recheck = TrashTest;

TEST_F(Recheck, PassesForTheItemAsAuthorized) {
    tmp.write_file("w/d/inner/f", "x");
    EXPECT_EQ(recheck(*authorize(tmp / "w/d")), "ok");
    EXPECT_EQ(recheck(*authorize(tmp.write_file("w/f"))), "ok");
}

TEST_F(Recheck, RefusesInTheGivenOrder) {
    const std::string item = tmp.write_file("w/d/f", "x");
    const std::string folder = tmp / "w/d";

    auto expired = authorize(folder, Clock::now() - 120s);
    EXPECT_EQ(recheck(*expired), kAuthorizationExpiredOrCancelled);
    auto cancelled = authorize(folder);
    cancel->store(true);
    EXPECT_EQ(recheck(*cancelled), kAuthorizationExpiredOrCancelled);
    cancel->store(false);

    // The context no longer names this account's home.
    {
        bramvelt::testing::ScopedEnv other_home("HOME", (tmp / "elsewhere").c_str());
        EXPECT_EQ(recheck(*authorize(folder)), policy::kLocalHomeMismatch);
    }
    // The policy refuses the path itself (the home folder holds its owner's data).
    EXPECT_NE(recheck(*authorize(home)), "ok");

    // The item's own identity changed: its modification time.
    auto touched = authorize(folder);
    touch_later(folder);
    EXPECT_EQ(recheck(*touched), kItemChangedBeforeTrash);

    // Something below it changed: reported as a changed item, not as a backup's text.
    auto below = authorize(folder);
    std::ofstream(item, std::ios::app) << "more";
    EXPECT_EQ(recheck(*below), kItemChangedBeforeTrash);

    auto replaced = authorize(tmp.write_file("w/g"));
    fs::remove(tmp / "w/g");
    tmp.write_file("w/g");
    EXPECT_EQ(recheck(*replaced), kItemChangedBeforeTrash);
}

TEST_F(Recheck, TheTreeCheckHasTheLastWord) {
    const std::string item = tmp.write_file("w/f");
    auto parent = filesystem::open_parent_dir(item).value();
    const auto identity = filesystem::identity_at(parent.parent_fd(), parent.name()).value();
    const auto with_tree = [&](TreeRecheck tree) {
        return std::make_shared<TrashAuthorization>(TrashAuthorizationFields{
            .context = context(),
            .parent = filesystem::open_parent_dir(item).value(),
            .identity = identity,
            .item_id = "item-0",
            .path = item,
            .token = new_trash_token().value(),
            .issued_at = Clock::now(),
            .tree_recheck = std::move(tree),
            .cancel = cancel,
        });
    };
    std::string seen_path;
    auto other = with_tree([&](std::string_view path, const CancelFlag&,
                               policy::Acknowledgement) -> std::expected<void, TreeRecheckFailure> {
        seen_path = path;
        return std::unexpected(
            TreeRecheckFailure{TreeRecheckFailure::Kind::Other, "Cleanup cancelled"});
    });
    EXPECT_EQ(recheck(*other), "Cleanup cancelled");
    EXPECT_EQ(seen_path, item);
    EXPECT_EQ(recheck(*with_tree(nullptr)), kItemChangedBeforeTrash);
}

using Execute = TrashTest;

TEST_F(Execute, OnlyAReservedAuthorization) {
    auto authorization = authorize(tmp.write_file("w/f"));
    EXPECT_EQ(execution(*authorization, real_host()), kMustBeReserved);
    EXPECT_EQ(authorization->state(), TrashState::Issued);
    authorization->store_state(TrashState::Trashed);
    EXPECT_EQ(execution(*authorization, real_host()), kMustBeReserved);
}

TEST_F(Execute, TheRealHostPutsTheItemIntoTheTrash) {
    tmp.write_file("w/node_modules/pkg/index.js", "js");
    const std::string folder = tmp / "w/node_modules";
    auto authorization = reserved(folder);
    EXPECT_EQ(execution(*authorization, real_host()), "ok");
    EXPECT_EQ(authorization->state(), TrashState::Trashed);
    EXPECT_FALSE(authorization->message());
    EXPECT_FALSE(fs::exists(folder));
    EXPECT_EQ(read_text(trash + "/files/node_modules/pkg/index.js"), "js");
    const std::string info = read_text(trash + "/info/node_modules.trashinfo");
    EXPECT_EQ(info.substr(0, info.find("DeletionDate=")), "[Trash Info]\nPath=" + folder + "\n");
}

TEST_F(Execute, AFailedRecheckLeavesFailedWithItsText) {
    const std::string item = tmp.write_file("w/f");
    auto authorization = reserved(item);
    touch_later(item);
    EXPECT_EQ(execution(*authorization, real_host()), kItemChangedBeforeTrash);
    EXPECT_EQ(authorization->state(), TrashState::Failed);
    EXPECT_EQ(authorization->message(), std::string(kItemChangedBeforeTrash));
    EXPECT_TRUE(fs::exists(item));
}

TEST_F(Execute, AHostFailureIsKnownWhileTheItemStaysAndUnknownOnceItLeft) {
    const std::string stays = tmp.write_file("w/stays");
    auto kept = reserved(stays);
    EXPECT_EQ(execution(*kept, host(fake_host("fails", "exit 1"))), kAdapterFailed);
    EXPECT_EQ(kept->state(), TrashState::Failed);
    EXPECT_EQ(kept->message(), std::string(kAdapterFailed));

    // The host took the item away, then failed: where it went is not known.
    const std::string goes = tmp.write_file("w/goes");
    auto lost = reserved(goes);
    EXPECT_EQ(execution(*lost, host(fake_host("takes", "mv '" + goes + "' '" + tmp.path() +
                                                           "/gone'\nexit 1"))),
              kResultUnknown);
    EXPECT_EQ(lost->state(), TrashState::Indeterminate);
    EXPECT_EQ(lost->message(), std::string(kResultUnknown));
}

// A host that answers success without moving anything is not believed: the item is
// still there, and the result says so.
TEST_F(Execute, SuccessWithoutTheMoveIsAFailure) {
    const std::string item = tmp.write_file("w/f", "x");
    auto authorization = reserved(item);
    EXPECT_EQ(execution(*authorization, host(fake_host("lies", "cat >/dev/null\nexit 0"))),
              kItemRemains);
    EXPECT_EQ(authorization->state(), TrashState::Failed);
    EXPECT_EQ(read_text(item), "x");
}

}  // namespace
}  // namespace bramvelt::host_trash
